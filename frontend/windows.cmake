# The front end for Windows programs compiled with -fsanitize=thread (mingw gcc, or clang with
# -Xclang -fsanitize=thread): tavo_frontend.dll, the engine with the shared entries, reporter and
# stores, and the Win32 interposers; the wrappers that compile and link programs with it.
add_library(tavo_frontend SHARED $<TARGET_OBJECTS:tavo_objects> ${CMAKE_SOURCE_DIR}/platform/windows.cpp
  tsan_entries.cpp options.cpp stack_store.cpp threads.cpp heap_blocks.cpp suppressions.cpp thread_tasks.cpp rw_locks.cpp
  reporter.cpp report_writer.cpp symbolizer.cpp host_windows.cpp symbols_windows.cpp interpose_windows.cpp)
target_include_directories(tavo_frontend PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR})
target_compile_definitions(tavo_frontend PRIVATE TAVO_BUILDING_LIBRARY __USE_MINGW_ANSI_STDIO=1)
target_compile_options(tavo_frontend PRIVATE -fno-omit-frame-pointer)
target_sources(tavo_frontend PRIVATE plain_entries.cpp)
set_source_files_properties(plain_entries.cpp PROPERTIES COMPILE_OPTIONS -fomit-frame-pointer)
target_link_libraries(tavo_frontend PRIVATE Threads::Threads)
# The reporter's stop takes the library's calls and prepares what a debugger reads before the bare stop.
target_link_options(tavo_frontend PRIVATE -Wl,--wrap=__tavo_switch_to_debugger)
set_target_properties(tavo_frontend PROPERTIES PREFIX "" IMPORT_PREFIX "")

# The program's threads library, linked into one object: its calls among its own parts stay inside
# it, and only the program's calls (and the C++ library's) are wrapped.
find_library(TAVO_WINPTHREAD_ARCHIVE NAMES libwinpthread.a REQUIRED)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/tavo_winpthread.o
  COMMAND ${CMAKE_LINKER} -r --whole-archive ${TAVO_WINPTHREAD_ARCHIVE} -o ${CMAKE_CURRENT_BINARY_DIR}/tavo_winpthread.o
  DEPENDS ${TAVO_WINPTHREAD_ARCHIVE} VERBATIM)

# Linked into every program with the wrappers' --wrap list.
add_library(tavo_frontend_glue STATIC windows_glue.c ${CMAKE_CURRENT_BINARY_DIR}/tavo_winpthread.o)
add_library(tavo_frontend_glue_cxx STATIC windows_glue_cxx.c)

set(TAVO_FRONTEND_RELATIVE_DIR ../bin)
foreach(wrapper tavocc tavoc++)
  configure_file(tavocc-mingw.in ${CMAKE_CURRENT_BINARY_DIR}/${wrapper} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
