# Writes OUTPUT, a C++ source that defines app_config::policy_text() as the text
# of the file INPUT, byte for byte, in a raw string literal.
file(READ "${INPUT}" CONTENT)
string(FIND "${CONTENT}" ")TEXT\"" CLASH)
if(NOT CLASH EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw string delimiter")
endif()
file(WRITE "${OUTPUT}" "// Generated from ${INPUT} by cmake/embed_text.cmake.\n"
  "#include \"vault_core/app_config/app_config.h\"\n\n"
  "std::string_view app_config::policy_text() {\n  return R\"TEXT(${CONTENT})TEXT\";\n}\n")
