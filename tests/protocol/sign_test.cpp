#include "protocol/sign.h"
#include "config/default_requests.h"

#include <gtest/gtest.h>

#include <string>

#include "config/merchant_config.h"
#include "tests/support/known_answers.h"
#include "text/encoding.h"

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

// HMAC-SHA256 keyed by the given key: RFC 4231's test case 2, and rows from Python's hmac
// module (hmac.new(key, data, hashlib.sha256).hexdigest().upper()). MD5 ignores the key,
// which is already inside the sign string; the names parse exactly as they are sent.
TEST(SignFields, IsUpperCaseHmacSha256KeyedByTheKeyForThatType) {
  const struct {
    std::string key, input;
    const char* sign;
  } rows[] = {
      {"Jefe", "what do ya want for nothing?",
       "5BDCC146BF60754E6A042426089575C75A003F089D2739839DEC58B964EC3843"},
      {"QuillmarkSandboxKey2026x0123abcd", "",
       "86018566C388A8D458642B5ED16D596F346B0B120F5CE3BBDA51822870A217B1"},
      {"QuillmarkSandboxKey2026x0123abcd", std::string("a\0b", 3),
       "F7B1BFB79A3F8EF88E2059DCB0DE9D31523158859641DDB4CAF9311B6EC37C79"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(SignFields(row.input.data(), row.input.size(), SignType::kHmacSha256, row.key),
              row.sign)
        << "input: " << row.input;
  }
  EXPECT_EQ(SignFields("abc", 3, SignType::kMd5, "any key"), "900150983CD24FB0D6963F7D28E17F72");
  for (const SignType type : kSignTypes) {
    EXPECT_EQ(ParseSignType(SignTypeName(type)), type);
  }
  for (const char* name : {"", "md5", "hmac-sha256", "HMAC-SHA256 ", "SHA256", "HMAC-SHA1"}) {
    EXPECT_FALSE(ParseSignType(name).has_value()) << name;
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
