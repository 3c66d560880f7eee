# Runs COMMAND (tavo_debugger under wine, with its program) and expects its exit status 0 and its
# transcript, the lines that begin "debugger: ", to match EXPECT, one regular expression per
# line, in order. The program's own output may come between them.
execute_process(COMMAND ${COMMAND} OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
message("${output}${errors}")
string(REPLACE "\r" "" output "${output}")
string(REGEX MATCHALL "debugger: [^\n]*" transcript "${output}")
# A line missing from either list meets an empty one, which matches nothing.
foreach(line expected IN ZIP_LISTS transcript EXPECT)
  if(NOT line MATCHES "^debugger: ${expected}$")
    message(FATAL_ERROR "transcript line\n  ${line}\ndoes not match\n  debugger: ${expected}")
  endif()
endforeach()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "exit status ${status}")
endif()
