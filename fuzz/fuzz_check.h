// Helpers shared by the harnesses: a failed property must end the run with a message that
// says which one, so that a finding is readable without a debugger.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace quillmark::fuzz {

// abort() rather than assert(): the fuzz tree is built with NDEBUG in Release mode too,
// and a property that silently stops being checked is worse than none.
#define QUILLMARK_FUZZ_CHECK(condition)                                                     \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)

// The text up to its first zero byte: what the conversions read.
inline std::string UpToZero(const std::string& text) { return text.substr(0, text.find('\0')); }

// Strict UTF-8 decoding, written independently of the code under test so that the two can
// disagree: nothing for overlong forms, surrogates, values past U+10FFFF or truncated
// sequences.
inline std::optional<std::vector<char32_t>> DecodeUtf8(const std::string& text) {
  std::vector<char32_t> out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      length = 1, value = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, value = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, value = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, value = lead & 0x07u, minimum = 0x10000;
    } else {
      return std::nullopt;
    }
    if (text.size() - i < length) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0u) != 0x80u) return std::nullopt;
      value = (value << 6) | (next & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      return std::nullopt;
    }
    out.push_back(value);
    i += length;
  }
  return out;
}

inline constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace quillmark::fuzz
