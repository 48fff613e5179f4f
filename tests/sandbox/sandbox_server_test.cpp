// The sandbox as a server, in-process on a free port, spoken to through the project's own
// transport: orders, queries, the payer page, and what bad requests may and may not do.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "client/quillmark_ops.h"
#include "config/merchant_config.h"
#include "sandbox/api/request_check.h"
#include "sandbox/sandbox.h"
#include "tests/support/merchant_server.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;

Options PayingAfter(int queries) {
  Options options;
  options.payAfterQueries = queries;
  return options;
}

class SandboxServer : public SandboxTest {
 protected:
  std::string State(const std::string& orderNo) {
    const Reply reply = Query(orderNo);
    EXPECT_EQ(CdataField(reply.body, "return_code"), "SUCCESS") << reply.body;
    return CdataField(reply.body, "trade_state");
  }
  // The path of the order's code_url on this sandbox.
  std::string PagePath(const std::string& orderNo) { return "/pay/qr/" + orderNo; }
  // The client's operations, pointed at this sandbox; their lines go to clientOut_.
  CQuillmarkOps ClientOps() {
    CQuillmarkOps::Settings settings;
    settings.apiBase = Url("");
    settings.transport.caFile = CaFile();
    settings.transport.clientCertificate = IssuedCertificate();
    settings.out = &clientOut_;
    return CQuillmarkOps(settings);
  }
  std::ostringstream clientOut_;
};

TEST_F(SandboxServer, RunsTheClientsOrderCycle) {
  StartSandbox(PayingAfter(1));
  TempDir dir;
  CQuillmarkOps::Settings settings;
  settings.apiBase = Url("");
  settings.qrPath = dir.path() + "/1.BMP";
  settings.transport.caFile = CaFile();
  std::ostringstream out;
  settings.out = &out;
  CQuillmarkOps ops(settings);

  const CQuillmarkOps::CycleResult result = ops.RunOrderCycle();
  ASSERT_EQ(result.orderNo.size(), 32u) << out.str();
  EXPECT_EQ(result.TradeStates(), (std::vector<std::string>{"NOTPAY", "SUCCESS"})) << out.str();
  EXPECT_TRUE(std::filesystem::exists(settings.qrPath));

  const std::vector<RecordedRequest> requests = sandbox_->requests();
  ASSERT_EQ(requests.size(), 3u);
  const char* paths[] = {"/pay/unifiedorder", "/pay/orderquery", "/pay/orderquery"};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(requests[i].method, "POST") << i;
    EXPECT_EQ(requests[i].path, paths[i]) << i;
    EXPECT_EQ(requests[i].fields.at("out_trade_no"), result.orderNo) << i;
  }
}

// Closing, through the client's own exchange: an unpaid order closes once, and then reads
// CLOSED and cannot be paid on its page; a paid or unknown one is refused with a signed
// reply that says why.
TEST_F(SandboxServer, ClosesUnpaidOrdersAndRefusesTheRest) {
  StartSandbox(PayingAfter(1));
  CQuillmarkOps ops = ClientOps();
  ASSERT_EQ(CdataField(PlaceOrder("open").body, "return_code"), "SUCCESS");
  ASSERT_EQ(CdataField(PlaceOrder("paid").body, "return_code"), "SUCCESS");
  State("paid");  // paid once this first query is answered

  const struct {
    const char* orderNo;
    const char* resultCode;
    const char* errCode;
  } rows[] = {
      {"open", "SUCCESS", ""},
      {"paid", "FAIL", "ORDERPAID"},
      {"unknown", "FAIL", "ORDERNOTEXIST"},
      {"open", "SUCCESS", ""},  // closing twice changes nothing
  };
  for (const auto& row : rows) {
    const StepOutcome closed = ops.Run(quillmark::kCloseOrderOperation, row.orderNo);
    EXPECT_TRUE(Trusted(closed)) << row.orderNo << clientOut_.str();
    EXPECT_EQ(closed.Field("return_code"), "SUCCESS") << row.orderNo;
    EXPECT_EQ(closed.Field("result_code"), row.resultCode) << row.orderNo;
    EXPECT_EQ(closed.Field("err_code"), row.errCode) << row.orderNo;
  }
  EXPECT_EQ(State("open"), "CLOSED");
  EXPECT_EQ(State("paid"), "SUCCESS");
  EXPECT_EQ(State("open"), "CLOSED") << "queries do not pay a closed order";

  const auto client = Client(sandbox_->port());
  const auto paying = client->Post((PagePath("open") + "/pay").c_str(), "", "text/plain");
  ASSERT_TRUE(paying);
  EXPECT_EQ(paying->status, 303);
  const auto page = client->Get(PagePath("open").c_str());
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("<td id=\"state\">CLOSED</td>"), std::string::npos) << page->body;
  EXPECT_EQ(page->body.find("<button"), std::string::npos) << "a closed order offers no button";
  EXPECT_EQ(State("open"), "CLOSED");
}

// Refunding, through the client's own exchange: a paid order is refunded whole, once, and
// then reads REFUND; any other is refused with a signed reply whose err_code says why. The
// refund query tells how an order's refund went.
TEST_F(SandboxServer, RefundsAPaidOrderWholeOnceAndRefusesTheRest) {
  StartSandbox(PayingAfter(1));
  CQuillmarkOps ops = ClientOps();
  for (const char* orderNo : {"unpaid", "closed", "paid"}) {
    ASSERT_EQ(CdataField(PlaceOrder(orderNo).body, "return_code"), "SUCCESS");
  }
  ASSERT_EQ(CdataField(PlaceOrder("dear", {{"total_fee", "250"}}).body, "return_code"), "SUCCESS");
  State("paid");  // each paid once its first query is answered
  State("dear");
  ASSERT_EQ(VerdictOf(ops.Run(kCloseOrderOperation, "closed")), StepVerdict::kDone);

  const struct {
    const char* orderNo;
    const char* errCode;  // empty: refunded
  } rows[] = {
      {"unpaid", "ORDERNOTPAID"},
      {"closed", "ORDERCLOSED"},
      {"unknown", "ORDERNOTEXIST"},
      {"dear", "INVALIDREFUNDFEE"},  // the client refunds 1
      {"paid", ""},
      {"paid", "ORDERREFUNDED"},  // a second refund
  };
  std::string refundNo;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.orderNo + std::string(" ") + row.errCode);
    const StepOutcome refund = ops.Run(kRefundOperation, row.orderNo);
    EXPECT_TRUE(Trusted(refund)) << clientOut_.str();
    EXPECT_EQ(refund.Field(kFieldErrCode), row.errCode);
    EXPECT_EQ(VerdictOf(refund), *row.errCode == '\0' ? StepVerdict::kDone : StepVerdict::kFailed);
    if (*row.errCode == '\0') {
      refundNo = refund.request.at(kFieldOutRefundNo);
      EXPECT_EQ(refund.Field(kFieldOutRefundNo), refundNo);
      EXPECT_EQ(refund.Field(kFieldRefundFee), "1");
    }
  }
  EXPECT_EQ(State("paid"), "REFUND");
  EXPECT_EQ(State("dear"), "SUCCESS");

  const StepOutcome asked = ops.Run(kRefundQueryOperation, "paid");
  EXPECT_EQ(VerdictOf(asked), StepVerdict::kDone) << clientOut_.str();
  EXPECT_EQ(asked.Field(kFieldRefundStatus0), "SUCCESS");
  EXPECT_EQ(asked.Field(kFieldOutRefundNo0), refundNo);
  const StepOutcome none = ops.Run(kRefundQueryOperation, "unpaid");
  EXPECT_EQ(none.Field(kFieldErrCode), "REFUNDNOTEXIST");
  EXPECT_EQ(VerdictOf(none), StepVerdict::kFailed);
}

TEST_F(SandboxServer, RepliesAreSignedSingleLineXmlInCdata) {
  StartSandbox();
  const auto client = Client(sandbox_->port());
  const auto placed =
      client->Post("/pay/unifiedorder", SignedDocument(OrderFields("order1")), "text/xml");
  ASSERT_TRUE(placed) << httplib::to_string(placed.error());
  EXPECT_EQ(placed->status, 200);
  EXPECT_EQ(placed->get_header_value("Content-Type"), "text/xml; charset=utf-8");
  const std::string& reply = placed->body;
  EXPECT_EQ(reply.find('\n'), std::string::npos);
  EXPECT_EQ(reply.rfind("<xml><return_code><![CDATA[SUCCESS]]></return_code>", 0), 0u) << reply;

  // A reply carries the fields a query carries, so the request check verifies its sign.
  const CheckResult checked =
      CheckRequest(kOrderQueryOperation, reply, quillmark::MerchantSettings::Defaults());
  ASSERT_TRUE(checked.ok) << checked.message << "\n" << reply;
  const Fields& fields = checked.fields;
  EXPECT_EQ(fields.at("return_msg"), "OK");
  EXPECT_EQ(fields.at("appid"), kAppId);
  EXPECT_EQ(fields.at("mch_id"), kMchId);
  EXPECT_EQ(fields.at("out_trade_no"), "order1");
  EXPECT_EQ(fields.at("trade_type"), "NATIVE");
  EXPECT_EQ(fields.at("code_url"), Url(PagePath("order1")));
  EXPECT_EQ(fields.at("nonce_str").size(), 32u);
  std::size_t sections = 0;
  for (std::size_t at = 0; (at = reply.find("<![CDATA[", at)) != std::string::npos; ++at) {
    ++sections;
  }
  EXPECT_EQ(sections, fields.size()) << "every field in CDATA: " << reply;

  const Reply query = Query("order1");
  EXPECT_NE(CdataField(query.body, "nonce_str"), fields.at("nonce_str")) << "a fresh nonce";
  EXPECT_TRUE(
      CheckRequest(kOrderQueryOperation, query.body, quillmark::MerchantSettings::Defaults()).ok);
}

TEST_F(SandboxServer, OrderNumbersCannotBeReused) {
  StartSandbox();
  ASSERT_EQ(CdataField(PlaceOrder("order1").body, "return_code"), "SUCCESS");
  const Reply again = PlaceOrder("order1", {{"total_fee", "500"}});
  EXPECT_EQ(CdataField(again.body, "return_code"), "FAIL");
  EXPECT_EQ(CdataField(again.body, "return_msg"), "out_trade_no order1 has already been used");
  EXPECT_EQ(CdataField(again.body, "code_url"), "");
  EXPECT_EQ(CdataField(Query("order1").body, "total_fee"), "1");
}

TEST_F(SandboxServer, QueryOfAnUnknownOrderFails) {
  StartSandbox();
  const Reply reply = Query("nosuchorder");
  EXPECT_EQ(reply.diagnostic, "curl_easy_perform passed.");
  EXPECT_EQ(CdataField(reply.body, "return_code"), "FAIL");
  EXPECT_EQ(CdataField(reply.body, "return_msg"), "order nosuchorder does not exist");
  EXPECT_EQ(CdataField(reply.body, "trade_state"), "");
}

TEST_F(SandboxServer, PayAfterQueriesPaysOnceTheNthQueryIsAnswered) {
  const struct {
    int payAfter;
    std::vector<std::string> states;
  } rows[] = {
      {0, {"NOTPAY", "NOTPAY", "NOTPAY", "NOTPAY"}},
      {1, {"NOTPAY", "SUCCESS", "SUCCESS", "SUCCESS"}},
      {3, {"NOTPAY", "NOTPAY", "NOTPAY", "SUCCESS"}},
  };
  for (const auto& row : rows) {
    StartSandbox(PayingAfter(row.payAfter));
    ASSERT_EQ(CdataField(PlaceOrder("order1").body, "return_code"), "SUCCESS");
    std::vector<std::string> states;
    for (std::size_t i = 0; i < row.states.size(); ++i) states.push_back(State("order1"));
    EXPECT_EQ(states, row.states) << "pay after " << row.payAfter;
  }
}

TEST_F(SandboxServer, PayerPageShowsTheOrderAndPaysIt) {
  StartSandbox();
  const std::string description = "Vemrak\xe7\x9a\x84 <b>tea</b> & \"cake\"";
  const Reply placed = PlaceOrder("order1", {{"body", description}, {"total_fee", "12345"}});
  ASSERT_EQ(CdataField(placed.body, "code_url"), Url(PagePath("order1"))) << placed.body;

  const auto client = Client(sandbox_->port());
  auto page = client->Get(PagePath("order1").c_str());
  ASSERT_TRUE(page) << httplib::to_string(page.error());
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(page->body.find("<meta charset=\"utf-8\">"), std::string::npos);
  EXPECT_NE(
      page->body.find("<td id=\"description\">Vemrak\xe7\x9a\x84 &lt;b&gt;tea&lt;/b&gt; &amp; "
                      "&quot;cake&quot;</td>"),
      std::string::npos)
      << page->body;
  EXPECT_EQ(page->body.find("<b>tea"), std::string::npos) << "unescaped description";
  EXPECT_NE(page->body.find("<td id=\"amount\">123.45</td>"), std::string::npos);
  EXPECT_NE(page->body.find("<td id=\"state\">NOTPAY</td>"), std::string::npos);
  EXPECT_NE(page->body.find("<form method=\"post\" action=\"/pay/qr/order1/pay\">"),
            std::string::npos);

  const auto paid = client->Post("/pay/qr/order1/pay", "", "application/x-www-form-urlencoded");
  ASSERT_TRUE(paid) << httplib::to_string(paid.error());
  EXPECT_EQ(paid->status, 303);
  EXPECT_EQ(paid->get_header_value("Location"), "/pay/qr/order1");

  page = client->Get(PagePath("order1").c_str());
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("<td id=\"state\">SUCCESS</td>"), std::string::npos);
  EXPECT_EQ(page->body.find("<form"), std::string::npos) << "a paid order offers no button";
  EXPECT_EQ(State("order1"), "SUCCESS");
}

TEST_F(SandboxServer, APaidOrderIsNotifiedUntilTheMerchantAcknowledges) {
  // The merchant's server: refuses the first notification, acknowledges the second.
  quillmark::testsupport::MerchantServer merchant(
      std::vector<quillmark::testsupport::MerchantAnswer>{
          quillmark::testsupport::Refusal(), quillmark::testsupport::Acknowledgement()});

  Options options;
  options.notifyDelays = {std::chrono::milliseconds(100), std::chrono::milliseconds(100),
                          std::chrono::milliseconds(100)};
  options.publicUrl = "https://192.0.2.7:8443";
  StartSandbox(options);
  const std::string notifyUrl = merchant.url();
  const Reply placed = PlaceOrder("order1", {{"notify_url", notifyUrl}, {"total_fee", "250"}});
  EXPECT_EQ(CdataField(placed.body, "code_url"), "https://192.0.2.7:8443/pay/qr/order1");
  ASSERT_TRUE(Client(sandbox_->port())->Post("/pay/qr/order1/pay", "", "text/plain"));

  const Reply query = Query("order1");
  const std::string transactionId = CdataField(query.body, "transaction_id");
  EXPECT_EQ(CdataField(query.body, "trade_state"), "SUCCESS");
  EXPECT_EQ(transactionId.size(), 28u) << query.body;
  EXPECT_EQ(CdataField(query.body, "time_end").size(), 14u) << query.body;

  // The second, acknowledged one; then longer than the schedule's next retry would wait:
  // the acknowledged one must be the last.
  merchant.WaitForRequests(2);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  merchant.Stop();
  const auto received = merchant.requests();
  // The notifier writes its lines from its own threads: stopped, it writes no more while
  // the log is read.
  sandbox_->Stop();
  ASSERT_EQ(received.size(), 2u) << log_.str();
  for (const auto& request : received) {
    const std::string& type = request.contentType;
    const std::string& body = request.body;
    EXPECT_EQ(type.rfind("text/xml", 0), 0u) << type;
    const CheckResult notified =
        CheckRequest(kOrderQueryOperation, body, quillmark::MerchantSettings::Defaults());
    EXPECT_TRUE(notified.ok) << notified.message << "\n" << body;
    const Fields expected = {{"appid", kAppId},
                             {"mch_id", kMchId},
                             {"out_trade_no", "order1"},
                             {"total_fee", "250"},
                             {"trade_type", "NATIVE"},
                             {"transaction_id", transactionId},
                             {"result_code", "SUCCESS"},
                             {"return_code", "SUCCESS"},
                             {"time_end", CdataField(query.body, "time_end")}};
    for (const auto& [name, value] : expected) {
      EXPECT_EQ(CdataField(body, name), value) << name << " in " << body;
    }
  }
  EXPECT_NE(received[0].body, received[1].body) << "each attempt with a fresh nonce";
  EXPECT_NE(
      log_.str().find(" NOTIFY order order1 attempt 1/4 to " + notifyUrl +
                      ": HTTP 200, not acknowledged (return_code \"FAIL\"); retry in 0.1 s\n"),
      std::string::npos)
      << log_.str();
  EXPECT_NE(log_.str().find(" NOTIFY order order1 attempt 2/4 to " + notifyUrl +
                            ": HTTP 200, acknowledged\n"),
            std::string::npos)
      << log_.str();
}

// A declined payment is final for the payer page: Pay pressed afterwards is refused, the
// order stays PAYERROR, and no payment notification is made due.
TEST_F(SandboxServer, PayerPageRefusesToPayADeclinedOrder) {
  StartSandbox();
  ASSERT_EQ(CdataField(PlaceOrder("declined1").body, "return_code"), "SUCCESS");
  const auto client = Client(sandbox_->port());
  const auto declined =
      client->Post("/pay/qr/declined1/decline", "", "application/x-www-form-urlencoded");
  ASSERT_TRUE(declined);
  EXPECT_EQ(declined->status, 303);
  ASSERT_EQ(State("declined1"), "PAYERROR");

  const auto paid = client->Post("/pay/qr/declined1/pay", "", "application/x-www-form-urlencoded");
  ASSERT_TRUE(paid);
  EXPECT_EQ(paid->status, 303) << "back to its page, which shows the state";
  EXPECT_EQ(State("declined1"), "PAYERROR");
  const auto page = client->Get(PagePath("declined1").c_str());
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("<td id=\"state\">PAYERROR</td>"), std::string::npos) << page->body;
  EXPECT_EQ(page->body.find("/pay/qr/declined1/pay"), std::string::npos) << "no Pay button";
  // Stopped first: a reply can reach the client before its log line is written.
  sandbox_.reset();
  EXPECT_NE(log_.str().find("POST /pay/qr/declined1/pay declined1 303 refused: the payment failed"),
            std::string::npos)
      << log_.str();
}

// A sign type the sandbox does not know is refused by name, whatever the sign: it is not
// taken for MD5, the type of a request that names none, and nothing is placed.
TEST_F(SandboxServer, RefusesASignTypeItDoesNotKnowNamingIt) {
  StartSandbox();
  int made = 0;
  for (const char* type : {"HMAC-SHA1", "md5", "SHA256"}) {
    const std::string number = "typed" + std::to_string(++made);
    const Reply reply = PlaceOrder(number, {{"sign_type", type}});
    EXPECT_EQ(CdataField(reply.body, "return_code"), "FAIL") << type << ": " << reply.body;
    EXPECT_EQ(CdataField(reply.body, "return_msg"),
              std::string("sign_type ") + type +
                  " is not a sign type the sandbox knows; use MD5 or HMAC-SHA256")
        << type;
    EXPECT_EQ(CdataField(Query(number).body, "return_msg"), "order " + number + " does not exist")
        << type;
  }
}

TEST_F(SandboxServer, PayerPageOfAnUnknownOrderIsNotFound) {
  StartSandbox();
  const auto client = Client(sandbox_->port());
  const auto page = client->Get("/pay/qr/nosuchorder");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 404);
  EXPECT_NE(page->body.find("There is no order <code>nosuchorder</code>"), std::string::npos);
  const auto paid =
      client->Post("/pay/qr/nosuchorder/pay", "", "application/x-www-form-urlencoded");
  ASSERT_TRUE(paid);
  EXPECT_EQ(paid->status, 404);
}

// A signed order padded with a comment to exactly `size` bytes.
std::string PaddedOrder(const std::string& orderNo, std::size_t size) {
  std::string document = SignedDocument(OrderFields(orderNo));
  const std::size_t fixed = document.size() + 7;  // "<!--" and "-->"
  document.insert(5, "<!--" + std::string(size - fixed, 'x') + "-->");
  return document;
}

TEST_F(SandboxServer, BodiesOver64KiBAreRefused) {
  StartSandbox();
  const auto client = Client(sandbox_->port());
  const auto fits = client->Post("/pay/unifiedorder", PaddedOrder("order1", 65536), "text/xml");
  ASSERT_TRUE(fits);
  EXPECT_EQ(CdataField(fits->body, "return_code"), "SUCCESS") << fits->body.substr(0, 300);

  const auto over = client->Post("/pay/unifiedorder", PaddedOrder("order2", 65537), "text/xml");
  ASSERT_TRUE(over);
  EXPECT_EQ(over->status, 413);
  EXPECT_EQ(over->get_header_value("Content-Type"), "text/xml; charset=utf-8");
  EXPECT_EQ(CdataField(over->body, "return_code"), "FAIL");
  EXPECT_EQ(CdataField(over->body, "return_msg"), "request body larger than 65536 bytes");
  EXPECT_EQ(CdataField(Query("order2").body, "return_msg"), "order order2 does not exist");
}

TEST_F(SandboxServer, UnknownPathsGetAnXmlError) {
  StartSandbox();
  const auto client = Client(sandbox_->port());
  const struct {
    const char* method;
    const char* path;
  } rows[] = {{"GET", "/"},
              {"POST", "/pay/transfer"},
              {"GET", "/pay/unifiedorder"},
              {"POST", "/pay/qr/order1"},
              {"GET", "/pay/qr/a/b"}};
  for (const auto& row : rows) {
    const auto reply = std::string(row.method) == "GET" ? client->Get(row.path)
                                                        : client->Post(row.path, "", "text/xml");
    ASSERT_TRUE(reply) << row.method << ' ' << row.path;
    EXPECT_EQ(reply->status, 404) << row.method << ' ' << row.path;
    EXPECT_EQ(
        CdataField(reply->body, "return_msg"),
        std::string("no such endpoint: ") + row.method + " " + row.path +
            " (POST /pay/unifiedorder, /pay/orderquery, /pay/closeorder, /secapi/pay/refund or "
            "/pay/refundquery)");
  }
}

TEST_F(SandboxServer, ABadRequestChangesNoOtherOrder) {
  StartSandbox(PayingAfter(2));
  ASSERT_EQ(CdataField(PlaceOrder("order1", {{"total_fee", "250"}}).body, "return_code"),
            "SUCCESS");

  Fields tampered = OrderFields("order1");
  tampered["sign"] = SignOf(tampered, kApiKey);
  tampered["total_fee"] = "999";
  Fields badQuery = QueryFields("order1");
  badQuery["sign"] = "0123456789ABCDEF0123456789ABCDEF";
  Fields longBody = OrderFields("order3");
  longBody["body"] = std::string(30'000, 'b');
  const struct {
    const char* name;
    const char* path;
    std::string body;
  } rows[] = {
      {"tampered order", "/pay/unifiedorder", Document(tampered)},
      {"reused number", "/pay/unifiedorder", SignedDocument(OrderFields("order1"))},
      {"badly signed query", "/pay/orderquery", Document(badQuery)},
      {"GBK query", "/pay/orderquery", "<xml><appid>\xb5\xc4</appid></xml>"},
      {"malformed", "/pay/orderquery", "<xml><out_trade_no>order1</xml>"},
      {"oversized", "/pay/unifiedorder", PaddedOrder("order1", 70'000)},
      {"long field", "/pay/unifiedorder", SignedDocument(longBody)},
      {"unknown path", "/pay/refund", SignedDocument(QueryFields("order1"))},
  };
  for (const auto& row : rows) {
    const Reply reply = Post(Url(row.path), row.body);
    EXPECT_EQ(CdataField(reply.body, "return_code"), "FAIL") << row.name;
  }
  // None of them counted as a query or touched the amount.
  EXPECT_EQ(State("order1"), "NOTPAY");
  EXPECT_EQ(State("order1"), "NOTPAY");
  const Reply third = Query("order1");
  EXPECT_EQ(CdataField(third.body, "trade_state"), "SUCCESS");
  EXPECT_EQ(CdataField(third.body, "total_fee"), "250");
  EXPECT_EQ(CdataField(Query("order3").body, "return_msg"), "order order3 does not exist");
  // And the server still takes new orders.
  EXPECT_EQ(CdataField(PlaceOrder("order2").body, "return_code"), "SUCCESS");
}

TEST_F(SandboxServer, LogsOneLinePerRequest) {
  StartSandbox();
  PlaceOrder("order1");
  Query("order1");
  Query("nosuchorder");
  Post(Url("/nowhere"), "x");
  std::vector<std::string> lines;
  std::istringstream in(log_.str());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u) << log_.str();
  const char* parts[] = {
      " POST /pay/unifiedorder order1 200 SUCCESS order placed",
      " POST /pay/orderquery order1 200 SUCCESS trade_state=NOTPAY",
      " POST /pay/orderquery nosuchorder 200 FAIL order nosuchorder does not exist",
      " POST /nowhere - 404 FAIL no such endpoint: POST /nowhere",
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_NE(lines[i].find(parts[i]), std::string::npos) << lines[i];
    // Starts with an ISO 8601 UTC time such as 2026-01-31T12:34:56.789Z.
    EXPECT_EQ(lines[i].find('T'), 10u) << lines[i];
    EXPECT_EQ(lines[i].find("Z "), 23u) << lines[i];
  }
}

TEST_F(SandboxServer, OrdersFromManyClientsAtOnceAreAllKept) {
  StartSandbox();
  constexpr std::size_t kThreads = 4;
  constexpr int kOrdersEach = 5;
  std::vector<std::thread> threads;
  std::vector<int> placed(kThreads, 0);
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &placed] {
      for (int i = 0; i < kOrdersEach; ++i) {
        const std::string orderNo = "t" + std::to_string(t) + "o" + std::to_string(i);
        if (CdataField(PlaceOrder(orderNo).body, "return_code") == "SUCCESS") ++placed[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < kThreads; ++t) {
    EXPECT_EQ(placed[t], kOrdersEach) << "thread " << t;
    for (int i = 0; i < kOrdersEach; ++i) {
      EXPECT_EQ(State("t" + std::to_string(t) + "o" + std::to_string(i)), "NOTPAY");
    }
  }
}

}  // namespace
}  // namespace quillmark::sandbox

namespace quillmark::sandbox {
namespace {

using namespace testsupport;

TEST(SandboxLifecycle, RunServesUntilStopIsCalledFromAnotherThread) {
  std::ostringstream log;
  Options options;
  options.port = 0;
  options.log = &log;
  Sandbox sandbox(options);
  bool served = false;
  std::thread runner([&] { served = sandbox.Run(); });
  for (int i = 0; i < 5000 && sandbox.port() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GT(sandbox.port(), 0);
  const Reply reply = Post(sandbox.baseUrl() + "/pay/orderquery", SignedDocument(QueryFields("x")));
  EXPECT_EQ(CdataField(reply.body, "return_msg"), "order x does not exist");
  sandbox.Stop();
  runner.join();
  EXPECT_TRUE(served);
}

TEST(SandboxLifecycle, StartFailsCleanlyAndStopIsAlwaysSafe) {
  Options options;
  options.port = 0;
  options.certFile = "/nonexistent.pem";
  Sandbox broken(options);
  broken.Stop();  // before any Start()
  std::string error;
  EXPECT_FALSE(broken.Start(&error));
  EXPECT_EQ(error, "cannot read the certificate file /nonexistent.pem (it does not exist)");
  EXPECT_FALSE(broken.Run(&error));
  broken.Stop();
  // In-process too, a pipe is refused rather than opened: its open would never return.
  TempDir dir;
  const std::string pipe = dir.path() + "/pipe.pem";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  Options piped = options;
  piped.certFile.clear();
  piped.notifyCaFile = pipe;
  Sandbox withPipe(piped);
  EXPECT_FALSE(withPipe.Start(&error));
  EXPECT_EQ(error, "cannot read the notification CA file " + pipe + " (it is not a regular file)");

  std::ostringstream log;
  options.certFile.clear();
  options.log = &log;
  Sandbox working(options);
  ASSERT_TRUE(working.Start());
  EXPECT_FALSE(working.Start(&error));
  EXPECT_EQ(error, "the sandbox is already started");
  working.Stop();
  working.Stop();
}

}  // namespace
}  // namespace quillmark::sandbox
