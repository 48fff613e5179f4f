// The platform's documents: one flat <xml> element whose children are the fields, each
// holding text, CDATA or both. Read whole and strictly, for the sandbox's request checks
// and the client's reply signatures alike, so that both read a document the same way.
#pragma once

#include <string>
#include <string_view>

#include "payment/sign.h"

namespace quillmark {

// Reads `body` (UTF-8) into `fields`: a well-formed document whose only root is <xml>,
// with flat, uniquely named child elements; comments and processing instructions are
// passed over. Each value is its text and CDATA joined, with references decoded; a value
// that is not valid UTF-8 or holds a control character other than tab, line feed or
// carriage return is refused, and so is a reference to character zero. False, with
// `error` saying what is wrong in one line of printable ASCII (names in it are passed
// through PrintableAscii), for anything else. Never throws. `root` names the root element
// for the one document whose root is not <xml>: a refund notification's decrypted req_info.
bool ReadFlatDocument(std::string_view body, SignedFields& fields, std::string& error,
                      std::string_view root = "xml");

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
