// Both conversions pass through UTF-16, as the Windows services require, with the same
// two-pass shape on every system: ask for the size, then convert into a zeroed buffer.
#include "text/encoding.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "platform/platform.h"
#include "text/codecs.h"

namespace quillmark {
namespace {

using platform::CodePage;

// Narrow (zero-terminated) text into a caller's UTF-16 buffer of `capacity` units.
bool NarrowToUtf16Step(CodePage cp, const char* source, char16_t* buffer, int capacity) {
  std::fill_n(buffer, capacity, u'\0');
  const int needed = platform::NarrowToUtf16(cp, source, nullptr, 0);
  if (static_cast<unsigned>(capacity) < static_cast<unsigned>(needed)) return false;
  return platform::NarrowToUtf16(cp, source, buffer, capacity) > 0;
}

// Zero-terminated UTF-16 text into `destination`.
bool Utf16ToNarrowStep(CodePage cp, const char16_t* source, std::string& destination) {
  const int needed = platform::Utf16ToNarrow(cp, source, nullptr, 0);
  if (needed <= 0) return false;
  const auto size = static_cast<std::size_t>(needed) + 1;
  std::unique_ptr<char[]> scratch(new (std::nothrow) char[size]());
  if (!scratch) return false;
  const int written = platform::Utf16ToNarrow(cp, source, scratch.get(), needed + 1);
  // Taken whatever the call returned: after a failure the buffer is still all zeros.
  destination = scratch.get();
  return written > 0;
}

bool Convert(CodePage from, CodePage to, const std::string& source, std::string& destination) {
  destination.clear();
  if (source.empty()) return true;

  // One UTF-16 unit per source byte always suffices (neither GBK nor UTF-8 yields more
  // units than bytes), plus the terminator. The services count in int, so a larger source
  // fails like an exhausted heap.
  const std::size_t units = source.size() + 1;
  if (units > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
  std::unique_ptr<char16_t[]> wide(new (std::nothrow) char16_t[units]());
  if (!wide) return false;

  // c_str(): the services read up to the first zero byte, so text after one is dropped.
  if (!NarrowToUtf16Step(from, source.c_str(), wide.get(), static_cast<int>(units))) {
    return false;
  }
  return Utf16ToNarrowStep(to, wide.get(), destination);
}

}  // namespace

bool AnsiToUtf8(std::string source, std::string& destination) {
  return Convert(CodePage::kGbk, CodePage::kUtf8, source, destination);
}

bool Utf8ToAnsi(std::string source, std::string& destination) {
  return Convert(CodePage::kUtf8, CodePage::kGbk, source, destination);
}

namespace {

bool IsC0OrDel(unsigned char byte) { return (byte < 0x20 && byte != '\t') || byte == 0x7f; }

void AppendEscaped(std::string& out, unsigned char byte) {
  const char c = static_cast<char>(byte);
  out += "\\x";
  out += HexEncode(std::string_view(&c, 1), HexCase::kLower);
}

}  // namespace
std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsC0OrDel(byte)) {
      AppendEscaped(out, byte);
    } else {
      out += c;
    }
  }
  return out;
}

std::string EscapeGbkControls(std::string_view gbk) {
  std::string out;
  out.reserve(gbk.size());
  for (std::size_t i = 0; i < gbk.size(); ++i) {
    const auto byte = static_cast<unsigned char>(gbk[i]);
    // A lead byte 81..FE with a trail byte 40..7E or 80..FE: one character, never a control.
    if (byte >= 0x81 && byte <= 0xFE && i + 1 < gbk.size()) {
      const auto trail = static_cast<unsigned char>(gbk[i + 1]);
      if (trail >= 0x40 && trail <= 0xFE && trail != 0x7F) {
        out.append(gbk.substr(i, 2));
        ++i;
        continue;
      }
    }
    if (IsC0OrDel(byte) || (byte >= 0x80 && byte <= 0x9F)) {
      AppendEscaped(out, byte);
    } else {
      out += gbk[i];
    }
  }
  return out;
}
std::string ShownText(std::string_view utf8) {
  if (platform::ConsoleCodePage() == CodePage::kUtf8) return EscapeControls(utf8);
  std::string gbk;
  Utf8ToAnsi(std::string(utf8), gbk);
  return EscapeGbkControls(gbk);
}

}  // namespace quillmark
