#include <gtest/gtest.h>

#include <string>

#include "client/quillmark_ops.h"
#include "protocol/reply_fields.h"

namespace quillmark {
namespace {

struct Row {
  const char* what;
  std::string reply;  // written with NAME for the element's name
  std::string expected;
};

std::string WithName(std::string text, const std::string& name) {
  for (std::size_t at = text.find("NAME"); at != std::string::npos; at = text.find("NAME", at)) {
    text.replace(at, 4, name);
  }
  return text;
}

const Row kRows[] = {
    {"plain CDATA value", "<xml><NAME><![CDATA[qmpay://pay/x?a=1&b=2]]></NAME></xml>",
     "qmpay://pay/x?a=1&b=2"},
    {"spaces and line breaks kept", "<NAME><![CDATA[ a b\r\n ]]></NAME>", " a b\r\n "},
    {"text around the CDATA ignored", "<NAME> pre <![CDATA[v]]> post </NAME>", "v"},
    {"plain text without CDATA", "<NAME>NOTPAY</NAME>", ""},
    {"empty element", "<NAME></NAME>", ""},
    {"empty CDATA section", "<NAME><![CDATA[]]></NAME>", ""},
    {"neither tag", "<xml><other><![CDATA[x]]></other></xml>", ""},
    {"closing tag before opening tag", "</NAME><NAME><![CDATA[x]]>", ""},
    {"closing tag only", "<x></NAME><![CDATA[x]]></NAME>", ""},
    {"opening tag only", "<NAME><![CDATA[x]]>", ""},
    {"end marker without start marker", "<NAME>abc]]>def</NAME>", ""},
    {"start marker without end marker", "<NAME><![CDATA[abc</NAME>", ""},
    {"end marker before start marker", "<NAME>]]><![CDATA[x</NAME>", ""},
    {"first of two elements", "<NAME><![CDATA[one]]></NAME><NAME><![CDATA[two]]></NAME>", "one"},
    {"GBK bytes kept", "<NAME><![CDATA[\xd6\xd0\xce\xc4]]></NAME>", "\xd6\xd0\xce\xc4"},
    {"empty reply", "", ""},
};

// The same rules for both fields: only the element's name differs.
TEST(ReplyFields, CodeUrlAndTradeStateFollowTheSameRules) {
  for (const Row& row : kRows) {
    std::string out = "stale";
    CQuillmarkOps::ExtractCodeUrl(WithName(row.reply, "code_url"), out);
    EXPECT_EQ(out, row.expected) << "code_url: " << row.what;
    out = "stale";
    CQuillmarkOps::ExtractTradeState(WithName(row.reply, "trade_state"), out);
    EXPECT_EQ(out, row.expected) << "trade_state: " << row.what;
  }
}

TEST(ReplyFields, OtherElementsDoNotMatch) {
  std::string out;
  CQuillmarkOps::ExtractTradeState("<xml><trade_state_desc><![CDATA[x]]></trade_state_desc></xml>",
                                   out);
  EXPECT_EQ(out, "");
  CQuillmarkOps::ExtractCdataField("<a><![CDATA[1]]></a><b><![CDATA[2]]></b>", "b", out);
  EXPECT_EQ(out, "2");
}

// The sandbox's unified-order reply for the known-answer order, signed with the default
// key; the sign was computed with md5sum over the sign string spelled out below.
std::string Fields(const std::string& codeUrl) {
  return "<return_code><![CDATA[SUCCESS]]></return_code><return_msg><![CDATA[OK]]>"
         "</return_msg><appid><![CDATA[qmsandbox000000001]]></appid><mch_id><![CDATA["
         "1230000001]]></mch_id><out_trade_no><![CDATA[20260307090503042j9kB8vGEuAaSvJF]]>"
         "</out_trade_no><trade_type><![CDATA[NATIVE]]></trade_type><code_url><![CDATA[" +
         codeUrl +
         "]]></code_url><nonce_str><![CDATA[0123456789abcdefghijklmnopqrstuv]]></nonce_str>"
         "<result_code><![CDATA[SUCCESS]]></result_code>";
}
constexpr char kKey[] = "QuillmarkSandboxKey2026x0123abcd";
constexpr char kSign[] = "<sign><![CDATA[48C9D46902A34DEAF210CF87E561EACC]]></sign>";
constexpr char kLink[] = "https://127.0.0.1:8443/pay/qr/20260307090503042j9kB8vGEuAaSvJF";

TEST(ReplySignature, CoversEveryFieldOfTheReply) {
  const std::string genuine = Fields(kLink);
  const std::string forged = Fields("https://127.0.0.1:8443/pay/qr/forged");
  const struct {
    const char* what;
    std::string reply;
    SignatureVerdict verdict;
  } rows[] = {
      {"genuine", "<xml>" + genuine + kSign + "</xml>", SignatureVerdict::kVerified},
      {"sign first, fields as plain text",
       std::string("<xml>") + kSign + "<code_url>" + kLink + "</code_url>" +
           "<appid>qmsandbox000000001</appid><mch_id>1230000001</mch_id><nonce_str>"
           "0123456789abcdefghijklmnopqrstuv</nonce_str><out_trade_no>"
           "20260307090503042j9kB8vGEuAaSvJF</out_trade_no><result_code>SUCCESS</result_code>"
           "<return_code>SUCCESS</return_code><return_msg>OK</return_msg>"
           "<trade_type>NATIVE</trade_type></xml>",
       SignatureVerdict::kVerified},
      {"an empty field is left out", "<xml>" + genuine + "<err_code></err_code>" + kSign + "</xml>",
       SignatureVerdict::kVerified},
      {"changed field", "<xml>" + forged + kSign + "</xml>", SignatureVerdict::kMismatch},
      {"added field", "<xml>" + genuine + "<attach>x</attach>" + kSign + "</xml>",
       SignatureVerdict::kMismatch},
      {"lower-case sign", "<xml>" + genuine + "<sign>48c9d46902a34deaf210cf87e561eacc</sign></xml>",
       SignatureVerdict::kMismatch},
      {"unsigned FAIL reply",
       "<xml><return_code><![CDATA[FAIL]]></return_code><return_msg><![CDATA[sign error]]>"
       "</return_msg></xml>",
       SignatureVerdict::kUnsigned},
      {"not XML", "<html><body>502 Bad Gateway</body></html>", SignatureVerdict::kUnreadable},
      {"nothing", "", SignatureVerdict::kUnreadable},
  };
  for (const auto& row : rows) {
    const ReplySignature result = VerifyReplySignature(row.reply, kKey);
    EXPECT_EQ(VerdictName(result.verdict), VerdictName(row.verdict)) << row.what;
    if (row.verdict == SignatureVerdict::kVerified || row.verdict == SignatureVerdict::kMismatch) {
      EXPECT_EQ(result.received.size(), 32u) << row.what;
    }
  }

  // A mismatch names the sign its fields give, and the sign string with the key masked.
  const ReplySignature forgedResult =
      VerifyReplySignature("<xml>" + forged + kSign + "</xml>", kKey);
  EXPECT_EQ(forgedResult.maskedSignString,
            "appid=qmsandbox000000001&code_url=https://127.0.0.1:8443/pay/qr/forged"
            "&mch_id=1230000001&nonce_str=0123456789abcdefghijklmnopqrstuv"
            "&out_trade_no=20260307090503042j9kB8vGEuAaSvJF&result_code=SUCCESS"
            "&return_code=SUCCESS&return_msg=OK&trade_type=NATIVE&key=********");
  EXPECT_EQ(forgedResult.received, "48C9D46902A34DEAF210CF87E561EACC");
  EXPECT_NE(forgedResult.expected, forgedResult.received);
}

}  // namespace
}  // namespace quillmark
