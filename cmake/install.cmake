# What `cmake --install` puts into a prefix: the library with its soname, the header, the front
# end with its wrappers, the gdb extension where gdb's auto-load finds it, tavo-gdb, and the CMake
# and pkg-config descriptions. Everything finds its neighbours relative to itself, so a prefix
# keeps working when it is moved.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS tavo EXPORT tavoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/tavo/tavo.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tavo)

# gdb auto-loads <library's real file>-gdb.py beside the library; the loader finds the package
# under share/tavo/gdb, where tavo-gdb finds the loader too.
set(TAVO_GDB_SHARE ${CMAKE_INSTALL_DATADIR}/tavo/gdb)
install(FILES tools/gdb/load.py DESTINATION ${CMAKE_INSTALL_LIBDIR} RENAME ${TAVO_GDB_AUTO_LOAD})
install(FILES tools/gdb/load.py DESTINATION ${TAVO_GDB_SHARE})
install(FILES ${TAVO_GDB_PACKAGE} DESTINATION ${TAVO_GDB_SHARE}/tavo)
install(PROGRAMS tools/tavo-gdb DESTINATION ${CMAKE_INSTALL_BINDIR})
# Installed into /usr (the Debian package), gdb's own auto-load folder, which its default safe
# path allows, gets a link to the loader, so the extension loads with no setting at all.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(loader /usr/${CMAKE_INSTALL_LIBDIR}/${TAVO_GDB_AUTO_LOAD})
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}/usr/share/gdb/auto-load/usr/${CMAKE_INSTALL_LIBDIR}\")
    file(CREATE_LINK \${loader} \"\$ENV{DESTDIR}/usr/share/gdb/auto-load\${loader}\" SYMBOLIC)
  endif()")

if(TARGET tavo_frontend)
  install(TARGETS tavo_frontend LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  file(RELATIVE_PATH TAVO_FRONTEND_RELATIVE_DIR ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
       ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
  foreach(wrapper tavocc tavoc++)
    configure_file(frontend/tavocc.in ${CMAKE_BINARY_DIR}/installed/${wrapper} @ONLY)
    install(PROGRAMS ${CMAKE_BINARY_DIR}/installed/${wrapper} DESTINATION ${CMAKE_INSTALL_BINDIR})
  endforeach()
endif()

set(TAVO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tavo)
install(EXPORT tavoTargets NAMESPACE tavo:: DESTINATION ${TAVO_CMAKE_DIR})
file(WRITE ${CMAKE_BINARY_DIR}/installed/tavoConfig.cmake
  "include(\${CMAKE_CURRENT_LIST_DIR}/tavoTargets.cmake)\n")
write_basic_package_version_file(${CMAKE_BINARY_DIR}/installed/tavoConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/installed/tavoConfig.cmake ${CMAKE_BINARY_DIR}/installed/tavoConfigVersion.cmake
  DESTINATION ${TAVO_CMAKE_DIR})

# pkg-config: the prefix is found from the file's own folder.
set(TAVO_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH TAVO_PKGCONFIG_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${TAVO_PKGCONFIG_DIR} ${CMAKE_INSTALL_PREFIX})
file(WRITE ${CMAKE_BINARY_DIR}/installed/tavo.pc "prefix=\${pcfiledir}/${TAVO_PKGCONFIG_TO_PREFIX}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: tavo
Description: Run-time detection of data sharing and reentrant calls
Version: ${PROJECT_VERSION}
Libs: -L\${libdir} -ltavo
Cflags: -I\${includedir}
")
install(FILES ${CMAKE_BINARY_DIR}/installed/tavo.pc DESTINATION ${TAVO_PKGCONFIG_DIR})

# cpack -G DEB: one package with everything above.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavo)
set(CPACK_PACKAGE_VENDOR tavo)
set(CPACK_PACKAGE_CONTACT "tavo developers <tavo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Run-time detection of data sharing and reentrant calls")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_SET_DESTDIR ON)  # the prefix is /usr while installing, as the rule above needs
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gdb, python3")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
include(CPack)
