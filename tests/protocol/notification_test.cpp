// The merchant's side of a notification: which are taken, which are taken again without
// being acted on twice, and which are refused and why; the known-answer notification,
// worked out outside the project, is the genuine one.
#include "protocol/notification.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "protocol/sign.h"
#include "tests/support/known_answers.h"

namespace quillmark {
namespace {

using known::SandboxMerchant;

// The known answer with `from` replaced by `to`, signed again over the new fields when
// `resign`, as a sender with the key would.
std::string Changed(const std::string& from, const std::string& to, bool resign) {
  std::string document = known::kNotificationDocument;
  document.replace(document.find(from), from.size(), to);
  if (!resign) return document;
  const ReplySignature read = VerifyReplySignature(document, SandboxMerchant().apiKey);
  const std::string sign = SignOf(read.fields, SandboxMerchant().apiKey);
  document.replace(document.find(known::kNotificationSign), 32, sign);
  return document;
}

TEST(Notification, TakesTheGenuineOnceAndRefusesTheRestNamingWhy) {
  using V = NotificationCheck::Verdict;
  const std::string genuine = known::kNotificationDocument;
  const struct {
    const char* what;
    std::string body;
    bool taken;  // its payment was accepted before
    V verdict;
    const char* reason;  // the start of the reason
  } rows[] = {
      {"genuine", genuine, false, V::kAccepted, ""},
      {"the same again", genuine, true, V::kRepeat, ""},
      {"amount changed after signing", Changed("[1]]></total_fee>", "[100]]></total_fee>", false),
       false, V::kRefused, "sign mismatch: expected "},
      {"no sign",
       Changed(std::string("<sign><![CDATA[") + known::kNotificationSign + "]]></sign>", "", false),
       false, V::kRefused, "the notification has no sign"},
      {"another merchant's ids, signed",
       Changed("<mch_id><![CDATA[1230000001]]>", "<mch_id><![CDATA[9876543210]]>", true), false,
       V::kRefused, "mch_id 9876543210 is not this merchant's"},
      {"an order not ours, signed",
       Changed("20260307090503042j9kB8vGEuAaSvJF", "20260307090503042XXXXXXXXXXXXXXX", true), false,
       V::kRefused, "order 20260307090503042XXXXXXXXXXXXXXX is not one of ours"},
      {"not a payment, signed",
       Changed("<result_code><![CDATA[SUCCESS]]>", "<result_code><![CDATA[FAIL]]>", true), false,
       V::kRefused, "not a payment"},
      {"an order hidden in a comment before the signed one",
       Changed("<xml>",
               "<xml><!--<out_trade_no><![CDATA[20260307090503042XXXXXXXXXXXXXXX]]>"
               "</out_trade_no>-->",
               false),
       false, V::kRefused, "the field out_trade_no read by its tags is not the signed one"},
      {"malformed", genuine.substr(0, 100), false, V::kRefused, "not a notification: malformed"},
      {"oversized",
       Changed("</xml>", "<padding>" + std::string(64 * 1024, 'x') + "</padding></xml>", true),
       false, V::kRefused, "the notification is larger than 65536 bytes"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    NotificationContext context;
    context.merchant = SandboxMerchant().Account();
    context.knownOrder = [](const std::string& order) { return order == known::kOrderNo; };
    context.taken = [&row](const std::string& payment) {
      return row.taken && payment == known::kNotifyTransactionId;
    };
    const NotificationCheck check = CheckNotification(row.body, context);
    EXPECT_EQ(check.verdict, row.verdict) << check.reason;
    EXPECT_EQ(check.reason.rfind(row.reason, 0), 0u) << check.reason;
    const std::string answer = NotificationAnswer(check);
    const bool ok = row.verdict != V::kRefused;
    EXPECT_EQ(
        answer.rfind(std::string("<xml><return_code><![CDATA[") + (ok ? "SUCCESS" : "FAIL"), 0), 0u)
        << answer;
    if (ok) {
      EXPECT_EQ(check.Field("total_fee"), "1");
    }
    if (check.VerificationFailed()) {
      EXPECT_TRUE(check.fields.empty()) << "nothing forged is kept";
    }
  }
}

// A notification is checked by the type its order was placed with, whatever the settings
// say: the pinned HMAC-SHA256 sign (known_answers.h, from Python's hmac) is taken for an
// order of that type, and the pinned MD5 one, over the same fields, refused for it; an
// order of MD5 takes only the MD5 one, also when the settings now sign HMAC-SHA256.
TEST(Notification, IsVerifiedByTheSignTypeOfItsOrder) {
  std::string hmacSigned = known::kNotificationDocument;
  hmacSigned.replace(hmacSigned.find(known::kNotificationSign), 32, known::kHmacNotificationSign);
  const struct {
    const char* what;
    std::string body;
    SignType orderType;
    bool accepted;
  } rows[] = {
      {"HMAC-SHA256 for an HMAC-SHA256 order", hmacSigned, SignType::kHmacSha256, true},
      {"MD5 for an HMAC-SHA256 order", known::kNotificationDocument, SignType::kHmacSha256, false},
      {"MD5 for an MD5 order", known::kNotificationDocument, SignType::kMd5, true},
      {"HMAC-SHA256 for an MD5 order", hmacSigned, SignType::kMd5, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    NotificationContext context;
    context.merchant = SandboxMerchant().Account();
    context.merchant.signType = SignType::kHmacSha256;
    context.signTypeOf = [&row](const std::string& order) {
      return order == known::kOrderNo ? row.orderType : SignType::kMd5;
    };
    const NotificationCheck check = CheckNotification(row.body, context);
    EXPECT_EQ(check.verdict == NotificationCheck::Verdict::kAccepted, row.accepted) << check.reason;
    if (!row.accepted) {
      EXPECT_EQ(check.refusal, NotificationCheck::Refusal::kSignature);
    }
  }
}

}  // namespace
}  // namespace quillmark
