// Paths with names beyond ASCII through the seam, on every system: what a Chinese-speaking
// user's folders hold. On Windows (the test runs under Wine there) each must reach the file
// through UTF-16; a narrow call would read the name in the ANSI code page, or as Latin-1,
// and open something else or nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <system_error>

#include "config/local_sandbox.h"
#include "config/merchant_settings.h"
#include "config/settings_file.h"
#include "platform/platform.h"
#include "qr/qr_bitmap.h"
#include "tests/support/temp_dir.h"
#include "text/encoding.h"

namespace quillmark {
namespace {

namespace fs = std::filesystem;

// Folder names as users have them: Chinese (what GBK holds), Latin with accents, and a
// character outside the Basic Multilingual Plane (a surrogate pair in UTF-16, which GBK
// cannot hold).
const char* const kFolders[] = {
    "\xe4\xba\x8c\xe7\xbb\xb4\xe7\xa0\x81",               // 二维码
    "\xe8\xae\xbe\xe7\xbd\xae/\xe5\xbc\xa0\xe4\xbc\x9f",  // 设置/张伟
    "Caf\xc3\xa9 \xc3\x9c",                               // Café Ü
    "\xf0\x9f\x93\xb7 photos",                            // 📷 photos
};

TEST(Paths, FilesInFoldersWithNamesBeyondAsciiAreMadeFoundAndRead) {
  testsupport::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  for (const char* name : kFolders) {
    const std::string folder = dir.path() + "/" + name;
    std::error_code error;
    ASSERT_TRUE(fs::create_directories(platform::FilePath(folder), error)) << name;
    EXPECT_EQ(platform::PathText(platform::FilePath(folder)), folder) << name;

    // A settings file there, naming a bitmap there: written, read back, and the bitmap
    // written where it says.
    const std::string file = folder + "/quillmark.ini";
    MerchantSettings values = MerchantSettings::Defaults();
    values.qrPath = folder + "/1.BMP";
    std::string problem;
    ASSERT_TRUE(SaveSettingsFile(file, values, problem)) << name << ": " << problem;
    EXPECT_EQ(NotARegularFile(file, 64 * 1024), "") << name;
    LoadedSettings loaded;
    ASSERT_TRUE(LoadSettings(file, {}, loaded, problem)) << name << ": " << problem;
    EXPECT_EQ(loaded.merchant.qrPath, values.qrPath) << name;
    EXPECT_EQ(loaded.origins.at("qr_path").Describe().rfind("file " + file + ":", 0), 0u)
        << loaded.origins.at("qr_path").Describe();
    std::ostringstream log;
    EXPECT_EQ(qr::SaveQrBitmapFile("https://pay.example.invalid/qr/1", values.qrPath, log),
              qr::SaveResult::kWritten)
        << name << ": " << log.str();

    // What is on disk has these names, not others made of the same bytes read otherwise.
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(platform::FilePath(folder), error)) {
      names.insert(platform::PathText(entry.path().filename()));
    }
    EXPECT_EQ(names, (std::set<std::string>{"1.BMP", "quillmark.ini"})) << name;
  }
  std::set<std::string> top;
  for (const auto& entry : fs::directory_iterator(platform::FilePath(dir.path()))) {
    top.insert(platform::PathText(entry.path().filename()));
  }
  EXPECT_EQ(top.count("\xe4\xba\x8c\xe7\xbb\xb4\xe7\xa0\x81"), 1u);
  EXPECT_EQ(top.count("\xe8\xae\xbe\xe7\xbd\xae"), 1u);
}

TEST(Paths, ShownInTheCodePageTheProgramsPrintIn) {
  const bool gbk = platform::ConsoleCodePage() == platform::CodePage::kGbk;
  const struct {
    const char* utf8;
    const char* gbk;  // what Windows prints; elsewhere the UTF-8 as it is
  } rows[] = {
      {"Z:\\tmp\\\xe4\xba\x8c\xe7\xbb\xb4\xe7\xa0\x81\\1.BMP",
       "Z:\\tmp\\\xb6\xfe\xce\xac\xc2\xeb\\1.BMP"},
      {"Caf\xc3\xa9", "Caf\xa8\xa6"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ShownText(row.utf8), gbk ? row.gbk : row.utf8) << row.utf8;
  }
  // Control bytes are escaped either way.
  EXPECT_EQ(ShownText("a\x1b[2Jb"), "a\\x1b[2Jb");
}

// Against a loopback api_base the clients present the per-user sandbox's certificate, but
// only one it issued: a file that was never made must not fail every refund before it is sent.
TEST(Paths, TheLocalSandboxCertificateIsPresentedOnlyOnceIssued) {
  testsupport::TempDir dir;
  const Environment environment = {{"LOCALAPPDATA", dir.path()}, {"XDG_DATA_HOME", dir.path()}};
  EXPECT_TRUE(LocalSandboxClientCertificate(environment, "1230000001").empty());
  const std::string folder = ClientCertFolder(LocalSandboxFolder(environment), "1230000001");
  std::error_code error;
  fs::create_directories(platform::FilePath(folder), error);
  const std::string p12 = platform::PathText(platform::FilePath(folder) / kClientCertP12);
  std::FILE* file = platform::OpenDiskFile(p12.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  const ClientCertificate issued = LocalSandboxClientCertificate(environment, "1230000001");
  EXPECT_EQ(issued.certFile, p12);
  EXPECT_EQ(issued.password, "1230000001");
}

TEST(Paths, TheSystemStoreDefaultTrustsThePerUserSandboxCaOnceThereIsOne) {
  if (!MerchantSettings::Defaults().caFile.empty()) {
    GTEST_SKIP() << "the build's default CA is a file (a build tree's), not the system's store";
  }
  testsupport::TempDir dir;
  // The per-user data folder, as each system names it.
  const Environment environment = {{"LOCALAPPDATA", dir.path()}, {"XDG_DATA_HOME", dir.path()}};
  const std::string ca = LocalSandboxCaFile(environment);
  ASSERT_FALSE(ca.empty());
  const struct {
    bool caExists;
    bool systemStoreAskedFor;  // QUILLMARK_CA_FILE set and empty
    bool trusted;
  } rows[] = {{false, false, false}, {true, false, true}, {true, true, false}};
  for (const auto& row : rows) {
    std::error_code error;
    fs::remove(platform::FilePath(ca), error);
    if (row.caExists) {
      fs::create_directories(platform::FilePath(ca).parent_path(), error);
      std::FILE* file = platform::OpenDiskFile(ca.c_str(), "wb");
      ASSERT_NE(file, nullptr);
      std::fclose(file);
    }
    Environment env = environment;
    if (row.systemStoreAskedFor) env["QUILLMARK_CA_FILE"] = "";
    LoadedSettings loaded;
    std::string problem;
    ASSERT_TRUE(LoadSettings(std::nullopt, env, loaded, problem)) << problem;
    EXPECT_EQ(loaded.merchant.caFile, row.trusted ? ca : "")
        << row.caExists << row.systemStoreAskedFor;
  }
}

}  // namespace
}  // namespace quillmark
