// The operations against a canned HTTPS server: the exact documents sent, the lines
// written, and what each reply leads to.
#include "client/quillmark_ops.h"
#include "config/default_requests.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "config/merchant_config.h"
#include "protocol/request_ids.h"
#include "protocol/requests.h"
#include "protocol/sign.h"
#include "tests/support/known_answers.h"
#include "tests/support/local_https_server.h"
#include "tests/support/temp_dir.h"

namespace quillmark {
namespace {

namespace fs = std::filesystem;
using testsupport::CertPath;
using testsupport::LocalHttpsServer;

const platform::LocalTime kTime{2026, 3, 7, 9, 5, 3, 42};

std::string Field(const std::string& xml, const std::string& name) {
  const std::string open = "<" + name + ">", close = "</" + name + ">";
  const auto a = xml.find(open), b = xml.find(close);
  if (a == std::string::npos || b == std::string::npos) return "<missing>";
  return xml.substr(a + open.size(), b - a - open.size());
}

// A reply document as the platform sends it: each field in CDATA, then the sign over them
// all with the build's key.
std::string SignedReply(const SignedFields& fields, const std::string& before = {}) {
  std::string xml = "<xml>" + before;
  for (const auto& [name, value] : fields) {
    xml += "<" + name + "><![CDATA[" + value + "]]></" + name + ">";
  }
  return xml + "<sign><![CDATA[" + SignOf(fields, kApiKey) + "]]></sign></xml>";
}

std::string UnifiedReply(const std::string& codeUrl) {
  return SignedReply({{"return_code", "SUCCESS"}, {"code_url", codeUrl}});
}

std::string QueryReply(const std::string& state) {
  return SignedReply({{"return_code", "SUCCESS"}, {"trade_state", state}});
}

const char kFailReply[] =
    "<xml><return_code><![CDATA[FAIL]]></return_code><return_msg><![CDATA[sign error]]>"
    "</return_msg></xml>";

class OpsTest : public ::testing::Test {
 protected:
  CQuillmarkOps MakeOps(const LocalHttpsServer& server, std::string qrPath = {}) {
    CQuillmarkOps::Settings settings;
    settings.apiBase = server.Url("");
    settings.qrPath = qrPath.empty() ? (dir_ / "1.BMP").string() : qrPath;
    settings.transport.caFile = CertPath("ca.pem");
    settings.out = &out_;
    return CQuillmarkOps(settings);
  }

  testsupport::TempDir temp_;
  const fs::path dir_ = temp_.path();
  std::ostringstream out_;
};

TEST_F(OpsTest, UnifiedOrderSendsTheDocumentByteForByteSignedOverUtf8) {
  if (!known::IsDefaultMerchant()) GTEST_SKIP() << "known answers are for the default merchant";
  LocalHttpsServer server;
  server.Reply("/pay/unifiedorder", UnifiedReply("https://pay.test/qr/1"));
  server.Start();
  CQuillmarkOps ops = MakeOps(server);

  std::string orderNo = "stale";
  {
    testing::ScopedFixedClock clock(known::kTick, kTime);
    ops.UnifiedOrder(orderNo);
  }
  EXPECT_EQ(orderNo, known::kOrderNo);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/pay/unifiedorder");
  EXPECT_EQ(requests[0].body, known::kUnifiedOrderDocument);

  EXPECT_EQ(out_.str(),
            "curl_easy_perform passed.\nContent:" + UnifiedReply("https://pay.test/qr/1") + "\n");
  EXPECT_TRUE(fs::exists(dir_ / "1.BMP"));
}

// A till's micropay carries the scanned code and no trade type or notify_url, signed over
// UTF-8 as the unified order is (known_answers.h, from Python's hashlib).
TEST_F(OpsTest, MicropaySendsTheDocumentByteForByte) {
  if (!known::IsDefaultMerchant()) GTEST_SKIP() << "known answers are for the default merchant";
  LocalHttpsServer server;
  server.Reply(kMicropayOperation.path, SignedReply({{"return_code", "SUCCESS"}}));
  server.Start();
  CQuillmarkOps::Settings settings = MakeOps(server).settings();
  settings.authCode = known::kAuthCode;
  CQuillmarkOps ops(settings);
  std::string orderNo;
  {
    testing::ScopedFixedClock clock(known::kTick, kTime);
    ops.Exchange(kMicropayOperation, orderNo);
  }
  EXPECT_EQ(orderNo, known::kOrderNo);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/pay/micropay");
  EXPECT_EQ(requests[0].body, known::kMicropayDocument);
}

// Every request about an order, as its declaration builds it: the documents were worked out
// by hand outside the project (tests/support/known_answers.h).
TEST_F(OpsTest, RequestsAboutAnOrderGoOutByteForByte) {
  if (!known::IsDefaultMerchant()) GTEST_SKIP() << "known answers are for the default merchant";
  const struct {
    const Operation* operation;
    const char* document;
  } rows[] = {
      {&kOrderQueryOperation, known::kOrderQueryDocument},
      {&kCloseOrderOperation, known::kOrderQueryDocument},
      {&kRefundOperation, known::kRefundDocument},
      {&kRefundQueryOperation, known::kOrderQueryDocument},
      {&kReverseOperation, known::kOrderQueryDocument},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.operation->name);
    LocalHttpsServer server;
    server.Reply(row.operation->path, SignedReply({{"return_code", "SUCCESS"}}));
    server.Start();
    CQuillmarkOps ops = MakeOps(server);
    StepOutcome outcome;
    {
      testing::ScopedFixedClock clock(known::kTick, kTime);
      outcome = ops.Run(*row.operation, known::kQueryOrderNo);
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, row.operation->path);
    EXPECT_EQ(requests[0].body, row.document);
  }
  EXPECT_EQ(
      DefaultSignString(kRefundOperation, known::kNonce, known::kQueryOrderNo, known::kRefundNo),
      known::kRefundSignString);
}

// Under sign_type HMAC-SHA256 every request names its type in its sorted place and is
// signed HMAC-SHA256, byte for byte as worked out in Python (known_answers.h); the pinned
// HMAC-SHA256 reply verifies, and the same fields signed with MD5 do not. The pinned reply
// is about kQueryOrderNo: as the answer to a unified order, which made kOrderNo, it is
// signed as it should be but answers another request.
TEST_F(OpsTest, UnderHmacSha256RequestsNameTheTypeAndRepliesMustBeSignedByIt) {
  if (!known::IsDefaultMerchant()) GTEST_SKIP() << "known answers are for the default merchant";
  const std::string md5Reply = SignedReply({{"appid", "qmsandbox000000001"},
                                            {"mch_id", "1230000001"},
                                            {"nonce_str", known::kNonce},
                                            {"out_trade_no", known::kQueryOrderNo},
                                            {"result_code", "SUCCESS"},
                                            {"return_code", "SUCCESS"},
                                            {"return_msg", "OK"},
                                            {"total_fee", "1"},
                                            {"trade_state", "NOTPAY"}});
  const struct {
    const Operation* operation;
    const char* document;
    std::string reply;
    SignatureVerdict verdict;
  } rows[] = {
      {&kUnifiedOrderOperation, known::kHmacUnifiedOrderDocument, known::kHmacQueryReply,
       SignatureVerdict::kMisdirected},
      {&kOrderQueryOperation, known::kHmacOrderQueryDocument, known::kHmacQueryReply,
       SignatureVerdict::kVerified},
      {&kCloseOrderOperation, known::kHmacOrderQueryDocument, md5Reply,
       SignatureVerdict::kMismatch},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.operation->name);
    LocalHttpsServer server;
    server.Reply(row.operation->path, row.reply);
    server.Start();
    CQuillmarkOps::Settings settings = MakeOps(server).settings();
    settings.merchant.signType = "HMAC-SHA256";
    CQuillmarkOps ops(settings);
    std::string orderNo = row.operation->makes == Operation::Makes::kOrderNumber
                              ? std::string()
                              : std::string(known::kQueryOrderNo);
    StepOutcome outcome;
    {
      testing::ScopedFixedClock clock(known::kTick, kTime);
      outcome = ops.Exchange(*row.operation, orderNo);
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, row.document);
    EXPECT_EQ(std::string(VerdictName(outcome.signature.verdict)), VerdictName(row.verdict));
  }
  MerchantSettings hmac = MerchantSettings::Defaults();
  hmac.signType = "HMAC-SHA256";
  RequestValues values = BuildOrderValues(hmac);
  values.nonce = known::kNonce;
  values.outTradeNo = known::kQueryOrderNo;
  const RequestFields fields = RequestFieldsOf(kOrderQueryOperation, values);
  const std::string signString = RequestSignString(fields, hmac.apiKey);
  EXPECT_EQ(signString, known::kHmacOrderQuerySignString);
  EXPECT_EQ(SignFields(signString.data(), signString.size(), SignType::kHmacSha256, hmac.apiKey),
            known::kHmacOrderQuerySign);
}

TEST_F(OpsTest, QueryOrderSendsItsDocumentAndReturnsTheTradeStateInGbk) {
  if (!known::IsDefaultMerchant()) GTEST_SKIP() << "known answers are for the default merchant";
  LocalHttpsServer server;
  // "未支付" in UTF-8 on the wire; the program holds it as GBK.
  server.Reply("/pay/orderquery", QueryReply("NOTPAY \xe6\x9c\xaa\xe6\x94\xaf\xe4\xbb\x98"));
  server.Start();
  CQuillmarkOps ops = MakeOps(server);

  std::string state = "stale";
  {
    testing::ScopedFixedClock clock(known::kTick, kTime);
    ops.QueryOrder(known::kQueryOrderNo, state);
    ops.QueryOrder("", state);  // an empty number goes out as an empty element
  }
  EXPECT_EQ(state, "NOTPAY \xce\xb4\xd6\xa7\xb8\xb6");

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].body, known::kOrderQueryDocument);
  EXPECT_EQ(Field(requests[1].body, "out_trade_no"), "");
  // Same tick: the same nonce.
  EXPECT_EQ(Field(requests[1].body, "nonce_str"), known::kNonce);
}

TEST_F(OpsTest, CycleQueriesTheNewOrderTwiceInOrder) {
  LocalHttpsServer server;
  server.Reply("/pay/unifiedorder", UnifiedReply("https://pay.test/qr/2"));
  int queries = 0;
  server.Handle("/pay/orderquery", [&queries](const httplib::Request&, httplib::Response& res) {
    res.set_content(QueryReply(++queries == 1 ? "NOTPAY" : "SUCCESS"), "text/xml");
  });
  server.Start();
  CQuillmarkOps ops = MakeOps(server);

  const CQuillmarkOps::CycleResult result = ops.RunOrderCycle();
  ASSERT_EQ(result.orderNo.size(), 32u);
  EXPECT_EQ(result.TradeStates(), (std::vector<std::string>{"NOTPAY", "SUCCESS"}));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].path, "/pay/unifiedorder");
  EXPECT_EQ(requests[1].path, "/pay/orderquery");
  EXPECT_EQ(requests[2].path, "/pay/orderquery");
  for (const auto& request : requests) {
    EXPECT_EQ(Field(request.body, "out_trade_no"), result.orderNo);
  }
}

// A unified order answered FAIL SYSTEMERROR is sent once more, the same order under the
// same number and amount, only where the settings ask for it, and only for SYSTEMERROR.
TEST_F(OpsTest, ASystemErrorIsRetriedOnceUnderTheSameOrderNumber) {
  const std::string systemError = SignedReply(
      {{"return_code", "SUCCESS"}, {"result_code", "FAIL"}, {"err_code", "SYSTEMERROR"}});
  const std::string otherError =
      SignedReply({{"return_code", "SUCCESS"}, {"result_code", "FAIL"}, {"err_code", "ORDERPAID"}});
  const struct {
    const char* what;
    bool retry;
    const std::string* first;
    std::size_t orders;  // unified orders sent
    bool placed;
  } rows[] = {
      {"retried", true, &systemError, 2, true},
      {"not asked to retry", false, &systemError, 1, false},
      {"another error", true, &otherError, 1, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    LocalHttpsServer server;
    int orders = 0;
    server.Handle("/pay/unifiedorder", [&](const httplib::Request&, httplib::Response& res) {
      res.set_content(++orders == 1 ? *row.first : UnifiedReply("https://pay.test/qr/9"),
                      "text/xml");
    });
    server.Reply("/pay/orderquery", QueryReply("NOTPAY"));
    server.Start();
    CQuillmarkOps::Settings settings = MakeOps(server).settings();
    settings.totalFee = 4003;
    settings.retrySystemError = row.retry;
    CQuillmarkOps ops(settings);
    const CQuillmarkOps::CycleResult result = ops.RunOrderCycle();
    std::vector<std::string> numbers;
    for (const auto& request : server.requests()) {
      if (request.path != "/pay/unifiedorder") continue;
      numbers.push_back(Field(request.body, "out_trade_no"));
      EXPECT_EQ(Field(request.body, "total_fee"), "4003");
    }
    ASSERT_EQ(numbers.size(), row.orders);
    EXPECT_EQ(numbers.front(), numbers.back()) << "the same order number";
    EXPECT_EQ(!result.orderNo.empty(), row.placed);
    EXPECT_EQ(result.refusedOrder.has_value(), row.orders == 2);
    if (row.placed) {
      EXPECT_EQ(result.orderNo, numbers.front());
    }
  }
}

TEST_F(OpsTest, TheCycleResultCarriesWhatEachStepObtained) {
  LocalHttpsServer server;
  server.Reply("/pay/unifiedorder", UnifiedReply("https://pay.test/qr/4"));
  // "订单不存在" in UTF-8 on the wire, GBK in the outcome.
  server.Handle("/pay/orderquery", [](const httplib::Request&, httplib::Response& res) {
    res.status = 202;
    res.set_content(
        "<xml><return_code><![CDATA[SUCCESS]]></return_code><result_code><![CDATA[FAIL]]>"
        "</result_code><err_code><![CDATA[ORDERNOTEXIST]]></err_code><err_code_des><![CDATA["
        "\xe8\xae\xa2\xe5\x8d\x95\xe4\xb8\x8d\xe5\xad\x98\xe5\x9c\xa8]]></err_code_des></xml>",
        "text/xml");
  });
  server.Start();
  CQuillmarkOps ops = MakeOps(server);

  std::vector<CycleStep> announced;
  const CQuillmarkOps::CycleResult result =
      ops.RunOrderCycle([&announced](CycleStep step) { announced.push_back(step); });
  EXPECT_EQ(announced, (std::vector<CycleStep>{CycleStep::kUnifiedOrder, CycleStep::kQuery1,
                                               CycleStep::kQuery2}));
  EXPECT_TRUE(result.order.transfer.ok());
  EXPECT_EQ(result.order.transfer.httpStatus, 200);
  EXPECT_EQ(result.order.Field(kFieldReturnCode), "SUCCESS");
  EXPECT_EQ(result.order.Field(kFieldCodeUrl), "https://pay.test/qr/4");
  // The symbol handed back is the one the bitmap holds.
  ASSERT_TRUE(result.symbol.has_value());
  EXPECT_EQ(result.bitmap, qr::SaveResult::kWritten);
  EXPECT_EQ(result.bitmapPath, (dir_ / "1.BMP").string());
  const std::vector<std::uint8_t> bitmap = qr::RenderBitmap(*result.symbol);
  std::ifstream file(dir_ / "1.BMP", std::ios::binary);
  const std::string written{std::istreambuf_iterator<char>(file), {}};
  EXPECT_EQ(written, std::string(bitmap.begin(), bitmap.end()));
  ASSERT_EQ(result.queries.size(), 2u);
  for (const StepOutcome& query : result.queries) {
    EXPECT_EQ(query.transfer.httpStatus, 202);
    EXPECT_EQ(query.Field(kFieldResultCode), "FAIL");
    EXPECT_EQ(query.Field(kFieldErrCode), "ORDERNOTEXIST");
    EXPECT_EQ(query.Field(kFieldErrCodeDes), "\xb6\xa9\xb5\xa5\xb2\xbb\xb4\xe6\xd4\xda");
    EXPECT_EQ(query.Field(kFieldTradeState), "");
  }
  EXPECT_FALSE(result.aborted);
}

TEST_F(OpsTest, AReplyWithoutCodeUrlEndsTheCycleWithNoBitmapAndNoQuery) {
  const std::string replies[] = {
      kFailReply,
      "<xml><code_url>https://pay.test/not-in-cdata</code_url></xml>",
      "<html><body>502 Bad Gateway</body></html>",
  };
  for (const std::string& reply : replies) {
    LocalHttpsServer server;
    server.Reply("/pay/unifiedorder", reply);
    server.Reply("/pay/orderquery", QueryReply("NOTPAY"));
    server.Start();
    out_.str("");
    CQuillmarkOps ops = MakeOps(server);
    const CQuillmarkOps::CycleResult result = ops.RunOrderCycle();
    EXPECT_EQ(result.orderNo, "") << reply;
    EXPECT_TRUE(result.queries.empty()) << reply;
    EXPECT_EQ(server.requests().size(), 1u) << reply;
    EXPECT_FALSE(fs::exists(dir_ / "1.BMP")) << reply;
    EXPECT_EQ(out_.str(), "curl_easy_perform passed.\nContent:" + reply + "\n");
  }
}

// Replies that try to pass a link or a state other than the signed one, each sent to both
// operations: a step is misled only by a field it reads. The lines on the output are the
// replies as they came; nothing of them is acted on.
TEST_F(OpsTest, AReplyThatFailsVerificationGivesNoOrderBitmapOrState) {
  const SignedFields order = {{"return_code", "SUCCESS"}, {"code_url", "https://127.0.0.1/qr/1"}};
  const std::string link = "<code_url><![CDATA[https://attacker.invalid/x]]></code_url>";
  const std::string state = "<trade_state><![CDATA[SUCCESS]]></trade_state>";
  std::string changed = SignedReply(order);
  changed.replace(changed.find("/qr/1"), 5, "/qr/2");
  std::string unsignedReply = SignedReply(order);
  unsignedReply.erase(unsignedReply.find("<sign>"), 57);
  using V = SignatureVerdict;
  const struct {
    const char* what;
    std::string reply;
    V order;
    V query;
  } rows[] = {
      {"a link in a comment first", SignedReply(order, "<!-- " + link + " -->"), V::kAmbiguous,
       V::kVerified},
      {"a link in a declaration first",
       "<!DOCTYPE xml [<!ELEMENT xml ANY><!-- " + link + " -->]>" + SignedReply(order),
       V::kAmbiguous, V::kVerified},
      {"the link split over two sections",
       SignedReply(order).replace(SignedReply(order).find("/qr/1"), 5, "/q]]><![CDATA[r/1"),
       V::kAmbiguous, V::kVerified},
      {"a state in a comment first",
       SignedReply({{"return_code", "SUCCESS"}, {"trade_state", "NOTPAY"}}, "<!--" + state + "-->"),
       V::kVerified, V::kAmbiguous},
      // A field the signed document lacks is compared too, as empty: else a link or a
      // state no one signed would pass for a verified one.
      {"signed without a link, one in a comment",
       SignedReply({{"return_code", "SUCCESS"}}, "<!-- " + link + " -->"), V::kAmbiguous,
       V::kVerified},
      {"signed without a link, one in a declaration",
       "<!DOCTYPE xml [<!ELEMENT xml ANY><!-- " + link + " -->]>" +
           SignedReply({{"return_code", "SUCCESS"}}),
       V::kAmbiguous, V::kVerified},
      {"signed without a state, one in a comment",
       SignedReply({{"return_code", "SUCCESS"}}, "<!--" + state + "-->"), V::kVerified,
       V::kAmbiguous},
      {"the link changed after signing", changed, V::kMismatch, V::kMismatch},
      {"a SUCCESS reply without its sign", unsignedReply, V::kMissing, V::kMissing},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    LocalHttpsServer server;
    server.Reply("/pay/unifiedorder", row.reply);
    server.Reply("/pay/orderquery", row.reply);
    server.Start();
    out_.str("");
    CQuillmarkOps ops = MakeOps(server);
    const CQuillmarkOps::CycleResult result = ops.RunOrderCycle();
    EXPECT_EQ(std::string(VerdictName(result.order.signature.verdict)), VerdictName(row.order));
    EXPECT_EQ(result.orderNo, "");
    EXPECT_EQ(result.order.Field(kFieldCodeUrl), "");
    EXPECT_FALSE(result.symbol);
    EXPECT_FALSE(fs::exists(dir_ / "1.BMP"));
    EXPECT_EQ(out_.str(), "curl_easy_perform passed.\nContent:" + row.reply + "\n");
    const StepOutcome query = ops.Run(kOrderQueryOperation, "1");
    EXPECT_EQ(std::string(VerdictName(query.signature.verdict)), VerdictName(row.query));
    if (row.query != V::kVerified) {
      EXPECT_EQ(query.Field(kFieldTradeState), "");
    }
  }
}

// A platform whose every reply is signed with the merchant's key and repeats the request's
// own values (the merchant, the order, the refund, the amounts), but for `field`, which
// the replies to `operation` name as `value`: a reply about another request than ours.
void AnswerAbout(LocalHttpsServer& server, const Operation& operation, const std::string& field,
                 const std::string& value) {
  for (const Operation* one : kOperations) {
    const bool changed = one == &operation;
    server.Handle(one->path, [=](const httplib::Request& req, httplib::Response& res) {
      SignedFields reply = {{"return_code", "SUCCESS"},
                            {"result_code", "SUCCESS"},
                            {"code_url", "https://pay.test/qr/5"},
                            {"trade_state", "NOTPAY"},
                            {"refund_status_0", "SUCCESS"},
                            {"total_fee", "1"}};
      for (const char* name : kNamingFields) {
        if (Field(req.body, name) != "<missing>") reply[name] = Field(req.body, name);
      }
      if (changed) reply[field] = value;
      res.set_content(SignedReply(reply), "text/xml");
    });
  }
}

// A verified reply that names another order, merchant, refund or amount than the request
// answers another request: nothing of it is taken, and the outcome names the field and
// both values. An amount is known only of an order placed here.
TEST_F(OpsTest, AVerifiedReplyAboutAnotherRequestIsNotTaken) {
  const std::string other = "20260307090503042zzzzzzzzzzzzzzz";
  const std::string fee = std::to_string(kTotalFee);
  const struct {
    const char* what;
    const Operation* operation;
    bool cycle;  // the step of a cycle (the unified order, or its first query), else Run
    const char* field;
    std::string value;
    std::string ours;  // empty: the reply verifies
  } rows[] = {
      {"a unified order answered about another order", &kUnifiedOrderOperation, true,
       "out_trade_no", other, "<the order's number>"},
      {"a query answered for another appid", &kOrderQueryOperation, false, "appid",
       "qmother00000000001", kAppId},
      {"a close answered for another mch_id", &kCloseOrderOperation, false, "mch_id", "1239999999",
       kMchId},
      {"a refund answered under another refund number", &kRefundOperation, false, "out_refund_no",
       other, "<the refund's number>"},
      {"a refund of another amount", &kRefundOperation, false, "refund_fee", "2", fee},
      {"a refund of an order of another amount", &kRefundOperation, false, "total_fee", "2", fee},
      {"the query of the order placed here, of another amount", &kOrderQueryOperation, true,
       "total_fee", "2", fee},
      {"the query of an order placed elsewhere, of another amount", &kOrderQueryOperation, false,
       "total_fee", "2", ""},
      {"a refund query answered for the same order", &kRefundQueryOperation, false, "out_trade_no",
       known::kQueryOrderNo, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    LocalHttpsServer server;
    AnswerAbout(server, *row.operation, row.field, row.value);
    server.Start();
    CQuillmarkOps ops = MakeOps(server);
    CQuillmarkOps::CycleResult cycle;
    StepOutcome step;
    if (!row.cycle) {
      step = ops.Run(*row.operation, known::kQueryOrderNo);
    } else {
      cycle = ops.RunOrderCycle();
      step = row.operation == &kUnifiedOrderOperation ? cycle.order : cycle.queries.at(0);
    }
    std::string ours = row.ours;
    if (ours == "<the order's number>") ours = step.request.at(kFieldOutTradeNo);
    if (ours == "<the refund's number>") ours = step.request.at(kFieldOutRefundNo);
    const ReplySignature& signature = step.signature;
    if (ours.empty()) {
      EXPECT_STREQ(VerdictName(signature.verdict), "verified");
      EXPECT_EQ(VerdictOf(step), StepVerdict::kDone);
      continue;
    }
    EXPECT_STREQ(VerdictName(signature.verdict), "misdirected");
    EXPECT_EQ(signature.field, row.field);
    EXPECT_EQ(signature.ours, ours);
    EXPECT_EQ(signature.answered, row.value);
    EXPECT_EQ(VerdictOf(step), StepVerdict::kUntrusted);
    EXPECT_EQ(step.Field(row.operation->replyFields.empty() ? kFieldCodeUrl
                                                            : row.operation->replyFields.front()),
              "")
        << "a reply field taken from a reply about another request";
    if (row.operation == &kUnifiedOrderOperation) {
      EXPECT_EQ(cycle.orderNo, "");
      EXPECT_TRUE(cycle.queries.empty());
      EXPECT_FALSE(fs::exists(dir_ / "1.BMP"));
    }
  }
}

// A verified reply may still carry escape sequences in a comment, which nothing signs. For
// a terminal they are shown escaped; otherwise the line is the reply byte for byte.
TEST_F(OpsTest, TheContentLineIsEscapedOnlyWhereAsked) {
  const std::string reply =
      SignedReply({{"return_code", "SUCCESS"}, {"trade_state", "NOTPAY"}},
                  "<!--\x1b]0;title\a\x1b[2J\x1b[HEvery signed reply verified.-->");
  const std::string escaped =
      SignedReply({{"return_code", "SUCCESS"}, {"trade_state", "NOTPAY"}},
                  "<!--\\x1b]0;title\\x07\\x1b[2J\\x1b[HEvery signed reply verified.-->");
  LocalHttpsServer server;
  server.Reply("/pay/orderquery", reply);
  server.Start();
  for (const bool terminal : {false, true}) {
    out_.str("");
    CQuillmarkOps::Settings settings = MakeOps(server).settings();
    settings.escapeReplyControls = terminal;
    const StepOutcome query = CQuillmarkOps(settings).Run(kOrderQueryOperation, "1");
    EXPECT_EQ(out_.str(),
              "curl_easy_perform passed.\nContent:" + (terminal ? escaped : reply) + "\n");
    EXPECT_EQ(query.Field(kFieldTradeState), "NOTPAY")
        << "the verdict is the reply's, not the line's";
  }
}

// The unit's own writer goes to the configured path, and a second call overwrites the file.
TEST_F(OpsTest, SaveQrBitmapWritesTheConfiguredPathAgainAndAgain) {
  LocalHttpsServer server;
  CQuillmarkOps ops = MakeOps(server);
  ops.SaveQrBitmap("https://pay.test/qr/first");
  const auto first = fs::file_size(dir_ / "1.BMP");
  ops.SaveQrBitmap(std::string(300, 'x'));  // a larger symbol
  EXPECT_GT(fs::file_size(dir_ / "1.BMP"), first);
  EXPECT_EQ(out_.str(), "");
}

TEST_F(OpsTest, AnUnwritableBitmapKeepsTheOrderNumberAndTheQueries) {
  LocalHttpsServer server;
  server.Reply("/pay/unifiedorder", UnifiedReply("https://pay.test/qr/3"));
  server.Reply("/pay/orderquery", QueryReply("NOTPAY"));
  server.Start();
  CQuillmarkOps ops = MakeOps(server, (dir_ / "no-such-dir" / "1.BMP").string());

  const CQuillmarkOps::CycleResult result = ops.RunOrderCycle();
  EXPECT_EQ(result.orderNo.size(), 32u);
  EXPECT_EQ(result.queries.size(), 2u);
  EXPECT_EQ(server.requests().size(), 3u);
  EXPECT_NE(out_.str().find("\nUnable to open file\n"), std::string::npos) << out_.str();
}

TEST_F(OpsTest, AnUnreachablePlatformGivesFailureLinesAndNoOrder) {
  LocalHttpsServer server;
  server.Start();
  CQuillmarkOps ops = MakeOps(server);
  server.Stop();  // nothing listens there any more
  const CQuillmarkOps::CycleResult result = ops.RunOrderCycle();
  EXPECT_EQ(result.orderNo, "");
  EXPECT_EQ(out_.str(),
            "curl_easy_perform failed. RetCode:7 ErrMsg:Couldn't connect to server\nContent:\n");
}

// The certificate presented: a configured client_cert, whatever the api_base, its password
// the merchant number unless one is set; without one, none for another platform.
TEST(OpsSettings, AConfiguredClientCertificateIsTheOnePresented) {
  const struct {
    const char* apiBase;
    const char* cert;
    const char* password;
    ClientCertificate expected;
  } rows[] = {
      {"https://127.0.0.1:8443", "/m/own.p12", "", {"/m/own.p12", "", "5550001234"}},
      {"https://api.example.net", "/m/own.p12", "Secret1", {"/m/own.p12", "", "Secret1"}},
      {"https://api.example.net", "", "Secret1", {}},
  };
  for (const auto& row : rows) {
    MerchantSettings merchant = MerchantSettings::Defaults();
    merchant.mchId = "5550001234";
    merchant.apiBase = row.apiBase;
    merchant.clientCert = row.cert;
    merchant.clientCertPassword = row.password;
    const ClientCertificate given =
        CQuillmarkOps::Settings::FromMerchant(merchant).transport.clientCertificate;
    EXPECT_EQ(given.certFile, row.expected.certFile) << row.apiBase << " " << row.cert;
    EXPECT_EQ(given.keyFile, row.expected.keyFile);
    EXPECT_EQ(given.password, row.expected.password) << row.apiBase << " " << row.cert;
  }
}

}  // namespace
}  // namespace quillmark
