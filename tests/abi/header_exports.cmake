# The ABI's names into `expected`, sorted: every TAVO_DATA and TAVO_API declaration of HEADER;
# the TAVO_DATA ones into `data` too.
file(STRINGS ${HEADER} declarations REGEX "^(extern TAVO_DATA|TAVO_API) ")
set(expected "")
set(data "")
foreach(declaration ${declarations})
  string(REGEX REPLACE "^[^(]*[ *]([A-Za-z_0-9]+)[(;].*" "\\1" name "${declaration}")
  list(APPEND expected "${name}")
  if(declaration MATCHES "^extern TAVO_DATA ")
    list(APPEND data "${name}")
  endif()
endforeach()
list(SORT expected)
