# Writes the file INPUT into OUTPUT as the body of a C++ raw string literal,
# byte for byte.
file(READ "${INPUT}" CONTENT)
string(FIND "${CONTENT}" ")TEXT\"" CLASH)
if(NOT CLASH EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw string delimiter")
endif()
file(WRITE "${OUTPUT}" "R\"TEXT(${CONTENT})TEXT\"\n")
