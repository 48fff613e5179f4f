// The sandbox as a server, in-process on a free port, spoken to through the project's own
// transport: orders, queries, the payer page, and what bad requests may and may not do.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

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

// Refunding, through the client's own exchange: the client refunds its whole 1 fen; any
// other request is refused with a signed reply whose err_code says why.
TEST_F(SandboxServer, RefundsThroughTheClientAndRefusesWhatCannotBeRefunded) {
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
      {"dear", "INVALIDTOTALFEE"},  // the client's total_fee is its 1 fen
      {"paid", ""},
      {"paid", "INVALIDREFUNDFEE"},  // a second refund: nothing is left
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.orderNo + std::string(" ") + row.errCode);
    const StepOutcome refund = ops.Run(kRefundOperation, row.orderNo);
    EXPECT_TRUE(Trusted(refund)) << clientOut_.str();
    EXPECT_EQ(refund.Field(kFieldErrCode), row.errCode);
    EXPECT_EQ(VerdictOf(refund), *row.errCode == '\0' ? StepVerdict::kDone : StepVerdict::kFailed);
  }
  EXPECT_EQ(State("paid"), "REFUND");
  EXPECT_EQ(State("dear"), "SUCCESS");
  const StepOutcome none = ops.Run(kRefundQueryOperation, "unpaid");
  EXPECT_EQ(none.Field(kFieldErrCode), "REFUNDNOTEXIST");
  EXPECT_EQ(VerdictOf(none), StepVerdict::kFailed);
}

// Decrypts a refund notification as a merchant's handler would, with nothing of ours: the
// `cryptography` package when it is there, else `openssl enc -d`. Prints the decrypted
// fields as name=value lines, sorted.
constexpr char kIndependentDecryptor[] = R"(
import base64, hashlib, subprocess, sys, xml.etree.ElementTree as ET
body, api_key = open(sys.argv[1], 'rb').read(), sys.argv[2]
outer = {e.tag: e.text or '' for e in ET.fromstring(body)}
assert 'sign' not in outer and outer['return_code'] == 'SUCCESS', outer
key = hashlib.md5(api_key.encode()).hexdigest().encode()
data = base64.b64decode(outer['req_info'], validate=True)
try:
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    from cryptography.hazmat.primitives import padding
    d = Cipher(algorithms.AES(key), modes.ECB()).decryptor()
    u = padding.PKCS7(128).unpadder()
    plain = u.update(d.update(data) + d.finalize()) + u.finalize()
except ImportError:
    plain = subprocess.run(['openssl', 'enc', '-d', '-aes-256-ecb', '-K', key.hex()], input=data,
                           check=True, capture_output=True).stdout
root = ET.fromstring(plain)
assert root.tag == 'root', root.tag
for name, value in sorted((e.tag, e.text or '') for e in root):
    print(name + '=' + value)
)";

// A merchant's notify_url on loopback that acknowledges everything and keeps the bodies.
class Acknowledger {
 public:
  Acknowledger() {
    server_.Post("/notify", [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        bodies_.push_back(req.body);
      }
      res.set_content("<xml><return_code>SUCCESS</return_code></xml>", "text/xml");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~Acknowledger() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/notify"; }
  // The refund notifications received (they have req_info), waiting up to 10 s for `count`.
  std::vector<std::string> Refunds(std::size_t count) {
    std::vector<std::string> refunds;
    for (int i = 0; i < 200 && refunds.size() < count; ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      refunds.clear();
      std::lock_guard<std::mutex> lock(mutex_);
      for (const std::string& body : bodies_) {
        if (body.find("<req_info>") != std::string::npos) refunds.push_back(body);
      }
    }
    return refunds;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<std::string> bodies_;
};

// A 100-fen order refunded in parts, over the wire: a number asked again is the same refund,
// anything beyond the order's amount, its count or its first asking is refused with words
// that give the numbers; the refund query lists every refund whichever key names the order;
// and each refund's notification decrypts, outside the project, to the refund as made.
TEST_F(SandboxServer, RefundsInPartsListsThemAndNotifiesEachEncrypted) {
  Acknowledger merchant;
  StartSandbox(PayingAfter(1));
  ASSERT_EQ(
      CdataField(PlaceOrder("hundred", {{"total_fee", "100"}, {"notify_url", merchant.url()}}).body,
                 "return_code"),
      "SUCCESS");
  ASSERT_EQ(CdataField(PlaceOrder("many", {{"total_fee", "60"}}).body, "return_code"), "SUCCESS");
  State("hundred");
  State("many");
  const auto refund = [this](const std::string& orderNo, const std::string& refundNo,
                             long long total, long long fee) {
    Fields fields = QueryFields(orderNo);
    fields["out_refund_no"] = refundNo;
    fields["total_fee"] = std::to_string(total);
    fields["refund_fee"] = std::to_string(fee);
    return Post(Url("/secapi/pay/refund"), SignedDocument(fields)).body;
  };
  const struct {
    const char* refundNo;
    long long totalFee, refundFee;
    const char* errCode;  // "": refunded
    const char* words;    // what the refusal's err_code_des must say
  } rows[] = {
      {"R-30", 100, 30, "", ""},
      {"R-50", 100, 50, "", ""},
      {"R-30", 100, 30, "", ""},  // the same refund again
      {"R-30", 100, 40, "REFUNDNOTMATCH", "of 30 fen already"},
      {"R-21", 100, 21, "INVALIDREFUNDFEE", "has 20 of its 100 fen left to refund"},
      {"R-21", 99, 20, "INVALIDTOTALFEE", "total_fee 99"},
  };
  std::map<std::string, std::string> ids;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.refundNo + std::string(" of ") + std::to_string(row.refundFee));
    const std::string reply = refund("hundred", row.refundNo, row.totalFee, row.refundFee);
    EXPECT_EQ(CdataField(reply, "err_code"), row.errCode) << reply;
    EXPECT_NE(CdataField(reply, "err_code_des").find(row.words), std::string::npos) << reply;
    if (*row.errCode != '\0') continue;
    EXPECT_EQ(CdataField(reply, "refund_fee"), std::to_string(row.refundFee));
    const std::string id = CdataField(reply, "refund_id");
    if (ids.count(row.refundNo)) {
      EXPECT_EQ(id, ids[row.refundNo]) << "the same refund_id";
    }
    ids[row.refundNo] = id;
  }
  for (int i = 1; i <= 50; ++i) {
    ASSERT_EQ(CdataField(refund("many", "M" + std::to_string(i), 60, 1), "result_code"), "SUCCESS");
  }
  const std::string tooMany = refund("many", "M51", 60, 1);
  EXPECT_EQ(CdataField(tooMany, "err_code"), "REFUNDLIMIT") << tooMany;
  EXPECT_EQ(State("hundred"), "REFUND");

  // The refund query by each of its four keys, then read through the client's declaration.
  const std::string transactionId = CdataField(Query("hundred").body, "transaction_id");
  const std::pair<const char*, std::string> keys[] = {{"out_trade_no", "hundred"},
                                                      {"transaction_id", transactionId},
                                                      {"out_refund_no", "R-50"},
                                                      {"refund_id", ids["R-30"]}};
  for (const auto& [key, value] : keys) {
    SCOPED_TRACE(key);
    Fields fields = QueryFields("");
    fields.erase("out_trade_no");
    fields[key] = value;
    const std::string listed = Post(Url("/pay/refundquery"), SignedDocument(fields)).body;
    EXPECT_EQ(CdataField(listed, "out_trade_no"), "hundred") << listed;
    EXPECT_EQ(CdataField(listed, "refund_count"), "2");
    for (const auto& [n, number, fee] :
         {std::tuple<int, const char*, const char*>{0, "R-30", "30"}, {1, "R-50", "50"}}) {
      const std::string index = std::to_string(n);
      EXPECT_EQ(CdataField(listed, "out_refund_no_" + index), number);
      EXPECT_EQ(CdataField(listed, "refund_id_" + index), ids[number]);
      EXPECT_EQ(CdataField(listed, "refund_fee_" + index), fee);
      EXPECT_EQ(CdataField(listed, "refund_status_" + index), "SUCCESS");
      EXPECT_EQ(CdataField(listed, "refund_success_time_" + index).size(), 19u);
    }
  }
  Fields none = QueryFields("");
  none.erase("out_trade_no");
  EXPECT_NE(Post(Url("/pay/refundquery"), SignedDocument(none)).body.find("one of"),
            std::string::npos);
  CQuillmarkOps ops = ClientOps();
  const StepOutcome asked = ops.Run(kRefundQueryOperation, "hundred");
  EXPECT_EQ(asked.Field("refund_fee_1"), "50") << clientOut_.str();
  EXPECT_EQ(asked.Field("out_refund_no_1"), "R-50");

  // Each notification, decrypted by an independent implementation.
  const std::vector<std::string> notices = merchant.Refunds(2);
  ASSERT_EQ(notices.size(), 2u) << log_.str();
  if (std::string(QUILLMARK_PYTHON3).empty()) GTEST_SKIP() << "no python3 to decrypt with";
  TempDir dir;
  std::set<std::string> seen;
  for (const std::string& body : notices) {
    const std::string path = dir.path() + "/notice.xml";
    std::ofstream(path, std::ios::binary) << body;
    const ProgramResult decrypted = RunProgram(
        {QUILLMARK_PYTHON3, "-c", kIndependentDecryptor, path, Options{}.merchant.apiKey},
        dir.path());
    ASSERT_EQ(decrypted.exitCode, 0) << decrypted.err << body;
    const std::string number =
        decrypted.out.find("out_refund_no=R-30\n") != std::string::npos ? "R-30" : "R-50";
    seen.insert(number);
    for (const std::string& line : std::vector<std::string>{
             "out_trade_no=hundred", "out_refund_no=" + number, "refund_id=" + ids[number],
             "refund_fee=" + std::string(number == "R-30" ? "30" : "50"), "total_fee=100",
             "transaction_id=" + transactionId, "refund_status=SUCCESS", "refund_recv_accout="}) {
      EXPECT_NE(decrypted.out.find(line), std::string::npos) << line << " in\n" << decrypted.out;
    }
  }
  EXPECT_EQ(seen.size(), 2u) << "one notification per refund, the repeat made none";
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

// Each trade type's reply: a prepay_id for all, NATIVE's code_url as it always was, MWEB's
// page; and a retry of the same order is answered with the same prepay_id.
TEST_F(SandboxServer, PlacesEachTradeTypeAndAnswersARetryAlike) {
  StartSandbox();
  const std::string openId = "qmPayer-made_up0000000000001";
  const std::string site = R"({"h5_info":{"type":"Wap","wap_url":"https://shop.test"}})";
  const struct {
    const char* type;
    Fields extra;
    bool codeUrl, mwebUrl;
  } rows[] = {
      {"NATIVE", {}, true, false},
      {"JSAPI", {{"openid", openId}}, false, false},
      {"MWEB", {{"scene_info", site}}, false, true},
      {"APP", {}, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    const std::string orderNo = std::string("type") + row.type;
    Fields fields = row.extra;
    fields["trade_type"] = row.type;
    const Reply placed = PlaceOrder(orderNo, fields);
    ASSERT_EQ(CdataField(placed.body, "result_code"), "SUCCESS") << placed.body;
    EXPECT_EQ(CdataField(placed.body, "trade_type"), row.type);
    const std::string prepayId = CdataField(placed.body, "prepay_id");
    EXPECT_EQ(prepayId.size(), 36u) << placed.body;
    EXPECT_EQ(CdataField(placed.body, "code_url"), row.codeUrl ? Url(PagePath(orderNo)) : "");
    EXPECT_EQ(CdataField(placed.body, "mweb_url"),
              row.mwebUrl ? Url(PagePath(orderNo)) + "?prepay_id=" + prepayId : "");
    fields["nonce_str"] = "AnotherNonceForTheRetry";
    const Reply again = PlaceOrder(orderNo, fields);
    EXPECT_EQ(CdataField(again.body, "result_code"), "SUCCESS") << again.body;
    EXPECT_EQ(CdataField(again.body, "prepay_id"), prepayId);
    EXPECT_EQ(CdataField(again.body, "code_url"), CdataField(placed.body, "code_url"));
  }
}

// A number in use with other fields, or of an order that can no longer be paid, is refused
// as a business failure naming why; the order stays as it was.
TEST_F(SandboxServer, RefusesAnOrderNumberPlacedAgainOtherwise) {
  StartSandbox();
  const struct {
    const char* name;
    Fields retry;
    const char* before;  // "", "close" or "pay": what happens to the order first
    const char* errCode;
    const char* errCodeDes;
  } rows[] = {
      {"another amount", {{"total_fee", "500"}}, "", "INVALID_REQUEST", "201 商户订单号重复"},
      {"another trade type", {{"trade_type", "APP"}}, "", "INVALID_REQUEST", "201 商户订单号重复"},
      {"another body", {{"body", "another"}}, "", "INVALID_REQUEST", "201 商户订单号重复"},
      {"an attach added", {{"attach", "note"}}, "", "INVALID_REQUEST", "201 商户订单号重复"},
      {"closed", {}, "close", "ORDERCLOSED", nullptr},
      {"paid", {}, "pay", "ORDERPAID", nullptr},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string orderNo = "twice" + std::to_string(++n);
    ASSERT_EQ(CdataField(PlaceOrder(orderNo).body, "result_code"), "SUCCESS");
    if (std::string(row.before) == "close") {
      ASSERT_EQ(CdataField(Post(Url("/pay/closeorder"), SignedDocument(QueryFields(orderNo))).body,
                           "result_code"),
                "SUCCESS");
    } else if (std::string(row.before) == "pay") {
      const auto paying =
          Client(sandbox_->port())->Post((PagePath(orderNo) + "/pay").c_str(), "", "text/plain");
      ASSERT_TRUE(paying);
      ASSERT_EQ(paying->status, 303);
    }
    const std::string state = State(orderNo);
    const Reply again = PlaceOrder(orderNo, row.retry);
    EXPECT_EQ(CdataField(again.body, "return_code"), "SUCCESS") << again.body;
    EXPECT_EQ(CdataField(again.body, "result_code"), "FAIL");
    EXPECT_EQ(CdataField(again.body, "err_code"), row.errCode);
    if (row.errCodeDes) {
      EXPECT_EQ(CdataField(again.body, "err_code_des"), row.errCodeDes);
    }
    EXPECT_EQ(CdataField(again.body, "prepay_id"), "");
    EXPECT_EQ(CdataField(Query(orderNo).body, "total_fee"), "1");
    EXPECT_EQ(State(orderNo), state);
  }
}

// time_expire ends the order: a query after it says CLOSED, and the payer can no longer pay.
TEST_F(SandboxServer, TimeExpireClosesTheOrder) {
  StartSandbox();
  ASSERT_EQ(
      CdataField(PlaceOrder("expired", {{"time_expire", "20200101000000"}}).body, "result_code"),
      "SUCCESS");
  EXPECT_EQ(State("expired"), "CLOSED");
  ASSERT_EQ(
      CdataField(PlaceOrder("later", {{"time_expire", "20991231235959"}}).body, "result_code"),
      "SUCCESS");
  EXPECT_EQ(State("later"), "NOTPAY");
}

// A JSAPI page's parameters, checked at /pay/page/verify against the order they name: the
// verdict in JSON, the rule named, for as long as the order can be paid.
TEST_F(SandboxServer, ChecksAJsapiPagesParametersAgainstItsOrder) {
  StartSandbox();
  const Reply placed =
      PlaceOrder("page1", {{"trade_type", "JSAPI"}, {"openid", "qmPayer-made_up0000000000001"}});
  const std::string prepayId = CdataField(placed.body, "prepay_id");
  ASSERT_FALSE(prepayId.empty()) << placed.body;
  const auto verify = [&](const std::string& key, long long stamp) {
    SignedFields page = {{"appId", kAppId},
                         {"nonceStr", "PageNonce0123456789abcdefABCDEF"},
                         {"package", "prepay_id=" + prepayId},
                         {"signType", "MD5"},
                         {"timeStamp", std::to_string(stamp)}};
    page["paySign"] = SignOf(page, key);
    std::string json = "{";
    for (const auto& [name, value] : page) json += "\"" + name + "\":\"" + value + "\",";
    json.back() = '}';
    const auto reply = Client(sandbox_->port())->Post("/pay/page/verify", json, "application/json");
    EXPECT_TRUE(reply);
    EXPECT_EQ(reply ? reply->status : 0, 200);
    return reply ? reply->body : std::string();
  };
  const long long now = static_cast<long long>(std::time(nullptr));
  EXPECT_NE(verify(kApiKey, now).find("\"verdict\":\"pass\""), std::string::npos);
  const std::string wrongKey = verify("AnotherMerchantsKey0123456789abc", now);
  EXPECT_NE(wrongKey.find("\"rule\":\"sign-mismatch\""), std::string::npos) << wrongKey;
  EXPECT_NE(wrongKey.find("&key=********\""), std::string::npos) << wrongKey;
  EXPECT_NE(verify(kApiKey, now * 1000).find("\"rule\":\"timestamp-milliseconds\""),
            std::string::npos);
  const auto paying = Client(sandbox_->port())->Post("/pay/qr/page1/pay", "", "text/plain");
  ASSERT_TRUE(paying);
  EXPECT_NE(verify(kApiKey, now).find("\"rule\":\"order-paid\""), std::string::npos);
  sandbox_->Stop();  // the payment's notifier logs from its own thread
  EXPECT_NE(log_.str().find(" page1 200 page parameters refused: order-paid"), std::string::npos)
      << log_.str();
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
    EXPECT_EQ(CdataField(reply->body, "return_msg"),
              std::string("no such endpoint: ") + row.method + " " + row.path +
                  " (POST /pay/unifiedorder, /pay/orderquery, /pay/closeorder, /secapi/pay/refund, "
                  "/pay/refundquery, /pay/micropay, /secapi/pay/reverse, /pay/downloadbill, "
                  "/pay/page/verify or GET /pay/bridge.js)");
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
      {"reused number, another amount", "/pay/unifiedorder", SignedDocument(OrderFields("order1"))},
      {"badly signed query", "/pay/orderquery", Document(badQuery)},
      {"GBK query", "/pay/orderquery", "<xml><appid>\xb5\xc4</appid></xml>"},
      {"malformed", "/pay/orderquery", "<xml><out_trade_no>order1</xml>"},
      {"oversized", "/pay/unifiedorder", PaddedOrder("order1", 70'000)},
      {"long field", "/pay/unifiedorder", SignedDocument(longBody)},
      {"unknown path", "/pay/refund", SignedDocument(QueryFields("order1"))},
  };
  for (const auto& row : rows) {
    const Reply reply = Post(Url(row.path), row.body);
    // Refused: a FAIL reply, or (the number in use) a business failure.
    EXPECT_NE(CdataField(reply.body, "return_code") == "FAIL",
              CdataField(reply.body, "result_code") == "FAIL")
        << row.name << ": " << reply.body;
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
  SharedLog log;
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

  SharedLog log;
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
