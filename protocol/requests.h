// The request documents, built as the platform expects them: one line of XML, no
// declaration, no whitespace, values inserted unescaped (every value is either a setting
// validated before use or generated from kIdAlphabet).
//
// Each request is one ordered table of its fields (the operation's declaration); its sign
// string and its document are both made from that table, so a field is named in one place.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "protocol/operation.h"

namespace quillmark {

// A request's fields in the order the platform lists them, without `sign`; GBK values.
using RequestFields = std::vector<std::pair<const char*, std::string>>;

// The request of `operation`: its fields in its order, each valued as it declares; a field
// omitted when empty is not there when its value is.
RequestFields RequestFieldsOf(const Operation& operation, const RequestValues& values);

// "name=value&...&key=<key>": every field in table order, an empty value included.
std::string RequestSignString(const RequestFields& fields, const std::string& key);
// "<xml><name>value</name>...<sign>sign</sign></xml>".
std::string RequestDocument(const RequestFields& fields, const std::string& sign);

}  // namespace quillmark
