// The rules every setting is held to, whatever its source: each row a value and whether
// the rule takes it. The rules read values by hand, so the edges of each form are here.
#include <gtest/gtest.h>

#include <string>

#include "payment/merchant_settings.h"

namespace quillmark {
namespace {

TEST(SettingRule, TakesExactlyTheDocumentedForms) {
  const struct {
    const char* key;
    std::string value;
    bool valid;
  } rows[] = {
      {"appid", "qmexample000000042", true},
      {"appid", "qmexample00000004", false},
      {"appid", "qmexample00000004_", false},
      {"mch_id", "5550001234", true},
      {"mch_id", "555000123", false},
      {"mch_id", "555000123x", false},
      {"api_key", "0123456789abcdefghijklmnopqrstuv", true},
      {"api_key", "0123456789abcdefghijklmnopqrstu!", false},
      {"spbill_create_ip", "203.0.113.7", true},
      {"spbill_create_ip", "0.0.0.0", true},
      {"spbill_create_ip", "255.255.255.255", true},
      {"spbill_create_ip", "256.0.0.1", false},
      {"spbill_create_ip", "01.2.3.4", false},
      {"spbill_create_ip", "1.2.3", false},
      {"spbill_create_ip", "1.2.3.4.", false},
      {"spbill_create_ip", "1.2.3.4.5", false},
      {"spbill_create_ip", "1..3.4", false},
      {"spbill_create_ip", "+1.2.3.4", false},
      {"notify_url", "http://shop.example.net/pay/notify?id=1", true},
      {"notify_url", "http://127.0.0.1:8080", true},
      {"notify_url", "http://shop.example.net/a&b", false},
      {"notify_url", "http://shop.example.net/<a>", false},
      {"notify_url", "http://shop.example.net/a b", false},
      {"notify_url", "http://shop.example.net:/", false},
      {"notify_url", "http://shop.example.net?x", false},
      {"notify_url", "https://shop.example.net/", false},
      {"notify_url", "http:///path", false},
      {"notify_url", "http://a/" + std::string(247, 'x'), true},
      {"notify_url", "http://a/" + std::string(248, 'x'), false},
      {"api_base", "https://api.example.net", true},
      {"api_base", "https://127.0.0.1:8443", true},
      {"api_base", "https://[::1]:8443", true},
      {"api_base", "https://api.example.net/", false},
      {"api_base", "https://api.example.net/pay", false},
      {"api_base", "https://[]:8443", false},
      {"api_base", "https://[::1", false},
      {"api_base", "http://api.example.net", false},
      {"api_base", "https://" + std::string(30000, 'a'), false},
      {"qr_path", "", false},
      {"qr_path", "/tmp/1.BMP", true},
      {"ca_file", "", true},
  };
  for (const auto& row : rows) {
    const std::string rule = SettingRule(row.key, row.value);
    EXPECT_EQ(rule.empty(), row.valid) << row.key << " = \"" << row.value.substr(0, 60) << "\": "
                                       << rule;
  }
}

}  // namespace
}  // namespace quillmark
