# Writes the short source revision into a header; rewrites it only when it
# changed, so an unchanged tree does not recompile.
execute_process(
  COMMAND git -C "${SOURCE_DIR}" rev-parse --short=7 HEAD
  OUTPUT_VARIABLE revision
  OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE result
  ERROR_QUIET)
if(NOT result EQUAL 0 OR NOT revision MATCHES "^[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f]$")
  set(revision "0000000")
endif()
set(content "#pragma once\n#define QUORVEX_BUILD_REVISION \"${revision}\"\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT "${old}" STREQUAL "${content}")
  file(WRITE "${OUTPUT}" "${content}")
endif()
