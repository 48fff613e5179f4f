// The console against an in-process sandbox: its JSON API shows the orders, the journal
// with its verdicts and the notification attempts, and its static pages hold no data at
// all; its actions move orders as the payer page and the merchant's requests would; who may
// use it and what it writes are checked as a hostile client would try them. What the pages
// draw from the API is checked in a browser (tests/sandbox/browser/payer_page_test.py).
#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/merchant_config.h"
#include "protocol/auth_code.h"
#include "protocol/reply_fields.h"
#include "protocol/scenarios.h"
#include "protocol/sign.h"
#include "sandbox/console/console.h"
#include "sandbox/payer/html_text.h"
#include "tests/support/merchant_server.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;
using namespace std::chrono_literals;
using nlohmann::json;
using quillmark::testsupport::MerchantServer;

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// How a merchant's server answers: "busy" (not acknowledged) for its first `refusals`
// notifications, then the acknowledgement for `acknowledgements` of them, then "busy" again.
MerchantServer::Answering RefusingFirst(int refusals, int acknowledgements = INT_MAX) {
  return [refusals, acknowledgements](const MerchantServer::Request&, std::size_t count) {
    const auto received = static_cast<int>(count);
    const bool refuse = received <= refusals || received - refusals > acknowledgements;
    return refuse ? quillmark::testsupport::Refusal() : quillmark::testsupport::Acknowledgement();
  };
}

class ConsoleTest : public SandboxTest {
 protected:
  json GetJson(const std::string& path, int expectStatus = 200) {
    auto result = Client(sandbox_->port())->Get(path);
    EXPECT_TRUE(result) << path;
    if (!result) return json();
    EXPECT_EQ(result->status, expectStatus) << path << ": " << result->body;
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json") << path;
    return json::parse(result->body);
  }
  std::string GetPage(const std::string& path, int expectStatus = 200) {
    auto result = Client(sandbox_->port())->Get(path);
    EXPECT_TRUE(result && result->status == expectStatus) << path;
    return result ? result->body : "";
  }
  // A console POST as a script sends it: no Origin, no form token.
  httplib::Result Post(const std::string& path, const httplib::Headers& headers = {},
                       const std::string& body = "") {
    return Client(sandbox_->port())->Post(path, headers, body, "application/x-www-form-urlencoded");
  }
};

TEST_F(ConsoleTest, ShowsOrdersTheirHistoryRequestsAndAttempts) {
  MerchantServer listener(RefusingFirst(1));
  Options options;
  options.payAfterQueries = 1;
  options.notifyDelays = {50ms};
  StartSandbox(options);

  ASSERT_TRUE(Has(PlaceOrder("paidorder", {{"notify_url", listener.url()}}).body, "SUCCESS"));
  ASSERT_TRUE(Has(Query("paidorder").body, "NOTPAY"));
  ASSERT_TRUE(Has(PlaceOrder("neworder").body, "SUCCESS"));
  // A query whose sign is wrong, and an order whose fee is no number.
  Fields forged = QueryFields("paidorder");
  forged["sign"] = std::string(32, 'A');
  testsupport::Post(Url("/pay/orderquery"), Document(forged));
  PlaceOrder("badfee", {{"total_fee", "1.00"}});

  json detail;
  ASSERT_TRUE(Eventually([&] {
    detail = GetJson("/console/api/orders/paidorder");
    return detail["attempts"].size() == 2 && detail["attempts"][1]["acknowledged"] == true;
  })) << detail.dump(1);

  const json orders = GetJson("/console/api/orders")["orders"];
  ASSERT_EQ(orders.size(), 2u) << "the refused order is no order";
  EXPECT_EQ(orders[0]["out_trade_no"], "neworder") << "newest first";
  EXPECT_EQ(orders[0]["state"], "NOTPAY");
  EXPECT_EQ(orders[1]["state"], "SUCCESS");
  EXPECT_EQ(orders[1]["notify_url"], listener.url());

  const json& order = detail["order"];
  std::vector<std::string> events;
  for (const json& event : order["history"]) events.push_back(event["event"]);
  EXPECT_EQ(events, (std::vector<std::string>{"placed", "queried", "paid"}));
  EXPECT_EQ(order["history"][2]["by"], "query");
  EXPECT_EQ(order["notification"]["state"], "acknowledged");

  const json& refused = detail["attempts"][0];
  EXPECT_EQ(refused["attempt"], 1);
  EXPECT_EQ(refused["http_status"], 200);
  EXPECT_EQ(refused["acknowledged"], false);
  EXPECT_TRUE(Has(refused["answer"], "busy")) << refused.dump();
  EXPECT_EQ(detail["attempts"][1]["attempt"], 2);

  // The requests about it, newest first, with the verdicts of the request check.
  const json& requests = detail["requests"];
  ASSERT_EQ(requests.size(), 3u) << requests.dump(1);
  EXPECT_EQ(requests[0]["verdict"], "sign-mismatch");
  EXPECT_EQ(requests[1]["operation"], "order query");
  EXPECT_EQ(requests[1]["verdict"], "accepted");
  EXPECT_EQ(requests[2]["operation"], "unified order");
  const json& sign = requests[0]["sign"];
  EXPECT_EQ(sign["sign_string"], SignStringOf(forged, kMaskedKey));
  Fields unsigned_ = forged;
  unsigned_.erase("sign");
  EXPECT_EQ(sign["expected"], SignOf(unsigned_, kApiKey));
  EXPECT_EQ(sign["received"], std::string(32, 'A'));

  // The journal, filtered by verdict and by operation, and bounded by ?limit=.
  const json badField = GetJson("/console/api/requests?verdict=bad-field")["requests"];
  ASSERT_EQ(badField.size(), 1u);
  EXPECT_EQ(badField[0]["out_trade_no"], "badfee");
  EXPECT_TRUE(Has(badField[0]["outcome"], "total_fee must be")) << badField[0].dump();
  EXPECT_EQ(GetJson("/console/api/requests?operation=order%20query")["requests"].size(), 2u);
  EXPECT_EQ(GetJson("/console/api/requests?limit=2")["requests"].size(), 2u);

  // What the requests page asks for when filtered by verdict: the refused sign alone.
  const json journal = GetJson("/console/api/requests?verdict=sign-mismatch&limit=200");
  ASSERT_EQ(journal["requests"].size(), 1u) << journal.dump(1);
  EXPECT_EQ(journal["requests"][0]["sign"]["sign_string"], SignStringOf(forged, kMaskedKey));
  EXPECT_EQ(GetJson("/console/api/requests?out_trade_no=badfee")["requests"].size(), 1u);

  // The pages are the same static page whatever they show: the data comes from the API.
  const std::string list = GetPage("/console");
  EXPECT_EQ(list, GetPage("/console/orders/paidorder"));
  EXPECT_EQ(list, GetPage("/console/requests?verdict=sign-mismatch"));
  for (const char* data : {"paidorder", "neworder", "sign-mismatch", "127.0.0.1"}) {
    EXPECT_FALSE(Has(list, data)) << data;
  }
}

// The bills a merchant could fetch: one day (UTC+8) with its paid orders' summary, none for
// an order never paid; an order's time_end says its zone.
// What became of each code, told by the journal and the orders: one shown from a payer page,
// paid with, scanned again for another order and refused, its order reversed; one shown
// and left; one a till made itself and sent too late.
TEST_F(ConsoleTest, CodesShowWhatBecameOfEachCode) {
  Options options;
  options.notify = false;
  StartSandbox(options);
  const auto shown = [this](const std::string& query) {
    const std::string page = GetPage("/pay/code" + query);
    std::smatch digits;
    EXPECT_TRUE(std::regex_search(page, digits, std::regex(R"(id="auth-code">(\d{18})<)")));
    return digits.size() == 2 ? digits[1].str() : std::string();
  };
  const auto micropay = [this](const std::string& orderNo, const std::string& code) {
    Fields fields = OrderFields(orderNo);
    fields.erase("notify_url");
    fields.erase("trade_type");
    fields["auth_code"] = code;
    fields["total_fee"] = "1";
    return testsupport::Post(Url("/pay/micropay"), SignedDocument(fields)).body;
  };
  const std::string paidWith = shown("?from=shop-7");
  const std::string left = shown("");
  const std::string late = MakeAuthCode(std::time(nullptr) - 120, 3, 424242);
  EXPECT_FALSE(Has(micropay("till-1", paidWith), "err_code")) << "paid";
  EXPECT_TRUE(Has(micropay("till-2", paidWith), "AUTHCODEEXPIRE"));
  EXPECT_TRUE(Has(micropay("till-3", late), "AUTHCODEEXPIRE"));
  Fields reverse = QueryFields("till-1");
  EXPECT_TRUE(
      Has(testsupport::Post(Url("/secapi/pay/reverse"), SignedDocument(reverse)).body, "recall"));

  const struct {
    const std::string& code;
    const char* fate;
    json fromOrder;
    json order;  // its number, or null
    std::vector<std::string> answers;
    int reuses;
    std::vector<std::string> recalls;
  } kRows[] = {
      {paidWith, "used", "shop-7", "till-1", {"SUCCESS", "AUTHCODEEXPIRE"}, 1, {"N"}},
      {left, "valid", nullptr, nullptr, {}, 0, {}},
      {late, "expired", nullptr, nullptr, {"AUTHCODEEXPIRE"}, 0, {}},
  };
  const json codes = GetJson("/console/api/codes")["codes"];
  ASSERT_EQ(codes.size(), 3u) << codes.dump(1);
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.fate);
    const auto found = std::find_if(codes.begin(), codes.end(), [&](const json& code) {
      return code["auth_code"] == row.code;
    });
    ASSERT_NE(found, codes.end()) << row.code;
    const json& code = *found;
    EXPECT_EQ(code["fate"], row.fate);
    EXPECT_EQ(code["from_order"], row.fromOrder);
    EXPECT_EQ(code["shown_at"].is_null(), &row.code == &late) << "a till's own code was not shown";
    EXPECT_EQ(code["order"].is_null() ? json() : code["order"]["out_trade_no"], row.order);
    std::vector<std::string> answers;
    for (const json& request : code["micropays"]) answers.push_back(request["answer"]);
    EXPECT_EQ(answers, row.answers);
    EXPECT_EQ(code["refused_reuses"], row.reuses);
    std::vector<std::string> recalls;
    if (!code["order"].is_null()) {
      EXPECT_EQ(code["order"]["state"], "REVOKED");
      for (const json& reversal : code["order"]["reversals"]) recalls.push_back(reversal["recall"]);
    }
    EXPECT_EQ(recalls, row.recalls);
  }
  EXPECT_EQ(codes[2]["auth_code"], late) << "the newest made first";
}

TEST_F(ConsoleTest, ListsTheBillsByDayWithTheirSummaries) {
  Options options;
  options.payAfterQueries = 1;
  options.billReadyNow = true;
  StartSandbox(options);
  ASSERT_TRUE(Has(PlaceOrder("couponorder", {{"total_fee", "4030"}}).body, "SUCCESS"));
  Query("couponorder");
  ASSERT_TRUE(Has(Query("couponorder").body, "SUCCESS"));
  ASSERT_TRUE(Has(PlaceOrder("unpaidorder", {{"total_fee", "700"}}).body, "SUCCESS"));
  std::time_t now = std::time(nullptr) + 8 * 3600;
  std::tm parts{};
  gmtime_r(&now, &parts);
  char today[16];
  std::strftime(today, sizeof today, "%Y%m%d", &parts);
  json bills;
  ASSERT_TRUE(Eventually([&] {
    bills = GetJson("/console/api/bills");
    return bills["bills"].size() == 1 && bills["bills"][0]["trades"] == 1;
  })) << bills.dump();
  EXPECT_EQ(bills["time_zone"], "UTC+8");
  const json& bill = bills["bills"][0];
  EXPECT_EQ(bill["bill_date"], today);
  EXPECT_EQ(bill["ready"], true);
  EXPECT_EQ(bill["order_total"], "40.30");
  EXPECT_EQ(bill["settlement_total"], "30.30");
  EXPECT_EQ(GetJson("/console/api/orders/couponorder")["order"]["time_end_zone"], "UTC+8");
}

TEST_F(ConsoleTest, ActionsPayCloseAndNotifyAsThePlatformWould) {
  MerchantServer listener(RefusingFirst(0));
  Options options;
  options.notifyDelays = {50ms};
  StartSandbox(options);
  PlaceOrder("topay", {{"notify_url", listener.url()}});
  PlaceOrder("toclose");

  const struct {
    std::string path;
    int status;
    std::string says;
  } rows[] = {
      {"/console/api/orders/topay/notify", 409, "is not paid"},
      {"/console/api/orders/topay/pay", 200, "Paid."},
      {"/console/api/orders/topay/pay", 409, "has been paid already"},
      {"/console/api/orders/topay/close", 409, "has been paid and cannot be closed"},
      {"/console/api/orders/toclose/close", 200, "Closed."},
      {"/console/api/orders/toclose/pay", 409, "is closed and cannot be paid"},
      {"/console/api/orders/nosuch/pay", 404, "there is no order nosuch"},
      {"/console/api/orders/topay/refund", 404, "no such action"},
  };
  for (const auto& row : rows) {
    auto result = Post(row.path);
    ASSERT_TRUE(result) << row.path;
    EXPECT_EQ(result->status, row.status) << row.path << ": " << result->body;
    EXPECT_TRUE(Has(result->body, row.says)) << row.path << ": " << result->body;
  }
  EXPECT_TRUE(Has(Query("topay").body, "<trade_state><![CDATA[SUCCESS]]>"));
  EXPECT_TRUE(Has(Query("toclose").body, "<trade_state><![CDATA[CLOSED]]>"));

  // The notification the payment made, then one sent again from the console.
  ASSERT_TRUE(
      Eventually([&] { return GetJson("/console/api/orders/topay")["attempts"].size() == 1; }));
  auto resend = Post("/console/api/orders/topay/notify");
  ASSERT_TRUE(resend && resend->status == 200) << (resend ? resend->body : "");
  json detail;
  ASSERT_TRUE(Eventually([&] {
    detail = GetJson("/console/api/orders/topay");
    return detail["attempts"].size() == 2;
  }));
  EXPECT_EQ(detail["attempts"][1]["resend"], true);
  EXPECT_EQ(detail["attempts"][1]["acknowledged"], true);
  EXPECT_EQ(detail["order"]["history"][1]["by"], "console");

  // A page's form, with the form token the API gives the page, goes back to the order's
  // page with what happened.
  const std::string token = GetJson("/console/api/about")["form_token"];
  ASSERT_EQ(token.size(), 32u);
  auto closed = Post("/console/orders/toclose/close", {{"Origin", "https://attacker.example"}},
                     "form_token=" + token);
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->status, 303);
  // It names the console's message by its key; the API words it for the page's order.
  EXPECT_EQ(closed->get_header_value("Location"), "/console/orders/toclose?done=closed-already");
  EXPECT_EQ(GetJson("/console/api/orders/toclose?done=closed-already")["message"],
            "order toclose is closed already");
  auto gone = Post("/console/orders/nosuch/pay", {}, "form_token=" + token);
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->status, 404);
  EXPECT_TRUE(Has(gone->body, "there is no order nosuch")) << gone->body;
}

// A link can make a genuine order page say only what the console says of that order.
TEST_F(ConsoleTest, AnOrderPageShowsOnlyTheConsolesOwnMessages) {
  StartSandbox();
  PlaceOrder("shown");
  const struct {
    const char* done;
    const char* says;  // "" for no message at all
  } rows[] = {
      {"paid", "Paid."},
      {"closed", "Closed."},
      {"paid-already", "order shown has been paid already"},
      {"not-paid", "order shown is not paid, so it has nothing to notify"},
      {"Paid+by+bank", ""},
      {"Paid.", ""},
      {"order+shown+has+been+paid+already", ""},
      {"PAID", ""},
      {"paid%00", ""},
      {"paid+", ""},
      {"%3Cb%3Epaid%3C%2Fb%3E", ""},
      {"", ""},
  };
  for (const auto& row : rows) {
    const json page = GetJson(std::string("/console/api/orders/shown?done=") + row.done);
    ASSERT_EQ(page["order"]["out_trade_no"], "shown") << row.done;
    if (*row.says == '\0') {
      EXPECT_FALSE(page.contains("message")) << row.done << ": " << page["message"];
    } else {
      EXPECT_EQ(page["message"], row.says) << row.done;
    }
  }
  EXPECT_FALSE(GetJson("/console/api/orders/shown").contains("message"));
}

// The merchant acknowledged the notification, then refused one sent again from the console:
// the order stays acknowledged, and a sandbox started again on its state sends nothing more.
TEST_F(ConsoleTest, ARefusedResendKeepsTheAcknowledgementThroughARestart) {
  MerchantServer listener(RefusingFirst(0, 1));
  TempDir dir;
  Options options;
  options.stateFile = dir.path() + "/state.db";
  options.payAfterQueries = 1;
  options.notifyDelays = {50ms, 50ms, 50ms};
  StartSandbox(options);
  ASSERT_TRUE(Has(PlaceOrder("acked", {{"notify_url", listener.url()}}).body, "SUCCESS"));
  ASSERT_TRUE(Has(Query("acked").body, "NOTPAY"));
  json detail;
  ASSERT_TRUE(Eventually([&] {
    detail = GetJson("/console/api/orders/acked");
    return detail["attempts"].size() == 1;
  }));
  ASSERT_EQ(detail["attempts"][0]["acknowledged"], true) << detail.dump(1);
  auto resend = Post("/console/api/orders/acked/notify");
  ASSERT_TRUE(resend && resend->status == 200) << (resend ? resend->body : "");
  ASSERT_TRUE(Eventually([&] {
    detail = GetJson("/console/api/orders/acked");
    return detail["attempts"].size() == 2;
  }));
  EXPECT_EQ(detail["attempts"][1]["acknowledged"], false) << detail.dump(1);
  EXPECT_EQ(detail["order"]["notification"]["state"], "acknowledged") << detail.dump(1);

  sandbox_->Stop();
  sandbox_.reset();
  StartSandbox(options);
  EXPECT_EQ(sandbox_->resumedNotifications(), 0u);
  detail = GetJson("/console/api/orders/acked");
  EXPECT_EQ(detail["order"]["notification"]["state"], "acknowledged") << detail.dump(1);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(listener.received(), 2u);
}

TEST_F(ConsoleTest, RefusesCrossSitePostsAndChangesNothing) {
  StartSandbox();
  PlaceOrder("victim");
  const std::string own = "https://127.0.0.1:" + std::to_string(sandbox_->port());
  const struct {
    httplib::Headers headers;
    std::string body;
  } rows[] = {
      {{{"Origin", "https://attacker.example"}}, ""},
      {{{"Origin", "null"}}, ""},
      {{{"Sec-Fetch-Site", "cross-site"}}, ""},
      // Another port or a subdomain of the same site: no Origin proves it is the console.
      {{{"Sec-Fetch-Site", "same-site"}}, ""},
      {{{"Origin", "https://attacker.example"}}, "form_token=" + std::string(32, '0')},
  };
  for (const auto& row : rows) {
    auto result = Post("/console/api/orders/victim/close", row.headers, row.body);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 403) << result->body;
    EXPECT_TRUE(Has(result->body, "cross-site")) << result->body;
    EXPECT_TRUE(Has(Query("victim").body, "<trade_state><![CDATA[NOTPAY]]>"));
  }
  auto ours = Post("/console/api/orders/victim/close",
                   {{"Origin", own}, {"Sec-Fetch-Site", "same-origin"}});
  ASSERT_TRUE(ours);
  EXPECT_EQ(ours->status, 200) << ours->body;
  EXPECT_TRUE(Has(Query("victim").body, "<trade_state><![CDATA[CLOSED]]>"));
}

TEST_F(ConsoleTest, WritesHostileFieldsAsTextInPagesAndJson) {
  StartSandbox();
  const std::string body = "<script>alert(1)</script>&\"'";
  const std::string url = "javascript:\"><img src=x onerror=alert(2)>";
  ASSERT_TRUE(Has(PlaceOrder("hostile", {{"body", body}, {"notify_url", url}}).body, "SUCCESS"));
  // A request whose body is not even XML lands in the journal as it came.
  testsupport::Post(Url("/pay/orderquery"), "<img src=x onerror=alert(3)>\x01");

  // No page holds a field at all; the browser test sees them drawn as text.
  for (const std::string path : {"/console", "/console/orders/hostile", "/console/requests"}) {
    const std::string page = GetPage(path);
    for (const char* raw : {"<script>alert", "<img src=x", "hostile"}) {
      EXPECT_FALSE(Has(page, raw)) << path << " holds " << raw;
    }
  }
  const json order = GetJson("/console/api/orders/hostile")["order"];
  EXPECT_EQ(order["description"], body);
  EXPECT_EQ(order["notify_url"], url);
  const json unreadable = GetJson("/console/api/requests?verdict=unreadable")["requests"];
  ASSERT_EQ(unreadable.size(), 1u);
  EXPECT_EQ(unreadable[0]["body"], "<img src=x onerror=alert(3)>\x01");
}

TEST_F(ConsoleTest, AFullStateFileLosesNoAnswer) {
  TempDir dir;
  Options options;
  options.stateFile = dir.path() + "/state.db";
  options.stateMaxPages = 16;
  StartSandbox(options);
  std::vector<std::string> placed;
  for (int i = 0; i < 60 && !Has(log_.str(), "STATE cannot write"); ++i) {
    const std::string number = "full" + std::to_string(i);
    ASSERT_TRUE(
        Has(PlaceOrder(number, {{"detail", "{\"d\":\"" + std::string(244, 'd') + "\"}"}}).body,
            "<return_code><![CDATA[SUCCESS]]>"))
        << number;
    placed.push_back(number);
  }
  ASSERT_TRUE(Has(log_.str(), "STATE cannot write to " + options.stateFile)) << log_.str();
  EXPECT_TRUE(Has(log_.str(), "the request was answered")) << log_.str();
  // Every order is still served, those the file could not take too.
  for (const std::string& number : placed) {
    EXPECT_TRUE(Has(Query(number).body, "<trade_state><![CDATA[NOTPAY]]>")) << number;
  }
}

TEST_F(ConsoleTest, TakesUpTheNewestOrdersOfItsStateWithinItsBounds) {
  TempDir dir;
  Options options;
  options.stateFile = dir.path() + "/state.db";
  options.payAfterQueries = 1;
  StartSandbox(options);
  for (const char* number : {"first", "second", "third"}) PlaceOrder(number);
  Query("third");
  sandbox_->Stop();
  sandbox_.reset();

  options.maxOrders = 2;
  StartSandbox(options);
  EXPECT_EQ(sandbox_->restoredOrders(), 2u);
  EXPECT_TRUE(Has(Query("first").body, "order first does not exist"));
  EXPECT_TRUE(Has(Query("second").body, "<trade_state><![CDATA[NOTPAY]]>"));
  EXPECT_TRUE(Has(Query("third").body, "<trade_state><![CDATA[SUCCESS]]>"));
  EXPECT_EQ(GetJson("/console/api/orders")["orders"].size(), 2u);
}

// --- who may use it, without a network ------------------------------------------------

HttpRequest Request(bool loopback, const std::string& host, const std::string& query = "",
                    const std::string& cookie = "") {
  HttpRequest request;
  request.method = "GET";
  request.path = "/console";
  request.fromLoopback = loopback;
  request.host = host;
  request.query = query;
  request.cookie = cookie;
  return request;
}

TEST(ConsoleAccess, OpenOnLoopbackByName_OtherwiseOnlyWithTheToken) {
  ConsoleSettings settings;
  settings.token = "0123456789abcdef0123456789abcdef";
  settings.port = 8443;
  const std::string cookie = "quillmark_console_8443=" + settings.token;
  const struct {
    HttpRequest request;
    bool allowed;
  } rows[] = {
      {Request(true, "127.0.0.1:8443"), true},
      {Request(true, "127.3.4.5:8443"), true},
      {Request(true, "localhost:8443"), true},
      {Request(true, "[::1]:8443"), true},
      // A site whose name was pointed at 127.0.0.1 after its page loaded.
      {Request(true, "attacker.example:8443"), false},
      {Request(true, "127.0.0.1.attacker.example"), false},
      {Request(true, "127.1:8443"), false},
      {Request(true, "127.0.0.1.:8443"), false},
      {Request(true, "[::1:8443"), false},
      {Request(true, "[::ffff:127.0.0.1]:8443"), false},
      {Request(true, ""), false},
      {Request(false, "127.0.0.1:8443"), false},
      {Request(false, "192.168.1.20:8443"), false},
      {Request(false, "192.168.1.20:8443", "token=" + settings.token), true},
      {Request(false, "192.168.1.20:8443", "x=1&token=" + settings.token), true},
      {Request(false, "192.168.1.20:8443", "token=" + settings.token.substr(1)), false},
      {Request(false, "192.168.1.20:8443", "token="), false},
      {Request(false, "192.168.1.20:8443", "", cookie), true},
      {Request(false, "192.168.1.20:8443", "", "a=b; " + cookie + "; c=d"), true},
      {Request(false, "192.168.1.20:8443", "", "quillmark_console_9443=" + settings.token), false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ConsoleAllows(row.request, settings), row.allowed)
        << row.request.host << " loopback " << row.request.fromLoopback << " query "
        << row.request.query << " cookie " << row.request.cookie;
  }
  ConsoleSettings none;
  EXPECT_FALSE(ConsoleAllows(Request(false, "h", "token="), none))
      << "an empty token opens nothing";
}

// A stand-in for the sandbox, for pages and JSON served straight from a store.
class NoActions : public ConsoleActions {
 public:
  Result Pay(const std::string&) override { return {}; }
  Result Close(const std::string&) override { return {}; }
  Result Notify(const std::string&) override { return {}; }
  Result NotifyRefund(const std::string&, const std::string&) override { return {}; }
  void ForgetExpired() override {}
  std::size_t OrderCount() override { return 0; }
  void MoveClock(std::int64_t) override {}
  // The list alone, as the sandbox keeps it, with no order placed.
  Arming Arm(const Scenario& scenario, const std::string& outTradeNo, std::int64_t at) override {
    std::optional<std::int64_t> replaced;
    const std::optional<ArmedScenario> entry = armed.Arm(scenario, outTradeNo, at, replaced);
    if (!entry) return {Arming::Kind::kFull, {}};
    return {Arming::Kind::kArmed, *entry};
  }
  bool Disarm(std::int64_t id) override { return armed.Remove(id); }
  std::size_t DisarmAll() override { return armed.Clear(); }
  std::vector<ArmedScenario> ArmedList() override { return armed.List(); }
  ArmedScenarios armed;
};

TEST(ConsoleAccess, ATokenInTheAddressBecomesACookieAndLeavesTheAddress) {
  std::string error;
  auto store = StateStore::Open(kMemoryState, {}, error);
  ASSERT_TRUE(store) << error;
  NoActions actions;
  ConsoleSettings settings;
  settings.token = "0123456789abcdef0123456789abcdef";
  settings.port = 8443;
  const std::string host = "192.168.1.20:8443";

  settings.formToken = "fedcba9876543210fedcba9876543210";
  for (const char* path :
       {"/console", "/console/api/orders", "/console/console.js", "/console/api/about"}) {
    HttpRequest request = Request(false, host);
    request.path = path;
    HttpReply reply;
    ServeConsole(request, reply, *store, actions, settings);
    EXPECT_EQ(reply.status, 403) << path;
    EXPECT_FALSE(Has(reply.body, "orders\":")) << path;
    EXPECT_FALSE(Has(reply.body, settings.formToken)) << path;
  }
  HttpRequest request = Request(false, host, "token=" + settings.token + "&verdict=bad-field");
  request.path = "/console/requests";
  HttpReply reply;
  ServeConsole(request, reply, *store, actions, settings);
  EXPECT_EQ(reply.status, 303);
  EXPECT_EQ(reply.location, "/console/requests?verdict=bad-field");
  std::string setCookie;
  for (const auto& [name, value] : reply.headers) {
    if (name == "Set-Cookie") setCookie = value;
  }
  EXPECT_EQ(setCookie, "quillmark_console_8443=" + settings.token +
                           "; Path=/console; Secure; HttpOnly; SameSite=Strict");
  HttpRequest again = Request(false, host, "", "quillmark_console_8443=" + settings.token);
  HttpReply page;
  ServeConsole(again, page, *store, actions, settings);
  EXPECT_EQ(page.status, 200);
}

// The sandbox's actions, counted: a refused request must not reach one.
class CountedActions : public NoActions {
 public:
  Result Close(const std::string&) override {
    ++closes;
    return {Result::Kind::kDone, "Closed.", "closed"};
  }
  int closes = 0;
};

// Every token is compared whole: near misses of the console token, in the address and in
// the cookie, and of the form token in a post from elsewhere, are refused with 403 and
// nothing of the sandbox's.
TEST(ConsoleAccess, RefusesEveryNearMissOfAToken) {
  std::string error;
  auto store = StateStore::Open(kMemoryState, {}, error);
  ASSERT_TRUE(store) << error;
  StateChange placed;
  placed.orderNo = "secretorder";
  placed.order = Order{};
  placed.order->totalFee = 1;
  placed.order->placedAt = 1000;
  placed.order->version = 1;
  ASSERT_TRUE(store->Write(placed, error)) << error;
  CountedActions actions;
  ConsoleSettings settings;
  settings.token = "0123456789abcdef0123456789abcdef";
  settings.formToken = "fedcba9876543210fedcba9876543210";
  settings.port = 8443;
  const std::string remote = "192.168.1.20:8443";

  const auto nearMisses = [](const std::string& token) {
    std::string changed = token;
    changed[changed.size() / 2] = changed[changed.size() / 2] == 'x' ? 'y' : 'x';
    return std::vector<std::pair<const char*, std::string>>{
        {"its first character", token.substr(0, 1)},
        {"all but its last character", token.substr(0, token.size() - 1)},
        {"one character more", token + "0"},
        {"one character changed", changed},
        {"nothing", ""},
    };
  };
  const struct {
    const char* where;
    const std::string& token;
    std::function<HttpRequest(const std::string&)> request;
  } places[] = {
      {"the address", settings.token,
       [&](const std::string& given) {
         HttpRequest request = Request(false, remote, "token=" + given);
         request.path = "/console/api/orders";
         return request;
       }},
      {"the cookie", settings.token,
       [&](const std::string& given) {
         HttpRequest request = Request(false, remote, "", "quillmark_console_8443=" + given);
         request.path = "/console/api/orders";
         return request;
       }},
      {"the form", settings.formToken,
       [&](const std::string& given) {
         HttpRequest request = Request(true, "127.0.0.1:8443");
         request.method = "POST";
         request.path = "/console/orders/secretorder/close";
         request.origin = "https://attacker.example";
         request.body = "form_token=" + given;
         return request;
       }},
  };
  for (const auto& place : places) {
    for (const auto& [miss, given] : nearMisses(place.token)) {
      HttpReply reply;
      ServeConsole(place.request(given), reply, *store, actions, settings);
      EXPECT_EQ(reply.status, 403) << place.where << " with " << miss;
      EXPECT_FALSE(Has(reply.body, "secretorder")) << place.where << " with " << miss;
      EXPECT_FALSE(Has(reply.body, "\"orders\"")) << place.where << " with " << miss;
    }
    EXPECT_EQ(actions.closes, 0) << place.where;
    // The token itself lets the same request in.
    HttpReply reply;
    ServeConsole(place.request(place.token), reply, *store, actions, settings);
    EXPECT_NE(reply.status, 403) << place.where << ": " << reply.body;
  }
  EXPECT_EQ(actions.closes, 1);
}

// A refused sign is shown whole, and each part of it is the request's own text: the API
// gives each as it is, and no page holds any of them (the pages draw them as text, see the
// browser test), the sign received least of all, as the journal keeps any 64 bytes of it.
TEST(ConsoleEscapes, WritesARefusedSignAsText) {
  std::string error;
  auto store = StateStore::Open(kMemoryState, {}, error);
  ASSERT_TRUE(store) << error;
  StateChange change;
  change.orderNo = "signed";
  change.order = Order{};
  change.order->placedAt = 1000;
  change.order->version = 1;
  JournalEntry entry;
  entry.at = 2000;
  entry.method = "POST";
  entry.path = "/pay/orderquery";
  entry.operation = "order query";
  entry.orderNo = "signed";
  entry.verdict = "sign-mismatch";
  entry.status = 200;
  entry.signString = "a=<script>alert(5)</script>&key=***";
  entry.expectedSign = "<b onmouseover=alert(6)>";
  entry.receivedSign = "<img src=x onerror=alert(4)>";
  ASSERT_LT(entry.receivedSign.size(), 64u);
  change.request = entry;
  ASSERT_TRUE(store->Write(change, error)) << error;

  NoActions actions;
  ConsoleSettings settings;
  for (const char* path : {"/console/requests", "/console/orders/signed", "/console/api/requests",
                           "/console/api/orders/signed"}) {
    HttpRequest request = Request(true, "127.0.0.1");
    request.path = path;
    HttpReply reply;
    ServeConsole(request, reply, *store, actions, settings);
    ASSERT_EQ(reply.status, 200) << path;
    if (!Has(path, "/api/")) {
      for (const char* raw : {"<script>alert", "<b onmouseover", "<img src=x", "signed"}) {
        EXPECT_FALSE(Has(reply.body, raw)) << path << " holds " << raw;
      }
      continue;
    }
    const json requests = json::parse(reply.body)["requests"];
    ASSERT_EQ(requests.size(), 1u) << path;
    EXPECT_EQ(requests[0]["sign"], (json{{"sign_string", entry.signString},
                                         {"expected", entry.expectedSign},
                                         {"received", entry.receivedSign}}))
        << path;
  }
}

TEST(ConsoleBounds, NoReplyOutgrowsItsStatedSize) {
  std::string error;
  auto store = StateStore::Open(kMemoryState, {}, error);
  ASSERT_TRUE(store) << error;
  // Requests whose kept text grows most when written as JSON: a control byte, a quote.
  StateChange placed;
  placed.orderNo = "bounded";
  placed.order = Order{};
  placed.order->placedAt = 1000;
  placed.order->version = 1;
  ASSERT_TRUE(store->Write(placed, error)) << error;
  for (int i = 0; i < 1000; ++i) {
    StateChange change;
    JournalEntry entry;
    entry.orderNo = "bounded";
    entry.verdict = "unreadable";
    entry.body = std::string(kKeptTextBytes, '<');
    entry.reply = std::string(kKeptTextBytes, '\x01');
    entry.signString = std::string(kKeptTextBytes, '"');
    entry.expectedSign = std::string(32, 'A');
    change.request = entry;
    ASSERT_TRUE(store->Write(change, error)) << error;
  }
  NoActions actions;
  ConsoleSettings settings;
  // The journal, and the order's page with up to kConsolePageRequests of them.
  for (const char* path : {"/console/api/requests", "/console/api/orders/bounded"}) {
    HttpRequest request = Request(true, "127.0.0.1");
    request.path = path;
    request.query = "limit=1000";
    HttpReply reply;
    ServeConsole(request, reply, *store, actions, settings);
    EXPECT_EQ(reply.status, 200) << path;
    EXPECT_LE(reply.body.size(), kMaxConsoleReplyBytes) << path;
    EXPECT_GT(reply.body.size(), kMaxConsoleReplyBytes / 2) << path;
    const json parsed = json::parse(reply.body);
    EXPECT_EQ(parsed["truncated"], true) << path;
    EXPECT_LT(parsed["requests"].size(), 1000u) << path;
  }
}

std::string HeaderOf(const HttpReply& reply, const std::string& name) {
  for (const auto& [header, value] : reply.headers) {
    if (header == name) return value;
  }
  return "";
}

// Every route, page, file and API alike, answers with the console's guards: the pages load
// only the console's own script, style and API, are framed by no one, never cached, and
// never send the address on as a Referer.
TEST(ConsoleRoutes, ServeThePagesTheirFilesAndTheApiUnderTheSameGuards) {
  std::string error;
  auto store = StateStore::Open(kMemoryState, {}, error);
  ASSERT_TRUE(store) << error;
  StateChange placed;
  placed.orderNo = "routed";
  placed.order = Order{};
  placed.order->placedAt = 1000;
  placed.order->version = 1;
  ASSERT_TRUE(store->Write(placed, error)) << error;
  CountedActions actions;
  ConsoleSettings settings;
  settings.formToken = "fedcba9876543210fedcba9876543210";
  const char* html = "text/html; charset=utf-8";
  const char* js = "application/json";
  const char* text = "text/plain; charset=utf-8";
  const struct {
    const char* method;
    const char* path;
    int status;
    const char* type;
  } rows[] = {
      {"GET", "/console", 200, html},
      {"GET", "/console/", 200, html},
      {"GET", "/console/requests", 200, html},
      {"GET", "/console/orders/routed", 200, html},
      {"GET", "/console/orders/nosuch", 404, html},  // the page says so, from the API
      {"HEAD", "/console/orders/routed", 200, html},
      {"GET", "/console/console.js", 200, "text/javascript; charset=utf-8"},
      {"GET", "/console/console.css", 200, "text/css; charset=utf-8"},
      {"GET", "/console/console.html", 404, text},
      {"GET", "/console/nosuch", 404, text},
      {"GET", "/console/orders/routed/pay", 404, text},
      {"POST", "/console/requests", 404, text},
      {"PUT", "/console", 405, text},
      {"GET", "/console/api/about", 200, js},
      {"GET", "/console/api/orders", 200, js},
      {"GET", "/console/api/orders/routed", 200, js},
      {"GET", "/console/api/orders/nosuch", 404, js},
      {"GET", "/console/api/requests", 200, js},
      {"GET", "/console/api/nosuch", 404, js},
      {"POST", "/console/api/orders", 404, js},
      {"DELETE", "/console/api/orders/routed", 405, js},
      {"POST", "/console/api/orders/routed/close", 200, js},
      {"POST", "/console/orders/routed/close", 303, ""},
  };
  for (const auto& row : rows) {
    HttpRequest request = Request(true, "127.0.0.1:8443");
    request.method = row.method;
    request.path = row.path;
    HttpReply reply;
    ServeConsole(request, reply, *store, actions, settings);
    const std::string where = std::string(row.method) + " " + row.path;
    EXPECT_EQ(reply.status, row.status) << where << ": " << reply.body;
    EXPECT_EQ(reply.contentType, row.type) << where;
    EXPECT_EQ(HeaderOf(reply, "Content-Security-Policy"),
              "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
              "img-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'")
        << where;
    EXPECT_EQ(HeaderOf(reply, "X-Content-Type-Options"), "nosniff") << where;
    EXPECT_EQ(HeaderOf(reply, "Cache-Control"), "no-store") << where;
    EXPECT_EQ(HeaderOf(reply, "Referrer-Policy"), "no-referrer") << where;
  }
  EXPECT_EQ(actions.closes, 2);

  // The page runs no script but the console's own file, and the script writes no markup.
  HttpRequest request = Request(true, "127.0.0.1");
  HttpReply page;
  ServeConsole(request, page, *store, actions, settings);
  std::size_t scripts = 0;
  for (std::size_t at = page.body.find("<script"); at != std::string::npos;
       at = page.body.find("<script", at + 1)) {
    ++scripts;
    const std::string own = "<script src=\"/console/console.js\" defer></script>";
    EXPECT_EQ(page.body.compare(at, own.size(), own), 0) << page.body.substr(at, 80);
  }
  EXPECT_EQ(scripts, 1u);
  EXPECT_FALSE(std::regex_search(page.body, std::regex(R"(\son[a-z]+\s*=)")))
      << "no inline handler";
  request.path = "/console/console.js";
  HttpReply script;
  ServeConsole(request, script, *store, actions, settings);
  for (const char* writer :
       {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval(", "DOMParser"}) {
    EXPECT_FALSE(Has(script.body, writer)) << writer;
  }
}

TEST(ConsoleTime, WritesUtcAsIso8601) {
  const struct {
    std::int64_t ms;
    const char* text;
  } rows[] = {{1, "1970-01-01T00:00:00.001Z"},
              {951'782'400'000, "2000-02-29T00:00:00.000Z"},
              {1'798'761'599'999, "2026-12-31T23:59:59.999Z"},
              {4'107'542'400'000, "2100-03-01T00:00:00.000Z"}};
  for (const auto& row : rows) EXPECT_EQ(IsoTime(row.ms), row.text) << row.ms;
}

// --- the scenarios armed from the console -------------------------------------------

// The armed scenarios as "id:scenario@order" ("@" alone: for the next order), oldest first.
std::string ArmedText(const ArmedScenarios& armed) {
  std::string text;
  for (const ArmedScenario& entry : armed.List()) {
    text += (text.empty() ? "" : " ") + std::to_string(entry.id) + ":" + entry.scenario->name +
            "@" + entry.outTradeNo;
  }
  return text;
}

// One request after another against the same armed list: what each answers, and what is
// armed after it. Refused requests, whether for their body, for coming from another site or
// for lacking the token, leave the list as it was.
TEST(ConsoleScenarios, ArmListAndRemoveUnderTheConsolesGuards) {
  std::string error;
  auto store = StateStore::Open(kMemoryState, {}, error);
  ASSERT_TRUE(store) << error;
  NoActions actions;
  ConsoleSettings settings;
  settings.token = "0123456789abcdef0123456789abcdef";
  settings.formToken = "fedcba9876543210fedcba9876543210";
  settings.port = 8443;
  enum Peer { kLocal, kAttacker, kRemote, kRemoteWithToken };
  const struct {
    const char* method;
    const char* path;
    std::string body;
    Peer peer;
    int status;
    const char* says;   // a part of the reply's body
    const char* armed;  // ArmedText() after it
  } rows[] = {
      {"POST", "/console/api/scenarios", R"({"scenario":"declined","out_trade_no":"order-a"})",
       kLocal, 201, R"({"id":"1","scenario":"declined","out_trade_no":"order-a","at":")",
       "1:declined@order-a"},
      {"POST", "/console/api/scenarios", R"({"scenario":"paying"})", kLocal, 201,
       R"("scenario":"paying","out_trade_no":null)", "1:declined@order-a 2:paying@"},
      // Armed again for the same order: the new one replaces the old.
      {"POST", "/console/api/scenarios", R"({"scenario":"expired","out_trade_no":"order-a"})",
       kLocal, 201, R"("id":"3")", "2:paying@ 3:expired@order-a"},
      {"POST", "/console/api/scenarios", R"({"scenario":"no-such"})", kLocal, 400,
       "unknown scenario no-such (paid, declined, paying,", "2:paying@ 3:expired@order-a"},
      {"POST", "/console/api/scenarios", "scenario=declined", kLocal, 400, "must be a JSON object",
       "2:paying@ 3:expired@order-a"},
      {"POST", "/console/api/scenarios", R"(["declined"])", kLocal, 400, "must be a JSON object",
       "2:paying@ 3:expired@order-a"},
      {"POST", "/console/api/scenarios", R"({"scenario":"paid","out_trade_number":"b"})", kLocal,
       400, "unknown field out_trade_number", "2:paying@ 3:expired@order-a"},
      {"POST", "/console/api/scenarios", R"({"scenario":4001})", kLocal, 400,
       "scenario must be given", "2:paying@ 3:expired@order-a"},
      {"POST", "/console/api/scenarios", R"({"scenario":"paid","out_trade_no":""})", kLocal, 400,
       "out_trade_no must be 1 to 32", "2:paying@ 3:expired@order-a"},
      {"POST", "/console/api/scenarios", R"({"scenario":"paid","out_trade_no":7})", kLocal, 400,
       "out_trade_no must be a string", "2:paying@ 3:expired@order-a"},
      {"POST", "/console/api/scenarios", R"({"scenario":"declined"})", kAttacker, 403, "cross-site",
       "2:paying@ 3:expired@order-a"},
      {"DELETE", "/console/api/scenarios/2", "", kAttacker, 403, "cross-site",
       "2:paying@ 3:expired@order-a"},
      {"POST", "/console/api/scenarios", R"({"scenario":"declined"})", kRemote, 403, "token",
       "2:paying@ 3:expired@order-a"},
      {"GET", "/console/api/scenarios", "", kRemote, 403, "token", "2:paying@ 3:expired@order-a"},
      {"GET", "/console/api/scenarios", "", kLocal, 200,
       R"("armed":[{"id":"2","scenario":"paying","out_trade_no":null,"at":")",
       "2:paying@ 3:expired@order-a"},
      {"DELETE", "/console/api/scenarios/2", "", kLocal, 200, R"({"removed":"2"})",
       "3:expired@order-a"},
      {"DELETE", "/console/api/scenarios/2", "", kLocal, 404, "no scenario is armed under id 2",
       "3:expired@order-a"},
      {"DELETE", "/console/api/scenarios/02", "", kLocal, 404, "no scenario is armed under id 02",
       "3:expired@order-a"},
      {"PUT", "/console/api/scenarios", "{}", kLocal, 405, "GET, POST and DELETE only",
       "3:expired@order-a"},
      {"POST", "/console/api/scenarios", R"({"out_trade_no":"order-b","scenario":"refund-fails"})",
       kRemoteWithToken, 201, R"("out_trade_no":"order-b")",
       "3:expired@order-a 4:refund-fails@order-b"},
      // An order number as long as the unified order takes, as the runner's own are; and
      // one longer, or with a character it refuses, which no order could ever have.
      {"POST", "/console/api/scenarios",
       R"({"scenario":"paid","out_trade_no":"20261210023631317Df39ZfLOGTxMJJj"})", kLocal, 201,
       R"("out_trade_no":"20261210023631317Df39ZfLOGTxMJJj")",
       "3:expired@order-a 4:refund-fails@order-b 5:paid@20261210023631317Df39ZfLOGTxMJJj"},
      {"POST", "/console/api/scenarios",
       R"({"scenario":"paid","out_trade_no":"20261210023631317Df39ZfLOGTxMJJjK"})", kLocal, 400,
       "out_trade_no must be 1 to 32 letters, digits or _-|*",
       "3:expired@order-a 4:refund-fails@order-b 5:paid@20261210023631317Df39ZfLOGTxMJJj"},
      {"POST", "/console/api/scenarios", R"({"scenario":"paid","out_trade_no":"order c"})", kLocal,
       400, "out_trade_no must be 1 to 32 letters",
       "3:expired@order-a 4:refund-fails@order-b 5:paid@20261210023631317Df39ZfLOGTxMJJj"},
      // All of them at once, as the README says, under the same guards as one.
      {"DELETE", "/console/api/scenarios", "", kAttacker, 403, "cross-site",
       "3:expired@order-a 4:refund-fails@order-b 5:paid@20261210023631317Df39ZfLOGTxMJJj"},
      {"DELETE", "/console/api/scenarios", "", kRemote, 403, "token",
       "3:expired@order-a 4:refund-fails@order-b 5:paid@20261210023631317Df39ZfLOGTxMJJj"},
      {"DELETE", "/console/api/scenarios", "", kLocal, 200, R"({"removed":"all","count":3})", ""},
      {"DELETE", "/console/api/scenarios", "", kLocal, 200, R"({"removed":"all","count":0})", ""},
  };
  for (const auto& row : rows) {
    const bool remote = row.peer == kRemote || row.peer == kRemoteWithToken;
    HttpRequest request =
        Request(!remote, remote ? "192.168.1.20:8443" : "127.0.0.1:8443", "",
                row.peer == kRemoteWithToken ? "quillmark_console_8443=" + settings.token : "");
    request.method = row.method;
    request.path = row.path;
    request.body = row.body;
    if (row.peer == kAttacker) request.origin = "https://attacker.example";
    HttpReply reply;
    ServeConsole(request, reply, *store, actions, settings);
    const std::string where = std::string(row.method) + " " + row.path + " " + row.body;
    EXPECT_EQ(reply.status, row.status) << where << ": " << reply.body;
    EXPECT_EQ(reply.contentType, "application/json") << where;
    EXPECT_TRUE(Has(reply.body, row.says)) << where << ": " << reply.body;
    EXPECT_EQ(ArmedText(actions.armed), row.armed) << where;
  }

  // The list comes with the table of every scenario the sandbox plays.
  HttpRequest request = Request(true, "127.0.0.1:8443");
  request.path = "/console/api/scenarios";
  HttpReply reply;
  ServeConsole(request, reply, *store, actions, settings);
  const json table = json::parse(reply.body)["scenarios"];
  ASSERT_EQ(table.size(), std::size(kScenarios));
  EXPECT_EQ(table[1], (json{{"name", "declined"},
                            {"total_fee", 4001},
                            {"amount", "40.01"},
                            {"label", kScenarios[1].label},
                            {"description", kScenarios[1].description}}));
}

// An armed scenario applies to the order it names and to no other; one armed for the next
// order applies to the next order placed only. Each is gone once taken.
TEST_F(ConsoleTest, AnArmedScenarioPlaysInItsOrderAndNoOther) {
  StartSandbox();
  const auto arm = [this](const std::string& body) {
    auto result =
        Client(sandbox_->port())->Post("/console/api/scenarios", body, "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 201) << result->body;
  };
  arm(R"({"scenario":"declined","out_trade_no":"armedorder"})");
  ASSERT_TRUE(Has(PlaceOrder("otherorder").body, "SUCCESS"));
  ASSERT_TRUE(Has(PlaceOrder("armedorder").body, "SUCCESS"));
  EXPECT_EQ(GetJson("/console/api/orders/otherorder")["order"]["scenario"], "paid");
  EXPECT_EQ(GetJson("/console/api/orders/armedorder")["order"]["scenario"], "declined");
  EXPECT_EQ(GetJson("/console/api/scenarios")["armed"], json::array()) << "taken";

  arm(R"({"scenario":"paying"})");
  ASSERT_TRUE(Has(PlaceOrder("nextorder").body, "SUCCESS"));
  ASSERT_TRUE(Has(PlaceOrder("laterorder").body, "SUCCESS"));
  EXPECT_EQ(GetJson("/console/api/orders/nextorder")["order"]["scenario"], "paying");
  EXPECT_EQ(GetJson("/console/api/orders/laterorder")["order"]["scenario"], "paid");
  EXPECT_EQ(GetJson("/console/api/scenarios")["armed"], json::array()) << "taken";
}

// At most kMaxArmedScenarios are armed; one more is refused in JSON, while one that replaces
// an armed one still arms. The list comes in pages, each saying how many there are and
// whether more follow.
TEST(ConsoleScenarios, AreBoundedAndListedInPages) {
  std::string error;
  auto store = StateStore::Open(kMemoryState, {}, error);
  ASSERT_TRUE(store) << error;
  NoActions actions;
  ConsoleSettings settings;
  const auto send = [&](const char* method, const std::string& query, const std::string& body) {
    HttpRequest request = Request(true, "127.0.0.1:8443", query);
    request.method = method;
    request.path = "/console/api/scenarios";
    request.body = body;
    HttpReply reply;
    ServeConsole(request, reply, *store, actions, settings);
    EXPECT_EQ(reply.contentType, "application/json") << method << " " << body;
    return reply;
  };
  const auto arm = [&](const std::string& number) {
    return send("POST", "", R"({"scenario":"declined","out_trade_no":")" + number + "\"}");
  };
  for (std::size_t i = 1; i <= kMaxArmedScenarios; ++i) {
    ASSERT_EQ(arm("order" + std::to_string(i)).status, 201) << i;
  }
  const HttpReply refused = arm("onemore");
  EXPECT_EQ(refused.status, 409);
  EXPECT_TRUE(
      Has(json::parse(refused.body)["error"].get<std::string>(), "1000 scenarios are armed"))
      << refused.body;
  EXPECT_EQ(actions.armed.List().size(), kMaxArmedScenarios);
  EXPECT_EQ(arm("order7").status, 201) << "replaces one";

  const struct {
    const char* query;
    std::size_t shown;
    const char* first;  // the first shown's id
    bool truncated;
  } pages[] = {
      {"", kConsoleDefaultLimit, "1", true},
      {"limit=5", 5, "1", true},
      {"offset=995&limit=100", 5, "997", false},
      {"offset=2&limit=1000", 998, "3", false},
      {"offset=1000", 0, "", false},
      {"offset=x&limit=y", kConsoleDefaultLimit, "1", true},
  };
  for (const auto& page : pages) {
    const json list = json::parse(send("GET", page.query, "").body);
    EXPECT_EQ(list["armed"].size(), page.shown) << page.query;
    EXPECT_EQ(list["total"], kMaxArmedScenarios) << page.query;
    EXPECT_EQ(list["truncated"], page.truncated) << page.query;
    EXPECT_EQ(list["max_armed"], kMaxArmedScenarios) << page.query;
    if (page.shown > 0) {
      EXPECT_EQ(list["armed"][0]["id"], page.first) << page.query;
    }
  }
}

// A scenario is chosen as its order is placed: one armed for an order placed already would
// never play, so it is refused, naming the order, and nothing is armed.
TEST_F(ConsoleTest, ArmingForAPlacedOrderIsRefusedNamingIt) {
  StartSandbox();
  ASSERT_TRUE(Has(PlaceOrder("placedorder").body, "SUCCESS"));
  auto result =
      Client(sandbox_->port())
          ->Post("/console/api/scenarios",
                 R"({"scenario":"declined","out_trade_no":"placedorder"})", "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 409);
  EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
  EXPECT_TRUE(Has(json::parse(result->body)["error"].get<std::string>(),
                  "order placedorder has been placed already"))
      << result->body;
  EXPECT_EQ(GetJson("/console/api/scenarios")["armed"], json::array());
  EXPECT_EQ(GetJson("/console/api/orders/placedorder")["order"]["scenario"], "paid");
}

// The armed scenarios are in the state file: a restarted sandbox lists the same ones, under
// the same ids, and plays them; what was taken or disarmed stays gone.
TEST_F(ConsoleTest, ArmedScenariosOutliveARestart) {
  TempDir dir;
  Options options;
  options.stateFile = dir.path() + "/state.db";
  const auto restart = [&] {
    sandbox_->Stop();
    sandbox_.reset();
    StartSandbox(options);
  };
  const auto send = [this](const std::string& method, const std::string& path,
                           const std::string& body = "") {
    auto client = Client(sandbox_->port());
    auto result =
        method == "POST" ? client->Post(path, body, "application/json") : client->Delete(path);
    EXPECT_TRUE(result) << method << " " << path;
    return result ? result->status : 0;
  };
  const auto listed = [this] {
    std::string text;
    const json list = GetJson("/console/api/scenarios");
    for (const json& armed : list["armed"]) {
      text += (text.empty() ? "" : " ") + armed["id"].get<std::string>() + ":" +
              armed["scenario"].get<std::string>() + "@" +
              (armed["out_trade_no"].is_null() ? "" : armed["out_trade_no"].get<std::string>());
    }
    return text;
  };
  StartSandbox(options);
  ASSERT_EQ(
      send("POST", "/console/api/scenarios", R"({"scenario":"declined","out_trade_no":"a1"})"),
      201);
  ASSERT_EQ(send("POST", "/console/api/scenarios", R"({"scenario":"paying","out_trade_no":"b2"})"),
            201);
  ASSERT_EQ(send("POST", "/console/api/scenarios", R"({"scenario":"expired"})"), 201);
  ASSERT_EQ(send("DELETE", "/console/api/scenarios/2"), 200);
  ASSERT_EQ(listed(), "1:declined@a1 3:expired@");
  restart();
  EXPECT_EQ(listed(), "1:declined@a1 3:expired@");
  // Taken by the orders they were for, and gone from the file with the orders placed.
  ASSERT_TRUE(Has(PlaceOrder("a1").body, "SUCCESS"));
  ASSERT_TRUE(Has(PlaceOrder("c3").body, "SUCCESS"));
  EXPECT_EQ(GetJson("/console/api/orders/a1")["order"]["scenario"], "declined");
  EXPECT_EQ(GetJson("/console/api/orders/c3")["order"]["scenario"], "expired");
  ASSERT_EQ(send("POST", "/console/api/scenarios", R"({"scenario":"paid","out_trade_no":"d4"})"),
            201);
  restart();
  EXPECT_EQ(listed(), "4:paid@d4") << "a new id after the highest kept";
  ASSERT_EQ(send("DELETE", "/console/api/scenarios"), 200);
  restart();
  EXPECT_EQ(listed(), "");
}

// A body the server refuses before it is read (over 64 KiB) gets the console's own format:
// JSON from its API, a line of text from its pages; the payment API keeps its XML.
TEST_F(ConsoleTest, ARefusedBodyIsAnsweredInTheRoutesOwnFormat) {
  StartSandbox();
  const std::string big(64 * 1024 + 1, 'x');
  const struct {
    const char* path;
    const char* type;
  } rows[] = {
      {"/console/api/scenarios", "application/json"},
      {"/console/api/orders/any/pay", "application/json"},
      {"/console/orders/any/pay", "text/plain; charset=utf-8"},
      {"/pay/unifiedorder", "text/xml"},
  };
  for (const auto& row : rows) {
    auto result = Client(sandbox_->port())->Post(row.path, big, "application/json");
    ASSERT_TRUE(result) << row.path;
    EXPECT_EQ(result->status, 413) << row.path;
    EXPECT_EQ(result->get_header_value("Content-Type").rfind(row.type, 0), 0u)
        << row.path << ": " << result->get_header_value("Content-Type");
    if (Has(row.type, "json")) {
      const json answer = json::parse(result->body, nullptr, false);
      ASSERT_TRUE(answer.is_object()) << result->body;
      EXPECT_TRUE(Has(answer["error"].get<std::string>(), "request body larger than 65536 bytes"))
          << result->body;
    }
  }
}

// The language a page is drawn in, from the request's Accept-Language.
TEST(PageLanguageChoice, FollowsAcceptLanguageAmongChineseAndEnglish) {
  const struct {
    const char* header;
    const char* chosen;
  } rows[] = {
      {"", "zh"},
      {"en", "en"},
      {"en-US,en;q=0.9", "en"},
      {"zh-CN,zh;q=0.9,en;q=0.8", "zh"},
      {"en-GB;q=0.8, zh-TW;q=0.9", "zh"},
      {"fr-FR, en;q=0.5, zh;q=0.4", "en"},  // the first it knows of, by q-value
      {"en;q=0.5, zh;q=0.5", "en"},         // equals: the first listed
      {"EN-us", "en"},
      {"de, fr", "zh"},  // nothing it knows: Chinese
      {"*", "zh"},
      {"en;q=0", "zh"},  // refused outright
      {"en;q=0, zh;q=0", "zh"},
      {"en;q=abc", "zh"},  // a q-value that is none
      {"en;q=1.5", "zh"},
      {"english, enx", "zh"},  // not the tag en
      {" en ; q=0.7 ,zh;q=0.6", "en"},
      {"zh-Hans-CN;q=0.2,en;q=0.1", "zh"},
  };
  for (const auto& row : rows) {
    EXPECT_STREQ(LanguageCode(ChooseLanguage(row.header)), row.chosen) << row.header;
  }
}

}  // namespace
}  // namespace quillmark::sandbox
