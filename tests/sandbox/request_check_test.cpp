// The sandbox's request verification, without a server: what it accepts (the client's own
// documents first), what it refuses and what it says when it does.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "config/default_requests.h"
#include "config/merchant_config.h"
#include "protocol/flat_document.h"
#include "protocol/requests.h"
#include "protocol/sign.h"
#include "sandbox/api/request_check.h"
#include "tests/support/known_answers.h"
#include "tests/support/sandbox_test_support.h"
#include "text/encoding.h"

namespace quillmark::sandbox {
namespace {

using testsupport::Document;
using testsupport::OrderFields;
using testsupport::QueryFields;
using testsupport::SignedDocument;

const MerchantSettings kMerchant = MerchantSettings::Defaults();
constexpr char kOrderNo[] = "20260131123456789abcdefghijklmno";
constexpr char kOpenId[] = "qmPayer-made_up0000000000001";

// The unified order exactly as CQuillmarkOps builds it: GBK text, signed over its UTF-8
// form, sent as UTF-8.
std::string ClientUnifiedOrder(bool convertToUtf8 = true, bool signUtf8 = true) {
  const std::string nonce = "0123456789abcdefghijABCDEFGHIJxy";
  std::string signString = UnifiedOrderSignString(nonce, kOrderNo);
  if (signUtf8) AnsiToUtf8(signString, signString);
  const std::string document =
      UnifiedOrderDocument(nonce, kOrderNo, SignFields(signString.data(), signString.size()));
  std::string wire = document;
  if (convertToUtf8) AnsiToUtf8(document, wire);
  return wire;
}

TEST(RequestCheck, AcceptsTheClientsOwnDocuments) {
  const CheckResult order = CheckRequest(kUnifiedOrderOperation, ClientUnifiedOrder(), kMerchant);
  EXPECT_TRUE(order.ok) << order.message;
  EXPECT_EQ(order.message, "OK");
  EXPECT_EQ(order.fields.at("out_trade_no"), kOrderNo);
  EXPECT_EQ(order.fields.at("body"),
            "Vemrak\xe7\x9a\x84\xe6\x94\xaf\xe4\xbb\x98\xe6\xb5\x8b\xe8\xaf\x95");

  const std::string nonce = "ZYXWVUTSRQPONMLKJIHGFEDCBA987654";
  const std::string signString = OrderQuerySignString(nonce, kOrderNo);
  const std::string query =
      OrderQueryDocument(nonce, kOrderNo, SignFields(signString.data(), signString.size()));
  const CheckResult checked = CheckRequest(kOrderQueryOperation, query, kMerchant);
  EXPECT_TRUE(checked.ok) << checked.message;
}

struct Rejection {
  const char* name;
  const Operation* operation;
  std::string body;
  std::string expected;  // a part of the message
};

Fields With(Fields fields, const std::string& name, const std::string& value) {
  fields[name] = value;
  return fields;
}

Fields Without(Fields fields, const std::string& name) {
  fields.erase(name);
  return fields;
}

std::vector<Rejection> Rejections() {
  const Fields order = OrderFields(kOrderNo);
  const Fields query = QueryFields(kOrderNo);
  const Operation* const U = &kUnifiedOrderOperation;
  const Operation* const Q = &kOrderQueryOperation;
  Fields wrongKey = order;
  wrongKey["sign"] = SignOf(order, "AnotherMerchantsKey0123456789abc");
  Fields tampered = order;
  tampered["sign"] = SignOf(order, kApiKey);
  tampered["total_fee"] = "100";
  Fields lowerCase = query;
  lowerCase["sign"] = SignOf(query, kApiKey);
  for (char& c : lowerCase["sign"])
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

  std::vector<Rejection> rows = {
      {"wrong key", U, Document(wrongKey), "sign mismatch"},
      {"tampered field", U, Document(tampered), "sign mismatch"},
      {"lower-case sign", Q, Document(lowerCase), "sign mismatch"},
      {"GBK body", U, ClientUnifiedOrder(false, false), "not valid UTF-8"},
      {"signed over GBK, sent as UTF-8", U, ClientUnifiedOrder(true, false), "sign mismatch"},
      {"unknown appid", Q, SignedDocument(With(query, "appid", "qmsandbox000000002")),
       "unknown appid qmsandbox000000002"},
      {"unknown mch_id", U, SignedDocument(With(order, "mch_id", "1230000002")),
       "unknown mch_id 1230000002"},
      {"empty body", Q, "", "empty request body"},
      {"not XML", Q, "appid=1&mch_id=2", "malformed XML"},
      {"unclosed element", Q, "<xml><appid>x</xml>", "malformed XML"},
      {"other root", Q, "<root><appid>x</appid></root>", "root element must be <xml>"},
      {"two roots", Q, "<xml></xml><xml></xml>", "malformed XML"},
      {"nested element", Q, "<xml><appid><b>x</b></appid></xml>", "must be flat"},
      {"text in the root", Q, "<xml>x<appid>y</appid></xml>", "text directly inside <xml>"},
      {"field twice", Q, "<xml><appid>x</appid><appid>y</appid></xml>", "appears twice"},
      // Names reach the message escaped: it goes back in return_msg as printable ASCII.
      {"non-ASCII name twice", Q, "<xml><a\xc3\xa9/><a\xc3\xa9/></xml>",
       "field a\\xc3\\xa9 appears twice"},
      {"zero byte", Q, std::string("<xml><appid>x\0y</appid></xml>", 29), "control character"},
      {"reference to a control character", Q, "<xml><appid>a&#1;b</appid></xml>",
       "appid refers to a character that is not allowed"},
      {"reference to character zero", Q, "<xml><appid>a&#0;b</appid></xml>", "character zero"},
      {"hexadecimal reference to character zero", Q, "<xml><appid>&#x000;</appid></xml>",
       "character zero"},
      {"reference to a surrogate", Q, "<xml><appid>&#xD800;</appid></xml>",
       "appid refers to a character that is not allowed"},
      {"UTF-16 byte-order mark", Q, "\xff\xfe<\0x\0", "not valid UTF-8"},
      {"trade type", U, SignedDocument(With(order, "trade_type", "MICROPAY")),
       "trade_type MICROPAY is not supported; use NATIVE, JSAPI, MWEB or APP"},
      {"JSAPI without its payer", U, SignedDocument(With(order, "trade_type", "JSAPI")),
       "required field openid is missing or empty (a JSAPI order names it)"},
      {"MWEB without its site", U,
       SignedDocument(With(With(order, "trade_type", "MWEB"), "openid", kOpenId)),
       "required field scene_info is missing or empty (a MWEB order names it)"},
      {"time_expire not after time_start", U,
       SignedDocument(
           With(With(order, "time_start", "20260301120000"), "time_expire", "20260301120000")),
       "time_expire 20260301120000 must be later than time_start 20260301120000"},
      {"order number with a space", Q, SignedDocument(With(query, "out_trade_no", "a b")),
       "out_trade_no must be"},
      {"order number of 33 characters", U,
       SignedDocument(With(order, "out_trade_no", std::string(33, 'a'))), "out_trade_no must be"},
  };
  // Every field has a bounded length, and ids their form, whatever the sign says.
  const struct {
    std::string name;
    std::string value;
    std::string expected;
  } forms[] = {
      {"body", std::string(129, 'b'), "body is longer than 128 bytes"},
      {"body", std::string(30'000, 'b'), "body is longer than 128 bytes"},
      {"notify_url", "http://x/" + std::string(248, 'n'), "notify_url is longer than 256 bytes"},
      {"attach", std::string(128, 'a'), "attach is longer than 127 bytes"},
      {"goods_tag", std::string(33, 'g'), "goods_tag is longer than 32 bytes"},
      {"detail", std::string(30'000, 'd'), "detail must be a JSON object of at most 6000 bytes"},
      {"detail", "{\"goods_detail\":[" + std::string(5990, ' ') + "]}",
       "detail must be a JSON object of at most 6000 bytes"},
      {"detail", "[1,2]", "detail must be a JSON object"},
      {"detail", std::string(3000, '{'), "detail must be a JSON object"},
      {"scene_info", "{\"h5_info\":{\"type\":\"Wap\"}", "scene_info must be a JSON object"},
      {"scene_info", "\"Wap\"", "scene_info must be a JSON object"},
      {"scene_info", "{\"a\":\"" + std::string(505, 'w') + "\"}",
       "scene_info must be a JSON object of at most 512 bytes"},
      {"openid", std::string(27, 'o'), "openid must be 28 letters, digits, - or _"},
      {"openid", std::string(29, 'o'), "openid must be 28 letters, digits, - or _"},
      {"openid", std::string(27, 'o') + "+", "openid must be 28 letters, digits, - or _"},
      {"device_info", "WEB 1", "device_info must be at most 32 letters, digits, - or _"},
      {"device_info", std::string(33, 'd'), "device_info must be at most 32"},
      {"time_start", "2026030112000", "time_start must be a time yyyyMMddHHmmss"},
      {"time_start", "20260229120000", "time_start must be a time yyyyMMddHHmmss"},
      {"time_expire", "20261301120000", "time_expire must be a time yyyyMMddHHmmss"},
      {"time_expire", "20260301240000", "time_expire must be a time yyyyMMddHHmmss"},
      {"time_expire", "2026-03-01 12:0", "time_expire must be a time yyyyMMddHHmmss"},
      {"limit_pay", "no_debit", "limit_pay must be no_credit"},
      {std::string(33, 'f'), "x",
       "field name " + std::string(33, 'f') + " is longer than 32 bytes"},
      {"trade_type", std::string(33, 'T'), "trade_type is longer than 32 bytes"},
      {"appid", std::string(19, 'a'),
       "appid must be 18 letters or digits, got aaaaaaaaaaaaaaaaaaa"},
      {"appid", "qmsandbox00000000_", "appid must be 18 letters or digits"},
      {"mch_id", "123000000x", "mch_id must be 10 digits"},
      {"mch_id", "12300000011", "mch_id must be 10 digits"},
      {"nonce_str", std::string(33, 'n'), "nonce_str must be 1 to 32 letters or digits"},
      {"nonce_str", "nonce-1", "nonce_str must be 1 to 32 letters or digits"},
      {"total_fee", std::string(5'000, '9'),
       "total_fee must be a positive whole number of cents, got " + std::string(40, '9') + "..."},
  };
  for (const auto& form : forms) {
    rows.push_back({"a field's length or form", U,
                    SignedDocument(With(order, form.name, form.value)), form.expected});
  }
  for (const char* sign : {"0123456789ABCDEF0123456789ABCDEF0", "G123456789ABCDEF0123456789ABCDEF",
                           "0123456789ABCDEF"}) {
    rows.push_back({"sign's form", Q, Document(With(query, "sign", sign)),
                    "sign must be 32 hexadecimal digits"});
  }
  for (const char* ip : {"256.1.1.1", "1.2.3", "01.2.3.4", "1.2.3.4.5", "1.2.3.4 ", "a.b.c.d",
                         "1..2.3", "1.2.3.1000", "::1"}) {
    rows.push_back({"spbill_create_ip", U, SignedDocument(With(order, "spbill_create_ip", ip)),
                    "spbill_create_ip must be a dotted-decimal IPv4 address"});
  }
  for (const char* fee : {"0", "-1", "+1", "1.5", "01", "2147483648", "99999999999", "1e3"}) {
    rows.push_back({"total_fee", U, SignedDocument(With(order, "total_fee", fee)),
                    std::string("total_fee must be a positive whole number of cents, got ") + fee});
  }
  for (const auto& [kind, fields] : {std::pair{U, order}, std::pair{Q, query}}) {
    Fields withSign = fields;
    withSign["sign"] = "0";
    for (const auto& field : withSign) {
      const std::string expected = "required field " + field.first + " is missing or empty";
      if (field.first == "sign") {
        rows.push_back({"missing sign", kind, Document(fields), expected});
        rows.push_back({"empty sign", kind, Document(With(fields, "sign", "")), expected});
      } else {
        rows.push_back(
            {"missing field", kind, SignedDocument(Without(fields, field.first)), expected});
        rows.push_back(
            {"empty field", kind, SignedDocument(With(fields, field.first, "")), expected});
      }
    }
  }
  return rows;
}

TEST(RequestCheck, RefusesWhatThePlatformWould) {
  for (const Rejection& row : Rejections()) {
    const CheckResult result = CheckRequest(*row.operation, row.body, kMerchant);
    EXPECT_FALSE(result.ok) << row.name << ": " << row.expected;
    EXPECT_NE(result.message.find(row.expected), std::string::npos)
        << row.name << ": got \"" << result.message << "\", expected a part \"" << row.expected
        << "\"";
    for (const char c : result.message) {
      ASSERT_TRUE(c >= 0x20 && c <= 0x7e)
          << row.name << ": message not printable ASCII: " << result.message;
    }
  }
}

TEST(RequestCheck, FieldsAtTheirLongestAreAccepted) {
  Fields order = OrderFields(kOrderNo);
  order["body"] = "xy";
  for (int i = 0; i < 42; ++i) order["body"] += "\xe7\x9a\x84";  // 128 bytes, 44 characters
  order["notify_url"] = "http://127.0.0.1/" + std::string(239, 'n');
  order["attach"] = std::string(127, 'a');
  order["nonce_str"] = "n";
  order["spbill_create_ip"] = "255.255.255.255";
  order["total_fee"] = "2147483647";
  order["openid"] = "-_" + std::string(26, 'Z');
  order["scene_info"] = "{\"a\":\"" + std::string(504, 'w') + "\"}";
  order["detail"] = "{\"goods_detail\":[" + std::string(5981, ' ') + "]}";
  order["device_info"] = std::string(30, 'd') + "-_";
  order["goods_tag"] = std::string(32, 'g');
  order["time_start"] = "20280229000000";
  order["time_expire"] = "20280229235959";
  order["limit_pay"] = "no_credit";
  // Every trade type takes them; NATIVE and APP need none of openid and scene_info.
  for (const char* type : {"NATIVE", "JSAPI", "MWEB", "APP"}) {
    order["trade_type"] = type;
    const CheckResult result =
        CheckRequest(kUnifiedOrderOperation, SignedDocument(order), kMerchant);
    EXPECT_TRUE(result.ok) << type << ": " << result.message;
    EXPECT_EQ(result.fields.at("body").size(), kMaxBodyFieldBytes);
    EXPECT_EQ(result.fields.at("notify_url").size(), kMaxNotifyUrlFieldBytes);
    EXPECT_EQ(result.fields.at("scene_info").size(), kMaxSceneInfoBytes);
    EXPECT_EQ(result.fields.at("detail").size(), 6000u);
  }
  for (const char* type : {"NATIVE", "APP"}) {
    const Fields plain = With(OrderFields(kOrderNo), "trade_type", type);
    EXPECT_TRUE(CheckRequest(kUnifiedOrderOperation, SignedDocument(plain), kMerchant).ok) << type;
  }
}

TEST(RequestCheck, SignMismatchShowsTheExpectedSignStringWithTheKeyMasked) {
  Fields fields = OrderFields(kOrderNo);
  fields["sign"] = "00000000000000000000000000000000";
  const CheckResult result = CheckRequest(kUnifiedOrderOperation, Document(fields), kMerchant);
  ASSERT_FALSE(result.ok);
  // The body's UTF-8 bytes are spelt out, so a merchant who signed GBK sees the difference.
  const std::string expected =
      "appid=" + kAppId +
      "&body=Vemrak\\xe7\\x9a\\x84\\xe6\\x94\\xaf\\xe4\\xbb\\x98\\xe6\\xb5\\x8b\\xe8\\xaf\\x95"
      "&mch_id=" +
      kMchId + "&nonce_str=QmTestNonce0OrderFields000000001&notify_url=" + kNotifyUrl +
      "&out_trade_no=" + kOrderNo + "&spbill_create_ip=" + kSpbillCreateIp +
      "&total_fee=1&trade_type=NATIVE&key=********";
  EXPECT_NE(result.message.find("\"" + expected + "\""), std::string::npos) << result.message;
  EXPECT_EQ(result.message.find(kApiKey), std::string::npos) << "the key leaked";
}

TEST(RequestCheck, EmptyOptionalFieldsStayOutOfTheSignString) {
  Fields fields = QueryFields(kOrderNo);
  fields["sign"] = SignOf(fields, kApiKey);  // signed without attach
  fields["attach"] = "";
  EXPECT_TRUE(CheckRequest(kOrderQueryOperation, Document(fields), kMerchant).ok);

  EXPECT_EQ(SignStringOf(fields, kApiKey).find("attach"), std::string::npos);

  // A client that signed "attach=" is refused: the platform skips empty values.
  std::string withEmpty = SignStringOf(QueryFields(kOrderNo), kApiKey);
  withEmpty.insert(withEmpty.find("&mch_id="), "&attach=");
  fields["sign"] = SignFields(withEmpty.data(), withEmpty.size());
  const CheckResult refused = CheckRequest(kOrderQueryOperation, Document(fields), kMerchant);
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.message.find("\"appid=" + kAppId + "&mch_id="), std::string::npos)
      << refused.message;

  // A non-empty optional field is signed like any other.
  fields.erase("sign");
  fields["attach"] = "note";
  EXPECT_TRUE(CheckRequest(kOrderQueryOperation, SignedDocument(fields), kMerchant).ok);
}

TEST(RequestCheck, SignStringsSortByteWiseAndSignAsUpperCaseMd5) {
  struct Row {
    Fields fields;
    const char* key;
    const char* signString;
    const char* sign;  // from md5sum
  } rows[] = {
      {{{"a", "1"}}, "k", "a=1&key=k", "AFFDCC88244C83F871BFE4854BE9C1A5"},
      {{{"body", "t"}, {"appid", "wx"}, {"sign", "X"}, {"empty", ""}},
       "K",
       "appid=wx&body=t&key=K",
       "B83F0D3103A4F17B0F6C8106CD9A86E6"},
      // The sandbox's replies as it signs them (md5sum over the UTF-8 sign string): an order
      // query with a Chinese trade_state_desc ("订单未支付"), and a unified order whose
      // empty err_code is left out.
      {{{"return_code", "SUCCESS"},
        {"return_msg", "OK"},
        {"appid", "qmsandbox000000001"},
        {"mch_id", "1230000001"},
        {"out_trade_no", "20260307090503042j9kB8vGEuAaSvJF"},
        {"total_fee", "1"},
        {"trade_state", "NOTPAY"},
        {"trade_state_desc", "\xe8\xae\xa2\xe5\x8d\x95\xe6\x9c\xaa\xe6\x94\xaf\xe4\xbb\x98"},
        {"nonce_str", "0123456789abcdefghijklmnopqrstuv"},
        {"result_code", "SUCCESS"},
        {"sign", "ignored"}},
       "QuillmarkSandboxKey2026x0123abcd",
       "appid=qmsandbox000000001&mch_id=1230000001&nonce_str=0123456789abcdefghijklmnopqrstuv"
       "&out_trade_no=20260307090503042j9kB8vGEuAaSvJF&result_code=SUCCESS&return_code=SUCCESS"
       "&return_msg=OK&total_fee=1&trade_state=NOTPAY"
       "&trade_state_desc=\xe8\xae\xa2\xe5\x8d\x95\xe6\x9c\xaa\xe6\x94\xaf\xe4\xbb\x98"
       "&key=QuillmarkSandboxKey2026x0123abcd",
       "09FB4AF778502FD0753DC48BEE0C8A07"},
      {{{"return_code", "SUCCESS"},
        {"return_msg", "OK"},
        {"appid", "qmsandbox000000001"},
        {"mch_id", "1230000001"},
        {"out_trade_no", "20260307090503042j9kB8vGEuAaSvJF"},
        {"trade_type", "NATIVE"},
        {"code_url", "https://127.0.0.1:8443/pay/qr/20260307090503042j9kB8vGEuAaSvJF"},
        {"nonce_str", "0123456789abcdefghijklmnopqrstuv"},
        {"result_code", "SUCCESS"},
        {"err_code", ""}},
       "QuillmarkSandboxKey2026x0123abcd",
       "appid=qmsandbox000000001"
       "&code_url=https://127.0.0.1:8443/pay/qr/20260307090503042j9kB8vGEuAaSvJF"
       "&mch_id=1230000001&nonce_str=0123456789abcdefghijklmnopqrstuv"
       "&out_trade_no=20260307090503042j9kB8vGEuAaSvJF&result_code=SUCCESS&return_code=SUCCESS"
       "&return_msg=OK&trade_type=NATIVE&key=QuillmarkSandboxKey2026x0123abcd",
       "48C9D46902A34DEAF210CF87E561EACC"},
      // 'B' (0x42) < '_' (0x5f) < 'b' (0x62): byte order, not a case-insensitive one.
      {{{"ab", "3"}, {"a_b", "2"}, {"aB", "1"}}, "k", "aB=1&a_b=2&ab=3&key=k", nullptr},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(SignStringOf(row.fields, row.key), row.signString);
    if (row.sign) {
      EXPECT_EQ(SignOf(row.fields, row.key), row.sign) << row.signString;
    }
  }
}

TEST(RequestCheck, ValuesMayBeTextCdataOrBothAndEntitiesAreDecoded) {
  struct Row {
    const char* markup;  // as it appears between the tags
    const char* value;   // what is signed
  } rows[] = {
      {"<![CDATA[note]]>", "note"},
      {"a&amp;b&lt;c", "a&b<c"},
      {"x<![CDATA[<y>]]>z", "x<y>z"},
      {"<![CDATA[\xe7\x9a\x84]]>", "\xe7\x9a\x84"},
      // Inside CDATA a reference is plain text, so even one to character zero is fine.
      {"<![CDATA[&#0;]]>&#x41;", "&#0;A"},
  };
  for (const Row& row : rows) {
    Fields fields = QueryFields(kOrderNo);
    fields["attach"] = row.value;
    const std::string sign = SignOf(fields, kApiKey);
    fields.erase("attach");
    std::string document = Document(fields);
    document.insert(document.size() - 6,
                    "<attach>" + std::string(row.markup) + "</attach><sign>" + sign + "</sign>");
    const CheckResult result = CheckRequest(kOrderQueryOperation, document, kMerchant);
    EXPECT_TRUE(result.ok) << row.markup << ": " << result.message;
    EXPECT_EQ(result.fields.count("attach") ? result.fields.at("attach") : "", row.value)
        << row.markup;
  }
}

TEST(RequestCheck, ReplyDocumentsKeepEveryValueThroughAParser) {
  const std::string tricky = "a]]>b<c>&d]]>";
  EXPECT_EQ(ReplyDocument({{"x", "1"}, {"y", "a]]>b"}}),
            "<xml><x><![CDATA[1]]></x><y><![CDATA[a]]]]><![CDATA[>b]]></y></xml>");
  Fields fields = QueryFields(kOrderNo);
  fields["attach"] = tricky;
  fields["sign"] = SignOf(fields, kApiKey);
  const CheckResult result = CheckRequest(
      kOrderQueryOperation,
      ReplyDocument(std::vector<std::pair<std::string, std::string>>(fields.begin(), fields.end())),
      kMerchant);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.fields.at("attach"), tricky);
}

TEST(RequestCheck, Utf8Validation) {
  struct Row {
    std::string text;
    bool valid;
  } rows[] = {
      {"", true},
      {"plain ASCII", true},
      {"\xe7\x9a\x84", true},      // U+7684
      {"\xf0\x9f\x98\x80", true},  // U+1F600
      {"\xf4\x8f\xbf\xbf", true},  // U+10FFFF
      {"\xb5\xc4", false},         // GBK for U+7684
      {"\xff", false},
      {"\xc0\x80", false},          // overlong zero
      {"\xe0\x80\xaf", false},      // overlong '/'
      {"\xed\xa0\x80", false},      // a surrogate
      {"\xf4\x90\x80\x80", false},  // past U+10FFFF
      {"\xe7\x9a", false},          // cut short
      {"a\x80", false},             // a stray continuation byte
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsValidUtf8(row.text), row.valid) << PrintableAscii(row.text);
  }
}

TEST(RequestCheck, PrintableAsciiEscapesEverythingElse) {
  EXPECT_EQ(PrintableAscii("a=b&c"), "a=b&c");
  EXPECT_EQ(PrintableAscii(std::string("\xe7\n\\\0", 4)), "\\xe7\\x0a\\x5c\\x00");
}

// The request's sign_type chooses the digest, absent meaning MD5: the pinned HMAC-SHA256
// query (known_answers.h, from Python's hmac) is taken, and a sign of the other type is
// refused as a mismatch that says which type was expected and which one the sign is.
TEST(RequestCheck, VerifiesTheSignByTheTypeTheRequestNames) {
  const MerchantSettings merchant = known::SandboxMerchant();
  const std::string hmac = known::kHmacOrderQueryDocument;
  std::string hmacWithMd5 = hmac;
  hmacWithMd5.replace(hmacWithMd5.find(known::kHmacOrderQuerySign), 64,
                      known::kHmacOrderQueryMd5Sign);
  Fields md5Fields;
  std::string error;
  ASSERT_TRUE(ReadFlatDocument(known::kOrderQueryDocument, md5Fields, error)) << error;
  Fields md5WithHmac = md5Fields;
  md5WithHmac["sign"] = SignOf(md5Fields, merchant.apiKey, SignType::kHmacSha256);
  const struct {
    const char* what;
    std::string body;
    Verdict verdict;
    const char* type;     // what the journal shows
    std::string message;  // a part of it
  } rows[] = {
      {"HMAC-SHA256, signed so", hmac, Verdict::kAccepted, "HMAC-SHA256", "OK"},
      {"no sign_type, signed MD5", known::kOrderQueryDocument, Verdict::kAccepted, "MD5", "OK"},
      {"HMAC-SHA256 with the MD5 sign", hmacWithMd5, Verdict::kSignMismatch, "HMAC-SHA256",
       "sign mismatch: the request's sign_type is HMAC-SHA256; the sign is the MD5 of the sign "
       "string; expected the upper-case HMAC-SHA256, keyed by the merchant key, of the UTF-8 "
       "bytes of \"appid=qmsandbox000000001&mch_id=1230000001&nonce_str="},
      {"no sign_type with the HMAC-SHA256 sign", Document(md5WithHmac), Verdict::kSignMismatch,
       "MD5",
       "sign mismatch: the request names no sign_type, so MD5; the sign is the HMAC-SHA256 of "
       "the sign string; expected the upper-case MD5 of"},
      {"HMAC-SHA256 with a sign of neither type",
       Document(With(With(md5Fields, "sign_type", "HMAC-SHA256"), "sign", std::string(64, 'A'))),
       Verdict::kSignMismatch, "HMAC-SHA256",
       "sign mismatch: expected the upper-case HMAC-SHA256, keyed by the merchant key, of"},
      {"an unknown type", Document(With(md5Fields, "sign_type", "HMAC-SHA1")), Verdict::kBadField,
       "HMAC-SHA1", "sign_type HMAC-SHA1 is not a sign type the sandbox knows"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const CheckResult result = CheckRequest(kOrderQueryOperation, row.body, merchant);
    EXPECT_EQ(VerdictName(result.verdict), std::string(VerdictName(row.verdict)));
    EXPECT_NE(result.message.find(row.message), std::string::npos) << result.message;
    EXPECT_EQ(result.signType, row.type);
    if (row.verdict == Verdict::kSignMismatch && row.type == std::string("HMAC-SHA256")) {
      // The explanation's sign is the type's, for the merchant to compare with their own.
      EXPECT_EQ(result.expectedSign, known::kHmacOrderQuerySign);
      EXPECT_EQ(result.signString.rfind("appid="), 0u);
    }
  }
}

}  // namespace
}  // namespace quillmark::sandbox
