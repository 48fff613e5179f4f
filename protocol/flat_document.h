// The platform's documents: one flat <xml> element whose children are the fields, each
// holding text, CDATA or both. Read whole and strictly, for the sandbox's request checks
// and the client's reply signatures alike, so that both read a document the same way.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/sign.h"
#include "text/printable.h"

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

// `fields` as one line of <`root`>, each value in CDATA; a "]]>" inside a value is split
// over two sections, so that the value survives intact.
std::string CdataDocument(const std::vector<std::pair<std::string, std::string>>& fields,
                          std::string_view root = "xml");

}  // namespace quillmark
