# Writes a compiled translation catalogue (INPUT) as a C++ byte array (OUTPUT) named NAME.
file(READ ${INPUT} bytes HEX)
string(LENGTH "${bytes}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${bytes}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" body "${body}")
file(WRITE ${OUTPUT}.tmp "// Generated from ${INPUT}; do not edit.\nextern const unsigned char ${NAME}[] = {\n${body}\n};\nextern const unsigned int ${NAME}Size = ${size};\n")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
