// The rules every setting is held to, whatever its source: each row a value and whether
// the rule takes it. The rules read values by hand, so the edges of each form are here.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "payment/merchant_settings.h"
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
  for (const auto& row : rows) {
    const std::string rule = SettingRule(row.key, row.value);
    EXPECT_EQ(rule.empty(), row.valid) << row.key << " = \"" << row.value.substr(0, 60) << "\": "
                                       << rule;
  }
}

}  // namespace
}  // namespace quillmark
