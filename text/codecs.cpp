// The codecs of codecs.h; nothing here is kept between calls.
#include "text/codecs.h"

namespace quillmark {

std::string HexEncode(std::string_view bytes, HexCase hexCase, char separator) {
  const char* digits = hexCase == HexCase::kUpper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && separator != '\0') out += separator;
    const auto byte = static_cast<unsigned char>(bytes[i]);
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
  }
  return out;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentEncode(std::string_view text, std::string_view keep) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       c == '-' || c == '_' || c == '.' || c == '~' ||
                       keep.find(c) != std::string_view::npos;
    if (plain) {
      out += c;
    } else {
      out += '%';
      out += HexEncode(std::string_view(&c, 1), HexCase::kUpper);
    }
  }
  return out;
}

std::string PercentDecode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int high = HexDigitValue(text[i + 1]);
      const int low = HexDigitValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += plusIsSpace && c == '+' ? ' ' : c;
  }
  return out;
}

std::string FormValue(std::string_view form, std::string_view name) {
  std::size_t from = 0;
  while (from <= form.size()) {
    std::size_t end = form.find('&', from);
    if (end == std::string_view::npos) end = form.size();
    const std::string_view pair = form.substr(from, end - from);
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
      return PercentDecode(pair.substr(equals + 1), true);
    }
    from = end + 1;
  }
  return "";
}

}  // namespace quillmark
