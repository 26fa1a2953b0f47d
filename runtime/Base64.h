// Base64 in its standard form (the "+/" alphabet, "=" padding, no line
// breaks), written and read in one place: HTTP Basic credentials and TSIG key
// secrets both come as it.
//
// The decoder is strict: text from outside is either exactly base64 or
// refused. It takes the standard alphabet only (no "-_", no blanks or line
// breaks), a length that is a multiple of four, and "=" only as the last one
// or two characters of the text. Unused bits in the last group are not
// checked: every encoder leaves them zero, and refusing them gains nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

std::string EncodeBase64(std::string_view data);
// The bytes the text encodes ("" for ""), or none when the text is not
// strictly base64. The result is never longer than three quarters of text.
std::optional<std::string> DecodeBase64(std::string_view text);
