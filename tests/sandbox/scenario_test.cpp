// The scenarios against a real sandbox that pays at the first query: for each, what its
// unified orders, queries, payer-page buttons and refunds are answered, every reply signed,
// and the notifications a merchant's server receives (how many, and when).
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "config/merchant_config.h"
#include "protocol/reply_fields.h"
#include "tests/support/merchant_server.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;
using quillmark::testsupport::MerchantServer;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kLateDelay{600};

// When each notification for `orderNo` came to `merchant`.
std::vector<Clock::time_point> Received(const MerchantServer& merchant,
                                        const std::string& orderNo) {
  std::vector<Clock::time_point> times;
  for (const MerchantServer::Request& request : merchant.requests()) {
    if (CdataField(request.body, "out_trade_no") == orderNo) times.push_back(request.arrived);
  }
  return times;
}

class Scenarios : public SandboxTest {
 protected:
  // Posts a signed request and checks that the answer is signed (or an unsigned FAIL).
  Reply Signed(const std::string& path, Fields fields) {
    const Reply reply = Post(Url(path), SignedDocument(std::move(fields)));
    const ReplySignature signature = VerifyReplySignature(reply.body, kApiKey);
    EXPECT_EQ(signature.verdict, SignatureVerdict::kVerified) << path << ": " << reply.body;
    return reply;
  }
  Fields About(const std::string& orderNo, Fields more = {}) {
    Fields fields = QueryFields(orderNo);
    for (const auto& [name, value] : more) fields[name] = value;
    return fields;
  }
  // result_code, and err_code after a space when there is one.
  static std::string Result(const Reply& reply) {
    const std::string err = CdataField(reply.body, "err_code");
    return CdataField(reply.body, "result_code") + (err.empty() ? "" : " " + err);
  }
};

TEST_F(Scenarios, EachPlaysItsOutcome) {
  MerchantServer merchant;
  Options options;
  options.payAfterQueries = 1;
  options.lateNotifyDelay = kLateDelay;
  options.notifyDelays = {milliseconds(100)};
  StartSandbox(options);

  // clang-format off
  const struct {
    const char* name;
    long long fee;
    std::vector<std::string> placed;  // result of each unified order
    const char* press;                // a payer-page button ("" none), after `pressAfter`
    int pressAfter;                   //   queries
    std::vector<std::string> states;  // trade_state of each query
    const char* refund;               // the refund's result ("" none asked)
    std::vector<std::string> refundStatuses;  // refund_status_0, or the err_code, of each
    std::size_t notifications;
  } rows[] = {
      {"paid", 1, {"SUCCESS"}, "", 0, {"NOTPAY", "SUCCESS", "SUCCESS"}, "SUCCESS",
       {"SUCCESS", "SUCCESS"}, 1},
      {"declined", 4001, {"SUCCESS"}, "", 0, {"NOTPAY", "PAYERROR", "PAYERROR"},
       "FAIL ORDERNOTPAID", {}, 0},
      {"declined, the payer page's pay", 4001, {"SUCCESS"}, "pay", 0, {"PAYERROR", "PAYERROR"},
       "", {}, 0},
      {"paying", 4002, {"SUCCESS"}, "", 0,
       {"NOTPAY", "USERPAYING", "USERPAYING", "SUCCESS", "SUCCESS"}, "", {}, 1},
      // The third is the second again: the same order, answered alike.
      {"system-error-once", 4003, {"FAIL SYSTEMERROR", "SUCCESS", "SUCCESS"}, "", 0,
       {"NOTPAY", "SUCCESS"}, "", {}, 1},
      {"expired", 4004, {"SUCCESS"}, "pay", 1, {"CLOSED", "CLOSED"}, "FAIL ORDERCLOSED", {}, 0},
      {"notify-twice", 4005, {"SUCCESS"}, "", 0, {"NOTPAY", "SUCCESS"}, "", {}, 2},
      {"notify-late", 4006, {"SUCCESS"}, "", 0, {"NOTPAY", "SUCCESS", "SUCCESS"}, "", {}, 1},
      {"refund-processing", 4007, {"SUCCESS"}, "", 0, {"NOTPAY", "SUCCESS"}, "SUCCESS",
       {"PROCESSING", "SUCCESS", "SUCCESS"}, 1},
      {"refund-fails", 4008, {"SUCCESS"}, "", 0, {"NOTPAY", "SUCCESS"}, "FAIL NOTENOUGH",
       {"REFUNDNOTEXIST"}, 1},
      {"refund-change", 4009, {"SUCCESS"}, "", 0, {"NOTPAY", "SUCCESS"}, "SUCCESS",
       {"CHANGE", "CHANGE"}, 1},
      {"refund-closed", 4010, {"SUCCESS"}, "", 0, {"NOTPAY", "SUCCESS"}, "SUCCESS",
       {"REFUNDCLOSE"}, 1},
      // The payer page's own buttons, on an order of any amount.
      {"paid, the payer declines", 1, {"SUCCESS"}, "decline", 0, {"PAYERROR", "PAYERROR"}, "", {},
       0},
      {"paid, the payer keeps paying", 1, {"SUCCESS"}, "keep-paying", 0,
       {"USERPAYING", "SUCCESS"}, "", {}, 1},
  };
  // clang-format on
  const auto client = Client(sandbox_->port());
  std::map<std::string, Clock::time_point> firstSuccess;
  int number = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string orderNo = "scenario" + std::to_string(++number);
    Fields order = OrderFields(orderNo);
    order["total_fee"] = std::to_string(row.fee);
    order["notify_url"] = merchant.url();
    for (const std::string& expected : row.placed) {
      const Reply placed = Post(Url("/pay/unifiedorder"), SignedDocument(order));
      EXPECT_EQ(VerifyReplySignature(placed.body, kApiKey).verdict, SignatureVerdict::kVerified);
      EXPECT_EQ(Result(placed), expected) << placed.body;
    }
    for (std::size_t i = 0; i < row.states.size(); ++i) {
      if (*row.press && static_cast<int>(i) == row.pressAfter) {
        const auto pressed =
            client->Post(("/pay/qr/" + orderNo + "/" + row.press).c_str(), "", "text/plain");
        ASSERT_TRUE(pressed);
        EXPECT_EQ(pressed->status, 303);
      }
      // The late notification's delay starts while the sandbox answers this query, so
      // the time is taken before it is sent: taken after the reply, it would be late by
      // the reply's own round trip and the delay would seem short of its length.
      const Clock::time_point asked = Clock::now();
      const Reply query = Signed("/pay/orderquery", About(orderNo));
      EXPECT_EQ(CdataField(query.body, "trade_state"), row.states[i]) << "query " << i + 1;
      EXPECT_FALSE(CdataField(query.body, "trade_state_desc").empty());
      if (row.states[i] == "SUCCESS" && !firstSuccess.count(orderNo)) {
        firstSuccess[orderNo] = asked;
      }
    }
    if (*row.refund) {
      const std::string fee = std::to_string(row.fee);
      const Reply refund = Signed(
          "/secapi/pay/refund",
          About(orderNo,
                {{"out_refund_no", "R" + orderNo}, {"refund_fee", fee}, {"total_fee", fee}}));
      EXPECT_EQ(Result(refund), row.refund) << refund.body;
    }
    for (const std::string& status : row.refundStatuses) {
      const Reply asked = Signed("/pay/refundquery", About(orderNo));
      const std::string said = CdataField(asked.body, "refund_status_0");
      EXPECT_EQ(said.empty() ? CdataField(asked.body, "err_code") : said, status) << asked.body;
    }
  }
  // The late one's delay, the second sending and any retry are over by then.
  std::this_thread::sleep_for(kLateDelay + milliseconds(900));
  number = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string orderNo = "scenario" + std::to_string(++number);
    const std::vector<Clock::time_point> received = Received(merchant, orderNo);
    EXPECT_EQ(received.size(), row.notifications) << log_.str();
    if (std::string(row.name) == "notify-late" && !received.empty()) {
      const auto late = received[0] - firstSuccess[orderNo];
      EXPECT_GE(late, kLateDelay);
      EXPECT_LT(late, kLateDelay + milliseconds(800));
    }
  }
  EXPECT_NE(log_.str().find(" scenario1 200 SUCCESS order placed\n"), std::string::npos);
  EXPECT_NE(log_.str().find(" scenario2 200 SUCCESS order placed, scenario declined\n"),
            std::string::npos)
      << log_.str();
}

}  // namespace
}  // namespace quillmark::sandbox
