# Turns the built-in page into a C++ source file at build time, so the program
# carries the page and editing page.html rebuilds it.
#   cmake -DINPUT=page.html -DOUTPUT=page.cpp -P embed_page.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n"
  bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from page.html by embed_page.cmake; edit page.html instead.
#include \"page.h\"

namespace inkwebd {
namespace {
const unsigned char kPage[${size} + 1] = {
${bytes}0};
}  // namespace

std::string_view built_in_page() {
    return {reinterpret_cast<const char *>(kPage), ${size}};
}

}  // namespace inkwebd
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
