// The field forms of field_rules.h; the character classes they are made of are this
// file's alone.
#include "payment/field_rules.h"

#include <cstdint>

namespace quillmark::rules {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetterOrDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsHostChar(char c) { return IsLetterOrDigit(c) || c == '.' || c == '-'; }

bool AllOf(std::string_view text, bool (*ok)(char)) {
  for (const char c : text) {
    if (!ok(c)) return false;
  }
  return true;
}

// `scheme` followed by a host (letters, digits, dots and hyphens, or with `bracketed` an
// IPv6 literal in brackets) and an optional ":port"; the rest, from the first character
// that ends the authority, goes to `rest`.
bool ReadAuthority(std::string_view value, std::string_view scheme, bool bracketed,
                   std::string_view& rest) {
  if (value.substr(0, scheme.size()) != scheme) return false;
  value.remove_prefix(scheme.size());
  std::size_t at = 0;
  if (bracketed && !value.empty() && value[0] == '[') {
    const std::size_t close = value.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    for (const char c : value.substr(1, close - 1)) {
      if (!IsHexDigit(c) && c != ':' && c != '.') return false;
    }
    at = close + 1;
  } else {
    while (at < value.size() && IsHostChar(value[at])) ++at;
    if (at == 0) return false;
  }
  if (at < value.size() && value[at] == ':') {
    const std::size_t digits = at + 1;
    at = digits;
    while (at < value.size() && IsDigit(value[at])) ++at;
    if (at == digits) return false;
  }
  rest = value.substr(at);
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
  std::string_view path;
  if (!ReadAuthority(text, "http://", false, path)) return false;
  if (path.empty()) return true;
  if (path[0] != '/') return false;
  for (const char c : path) {
    if (c < '!' || c > '~' || c == '<' || c == '>' || c == '&') return false;
  }
  return true;
}

bool IsApiBase(std::string_view text) {
  if (text.size() > kMaxUrlBytes) return false;
  std::string_view rest;
  return ReadAuthority(text, "https://", true, rest) && rest.empty();
}

bool IsListenAddress(std::string_view text) {
  if (text.size() > kMaxUrlBytes) return false;
  std::string_view rest;
  // The same authority as a URL's, read with a scheme of nothing, and its port not left out.
  if (!ReadAuthority(text, "", true, rest) || !rest.empty()) return false;
  const std::size_t hostEnd = text[0] == '[' ? text.find(']') + 1 : text.find(':');
  if (hostEnd >= text.size() || text[hostEnd] != ':') return false;
  const std::string_view port = text.substr(hostEnd + 1);
  if (port.empty() || port.size() > 5) return false;
  int value = 0;
  for (const char c : port) value = value * 10 + (c - '0');  // digits: ReadAuthority read them
  return value <= 65535;
}

}  // namespace quillmark::rules
