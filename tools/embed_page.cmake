# Turns the page IN into the C header OUT holding it as the array kPage (zero-terminated).
file(READ ${IN} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUT} "static const char kPage[] = {${bytes}0x00};\n")
