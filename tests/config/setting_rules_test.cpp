// The rules every setting is held to, whatever its source: each row a value and whether
// the rule takes it. The rules read values by hand, so the edges of each form are here.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "config/merchant_settings.h"
#include "tests/support/temp_dir.h"

namespace quillmark {
namespace {

// The cases the configure step's checks are held to as well (tests/config).
TEST(SettingRule, TakesExactlyTheDocumentedForms) {
  const struct {
    const char* key;
    std::string value;
    bool valid;
  } rows[] = {
#define CASE(key, value, validity) {#key, value, #validity[0] == 'v'},
#include "tests/config/setting_cases.inc"
#undef CASE
      // Lengths the configure step does not test.
      {"notify_url", "http://a/" + std::string(247, 'x'), true},
      {"notify_url", "http://a/" + std::string(248, 'x'), false},
      {"api_base", "https://" + std::string(30000, 'a'), false},
  };
  std::set<std::string> tried;
  for (const auto& row : rows) {
    const std::string rule = SettingRule(row.key, row.value);
    EXPECT_EQ(rule.empty(), row.valid)
        << row.key << " = \"" << row.value.substr(0, 60) << "\": " << rule;
    tried.insert(row.key);
  }
  // Every row's rule is read from its text, and held to a case the configure step is too.
  for (const SettingKey& key : SettingKeys()) {
    ValueRule rule;
    EXPECT_TRUE(ValueRule::Parse(key.ruleText, rule)) << key.fileKey << ": " << key.ruleText;
    EXPECT_EQ(tried.count(key.fileKey), 1u) << key.fileKey << " has no case";
  }
}

std::string Utf16(const std::string& ascii, bool bigEndian) {
  std::string out;
  for (const char c : ascii) {
    out += bigEndian ? std::string(1, '\0') + c : std::string(1, c) + '\0';
  }
  return out;
}

// Files as they are read: a line of 198 bytes is the longest taken, whole, and the next
// byte refuses it by its number, before the reader's 200-byte buffer could overflow; a file
// saved as UTF-16 is named for what it is.
TEST(SettingsFile, TakesLinesUpTo198BytesAndNamesAUtf16File) {
  testsupport::TempDir temp;
  const std::string path = temp.path() + "/quillmark.ini";
  const std::string value198(198 - 10, 'q');  // after "qr_path = "
  const std::string merchant = "[merchant]\nqr_path = x\n";
  const struct {
    const char* what;
    std::string text;
    std::string error;  // empty: read, and qr_path is `qrPath`
    std::string qrPath;
  } rows[] = {
      {"198 bytes", "[merchant]\nqr_path = " + value198 + "\n", "", value198},
      {"198 bytes, last line", "[merchant]\nqr_path = " + value198, "", value198},
      {"199 bytes", "[merchant]\nqr_path = " + value198 + "q\n",
       path + ":2: the line is longer than 198 bytes", ""},
      {"UTF-16 LE, BOM", "\xff\xfe" + Utf16(merchant, false),
       path + " is in UTF-16 LE with a byte-order mark, which is not read; save it as UTF-8", ""},
      {"UTF-16 BE, BOM", "\xfe\xff" + Utf16(merchant, true), "UTF-16 BE with a byte-order mark",
       ""},
      {"UTF-16 LE", Utf16(merchant, false), " is in UTF-16 LE, which", ""},
      {"UTF-16 BE", Utf16(merchant, true), " is in UTF-16 BE, which", ""},
      {"UTF-8, BOM", "\xef\xbb\xbf" + merchant, "", "x"},
  };
  for (const auto& row : rows) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << row.text;
    LoadedSettings settings;
    std::string error;
    const bool loaded = LoadSettings(path, {}, settings, error);
    EXPECT_EQ(loaded, row.error.empty()) << row.what << ": " << error;
    if (row.error.empty()) {
      EXPECT_EQ(settings.merchant.qrPath, row.qrPath) << row.what;
    } else {
      EXPECT_NE(error.find(row.error), std::string::npos) << row.what << ": " << error;
    }
  }
}

}  // namespace
}  // namespace quillmark
