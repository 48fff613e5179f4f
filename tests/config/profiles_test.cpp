// Profiles of the settings file: which source each value comes from (the environment, the
// chosen [profile NAME], [merchant], the build's defaults), what the loader refuses and by
// which line, and the dialogs' save, which edits one section and keeps every other line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "config/merchant_config.h"
#include "config/merchant_settings.h"
#include "config/settings_file.h"
#include "tests/support/temp_dir.h"

namespace quillmark {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class Profiles : public ::testing::Test {
 protected:
  std::string Write(const std::string& text) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
    return path_;
  }

  testsupport::TempDir temp_;
  const std::string path_ = temp_.path() + "/quillmark.ini";
};

constexpr char kTwoProfiles[] =
    "; two accounts\n"
    "[merchant]\n"
    "appid = qmmerchant00000001\n"
    "mch_id = 1111111111\n"
    "[profile staging]\n"
    "mch_id = 2222222222\n"
    "api_base = https://staging.example.net:9443\n"
    "[profile other-1]\n"
    "appid = qmother00000000002\n";

TEST_F(Profiles, EnvironmentOverProfileOverMerchantOverDefaults) {
  const std::string file = Write(kTwoProfiles);
  const std::string at = "file " + file + ":";
  const std::optional<std::string> none;
  const struct {
    std::optional<std::string> option;  // --profile
    Environment environment;
    const char* key;
    std::string value;
    std::string origin;
  } rows[] = {
      {none, {}, "mch_id", "1111111111", at + "4"},
      {none, {}, "api_base", kApiBase, "default"},
      {"staging", {}, "mch_id", "2222222222", at + "6 [profile staging]"},
      {"staging", {}, "appid", "qmmerchant00000001", at + "3 [merchant]"},
      {"staging", {}, "api_base", "https://staging.example.net:9443", at + "7 [profile staging]"},
      {"staging", {}, "spbill_create_ip", kSpbillCreateIp, "default"},
      {"staging",
       {{"QUILLMARK_MCH_ID", "3333333333"}},
       "mch_id",
       "3333333333",
       "environment QUILLMARK_MCH_ID"},
      {none,
       {{"QUILLMARK_PROFILE", "staging"}},
       "mch_id",
       "2222222222",
       at + "6 [profile staging]"},
      // The option over the variable; a key the profile lacks is [merchant]'s.
      {"other-1", {{"QUILLMARK_PROFILE", "staging"}}, "mch_id", "1111111111", at + "4 [merchant]"},
      {"other-1",
       {{"QUILLMARK_PROFILE", "staging"}},
       "appid",
       "qmother00000000002",
       at + "9 [profile other-1]"},
      // Empty: [merchant] alone, whichever says so.
      {"", {{"QUILLMARK_PROFILE", "staging"}}, "mch_id", "1111111111", at + "4"},
      {none, {{"QUILLMARK_PROFILE", ""}}, "mch_id", "1111111111", at + "4"},
  };
  for (const auto& row : rows) {
    const std::string which = row.option.value_or("(no option)") + " " + row.key;
    LoadedSettings settings;
    std::string error;
    ASSERT_TRUE(LoadSettings(file, row.option, row.environment, settings, error))
        << which << ": " << error;
    for (const SettingKey& key : SettingKeys()) {
      if (row.key != std::string(key.fileKey)) continue;
      EXPECT_EQ(settings.merchant.*key.member, row.value) << which;
      EXPECT_EQ(settings.origins.at(key.fileKey).Describe(), row.origin) << which;
    }
    EXPECT_EQ(settings.profiles, (std::vector<std::string>{"staging", "other-1"})) << which;
  }
}

TEST_F(Profiles, BadProfilesAreRefusedByTheirLine) {
  const std::string p = path_ + ":";
  const std::string name25(25, 'n');
  const struct {
    std::string text;
    std::optional<std::string> option;
    Environment environment;
    std::string error;  // empty: loads
  } rows[] = {
      {"[profile bad name]\n", {}, {}, p + "1: [profile ...] is not a profile's section"},
      {"[profile " + name25 + "]\n", {}, {}, p + "1: [profile ...] is not a"},
      {"[profile " + name25.substr(1) + "]\n", {}, {}, ""},
      {"[profile\tTab_ok-2]\n", {"Tab_ok-2"}, {}, ""},
      {"[profile a]\n[merchant]\n[profile a]\n",
       {},
       {},
       p + "3: [profile a] again; it began at line 1"},
      {"[profile a]\nappid = qmother00000000002\nfoo = 1\n",
       {},
       {},
       p + "3: unknown key foo in [profile a]"},
      {"[staging]\nappid = qmother00000000002\n", {}, {}, p + "2: unknown section [staging]"},
      {"[profile a]\nmch_id = 12\n", {}, {}, ""},  // a profile not chosen is not checked
      {"[profile a]\nmch_id = 12\n", {"a"}, {}, "file " + p + "2 [profile a]: mch_id = \"12\""},
      {"[profile a]\n[profile b]\n",
       {"nope"},
       {},
       "has no [profile nope] (--profile); its profiles are a, b"},
      {"[merchant]\n",
       {},
       {{"QUILLMARK_PROFILE", "nope"}},
       "has no [profile nope] (QUILLMARK_PROFILE); it has no [profile NAME] section"},
      {"[profile a]\n", {"a b"}, {}, "--profile is not a profile's name"},
      // An indented line after a key reads as more of its value, not as a section.
      {"[merchant]\nqr_path = a.bmp\n  [profile x]\n",
       {"x"},
       {},
       p + "3: an indented line continues qr_path of line 2"},
  };
  for (const auto& row : rows) {
    Write(row.text);
    LoadedSettings settings;
    std::string error;
    const bool loaded = LoadSettings(path_, row.option, row.environment, settings, error);
    EXPECT_EQ(loaded, row.error.empty()) << row.text << error;
    if (!row.error.empty()) {
      EXPECT_NE(error.find(row.error), std::string::npos) << error;
    }
  }
  LoadedSettings settings;
  std::string error;
  EXPECT_FALSE(LoadSettings(std::nullopt, "a", {{"XDG_CONFIG_HOME", temp_.path() + "/none"}},
                            settings, error));
  EXPECT_NE(error.find("there is no settings file"), std::string::npos) << error;
}

// What a file says twice would silently take the last line, and a NUL byte would cut its
// line short unseen: both are refused by line. A word that could be the API key (a
// section's or key's name outside a profile name's shape, a bad value with 32 letters or
// digits in a row) is never shown. A save never leaves a file the loader refuses.
TEST_F(Profiles, WhatIsSaidTwiceCutOrKeyShapedIsRefusedWithoutShowingAKey) {
  const std::string p = path_ + ":";
  const std::string key = "Qm7xVb2Lp9Rt4Kw8Nz3Hc6Jy1Fd5Gs0A";
  const std::string folder = temp_.path() + "/" + key;
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  const struct {
    std::string text;
    Environment environment;
    std::string error;
  } rows[] = {
      {"[merchant]\nappid = qmmerchant00000001\n[profile a]\n\n[merchant]\nmch_id = 1111111111\n",
       {},
       p + "5: [merchant] again; it began at line 1"},
      {"[merchant]\nmch_id = 1111111111\n; the other one\nmch_id = 2222222222\n",
       {},
       p + "4: mch_id again in [merchant]; line 2 set it"},
      {"[merchant]\n[profile a]\nqr_path = a.bmp\nqr_path: b.bmp\n",
       {},
       p + "4: qr_path again in [profile a]; line 3 set it"},
      {"[merchant]\nqr_path = a.bmp\n  ca_file = b.pem\n",
       {},
       p + "3: an indented line continues qr_path of line 2"},
      {std::string("[merchant]\nqr_path = a.bmp\0.exe\n", 32),
       {},
       p + "2: the line holds a NUL byte"},
      {std::string("[merchant]\n; \0\n", 15), {}, p + "2: the line holds a NUL byte"},
      {"[profile " + key + "]\n", {}, p + "1: [profile ...] is not a profile's section"},
      {"[merchant]\n" + key + " = x\n", {}, p + "2: an unknown key (its name not shown)"},
      {"[profile a]\n" + key + "\n", {}, p + "2: not a line of an INI file"},
      {"[" + key + "]\nappid = qmmerchant00000001\n", {}, p + "2: unknown section (its name"},
      {"[merchant]\nappid = " + key + "\n", {}, p + "2: appid is not valid: it must be 18"},
      {"[merchant]\nca_file = " + folder + "\n",
       {},
       p + "2: ca_file is not valid: it is not a regular file"},
      {"[merchant]\n", {{"QUILLMARK_MCH_ID", "x" + key}}, "QUILLMARK_MCH_ID: mch_id is not valid"},
  };
  const MerchantSettings values = MerchantSettings::Defaults();
  for (const auto& row : rows) {
    Write(row.text);
    LoadedSettings settings;
    std::string error;
    EXPECT_FALSE(LoadSettings(path_, row.environment, settings, error)) << row.text;
    EXPECT_NE(error.find(row.error), std::string::npos) << row.text << error;
    EXPECT_EQ(error.find(key), std::string::npos) << row.text << error;
    if (!row.environment.empty()) continue;
    // Refused with the file as it was, or saved as a file that loads.
    if (SaveSettingsFile(path_, values, error)) {
      EXPECT_TRUE(LoadSettings(path_, {}, settings, error)) << row.text << error;
    } else {
      EXPECT_EQ(Slurp(path_), row.text) << error;
    }
    EXPECT_EQ(error.find(key), std::string::npos) << row.text << error;
  }
}

// A save edits its section's lines where they are and keeps every other line: comments,
// [merchant] or the other profiles. A profile keeps only what differs from [merchant].
TEST_F(Profiles, ASaveEditsOneSectionAndKeepsTheRest) {
  const std::string file = Write(kTwoProfiles + std::string("; the end\n"));
  std::string problem, error;
  const SettingsSection staging = ReadSettingsSection(file, "staging", problem);
  ASSERT_EQ(problem, "");
  EXPECT_EQ(staging.own, (std::set<std::string>{"mch_id", "api_base"}));
  EXPECT_EQ(staging.merchant.mchId, "1111111111");
  MerchantSettings values = staging.values;
  values.mchId = "4444444444";
  values.apiBase = staging.merchant.apiBase;  // back to [merchant]'s: inherited
  values.qrPath = "staging.bmp";              // new to the profile
  ASSERT_TRUE(SaveSettingsSection(file, "staging", values, error)) << error;
  EXPECT_EQ(Slurp(file),
            "; two accounts\n[merchant]\nappid = qmmerchant00000001\nmch_id = 1111111111\n"
            "[profile staging]\nmch_id = 4444444444\nqr_path = staging.bmp\n"
            "[profile other-1]\nappid = qmother00000000002\n; the end\n");

  MerchantSettings merchant = ReadSettingsFile(file, problem);
  merchant.appId = "qmmerchant00000009";
  ASSERT_TRUE(SaveSettingsFile(file, merchant, error)) << error;
  std::string expected =
      "; two accounts\n[merchant]\nappid = qmmerchant00000009\nmch_id = 1111111111\n";
  for (const SettingKey& key : SettingKeys()) {
    if (std::string(key.fileKey) == "appid" || std::string(key.fileKey) == "mch_id") continue;
    expected += std::string(key.fileKey) + " = " + merchant.*key.member + "\n";
  }
  expected +=
      "[profile staging]\nmch_id = 4444444444\nqr_path = staging.bmp\n"
      "[profile other-1]\nappid = qmother00000000002\n; the end\n";
  EXPECT_EQ(Slurp(file), expected);

  // What would not load is not saved, and the file stays as it was.
  Write("[merchant]\nfoo = 1\n");
  EXPECT_FALSE(SaveSettingsFile(file, merchant, error));
  EXPECT_NE(error.find(file + ":2: unknown key foo in [merchant]"), std::string::npos) << error;
  EXPECT_EQ(Slurp(file), "[merchant]\nfoo = 1\n");
}

}  // namespace
}  // namespace quillmark
