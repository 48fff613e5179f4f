#include "payment/sign.h"

#include <gtest/gtest.h>

#include <string>

#include "payment/encoding.h"
#include "payment/merchant_config.h"
#include "tests/support/known_answers.h"

namespace quillmark {
namespace {

struct DigestRow {
  std::string input;
  const char* sign;
};

// Expected values come from RFC 1321's test suite and from an independent MD5
// implementation, not from this code.
TEST(SignFields, IsUpperCaseMd5OfTheGivenBytes) {
  const DigestRow rows[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      // "body=Vemrak的支付测试&key=abc" in GBK, then in UTF-8: the same text signs
      // differently depending on which bytes are digested.
      {"body=Vemrak\xb5\xc4\xd6\xa7\xb8\xb6\xb2\xe2\xca\xd4&key=abc",
       "5A5C1E634CE09DA18C4F59550C0D337B"},
      {"body=Vemrak\xe7\x9a\x84\xe6\x94\xaf\xe4\xbb\x98\xe6\xb5\x8b\xe8\xaf\x95&key=abc",
       "C82BF8576E28B737A421EFD10947BA35"},
      // Bytes after a zero are still digested: the length, not a terminator, decides.
      {std::string("a\0b", 3), "70350F6027BCE3713F6B76473084309B"},
  };
  for (const DigestRow& row : rows) {
    EXPECT_EQ(SignFields(row.input.data(), row.input.size()), row.sign) << "input: " << row.input;
  }
}

TEST(SignStrings, ListTheFieldsInNameOrderFollowedByTheKey) {
  if (!known::IsDefaultMerchant()) GTEST_SKIP() << "known answers are for the default merchant";
  const std::string gbk = UnifiedOrderSignString(known::kNonce, known::kOrderNo);
  EXPECT_EQ(gbk, known::kUnifiedOrderSignStringGbk);
  // Signed over its UTF-8 form, as the platform checks it.
  std::string utf8;
  ASSERT_TRUE(AnsiToUtf8(gbk, utf8));
  EXPECT_EQ(SignFields(utf8.data(), utf8.size()), known::kUnifiedOrderSign);

  const std::string query = OrderQuerySignString(known::kNonce, known::kQueryOrderNo);
  EXPECT_EQ(query, known::kOrderQuerySignString);
  EXPECT_EQ(SignFields(query.data(), query.size()), known::kOrderQuerySign);
  // An empty order number stays in the string as an empty value.
  EXPECT_NE(OrderQuerySignString(known::kNonce, "").find("&out_trade_no=&key="), std::string::npos);
}

TEST(SignStrings, UnifiedOrderSignDependsOnTheEncodingOfTheBody) {
  const std::string gbk = UnifiedOrderSignString("n", "o");
  std::string utf8;
  ASSERT_TRUE(AnsiToUtf8(gbk, utf8));
  ASSERT_NE(utf8, gbk) << "kBody holds Chinese text, so the encodings must differ";
  EXPECT_NE(SignFields(utf8.data(), utf8.size()), SignFields(gbk.data(), gbk.size()));
}

}  // namespace
}  // namespace quillmark
