// Request signatures: the upper-case hexadecimal digest of a sign string, which lists the
// request's fields (all but `sign`) as name=value pairs in ascending name order, joined
// by '&', followed by "&key=" and the merchant's API key. Two digests sign it: MD5 of the
// string, or HMAC-SHA256 of it keyed by the merchant's key, as the request's sign_type says.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/fields.h"

namespace quillmark {

// How a document is signed. A request without sign_type is signed with MD5.
enum class SignType { kMd5, kHmacSha256 };

// "MD5", "HMAC-SHA256": the names sign_type carries and the settings take.
const char* SignTypeName(SignType type);
// The type `name` names, exactly as SignTypeName spells it; nothing for any other text.
std::optional<SignType> ParseSignType(std::string_view name);
// How a message names the digest: "MD5", "HMAC-SHA256 (keyed by the merchant key)".
std::string SignDigestWords(SignType type);
// Every type, MD5 first: what a settings dialog offers.
inline constexpr SignType kSignTypes[] = {SignType::kMd5, SignType::kHmacSha256};

// The sign of `size` bytes at `data`, upper-case hex: the 32 digits of MD5 (RFC 1321), or
// the 64 of HMAC-SHA256 (RFC 2104) keyed by `key`, which MD5 does not use (the key is
// already part of the sign string). Empty when the digest is not available. Which bytes
// are digested is the caller's business (UTF-8 for the unified order).
std::string SignFields(const char* data, std::size_t size, SignType type = SignType::kMd5,
                       std::string_view key = {});

// A document's fields by name. std::map orders the names byte by byte, as a sign string
// lists them.
using SignedFields = std::map<std::string, std::string>;

// What stands for the key wherever text shown to a person or kept in a report could hold
// it: a sign string, a setting's value, a reply that echoes the key.
inline constexpr std::string_view kMaskedKey = "********";
// `text` with every occurrence of `key` (when it is not empty) replaced by kMaskedKey.
std::string MaskKey(std::string_view text, std::string_view key);

// The sign string of any signed document (a reply, a request as the platform checks it):
// every field but "sign" whose value is not empty, in byte order of the names, as
// name=value joined by '&', then "&key=" and `key`. The platform and its stand-in sign
// this way; the client's own two requests keep their fixed sign strings below, which
// list an empty order number as an empty value.
std::string SignStringOf(const SignedFields& fields, std::string_view key);
// SignFields over SignStringOf(fields, key), of `type`.
std::string SignOf(const SignedFields& fields, std::string_view key,
                   SignType type = SignType::kMd5);

}  // namespace quillmark
