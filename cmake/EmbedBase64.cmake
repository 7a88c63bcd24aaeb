# Writes INPUT as standard Base64 into a C++ source defining SYMBOL, so the
# program carries the file without a copy of it on disk.
execute_process(
  COMMAND base64 -w0 "${INPUT}"
  OUTPUT_VARIABLE encoded
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "base64 failed on ${INPUT}")
endif()
string(STRIP "${encoded}" encoded)
file(WRITE "${OUTPUT}"
  "// Generated from ${INPUT}; do not edit.\n"
  "namespace quorvex {\n"
  "extern const char ${SYMBOL}[];\n"
  "const char ${SYMBOL}[] = \"${encoded}\";\n"
  "} // namespace quorvex\n")
