// AnsiToUtf8 (GBK to UTF-8) on arbitrary bytes: the conversion every reply's sign string
// and every request document goes through.
//
// What holds for any input: the call succeeds (false is reserved for an exhausted heap or
// a refusing system service), reads only up to the first zero byte, gives the same result
// when source and destination are one string, and yields well-formed UTF-8 with at most
// one character per input byte. Invalid input becomes U+FFFD, never a silent drop.
//
// What holds for valid GBK (the output then holds no U+FFFD, as no GBK character maps to
// it): converting back gives the input's bytes exactly. This rests on code page 936
// decoding being one-to-one, which was checked over every one- and two-byte sequence
// against the system's tables when this harness was written.
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

  std::string utf8 = "stale";
  QUILLMARK_FUZZ_CHECK(quillmark::AnsiToUtf8(source, utf8));
  QUILLMARK_FUZZ_CHECK(read.empty() == utf8.empty());

  std::string fromPrefix;
  QUILLMARK_FUZZ_CHECK(quillmark::AnsiToUtf8(read, fromPrefix));
  QUILLMARK_FUZZ_CHECK(fromPrefix == utf8);

  std::string inPlace = source;
  QUILLMARK_FUZZ_CHECK(quillmark::AnsiToUtf8(inPlace, inPlace));
  QUILLMARK_FUZZ_CHECK(inPlace == utf8);

  QUILLMARK_FUZZ_CHECK(utf8.find('\0') == std::string::npos);
  const auto characters = DecodeUtf8(utf8);
  QUILLMARK_FUZZ_CHECK(characters.has_value());
  QUILLMARK_FUZZ_CHECK(characters->size() <= read.size());

  const bool replaced = utf8.find(kReplacementUtf8) != std::string::npos;
  std::string back;
  QUILLMARK_FUZZ_CHECK(quillmark::Utf8ToAnsi(utf8, back));
  if (!replaced) QUILLMARK_FUZZ_CHECK(back == read);
  return 0;
}
