// The second signature, without a server: each rule of a JSAPI page's parameter set, with
// paySigns computed outside the project.
#include "sandbox/api/page_verify.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "sandbox/order/order_life.h"
#include "tests/support/known_answers.h"

namespace quillmark::sandbox {
namespace {

constexpr std::int64_t kStampSeconds = 1'773'100'000;
constexpr std::int64_t kNowMs = (kStampSeconds + 30) * 1000;
constexpr char kPrepayId[] = "qmpp2026031000made0up0000000000000";
constexpr char kNonce[] = "PageNonce0123456789abcdefABCDEF";
// The paySigns of the set below (appId qmsandbox000000001, timeStamp 1773100000, the nonce
// and prepay_id above), from Python's hashlib.md5 and hmac.new(key, text, hashlib.sha256)
// over "appId=...&nonceStr=...&package=prepay_id=...&signType=...&timeStamp=...&key=KEY",
// the MD5 again from `printf '%s' TEXT | openssl dgst -md5`: under the sandbox merchant's
// key, and the MD5 under another key.
constexpr char kMd5PaySign[] = "0B76569BEB4F0DD6491945193604B153";
constexpr char kHmacPaySign[] = "16EC508C33D2287E0D49AED57FE905FBF430EB3E99A16A4C9AAE6115DE643BAA";
constexpr char kWrongKeyPaySign[] = "0E6DCA64C4D2E1EEF5CE4AAA4222B56C";

PageParameters Signed(const char* signType = "MD5", const char* paySign = kMd5PaySign) {
  return {"qmsandbox000000001",
          std::to_string(kStampSeconds),
          kNonce,
          std::string("prepay_id=") + kPrepayId,
          signType,
          paySign};
}

Order Unpaid() {
  Order order = OrderLife::Placed("a made-up page order", 1, "http://127.0.0.1/n", kNowMs);
  order.tradeType = "JSAPI";
  order.prepayId = kPrepayId;
  order.prepayUntil = kNowMs + 1;
  return order;
}

TEST(PageVerify, EachRule) {
  OrderLife life;
  Order paid = Unpaid();
  life.Apply(paid, Transition::kPay, {Actor::kPayerPage, kNowMs});
  Order closed = Unpaid();
  life.Apply(closed, Transition::kClose, {Actor::kMerchant, kNowMs});
  Order stale = Unpaid();
  stale.prepayUntil = kNowMs;
  const auto with = [](PageParameters page, std::string PageParameters::*field, std::string v) {
    page.*field = std::move(v);
    return page;
  };
  const struct {
    const char* name;
    PageParameters page;
    std::optional<Order> found;
    const char* rule;  // "" when it passes
  } rows[] = {
      {"MD5", Signed(), Unpaid(), ""},
      {"HMAC-SHA256", Signed("HMAC-SHA256", kHmacPaySign), Unpaid(), ""},
      {"the wrong key", Signed("MD5", kWrongKeyPaySign), Unpaid(), "sign-mismatch"},
      {"the other type's digest", Signed("HMAC-SHA256", kMd5PaySign), Unpaid(), "sign-mismatch"},
      {"a lower-case paySign",
       with(Signed(), &PageParameters::paySign, "0b76569beb4f0dd6491945193604b153"), Unpaid(),
       "sign-mismatch"},
      {"milliseconds", with(Signed(), &PageParameters::timeStamp, "1773100000000"), Unpaid(),
       "timestamp-milliseconds"},
      {"a leading zero", with(Signed(), &PageParameters::timeStamp, "01773100000"), Unpaid(),
       "timestamp-form"},
      {"a decimal point", with(Signed(), &PageParameters::timeStamp, "1773100000.5"), Unpaid(),
       "timestamp-form"},
      {"301 s behind", with(Signed(), &PageParameters::timeStamp, "1773099729"), Unpaid(),
       "timestamp-skew"},
      {"301 s ahead", with(Signed(), &PageParameters::timeStamp, "1773100331"), Unpaid(),
       "timestamp-skew"},
      {"another appId", with(Signed(), &PageParameters::appId, "qmsandbox000000002"), Unpaid(),
       "wrong-merchant"},
      {"an unknown signType", Signed("SHA1"), Unpaid(), "sign-type"},
      {"package without its name", with(Signed(), &PageParameters::package, kPrepayId), Unpaid(),
       "package-form"},
      {"package without an id", with(Signed(), &PageParameters::package, "prepay_id="), Unpaid(),
       "package-form"},
      {"no such order", Signed(), std::nullopt, "unknown-prepay-id"},
      {"a paid order", Signed(), paid, "order-paid"},
      {"a closed order", Signed(), closed, "order-closed"},
      {"a stale prepay_id", Signed(), stale, "prepay-id-expired"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const PageVerdict verdict =
        CheckPageParameters(row.page, known::SandboxMerchant(), row.found, kNowMs);
    EXPECT_EQ(verdict.ok, *row.rule == '\0') << verdict.message;
    EXPECT_EQ(verdict.rule, row.rule) << verdict.message;
    for (const char c : verdict.message) ASSERT_TRUE(c >= 0x20 && c <= 0x7e) << verdict.message;
  }
}

// A mismatch shows the sign string the sandbox signed, its key masked, and the sign it
// expected: what a merchant compares their own with.
TEST(PageVerify, AMismatchShowsTheSignStringWithTheKeyMasked) {
  const PageVerdict verdict = CheckPageParameters(Signed("MD5", kWrongKeyPaySign),
                                                  known::SandboxMerchant(), Unpaid(), kNowMs);
  const std::string expected = std::string("appId=qmsandbox000000001&nonceStr=") + kNonce +
                               "&package=prepay_id=" + kPrepayId +
                               "&signType=MD5&timeStamp=1773100000&key=********";
  EXPECT_EQ(verdict.signString, expected);
  EXPECT_EQ(verdict.expectedSign, kMd5PaySign);
  EXPECT_NE(verdict.message.find(expected), std::string::npos) << verdict.message;
  EXPECT_EQ(verdict.message.find("QuillmarkSandboxKey"), std::string::npos) << "the key leaked";
  const std::string json = PageVerdictJson(verdict, "order1");
  EXPECT_NE(json.find("\"rule\":\"sign-mismatch\""), std::string::npos) << json;
  EXPECT_NE(json.find(std::string("\"expected_sign\":\"") + kMd5PaySign), std::string::npos);
}

TEST(PageVerify, ReadsTheSetAsAPageHandsItOn) {
  const struct {
    std::string body;
    const char* rule;  // "" when read
  } rows[] = {
      {R"({"appId":"a","timeStamp":"1","nonceStr":"n","package":"p","signType":"MD5",)"
       R"("paySign":"s"})",
       ""},
      {R"({"appId":"a","timeStamp":1,"nonceStr":"n","package":"p","signType":"MD5",)"
       R"("paySign":"s"})",
       ""},
      {R"({"appId":"a","timeStamp":"1","nonceStr":"n","package":"p","signType":"MD5"})",
       "missing-field"},
      {R"({"appid":"a","timeStamp":"1","nonceStr":"n","package":"p","signType":"MD5",)"
       R"("paySign":"s"})",
       "missing-field"},
      {R"({"appId":"a","timeStamp":-1,"nonceStr":"n","package":"p","signType":"MD5",)"
       R"("paySign":"s"})",
       "missing-field"},
      {"[1]", "unreadable"},
      {"{\"appId\":", "unreadable"},
      {"", "unreadable"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.body);
    PageVerdict verdict;
    const std::optional<PageParameters> page = ReadPageParameters(row.body, verdict);
    EXPECT_EQ(page.has_value(), *row.rule == '\0');
    EXPECT_EQ(verdict.rule, row.rule);
    if (page) {
      EXPECT_EQ(page->timeStamp, "1");
    }
  }
}

}  // namespace
}  // namespace quillmark::sandbox
