# Turns a file into a C++ source defining a std::string_view over its exact bytes.
# Usage: cmake -DINPUT=file -DOUTPUT=file.cc -DSYMBOL=name -P embed.cmake
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
file(WRITE "${OUTPUT}"
"// Generated from ${INPUT}; do not edit.\n#include <string_view>\nnamespace tessarin::assets {\nstatic constexpr char k_data[] = {${bytes} 0};\nextern const std::string_view ${SYMBOL}{k_data, ${byte_count}};\n}\n")
