# Writes OUTPUT, a C++ file defining the bytes of INPUT as NAME and NAME_size.
# Run as cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P embed.cmake.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.\n#include <cstddef>\nextern const unsigned char ${NAME}[] = {\n${bytes}};\nextern const size_t ${NAME}_size = ${size};\n")
