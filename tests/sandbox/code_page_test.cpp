// The payment code's barcode read back by a real reader (zbarimg): codes whose digit pairs
// run through every symbol of Code 128's set C, so that a wrong width anywhere in the table
// is a code that reads wrong or not at all.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sandbox/payer/code_page.h"
#include "tests/support/qr_reader.h"
#include "tests/support/temp_dir.h"

namespace quillmark::sandbox {
namespace {

// The barcode of `widths` as a PGM file: 2 pixels a module, 10 modules of quiet zone.
void WritePgm(const std::vector<int>& widths, const std::string& path) {
  int modules = 20;
  for (const int w : widths) modules += w;
  const int width = modules * 2, height = 60;
  std::string row(static_cast<std::size_t>(width), '\xff');
  int x = 10;
  for (std::size_t i = 0; i < widths.size(); ++i) {
    if (i % 2 == 0)
      row.replace(static_cast<std::size_t>(x * 2), static_cast<std::size_t>(widths[i] * 2),
                  static_cast<std::size_t>(widths[i] * 2), '\0');
    x += widths[i];
  }
  std::ofstream file(path, std::ios::binary);
  file << "P5 " << width << ' ' << height << " 255\n";
  for (int y = 0; y < height; ++y) file << row;
}

std::string ReadCode128(const std::string& path) {
  const std::string command =
      "zbarimg --raw -q -Sdisable -Scode128.enable '" + path + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string output;
  std::array<char, 256> buffer{};
  std::size_t n;
  while (pipe && (n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) {
    output.append(buffer.data(), n);
  }
  if (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

TEST(PaymentCode, EverySymbolOfTheBarcodeReadsBack) {
  if (!testsupport::QrReaderRuns()) GTEST_SKIP() << "no zbarimg here";
  std::string pairs;
  for (int value = 0; value < 100; ++value) {
    pairs += static_cast<char>('0' + value / 10);
    pairs += static_cast<char>('0' + value % 10);
  }
  pairs += "0000000000000000";  // to a whole number of 18-digit codes
  testsupport::TempDir dir;
  for (std::size_t at = 0; at + 18 <= pairs.size(); at += 18) {
    const std::string digits = pairs.substr(at, 18);
    SCOPED_TRACE(digits);
    const std::string path = dir.path() + "/code.pgm";
    WritePgm(Code128Widths(digits), path);
    EXPECT_EQ(ReadCode128(path), digits);
  }
  EXPECT_TRUE(Code128Widths("12345").empty()) << "set C takes digits in pairs";
  EXPECT_TRUE(Code128Widths("12a4").empty());
}

}  // namespace
}  // namespace quillmark::sandbox
