// What the bitmap writer does with names a hostile or careless user of a shared folder may
// plant where the bitmap goes: links, pipes, a folder that takes no new files. POSIX only,
// where such names are made without privileges.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::string Text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

SaveResult Save(const fs::path& path, std::string* log = nullptr) {
  std::ostringstream out;
  const SaveResult result = SaveQrBitmapFile("https://127.0.0.1/qr/1", path.string(), out);
  if (log != nullptr) *log = out.str();
  return result;
}

TEST(QrBitmapPlantedNames, NeitherFollowedNorReplaced) {
  testsupport::TempDir temp;
  const fs::path dir = temp.path();
  // Links at the fixed temporary names of old, pointing at a file that must survive.
  const fs::path victim = dir / "victim.txt";
  std::ofstream(victim) << "keep me";
  for (const char* name : {"1.BMP.tmp", "1.BMP.tmp.tmp"}) fs::create_symlink(victim, dir / name);
  EXPECT_EQ(Save(dir / "1.BMP"), SaveResult::kWritten);
  EXPECT_EQ(Text(victim), "keep me");
  EXPECT_TRUE(fs::is_symlink(dir / "1.BMP.tmp"));

  // A pipe given as the bitmap: its open would wait for a reader for ever, and a rename
  // would replace it.
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  std::string log;
  EXPECT_EQ(Save(dir / "pipe", &log), SaveResult::kCannotOpen);
  EXPECT_EQ(log, "Unable to open file\n");
  EXPECT_TRUE(fs::is_fifo(dir / "pipe"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 5)
      << "the victim, two links, the bitmap and the pipe; no temporary file";
}

// The seam that makes the bitmap's and the settings file's temporary files: any name that
// is taken is refused, and nothing is written through it. With a random name a planted one
// is unlikely to be hit, so only this shows that one would not be followed.
TEST(CreateNewFile, RefusesEveryNameThatIsTaken) {
  testsupport::TempDir temp;
  const fs::path dir = temp.path();
  const fs::path victim = dir / "victim.txt";
  std::ofstream(victim) << "keep me";
  std::ofstream(dir / "file") << "mine";
  fs::create_symlink(victim, dir / "link");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  fs::create_directory(dir / "folder");
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  // A reader, so that an open that took the pipe for a file would not wait for one.
  const int reader = open((dir / "pipe").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  for (const char* name : {"file", "link", "dangling", "folder", "pipe"}) {
    bool taken = false;
    std::FILE* file = platform::CreateNewFile((dir / name).c_str(), taken);
    EXPECT_EQ(file, nullptr) << name;
    EXPECT_TRUE(taken) << name;
    if (file != nullptr) {
      std::fputs("written through", file);
      std::fclose(file);
    }
  }
  close(reader);
  EXPECT_EQ(Text(victim), "keep me");
  EXPECT_EQ(Text(dir / "file"), "mine");
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
  EXPECT_TRUE(fs::is_fifo(dir / "pipe"));

  bool taken = true;
  std::FILE* fresh = platform::CreateNewFile((dir / "new").c_str(), taken);
  ASSERT_NE(fresh, nullptr);
  EXPECT_FALSE(taken);
  std::fclose(fresh);
}

// The bitmap opened in place is only ever a regular file: a pipe, a terminal or a device
// is refused at once, without waiting for the pipe's other end.
TEST(OpenDiskFile, OpensRegularFilesOnly) {
  testsupport::TempDir temp;
  const fs::path dir = temp.path();
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  std::ofstream(dir / "file") << "old";
  for (const char* mode : {"rb", "r+b", "wb"}) {
    for (const fs::path& path : {dir / "pipe", fs::path("/dev/null"), fs::path("/dev/zero"), dir}) {
      std::FILE* file = platform::OpenDiskFile(path.c_str(), mode);
      EXPECT_EQ(file, nullptr) << mode << " " << path;
      if (file != nullptr) std::fclose(file);
    }
  }
  std::FILE* file = platform::OpenDiskFile((dir / "file").c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("new", file);
  std::fclose(file);
  EXPECT_EQ(Text(dir / "file"), "new");
}
TEST(QrBitmapPlantedNames, AFolderThatTakesNoNewFilesIsWrittenInPlace) {
  if (geteuid() == 0) GTEST_SKIP() << "root creates files in any folder";
  testsupport::TempDir temp;
  const fs::path dir = temp.path();
  ASSERT_EQ(Save(dir / "1.BMP"), SaveResult::kWritten);
  fs::permissions(dir, fs::perms::owner_write, fs::perm_options::remove);
  const SaveResult inPlace = Save(dir / "1.BMP");
  fs::permissions(dir, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(inPlace, SaveResult::kWritten);
  EXPECT_EQ(Text(dir / "1.BMP").substr(0, 2), "BM");
}

}  // namespace
}  // namespace quillmark::qr
