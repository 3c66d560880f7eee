# The ABI's names into `expected`, sorted: every TAVO_DATA and TAVO_API declaration of HEADER.
file(STRINGS ${HEADER} declarations REGEX "^(extern TAVO_DATA|TAVO_API) ")
set(expected "")
foreach(declaration ${declarations})
  string(REGEX REPLACE "^[^(]*[ *]([A-Za-z_0-9]+)[(;].*" "\\1" name "${declaration}")
  list(APPEND expected "${name}")
endforeach()
list(SORT expected)
