// A till's payment against the sandbox: each till scenario played to its end by the loop the
// runner plays (its pauses pinned, so that 30 s pass at once), and micropay's refusals of a
// code, one request after another against the orders the rows before it left.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "client/quillmark_ops.h"
#include "client/till_run.h"
#include "config/merchant_settings.h"
#include "protocol/auth_code.h"
#include "protocol/operation.h"
#include "protocol/scenarios.h"
#include "sandbox/sandbox.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;

std::string FreshCode(std::uint32_t random, std::int64_t age = 0) {
  return MakeAuthCode(static_cast<std::int64_t>(std::time(nullptr)) - age, 3, random);
}

class Till : public ::testing::Test {
 protected:
  void SetUp() override {
    Options options;
    options.port = 0;
    options.payAfterQueries = 1;  // pays a NATIVE order at once; no till's payment
    options.notify = false;
    options.log = &log_;
    sandbox_ = std::make_unique<Sandbox>(options);
    std::string error;
    ASSERT_TRUE(sandbox_->Start(&error)) << error;
  }
  void TearDown() override { sandbox_->Stop(); }

  CQuillmarkOps Ops(const std::string& code, long long fee) {
    MerchantSettings merchant = MerchantSettings::Defaults();
    merchant.apiBase = sandbox_->baseUrl();
    CQuillmarkOps::Settings settings = CQuillmarkOps::Settings::FromMerchant(merchant);
    settings.out = &out_;
    settings.authCode = code;
    settings.totalFee = fee;
    return CQuillmarkOps(settings);
  }

  SharedLog log_;
  std::ostringstream out_;
  std::unique_ptr<Sandbox> sandbox_;
};

TEST_F(Till, EachScenarioEndsAsItsRowSays) {
  const struct {
    const char* scenario;
    std::vector<std::string> said;  // each step's word, in order
    TillEnd end;
    int waits;  // 5 s pauses taken before the first reverse
  } kRows[] = {
      {"paid", {"paid"}, TillEnd::kPaid, 0},
      {"code-password", {"USERPAYING", "USERPAYING", "SUCCESS"}, TillEnd::kPaid, 2},
      {"code-never",
       {"USERPAYING", "USERPAYING", "USERPAYING", "USERPAYING", "USERPAYING", "USERPAYING",
        "USERPAYING", "recall=N"},
       TillEnd::kReversed,
       6},
      {"code-system-error", {"SYSTEMERROR", "SUCCESS"}, TillEnd::kPaid, 0},
      {"code-bank-error", {"BANKERROR", "PAYERROR"}, TillEnd::kRefused, 0},
      {"code-not-enough", {"NOTENOUGH"}, TillEnd::kRefused, 0},
      {"code-expired", {"AUTHCODEEXPIRE"}, TillEnd::kRefused, 0},
      {"reverse-recall",
       {"USERPAYING", "USERPAYING", "USERPAYING", "USERPAYING", "USERPAYING", "USERPAYING",
        "USERPAYING", "recall=Y", "recall=N"},
       TillEnd::kReversed,
       6},
  };
  std::uint32_t random = 100;
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.scenario);
    const Scenario* scenario = FindScenario(row.scenario);
    ASSERT_NE(scenario, nullptr);
    CQuillmarkOps ops = Ops(FreshCode(++random), scenario->totalFee);
    std::vector<std::chrono::milliseconds> waits;
    TillRunOptions options;
    options.pause = [&waits](std::chrono::milliseconds wait) {
      waits.push_back(wait);
      return true;
    };
    const TillRunResult run = PlayTillRun(ops, options);
    std::vector<std::string> said;
    for (const TillStepDone& step : run.steps) said.push_back(step.said);
    EXPECT_EQ(said, row.said) << out_.str();
    EXPECT_EQ(run.end, row.end);
    const long polls = std::count(waits.begin(), waits.end(), std::chrono::milliseconds(5000));
    EXPECT_EQ(polls, row.waits);

    // Once reversed, no way of paying it is left: queries say REVOKED, micropay refuses.
    if (row.end == TillEnd::kReversed) {
      EXPECT_EQ(ops.Run(kOrderQueryOperation, run.orderNo).Field(kFieldTradeState), "REVOKED");
      std::string orderNo = run.orderNo;
      EXPECT_EQ(Ops(FreshCode(++random), scenario->totalFee)
                    .Exchange(kMicropayOperation, orderNo)
                    .Field(kFieldErrCode),
                "ORDERREVERSED");
      const StepOutcome again = ops.Run(kReverseOperation, run.orderNo);
      EXPECT_EQ(VerdictOf(again), StepVerdict::kDone);
      EXPECT_EQ(again.Field(kFieldRecall), "N") << "a second reverse is answered as done";
    }
  }
}

// One request after another: each row meets what the rows before it left.
TEST_F(Till, MicropayRefusesCodesAsThePlatformDoes) {
  const std::string used = FreshCode(7);
  const struct {
    const char* name;
    std::string code;
    const char* orderNo;
    const char* errCode;  // "" for paid
  } kRows[] = {
      {"17 digits", used.substr(1), "T1", "AUTH_CODE_INVALID"},
      {"begins with 16", "16" + used.substr(2), "T1", "AUTH_CODE_INVALID"},
      {"a letter", used.substr(0, 17) + "x", "T1", "AUTH_CODE_INVALID"},
      {"made in a later minute", FreshCode(8, -300), "T1", "AUTH_CODE_INVALID"},
      {"61 s old", FreshCode(9, 61), "T1", "AUTHCODEEXPIRE"},
      {"fresh", used, "T1", ""},
      {"the same request again", used, "T1", ""},
      {"the number with another code", FreshCode(10), "T1", "OUT_TRADE_NO_USED"},
      {"the code on another number", used, "T2", "AUTHCODEEXPIRE"},
      {"50 s old", FreshCode(11, 50), "T3", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    std::string orderNo = row.orderNo;
    const StepOutcome outcome = Ops(row.code, 1).Exchange(kMicropayOperation, orderNo);
    EXPECT_EQ(outcome.Field(kFieldErrCode), row.errCode) << outcome.reply;
    EXPECT_EQ(VerdictOf(outcome) == StepVerdict::kDone, *row.errCode == '\0');
    if (std::string(row.errCode) == "AUTHCODEEXPIRE") {
      EXPECT_NE(outcome.reply.find("101 付款码已过期"), std::string::npos) << outcome.reply;
    }
  }
}

// Reverse's 7 days, counted on the sandbox's clock as a tester moves it from the console: an
// order made 6 days 23 h old is still reversed, one made 7 days and a minute old is not.
TEST_F(Till, ReverseKeepsToSevenDaysOnTheSandboxsClock) {
  const auto moveClock = [this](const std::string& offset) {
    const auto moved =
        Client(sandbox_->port())
            ->Post("/console/api/clock", "{\"offset\": \"" + offset + "\"}", "application/json");
    return moved && moved->status == 200;
  };
  const struct {
    const char* age;
    const char* errCode;  // "" for reversed
  } kRows[] = {
      {"6d23h", ""},
      {"7d1m", "REVERSE_EXPIRE"},
  };
  const long long fee = FindScenario("code-never")->totalFee;  // never paid: reverse closes it
  std::uint32_t random = 500;
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.age);
    ASSERT_TRUE(moveClock("0"));
    CQuillmarkOps ops = Ops(FreshCode(++random), fee);
    std::string orderNo = "aged-" + std::to_string(random);
    ASSERT_EQ(ops.Exchange(kMicropayOperation, orderNo).Field(kFieldErrCode), "USERPAYING");
    ASSERT_TRUE(moveClock(row.age));
    const StepOutcome reversed = ops.Run(kReverseOperation, orderNo);
    EXPECT_EQ(reversed.Field(kFieldErrCode), row.errCode) << reversed.reply;
    const std::string state = ops.Run(kOrderQueryOperation, orderNo).Field(kFieldTradeState);
    if (*row.errCode == '\0') {
      EXPECT_EQ(reversed.Field(kFieldRecall), "N");
      EXPECT_EQ(state, "REVOKED");
    } else {
      EXPECT_NE(reversed.reply.find("is older than 7 days"), std::string::npos) << reversed.reply;
      EXPECT_EQ(state, "USERPAYING") << "a refused reverse leaves the order as it was";
    }
  }
  EXPECT_TRUE(moveClock("0"));
}

}  // namespace
}  // namespace quillmark::sandbox
