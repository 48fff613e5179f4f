// quillmark-cycle refund against the sandbox: orders of any amount refunded in parts under
// numbers given or made, a repeat answered as the same refund, an amount over the
// remainder refused, bad options refused before anything is sent, and the refund's
// notification heard by the runner's own listener.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sandbox/sandbox.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;

class Refund : public ::testing::Test {
 protected:
  void SetUp() override {
    Options options;
    options.port = 0;
    options.payAfterQueries = 1;
    options.log = &log_;
    sandbox_ = std::make_unique<Sandbox>(options);
    std::string error;
    ASSERT_TRUE(sandbox_->Start(&error)) << error;
  }

  // An order of `totalFee` fen placed as the merchant's own system would, and paid by the
  // query that follows it.
  void PlacePaid(const std::string& orderNo, long long totalFee) {
    Fields order = OrderFields(orderNo);
    order["total_fee"] = std::to_string(totalFee);
    ASSERT_EQ(
        CdataField(Post(sandbox_->baseUrl() + "/pay/unifiedorder", SignedDocument(order)).body,
                   "result_code"),
        "SUCCESS");
    ASSERT_EQ(CdataField(Post(sandbox_->baseUrl() + "/pay/orderquery",
                              SignedDocument(QueryFields(orderNo)))
                             .body,
                         "result_code"),
              "SUCCESS");
  }

  ProgramResult Run(const std::vector<std::string>& options,
                    const std::vector<std::string>& environment = {}) {
    std::vector<std::string> argv =
        DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work_.path(), sandbox_->baseUrl());
    argv.insert(argv.end() - 1, environment.begin(), environment.end());
    argv.insert(argv.end(), options.begin(), options.end());
    return RunProgram(argv, work_.path());
  }

  SharedLog log_;
  std::unique_ptr<Sandbox> sandbox_;
  TempDir work_;
};

// The refund's own reply's refund_id: the last one in the output, after the queries'.
std::string RefundId(const std::string& out) {
  const std::size_t at = out.rfind("<refund_id><![CDATA[");
  return at == std::string::npos ? std::string() : out.substr(at + 20, out.find(']', at) - at - 20);
}

// A 100-fen order takes 30 fen under a number given, 50 under a fresh one, the 30 again
// (the same refund), and refuses 21, more than the 20 left; the refund query lists two.
// An order of any other amount than the build's 1 fen is refunded whole by default.
TEST_F(Refund, PartsOfAnyOrderUnderTheirOwnNumbers) {
  const std::string order = "20261210000000000RefundParts0001";
  const std::string other = "20261210000000000RefundWhole4005";
  PlacePaid(order, 100);
  PlacePaid(other, 4005);
  const struct {
    std::vector<std::string> options;
    int exitCode;
    const char* line;  // in the summary
    std::size_t sent;  // requests
  } rows[] = {
      {{"refund", order, "--fee", "30", "--out-refund-no", "R-30"},
       0,
       "\nOrder total:   100 fen\nRefund number: R-30\nRefund:        refunded  (HTTP 200",
       2},
      {{"refund", order, "--fee", "50"}, 0, "\nRefund:        refunded  (HTTP 200", 2},
      {{"refund", order, "--fee", "30", "--out-refund-no", "R-30"},
       0,
       "\nRefund:        refunded  (HTTP 200",
       2},
      {{"refund", order, "--fee", "21"}, 1, "\nRefund:        not refunded  (HTTP 200", 2},
      {{"refundquery", order}, 0, "\nRefund query:  SUCCESS  (HTTP 200", 1},
      {{"refund", other}, 0, "\nOrder total:   4005 fen, 0 refunded before\nRefund number: ", 3},
      {{"refund", other}, 1, "\nRefund:        not sent: nothing is left to refund", 2},
  };
  std::size_t expected = sandbox_->requests().size();
  std::vector<std::string> outs;
  for (const auto& row : rows) {
    const ProgramResult result = Run(row.options);
    const std::string which = row.options[0] + " " + row.options[1] +
                              (row.options.size() > 3 ? " --fee " + row.options[3] : "");
    EXPECT_EQ(result.exitCode, row.exitCode) << which << result.out << result.err;
    EXPECT_NE(result.out.find(row.line), std::string::npos) << which << result.out;
    expected += row.sent;
    EXPECT_EQ(sandbox_->requests().size(), expected) << which;
    outs.push_back(result.out);
  }
  ASSERT_FALSE(RefundId(outs[0]).empty()) << outs[0];
  EXPECT_EQ(RefundId(outs[2]), RefundId(outs[0])) << "a repeat is the same refund";
  EXPECT_NE(RefundId(outs[1]), RefundId(outs[0]));
  EXPECT_NE(outs[4].find("<refund_count><![CDATA[2]]></refund_count>"), std::string::npos)
      << outs[4];
  // What the refunds asked for: the order's own total_fee, and the amount or the remainder.
  const std::vector<RecordedRequest> requests = sandbox_->requests();
  std::vector<std::string> asked;
  for (const RecordedRequest& request : requests) {
    if (request.path != "/secapi/pay/refund") continue;
    asked.push_back(request.fields.at("total_fee") + "/" + request.fields.at("refund_fee"));
  }
  EXPECT_EQ(asked, (std::vector<std::string>{"100/30", "100/50", "100/30", "100/21", "4005/4005"}));
}

// A bad amount or refund number is named on standard error, and nothing is sent.
TEST_F(Refund, BadOptionsAreRefusedBeforeAnythingIsSent) {
  const std::string order = "20261210000000000RefundRefused01";
  const struct {
    std::vector<std::string> options;
    const char* message;
  } rows[] = {
      {{"--fee", "0"}, "--fee \"0\" is not an amount"},
      {{"--fee", "-3"}, "--fee \"-3\" is not an amount"},
      {{"--fee", "1.5"}, "--fee \"1.5\" is not an amount"},
      {{"--fee", "030"}, "--fee \"030\" is not an amount"},
      {{"--fee", "2147483648"}, "--fee \"2147483648\" is not an amount"},
      {{"--out-refund-no", "R/1"}, "--out-refund-no \"R/1\" is not a refund number"},
      {{"--out-refund-no", std::string(33, 'R')}, "is not a refund number"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> options = {"refund", order};
    options.insert(options.end(), row.options.begin(), row.options.end());
    const ProgramResult result = Run(options);
    EXPECT_EQ(result.exitCode, 2) << row.message << result.err;
    EXPECT_NE(result.err.find(row.message), std::string::npos) << result.err;
  }
  EXPECT_TRUE(sandbox_->requests().empty());
}

// refund --await-notify: the refund's notification reaches the runner's listener, at the
// notify_url the refund named, and the runner says what its req_info held.
TEST_F(Refund, TheRefundsNotificationIsDecryptedAndSaid) {
  const std::string order = "20261210000000000RefundNotified1";
  PlacePaid(order, 100);
  const ProgramResult result =
      Run({"refund", order, "--fee", "40", "--out-refund-no", "R-40", "--await-notify", "10"},
          {"QUILLMARK_NOTIFY_URL=http://127.0.0.1:0/quillmark/notify"});
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  const std::string id = RefundId(result.out);
  ASSERT_FALSE(id.empty()) << result.out;
  EXPECT_NE(result.out.find("  refund " + id +
                            " (out_refund_no R-40): SUCCESS, refund_fee 40, "
                            "success_time "),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("(req_info decrypted, acknowledged)\nThe refund's notification "
                            "decrypted and was acknowledged.\n"),
            std::string::npos)
      << result.out;
}

}  // namespace
}  // namespace quillmark::sandbox
