// Request signatures: the upper-case hexadecimal MD5 of a sign string, which lists the
// request's fields (all but `sign`) as name=value pairs in ascending name order, joined
// by '&', followed by "&key=" and the merchant's API key.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "payment/fields.h"

namespace quillmark {

// The 32-character sign of `size` bytes at `data`: MD5 (RFC 1321), upper-case hex.
// Which bytes are digested is the caller's business (UTF-8 for the unified order).
std::string SignFields(const char* data, std::size_t size);

// A document's fields by name. std::map orders the names byte by byte, as a sign string
// lists them.
using SignedFields = std::map<std::string, std::string>;

// What stands for the key where a sign string is shown to a person.
inline constexpr std::string_view kMaskedKey = "********";

// The sign string of any signed document (a reply, a request as the platform checks it):
// every field but "sign" whose value is not empty, in byte order of the names, as
// name=value joined by '&', then "&key=" and `key`. The platform and its stand-in sign
// this way; the client's own two requests keep their fixed sign strings below, which
// list an empty order number as an empty value.
std::string SignStringOf(const SignedFields& fields, std::string_view key);
// SignFields over SignStringOf(fields, key).
std::string SignOf(const SignedFields& fields, std::string_view key);

// The sign strings of the two requests for the build's default merchant, in GBK like the
// rest of the program's text (RequestSignString over the request's table).
std::string UnifiedOrderSignString(const std::string& nonce, const std::string& outTradeNo);
std::string OrderQuerySignString(const std::string& nonce, const std::string& outTradeNo);

}  // namespace quillmark
