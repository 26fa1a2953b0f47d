# Script mode: writes a C++ source holding the bytes of IN that registers them
# as the resource TYPE/NAME.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n  " bytes "${bytes}")
if(size EQUAL 0)
  set(bytes "0")
endif()
file(WRITE "${OUT}.tmp"
"// Generated from ${IN}; do not edit.
#include <cstdint>
#include \"runtime/Resources.h\"

namespace {
const uint8_t kData[] = {
  ${bytes}
};
const bool kRegistered = (RegisterResource(\"${TYPE}\", \"${NAME}\", kData, ${size}), true);
}  // namespace

// Referenced so that the registration is never optimised away.
extern const bool* const ${IDENT}_registered = &kRegistered;
")
file(RENAME "${OUT}.tmp" "${OUT}")
