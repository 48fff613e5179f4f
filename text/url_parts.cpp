// The splitter of url_parts.h: one pass left to right, no pattern engine.
#include "text/url_parts.h"

namespace quillmark {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsNameChar(char c) { return IsLetter(c) || IsDigit(c) || c == '.' || c == '-'; }
bool IsV6Char(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

// Reads "host[:port]" from the start of `text` into `parts`; `text` is left at what follows.
bool ReadAuthority(std::string_view& text, UrlParts& parts) {
  std::size_t at = 0;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    for (const char c : text.substr(1, close - 1)) {
      if (!IsV6Char(c)) return false;
    }
    parts.host = std::string(text.substr(1, close - 1));
    parts.bracketed = true;
    at = close + 1;
  } else {
    while (at < text.size() && IsNameChar(text[at])) ++at;
    if (at == 0) return false;
    parts.host = std::string(text.substr(0, at));
    parts.bracketed = false;
  }
  parts.portGiven = at < text.size() && text[at] == ':';
  if (parts.portGiven) {
    const std::size_t digits = ++at;
    int port = 0;
    while (at < text.size() && IsDigit(text[at]) && at - digits < 5) {
      port = port * 10 + (text[at++] - '0');
    }
    if (at == digits || port > 65535 || (at < text.size() && IsDigit(text[at]))) return false;
    parts.port = port;
  }
  text.remove_prefix(at);
  return true;
}

}  // namespace

bool SplitUrl(std::string_view url, UrlParts& parts) {
  const std::size_t colon = url.find("://");
  if (colon == std::string_view::npos || colon == 0 || !IsLetter(url[0])) return false;
  for (const char c : url.substr(0, colon)) {
    if (!IsLetter(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  parts.scheme = std::string(url.substr(0, colon));
  std::string_view rest = url.substr(colon + 3);
  if (!ReadAuthority(rest, parts)) return false;
  if (!rest.empty() && rest[0] != '/' && rest[0] != '?' && rest[0] != '#') return false;
  if (!parts.portGiven) {
    parts.port = parts.scheme == "http" ? 80 : parts.scheme == "https" ? 443 : 0;
  }
  parts.rest = std::string(rest);
  return true;
}

bool SplitAuthority(std::string_view text, UrlParts& parts) {
  parts = UrlParts{};
  return ReadAuthority(text, parts) && text.empty();
}

std::string UrlHost(std::string_view host) {
  return host.find(':') != std::string_view::npos ? "[" + std::string(host) + "]"
                                                  : std::string(host);
}

}  // namespace quillmark
