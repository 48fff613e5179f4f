// Text as the programs inspect it before trusting or showing it: which bytes are valid
// UTF-8, which controls a document may not hold, and how any bytes are written into a
// one-line message.
#pragma once

#include <string>
#include <string_view>

namespace quillmark {

// Whether `text` holds a C0 control other than tab, line feed and carriage return: XML 1.0
// allows no others, and a zero byte would end the text early for any reader of C strings.
bool HasForbiddenControl(std::string_view text);

// `text` made printable ASCII for a message: bytes outside 0x20..0x7e, and the backslash,
// become \xNN, so that a merchant can see which bytes were sent or signed.
std::string PrintableAscii(std::string_view text);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool IsValidUtf8(std::string_view text);

}  // namespace quillmark
