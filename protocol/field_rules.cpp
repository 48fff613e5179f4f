// The field forms of field_rules.h; a URL's parts are read by url_parts.h, the other
// character classes are this file's alone.
#include "protocol/field_rules.h"

#include <cstdint>

#include "text/url_parts.h"

namespace quillmark::rules {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetterOrDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool AllOf(std::string_view text, bool (*ok)(char)) {
  for (const char c : text) {
    if (!ok(c)) return false;
  }
  return true;
}

}  // namespace

bool IsAppId(std::string_view text) { return text.size() == 18 && AllOf(text, IsLetterOrDigit); }

bool IsMchId(std::string_view text) { return text.size() == 10 && AllOf(text, IsDigit); }

bool IsApiKey(std::string_view text) { return text.size() == 32 && AllOf(text, IsLetterOrDigit); }

bool IsNonce(std::string_view text) {
  return !text.empty() && text.size() <= 32 && AllOf(text, IsLetterOrDigit);
}

bool IsOrderNumber(std::string_view text) {
  if (text.empty() || text.size() > 32) return false;
  for (const char c : text) {
    if (!IsLetterOrDigit(c) && c != '_' && c != '-' && c != '|' && c != '*') return false;
  }
  return true;
}

bool IsPlatformId(std::string_view text) {
  return !text.empty() && text.size() <= 32 && AllOf(text, IsDigit);
}

bool IsOpenId(std::string_view text) {
  return text.size() == 28 &&
         AllOf(text, [](char c) { return IsLetterOrDigit(c) || c == '-' || c == '_'; });
}

bool IsPlatformTimestamp(std::string_view text) {
  if (text.size() != 14 || !AllOf(text, IsDigit)) return false;
  const auto number = [text](std::size_t at, std::size_t digits) {
    int value = 0;
    for (std::size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const int year = number(0, 4), month = number(4, 2), day = number(6, 2);
  if (year < 1970 || month < 1 || month > 12 || day < 1) return false;
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > kDays[month - 1] || (month == 2 && day == 29 && !leap)) return false;
  return number(8, 2) < 24 && number(10, 2) < 60 && number(12, 2) < 60;
}

bool IsUnixSeconds(std::string_view text) {
  return !text.empty() && text.size() <= 10 && text[0] != '0' && AllOf(text, IsDigit);
}

bool IsSign(std::string_view text) { return text.size() == 32 && AllOf(text, IsHexDigit); }

bool IsDottedIpv4(std::string_view text) {
  if (text.size() > 15) return false;
  std::size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && (at >= text.size() || text[at++] != '.')) return false;
    const std::size_t from = at;
    int value = 0;
    while (at < text.size() && IsDigit(text[at]) && at - from < 3) {
      value = value * 10 + (text[at++] - '0');
    }
    if (at == from || value > 255 || (text[from] == '0' && at - from > 1)) return false;
  }
  return at == text.size();
}

bool IsFee(std::string_view text) {
  if (text.empty() || text.size() > 10 || text[0] == '0') return false;
  std::int64_t value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  return value <= INT32_MAX;
}

bool IsNotifyUrl(std::string_view text) {
  if (text.size() > kMaxUrlBytes) return false;
  UrlParts url;
  if (!SplitUrl(text, url) || url.scheme != "http" || url.bracketed) return false;
  if (url.rest.empty()) return true;
  if (url.rest[0] != '/') return false;
  for (const char c : url.rest) {
    if (c < '!' || c > '~' || c == '<' || c == '>' || c == '&') return false;
  }
  return true;
}

bool IsApiBase(std::string_view text) {
  if (text.size() > kMaxUrlBytes) return false;
  UrlParts url;
  return SplitUrl(text, url) && url.scheme == "https" && url.rest.empty();
}

bool IsListenAddress(std::string_view text) {
  if (text.size() > kMaxUrlBytes) return false;
  UrlParts address;
  return SplitAuthority(text, address) && address.portGiven;
}

}  // namespace quillmark::rules
