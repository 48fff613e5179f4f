// What the bitmap writer does with names a hostile or careless user of a shared folder may
// plant where the bitmap goes: links, pipes, a folder that takes no new files. POSIX only,
// where such names are made without privileges.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

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
