#include "qr/qr_bitmap.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/qr_reader.h"
#include "tests/support/temp_dir.h"

namespace quillmark::qr {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t Le(const std::vector<std::uint8_t>& bytes, std::size_t at, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes[at + static_cast<std::size_t>(i)];
  return value;
}

class QrBitmapTest : public ::testing::Test {
 protected:
  // Writes `text` and returns the file's bytes (empty if nothing was written).
  std::vector<std::uint8_t> Save(const std::string& text, const std::string& name = "1.BMP") {
    std::ostringstream log;
    last_result_ = SaveQrBitmapFile(text, (dir_ / name).string(), log);
    last_log_ = log.str();
    return ReadFile(dir_ / name);
  }

  // What a real reader finds in the bitmap. The file has no quiet zone, which readers
  // need, so a copy with a white border of 4 modules is decoded; it is written as PGM,
  // top row first, from the bitmap's bottom-up rows.
  std::string Decode(const std::vector<std::uint8_t>& bmp) {
    const auto side = static_cast<std::size_t>(Le(bmp, 18, 4));
    const std::size_t border = 4 * kPixelsPerModule;
    const std::size_t padded = side + 2 * border;
    std::vector<std::uint8_t> pixels(padded * padded, 255);
    for (std::size_t row = 0; row < side; ++row) {
      const std::uint8_t* stored = bmp.data() + kPixelDataOffset + (side - 1 - row) * side;
      std::copy(stored, stored + side,
                pixels.begin() + static_cast<std::ptrdiff_t>((row + border) * padded + border));
    }
    const fs::path pgm = dir_ / "decode.pgm";
    {
      std::ofstream out(pgm, std::ios::binary);
      out << "P5\n" << padded << ' ' << padded << "\n255\n";
      out.write(reinterpret_cast<const char*>(pixels.data()),
                static_cast<std::streamsize>(pixels.size()));
    }
    return testsupport::ReadQrCode(pgm.string());
  }

  testsupport::TempDir temp_;
  const fs::path dir_ = temp_.path();
  SaveResult last_result_ = SaveResult::kNotEncoded;
  std::string last_log_;
};

TEST_F(QrBitmapTest, VersionOneFileHasTheExactHeaders) {
  const auto bmp = Save("hello");  // fits version 1 at level H
  ASSERT_EQ(last_result_, SaveResult::kWritten);
  ASSERT_EQ(bmp.size(), 29302u);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  struct Field {
    std::size_t offset;
    int size;
    std::uint32_t value;
    const char* name;
  };
  const Field fields[] = {
      {2, 4, 29302, "file size"},
      {6, 2, 0, "reserved 1"},
      {8, 2, 0, "reserved 2"},
      {10, 4, 1078, "pixel offset"},
      {14, 4, 40, "info header size"},
      {18, 4, 168, "width"},
      {22, 4, 168, "height (positive: bottom-up)"},
      {26, 2, 1, "planes"},
      {28, 2, 8, "bits per pixel"},
      {30, 4, 0, "compression"},
      {34, 4, 28224, "image size"},
      {38, 4, 0, "x resolution"},
      {42, 4, 0, "y resolution"},
      {46, 4, 256, "colours used"},
      {50, 4, 0, "important colours"},
  };
  for (const Field& f : fields) EXPECT_EQ(Le(bmp, f.offset, f.size), f.value) << f.name;
  // The palette byte by byte: blue, green, red, zero, each entry a gray level equal to its
  // index, so index 0 is black and 255 white.
  const std::uint8_t* palette = bmp.data() + 54;
  EXPECT_EQ(std::vector<std::uint8_t>(palette, palette + 12),
            (std::vector<std::uint8_t>{0, 0, 0, 0, 1, 1, 1, 0, 2, 2, 2, 0}));
  EXPECT_EQ(std::vector<std::uint8_t>(palette + 1020, palette + 1024),
            (std::vector<std::uint8_t>{0xff, 0xff, 0xff, 0}));
  for (int i = 0; i < 256; ++i) {
    const std::uint8_t* entry = palette + 4 * i;
    ASSERT_TRUE(entry[0] == i && entry[1] == i && entry[2] == i && entry[3] == 0) << "entry " << i;
  }
  for (std::size_t i = kPixelDataOffset; i < bmp.size(); ++i) {
    ASSERT_TRUE(bmp[i] == 0 || bmp[i] == 255) << "pixel byte " << i;
  }
}

TEST_F(QrBitmapTest, FinderPatternsSitInThreeCornersOfTheDisplayedImage) {
  const auto bmp = Save("https://127.0.0.1:8443/pay/qr/20260307090503042abcdefghijklmno");
  ASSERT_EQ(last_result_, SaveResult::kWritten);
  const auto side = static_cast<std::size_t>(Le(bmp, 18, 4));
  const std::size_t modules = side / kPixelsPerModule;
  // Module (x, y) counted from the displayed top left; rows are stored bottom-up.
  auto dark = [&](std::size_t x, std::size_t y) {
    const std::size_t row = (modules - 1 - y) * kPixelsPerModule + kPixelsPerModule / 2;
    const std::size_t col = x * kPixelsPerModule + kPixelsPerModule / 2;
    return bmp[kPixelDataOffset + row * side + col] == 0;
  };
  // A finder pattern: dark 7x7 ring, light ring, dark 3x3 centre, then a light separator.
  auto finder_at = [&](std::size_t x0, std::size_t y0) {
    for (std::size_t y = 0; y < 7; ++y) {
      for (std::size_t x = 0; x < 7; ++x) {
        const bool ring = x == 0 || y == 0 || x == 6 || y == 6;
        const bool centre = x >= 2 && x <= 4 && y >= 2 && y <= 4;
        if (dark(x0 + x, y0 + y) != (ring || centre)) return false;
      }
    }
    return true;
  };
  EXPECT_TRUE(finder_at(0, 0)) << "top left";
  EXPECT_TRUE(finder_at(modules - 7, 0)) << "top right";
  EXPECT_TRUE(finder_at(0, modules - 7)) << "bottom left";
  EXPECT_FALSE(finder_at(modules - 7, modules - 7)) << "bottom right has none";
  // No quiet zone: the outermost pixels of the file belong to the finder patterns.
  EXPECT_EQ(bmp[kPixelDataOffset], 0) << "first stored pixel: bottom-left finder";
  EXPECT_EQ(bmp.back(), 0) << "last stored pixel: top-right finder";
}

TEST_F(QrBitmapTest, ARealReaderDecodesTheExactText) {
  // zbarimg is a program of the machine the tests run on; a Windows build's tests, run under
  // Wine, cannot start it (scripts/test-windows.sh reads the Windows program's bitmap with
  // it instead).
  if (!testsupport::QrReaderRuns()) GTEST_SKIP() << "zbarimg cannot be run from here";
  std::string long_text = "https://127.0.0.1:8443/pay/qr/";
  while (long_text.size() < 1200) long_text += "AbCdEfGhIjKlMnOpQrStUvWxYz0123456789-_.~";
  long_text.resize(1200);
  const std::string texts[] = {
      "https://127.0.0.1:8443/pay/qr/20260307090503042abcdefghijklmno",
      "MixedCase stays MixedCase: qmpay://pay/x?a=1&b=2",
      "1234567890123456789012345678901234567890",
      long_text,
  };
  for (const std::string& text : texts) {
    const auto bmp = Save(text);
    ASSERT_EQ(last_result_, SaveResult::kWritten) << text.size() << " bytes";
    EXPECT_EQ(Decode(bmp), text) << text.size() << " bytes";
  }
  const std::optional<Symbol> big = Encode(long_text);
  ASSERT_TRUE(big);
  EXPECT_GE(big->version, 35) << "the long text should need a high version";
  EXPECT_EQ(big->width, 17 + 4 * big->version);
}

TEST_F(QrBitmapTest, NothingToEncodeWritesNothing) {
  EXPECT_TRUE(Save("").empty());
  EXPECT_EQ(last_result_, SaveResult::kNotEncoded);
  EXPECT_TRUE(Save(std::string(3000, 'x')).empty()) << "beyond version 40 at level H";
  EXPECT_EQ(last_result_, SaveResult::kNotEncoded);
  EXPECT_EQ(last_log_, "");
}

TEST_F(QrBitmapTest, ASecondCallReplacesTheFileWhole) {
  const auto small = Save("short");
  const auto large = Save(std::string(300, 'q'));
  EXPECT_EQ(last_result_, SaveResult::kWritten);
  EXPECT_GT(large.size(), small.size());
  EXPECT_EQ(Le(large, 2, 4), large.size());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1)
      << "only the bitmap is left: no temporary file";
}

TEST_F(QrBitmapTest, FailuresAreReportedAndLeaveTheProcessAndOldFileAlone) {
  std::ostringstream log;
  EXPECT_EQ(SaveQrBitmapFile("text", (dir_ / "missing-dir" / "1.BMP").string(), log),
            SaveResult::kCannotOpen);
  EXPECT_EQ(log.str(), "Unable to open file\n");

  // A folder of the bitmap's name is neither replaced nor written through.
  fs::create_directory(dir_ / "folder");
  std::ostringstream log2;
  EXPECT_EQ(SaveQrBitmapFile("text", (dir_ / "folder").string(), log2), SaveResult::kCannotOpen);
  EXPECT_EQ(log2.str(), "Unable to open file\n");
  EXPECT_TRUE(fs::is_directory(dir_ / "folder"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1)
      << "no temporary file is left behind";
}

TEST_F(QrBitmapTest, WritesAsAnOpenOfTheBitmapItselfWould) {
  // An existing bitmap keeps its permissions (where the file system keeps such bits at
  // all: Windows has only the read-only attribute).
  Save("first");
  const fs::perms chosen = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(dir_ / "1.BMP", chosen);
  const fs::perms kept = fs::status(dir_ / "1.BMP").permissions() & fs::perms::all;
  Save("second");
  EXPECT_EQ(last_result_, SaveResult::kWritten);
  EXPECT_EQ(fs::status(dir_ / "1.BMP").permissions() & fs::perms::all, kept);

  // A read-only bitmap is refused as its open would be, and left as it was. Root may write
  // any file, so there the open, and the save, succeed.
  const auto before = ReadFile(dir_ / "1.BMP");
  fs::permissions(dir_ / "1.BMP", fs::perms::owner_read);
  if (std::unique_ptr<std::FILE, int (*)(std::FILE*)>(
          std::fopen((dir_ / "1.BMP").string().c_str(), "r+b"), &std::fclose)) {
    GTEST_SKIP() << "this user opens read-only files for writing (root)";
  }
  std::ostringstream log;
  EXPECT_EQ(SaveQrBitmapFile("fourth", (dir_ / "1.BMP").string(), log), SaveResult::kCannotOpen);
  EXPECT_EQ(log.str(), "Unable to open file\n");
  EXPECT_EQ(ReadFile(dir_ / "1.BMP"), before);
}

}  // namespace
}  // namespace quillmark::qr
