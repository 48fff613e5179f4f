// Utf8ToAnsi (UTF-8 to GBK) on arbitrary bytes: the conversion every reply goes through
// before its fields are extracted, so it sees whatever the network delivers.
//
// What holds for any input: the call succeeds, reads only up to the first zero byte, gives
// the same result when source and destination are one string (the program converts
// replies in place), and yields valid GBK. Input that is not UTF-8 leaves a '?' behind.
//
// What holds for well-formed UTF-8: converting the result back gives the input character
// for character, except that each character GBK cannot hold is one '?'. The characters
// stay in order and none is dropped, so a reply's markup survives around text GBK cannot
// show.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "text/encoding.h"

using quillmark::fuzz::DecodeUtf8;
using quillmark::fuzz::kReplacementUtf8;
using quillmark::fuzz::UpToZero;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string source(reinterpret_cast<const char*>(data), size);
  const std::string read = UpToZero(source);

  std::string gbk = "stale";
  QUILLMARK_FUZZ_CHECK(quillmark::Utf8ToAnsi(source, gbk));

  std::string fromPrefix;
  QUILLMARK_FUZZ_CHECK(quillmark::Utf8ToAnsi(read, fromPrefix));
  QUILLMARK_FUZZ_CHECK(fromPrefix == gbk);

  std::string inPlace = source;
  QUILLMARK_FUZZ_CHECK(quillmark::Utf8ToAnsi(inPlace, inPlace));
  QUILLMARK_FUZZ_CHECK(inPlace == gbk);

  QUILLMARK_FUZZ_CHECK(gbk.find('\0') == std::string::npos);
  QUILLMARK_FUZZ_CHECK(gbk.size() <= 2 * read.size());

  // The result is valid GBK: reading it back replaces nothing.
  std::string back;
  QUILLMARK_FUZZ_CHECK(quillmark::AnsiToUtf8(gbk, back));
  QUILLMARK_FUZZ_CHECK(back.find(kReplacementUtf8) == std::string::npos);
  const auto after = DecodeUtf8(back);
  QUILLMARK_FUZZ_CHECK(after.has_value());

  const auto before = DecodeUtf8(read);
  if (!before) {
    QUILLMARK_FUZZ_CHECK(gbk.find('?') != std::string::npos);
    return 0;
  }
  std::size_t k = 0;
  for (char32_t c : *before) {
    QUILLMARK_FUZZ_CHECK(k < after->size());
    const char32_t d = (*after)[k++];
    // ASCII is GBK's first half, so it can never be the one replaced.
    QUILLMARK_FUZZ_CHECK(d == c || (d == U'?' && c >= 0x80));
  }
  QUILLMARK_FUZZ_CHECK(k == after->size());
  return 0;
}
