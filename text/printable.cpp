// The UTF-8 and control checks and the one-line rendering of printable.h.
#include "text/printable.h"

#include "text/codecs.h"

namespace quillmark {

bool HasForbiddenControl(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') return true;
  }
  return false;
}

std::string PrintableAscii(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte <= 0x7e && byte != '\\') {
      out += c;
    } else {
      out += "\\x" + HexEncode(std::string_view(&c, 1), HexCase::kLower);
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t minimum = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2, code = lead & 0x1fu, minimum = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3, code = lead & 0x0fu, minimum = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4, code = lead & 0x07u, minimum = 0x10000;
    } else {
      return false;  // a continuation byte, an overlong lead (c0, c1) or past f4
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0u) != 0x80u) return false;
      code = (code << 6) | (next & 0x3fu);
    }
    if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
    i += length;
  }
  return true;
}

}  // namespace quillmark
