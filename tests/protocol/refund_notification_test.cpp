// The refund notification's cipher pinned by answers worked out outside the project, and
// every way its reader refuses one, each with its own reason.
#include "protocol/refund_notification.h"

#include <gtest/gtest.h>

#include <string>

namespace quillmark {
namespace {

// A made-up merchant key. Its refund key, by
//   printf %s Q7mK2pX9vL4nR8tW3yB6cF1hJ5dG0sZa | md5sum
constexpr char kKey[] = "Q7mK2pX9vL4nR8tW3yB6cF1hJ5dG0sZa";
constexpr char kRefundKey[] = "977208d091f4c9db64b236e5405c13d0";
constexpr char kPlain[] =
    "<root><out_refund_no><![CDATA[R20261210A]]></out_refund_no>"
    "<refund_fee><![CDATA[30]]></refund_fee></root>";

// Each answer by
//   printf %s PLAINTEXT | openssl enc -aes-256-ecb -base64 -A -K HEX
// with HEX = 3937373230386430393166346339646236346232333665353430356331336430
// where the -K bytes are the 32 characters of kRefundKey (not the digest's 16 bytes).
TEST(RefundNotification, EncryptionMatchesOpensslEnc) {
  EXPECT_EQ(RefundKey(kKey), kRefundKey);
  const struct {
    const char* plain;
    const char* cipher;
  } kAnswers[] = {
      {kPlain,
       "svuryMg1ttNGtSzrS+FlEhl9kpJ9wgxIMdQPZlmhR37aPwuYyuW8TOiqLc+nrA1qJWKvmNmthAS8mZh5aPEZN4hcF"
       "c/ilZp2i4kr3/q1mQ9U+CHFpdNieFYAHQYqsDmLP2zUagC2uPTy1a45qcQztQ=="},
      // A whole block is followed by a whole block of padding.
      {"0123456789abcdef", "JdR9nHhMXgdH6IvtK0xSu/8D2n9bmAo5E5WfiszdvgI="},
      {"", "/wPaf1uYCjkTlZ+KzN2+Ag=="},
  };
  for (const auto& row : kAnswers) {
    SCOPED_TRACE(row.plain);
    EXPECT_EQ(EncryptReqInfo(row.plain, kKey), row.cipher);
    std::string plain = "left over";
    EXPECT_EQ(DecryptReqInfo(row.cipher, kKey, plain), RefundFault::kNone);
    EXPECT_EQ(plain, row.plain);
  }
}

std::string Outer(const std::string& inner) {
  return "<xml><return_code>SUCCESS</return_code><appid>wx0a1b2c3d4e5f6a7b</appid>"
         "<req_info>" +
         inner + "</req_info></xml>";
}

TEST(RefundNotification, EachFaultHasItsReason) {
  const std::string good = EncryptReqInfo(kPlain, kKey);
  std::string altered = good;
  altered[good.size() - 6] = altered[good.size() - 6] == 'A' ? 'B' : 'A';
  const struct {
    const char* name;
    std::string body;
    const char* key;
    RefundFault fault;
  } kRows[] = {
      {"genuine", Outer(good), kKey, RefundFault::kNone},
      {"not xml", "return_code=SUCCESS", kKey, RefundFault::kNotXml},
      {"FAIL without req_info",
       "<xml><return_code>FAIL</return_code><return_msg>oops</return_msg></xml>", kKey,
       RefundFault::kFailWithoutInfo},
      {"SUCCESS without req_info", "<xml><return_code>SUCCESS</return_code></xml>", kKey,
       RefundFault::kNoReqInfo},
      {"not base64", Outer("not*base64!"), kKey, RefundFault::kNotBase64},
      {"base64 with a space", Outer(good.substr(0, 8) + " " + good.substr(9)), kKey,
       RefundFault::kNotBase64},
      {"cut short", Outer(good.substr(0, 20)), kKey, RefundFault::kBadLength},
      {"another key", Outer(good), "ZYXWVUTSRQPONMLKJIHGFEDCBA987654", RefundFault::kBadPadding},
      {"under the app id", Outer(EncryptReqInfo(kPlain, "wx0a1b2c3d4e5f6a7b")), kKey,
       RefundFault::kBadPadding},
      {"altered last block", Outer(altered), kKey, RefundFault::kBadPadding},
      {"an <xml> inside", Outer(EncryptReqInfo("<xml><a>1</a></xml>", kKey)), kKey,
       RefundFault::kNotRootDocument},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    const ReadRefund read = ReadRefundNotification(row.body, row.key);
    EXPECT_EQ(read.fault, row.fault) << RefundFaultName(read.fault) << ": " << read.why;
    EXPECT_EQ(read.why.empty(), row.fault == RefundFault::kNone);
    if (row.fault == RefundFault::kNone) {
      EXPECT_EQ(read.info.at("out_refund_no"), "R20261210A");
      EXPECT_EQ(read.info.at("refund_fee"), "30");
    }
  }
}

// What the sandbox sends reads back, every field as it went, and carries no sign.
TEST(RefundNotification, ADocumentReadsBackWhole) {
  RefundInfo info{"4200000000202612100000000001",
                  "Q20261210-7",
                  "5030000000202612100000000002",
                  "R-7-1",
                  100,
                  100,
                  30,
                  30,
                  kRefundSuccess,
                  "2026-12-10 16:24:13",
                  "沙箱付款人的零钱",
                  "SANDBOX_BALANCE",
                  "API"};
  const std::string body =
      RefundNotificationDocument(info, "wx0a1b2c3d4e5f6a7b", "1900000109", "n0nce", kKey);
  EXPECT_EQ(body.find("<sign>"), std::string::npos);
  const ReadRefund read = ReadRefundNotification(body, kKey);
  ASSERT_EQ(read.fault, RefundFault::kNone) << read.why;
  EXPECT_EQ(read.outer.at("mch_id"), "1900000109");
  EXPECT_EQ(read.plaintext.rfind("<root>", 0), 0u);
  for (const auto& [name, value] : RefundInfoFields(info)) EXPECT_EQ(read.info.at(name), value);
  EXPECT_EQ(read.info.size(), 13u);
  info.refundStatus = kRefundClosed;
  info.successTime.clear();
  EXPECT_EQ(RefundInfoFields(info).size(), 12u) << "no success_time for a refund that closed";
}

}  // namespace
}  // namespace quillmark
