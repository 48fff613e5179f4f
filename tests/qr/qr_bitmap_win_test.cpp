// What the bitmap writer does on Windows with names that reach a device rather than a file:
// a reserved name is the device in every folder, whatever its extension, so it is refused
// before anything is opened; and what is opened is checked to be a file on disk.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "qr/qr_bitmap.h"
#include "tests/support/temp_dir.h"

namespace quillmark::qr {
namespace {

namespace fs = std::filesystem;

TEST(DeviceNames, ReservedInAnyCaseWithAnyExtensionAndTrailingDotsOrSpaces) {
  const struct {
    const char* path;
    bool reserved;
  } rows[] = {
      {"CON", true},           {"con", true},
      {"Prn.txt", true},       {"AUX", true},
      {"nul.bmp", true},       {"COM5", true},
      {"com5.bmp", true},      {"COM5.bmp.0123abcd89ef4567.tmp", true},
      {"COM1", true},          {"com9.x.y", true},
      {"LPT1", true},          {"lpt9.bmp", true},
      {"COM5 .bmp", true},     {"COM5. .bmp", true},
      {"nul...", true},        {"C:\\work\\COM5.bmp", true},
      {"work/lpt2.bmp", true}, {"C:COM5", true},
      {"COM5:", true},         {"\\\\.\\COM5", true},
      {"conout$", true},       {"CONIN$.txt", true},
      {"COM0", false},         {"COM10.bmp", false},
      {"LPT", false},          {"CONSOLE.bmp", false},
      {"1.BMP", false},        {"xcon.bmp", false},
      {"my con.bmp", false},   {"C:\\COM5\\1.BMP", false},
      {"com5x.bmp", false},    {"Z:\\tmp\\null", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(platform::IsReservedDeviceName(row.path), row.reserved) << row.path;
  }
}

TEST(DeviceNames, AreNeitherOpenedNorReportedAsWritten) {
  testsupport::TempDir temp;
  const fs::path dir = temp.path();
  for (const char* name : {"COM5", "com5.bmp", "LPT1.BMP", "nul", "Con .bmp"}) {
    std::ostringstream log;
    EXPECT_EQ(SaveQrBitmapFile("https://127.0.0.1/qr/1", (dir / name).string(), log),
              SaveResult::kCannotOpen)
        << name;
    EXPECT_EQ(log.str(), "Unable to open file\n") << name;
    bool taken = true;
    EXPECT_EQ(platform::CreateNewFile((dir / name).string().c_str(), taken), nullptr) << name;
    EXPECT_FALSE(taken) << name;
    EXPECT_EQ(platform::OpenDiskFile((dir / name).string().c_str(), "wb"), nullptr) << name;
  }
  EXPECT_TRUE(fs::is_empty(dir)) << "nothing was made for a device's name";
}

// Under Wine Z: is the Linux root: /dev/null is a character device behind a name that no
// rule reserves, which only the check of what was opened refuses.
TEST(DiskFiles, OnlyAFileOnDiskIsOpened) {
  for (const char* mode : {"rb", "r+b", "wb"}) {
    std::FILE* file = platform::OpenDiskFile("Z:\\dev\\null", mode);
    EXPECT_EQ(file, nullptr) << mode;
    if (file != nullptr) std::fclose(file);
  }
  testsupport::TempDir temp;
  const std::string path = (fs::path(temp.path()) / "1.BMP").string();
  std::ofstream(path, std::ios::binary) << "old";
  bool taken = false;
  EXPECT_EQ(platform::CreateNewFile(path.c_str(), taken), nullptr);
  EXPECT_TRUE(taken) << "a name that is taken";
  std::FILE* file = platform::OpenDiskFile(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("new", file);
  std::fclose(file);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new");
}

}  // namespace
}  // namespace quillmark::qr
