// The forms of the platform's fields and of the endpoints, written once: the settings hold
// the merchant's ids, key and URLs to them before anything is sent, and the sandbox checks
// every request against them. Each reads its text once, left to right, with no pattern
// engine: a value of any length costs time in proportion to it and no stack.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillmark::rules {

// No URL the platform takes is longer; a longer value is refused before any rule reads it.
inline constexpr std::size_t kMaxUrlBytes = 256;

bool IsAppId(std::string_view text);        // 18 ASCII letters or digits
bool IsMchId(std::string_view text);        // 10 digits
bool IsApiKey(std::string_view text);       // 32 ASCII letters or digits
bool IsNonce(std::string_view text);        // 1 to 32 ASCII letters or digits
bool IsOrderNumber(std::string_view text);  // 1 to 32 ASCII letters, digits or _-|*
bool IsSign(std::string_view text);         // 32 hexadecimal digits
bool IsPlatformId(std::string_view text);   // 1 to 32 digits: transaction_id, refund_id
// Four decimal numbers 0..255 joined by dots, without leading zeros.
bool IsDottedIpv4(std::string_view text);
// A positive whole number below 2^31, without a sign or leading zeros.
bool IsFee(std::string_view text);
// A payer's id under one merchant's app: 28 ASCII letters, digits, '-' or '_'.
bool IsOpenId(std::string_view text);
// A time as the platform writes one, yyyyMMddHHmmss, of a day that exists.
bool IsPlatformTimestamp(std::string_view text);
// A time in seconds since 1970, as a page's parameters carry it: 1 to 10 digits, no
// leading zero.
bool IsUnixSeconds(std::string_view text);
// An absolute http:// URL (a host of letters, digits, dots and hyphens, an optional port)
// whose path is printable ASCII without <, > and &: it goes unescaped into the request.
bool IsNotifyUrl(std::string_view text);
// https:// followed by a host (or an IPv6 literal in brackets) and an optional :port,
// with nothing after.
bool IsApiBase(std::string_view text);

// A host (a name or a dotted IPv4 address, or an IPv6 literal in brackets) and a :port of
// at most five digits, as a listener binds to.
bool IsListenAddress(std::string_view text);

}  // namespace quillmark::rules
