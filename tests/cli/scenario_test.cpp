// quillmark-cycle --scenario against the sandbox: one row per scenario of
// protocol/scenarios.h, each with the states its summary must show and its exit status,
// as the README's table documents them, and its report agreeing with the summary step for
// step; each one failed against a platform that does not play it; and the option's
// refusal of an unknown name.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "client/client_run.h"
#include "client/quillmark_ops.h"
#include "config/merchant_settings.h"
#include "protocol/scenarios.h"
#include "sandbox/sandbox.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;

std::vector<std::string> ScenarioCommand(Sandbox& sandbox, const TempDir& work,
                                         const std::string& scenario,
                                         const std::vector<std::string>& environment,
                                         bool awaitNotify) {
  std::vector<std::string> argv =
      DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work.path(), sandbox.baseUrl());
  argv.insert(argv.end() - 1, "QUILLMARK_NOTIFY_URL=http://127.0.0.1:0/quillmark/notify");
  argv.insert(argv.end() - 1, environment.begin(), environment.end());
  argv.insert(argv.end(),
              {"--scenario", scenario, "--report", "json:" + work.path() + "/run.json"});
  if (awaitNotify) argv.insert(argv.end(), {"--await-notify", "10"});
  return argv;
}

// One scenario played by the runner against a sandbox of its own that pays at the first
// query; `environment` goes over the default merchant's settings. A platform that does
// not play it is the sandbox with `paid` armed for the next order, whatever its amount.
struct Played {
  ProgramResult result;
  std::vector<RecordedRequest> requests;  // what the sandbox took
  std::string log;                        // the sandbox's
  nlohmann::json report;                  // --report json:'s
};
Played Play(const std::string& scenario, const std::vector<std::string>& environment = {},
            bool played = true) {
  Played run;
  SharedLog log;
  Options options;
  options.port = 0;
  options.payAfterQueries = 1;
  options.log = &log;
  Sandbox sandbox(options);
  std::string error;
  if (!sandbox.Start(&error)) {
    ADD_FAILURE() << error;
    return run;
  }
  if (!played) {
    const auto armed =
        Client(sandbox.port())
            ->Post("/console/api/scenarios", R"({"scenario":"paid"})", "application/json");
    EXPECT_TRUE(armed && armed->status == 201) << (armed ? armed->body : "no reply");
  }
  TempDir work;
  run.result =
      RunProgram(ScenarioCommand(sandbox, work, scenario, environment, played), work.path());
  run.requests = sandbox.requests();
  sandbox.Stop();
  run.log = log.str();
  run.report = nlohmann::json::parse(ReadFile(work.path() + "/run.json"), nullptr, false);
  return run;
}

// The summary's line of each step, in order: those after "--- summary ---" that start
// with a step's label.
std::vector<std::string> SummaryStepLines(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream summary(out.substr(out.find("--- summary ---")));
  const char* const labels[] = {"Unified order: ", "Query ", "Refund:", "Refund query "};
  for (std::string line; std::getline(summary, line);) {
    for (const char* label : labels) {
      if (line.rfind(label, 0) == 0) lines.push_back(line);
    }
  }
  return lines;
}

// The report has the summary's steps, one case each in the same order with the same
// words, then the notification and the scenario.
void ExpectReportAgrees(const Played& played, const std::string& scenario, int exitCode) {
  const nlohmann::json& report = played.report;
  ASSERT_TRUE(report.is_object()) << "no JSON report";
  EXPECT_EQ(report["exit_status"], exitCode);
  const std::vector<std::string> lines = SummaryStepLines(played.result.out);
  const nlohmann::json& steps = report["steps"];
  ASSERT_GE(steps.size(), lines.size() + 1);
  std::size_t at = 0;
  for (const nlohmann::json& step : steps) {
    const std::string name = step["name"];
    const std::string words = step["words"];
    if (name == "notification") {
      EXPECT_NE(played.result.out.find("\n" + words + "\n"), std::string::npos) << words;
      continue;
    }
    if (name == "scenario " + scenario) {
      EXPECT_EQ(step["passed"], exitCode == 0);
      continue;
    }
    ASSERT_LT(at, lines.size()) << "a case the summary has no line for: " << name;
    const std::string& line = lines[at++];
    SCOPED_TRACE(name + " / " + line);
    // "query 3" is the line "Query 3: ...", its words after the label.
    std::string label = name.substr(0, name.find(','));
    label[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(label[0])));
    EXPECT_EQ(line.rfind(label, 0), 0u);
    EXPECT_GE(line.size(), words.size());
    EXPECT_EQ(line.substr(line.size() - std::min(line.size(), words.size())), words);
  }
  EXPECT_EQ(at, lines.size()) << "a summary line the report has no case for";
  EXPECT_EQ(steps.back()["name"], "scenario " + scenario);
}

// Each of `lines` on standard output, in this order.
void ExpectInOrder(const std::string& out, const std::vector<const char*>& lines) {
  std::size_t at = 0;
  for (const char* line : lines) {
    const std::size_t found = out.find(line, at);
    EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << line;
    if (found != std::string::npos) at = found;
  }
}

TEST(CycleScenario, ShowsEachScenariosStatesAndExitsByThem) {
  const struct {
    const char* name;
    int exitCode;
    std::vector<const char*> lines;  // in this order on standard output
  } rows[] = {
      {"paid", 0, {"Scenario:      paid (1 fen)", "Query 2:       SUCCESS", "Payment:       paid"}},
      {"declined", 4, {"Query 2:       PAYERROR", "Payment:       paying failed"}},
      {"paying",
       0,
       {"Query 2:       USERPAYING", "Query 3:       USERPAYING", "Query 4:       SUCCESS",
        "Payment:       paid"}},
      {"system-error-once",
       0,
       {"result_code FAIL, err_code SYSTEMERROR",
        "Retried:       the platform answered SYSTEMERROR",
        "Order number:  ", "Query 2:       SUCCESS"}},
      {"expired", 4, {"Query 1:       CLOSED", "Query 2:       CLOSED", "Payment:       closed"}},
      {"notify-twice", 0, {"Query 2:       SUCCESS", "\nNotification:  "}},
      {"notify-late", 0, {"Query 2:       SUCCESS", "\nNotification:  "}},
      // The verdict covers the refund's replies too, so it comes after them.
      {"refund-processing",
       0,
       {"Query 2:       SUCCESS", "Refund:        refunded", "Refund query 1: PROCESSING",
        "Refund query 2: SUCCESS", "Every signed reply verified."}},
      {"refund-fails",
       1,
       {"Query 2:       SUCCESS", "Refund:        not refunded", "err_code NOTENOUGH",
        "Every signed reply verified."}},
      {"refund-change",
       0,
       {"Query 2:       SUCCESS", "Refund:        refunded", "Refund query 1: CHANGE",
        "Every signed reply verified."}},
      {"refund-closed",
       0,
       {"Query 2:       SUCCESS", "Refund:        refunded", "Refund query 1: REFUNDCLOSE",
        "Every signed reply verified."}},
      {"coupon",
       0,
       {"<cash_fee><![CDATA[3030]]></cash_fee>", "<coupon_fee_0><![CDATA[1000]]></coupon_fee_0>",
        "Query 2:       SUCCESS", "Payment:       paid", "\nNotification:  "}},
  };
  const auto cycles =
      std::count_if(std::begin(kScenarios), std::end(kScenarios),
                    [](const Scenario& s) { return !(s.clientDoes & kTillPayment); });
  ASSERT_EQ(static_cast<long>(std::size(rows)), cycles)
      << "one row per scenario the cycle plays (the till's are till_test.cpp's)";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Played played = Play(row.name);
    SCOPED_TRACE(played.result.out + "\nstderr:\n" + played.result.err + "\nsandbox log:\n" +
                 played.log);
    EXPECT_EQ(played.result.exitCode, row.exitCode);
    ExpectInOrder(played.result.out, row.lines);
    EXPECT_EQ(played.result.out.find("did not play"), std::string::npos);
    ExpectReportAgrees(played, row.name, row.exitCode);
  }
}

// Against a platform that ignores the scenario and just pays, a step whose reply is not
// the scenario's fails the run: in the summary, the exit status and the report, each naming
// what was said instead.
TEST(CycleScenario, FailsWhereThePlatformDidNotPlayIt) {
  const struct {
    const char* name;
    const char* step;  // the report's case that fails
    const char* said;  // what the summary says of it
  } rows[] = {
      {"declined", "query 2", "query 2 said SUCCESS, where its queries say NOTPAY, PAYERROR"},
      {"paying", "query 2", "query 2 said SUCCESS with no query saying USERPAYING before it"},
      {"expired", "query 1", "query 1 said NOTPAY, where its queries say CLOSED"},
      {"system-error-once", "unified order",
       "the first unified order was answered SUCCESS, not err_code SYSTEMERROR"},
      {"refund-processing", "refund query 1", "refund query 1 said SUCCESS, not PROCESSING"},
      {"refund-fails", "refund", "the refund was answered as done, not err_code NOTENOUGH"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Played played = Play(row.name, {}, false);
    SCOPED_TRACE(played.result.out + "\nstderr:\n" + played.result.err + "\nsandbox log:\n" +
                 played.log);
    EXPECT_EQ(played.result.exitCode, 1);
    const std::string words =
        std::string("the platform did not play scenario ") + row.name + ": " + row.said;
    EXPECT_NE(played.result.out.find("\n  " + words + "\n"), std::string::npos);
    ASSERT_TRUE(played.report.is_object());
    EXPECT_EQ(played.report["exit_status"], 1);
    bool named = false;
    for (const nlohmann::json& step : played.report["steps"]) {
      const std::string name = step["name"];
      const std::string stepWords = step["words"];
      const bool notPlayed =
          stepWords.find(std::string("the platform did not play scenario ") + row.name) == 0;
      EXPECT_EQ(step["passed"], !notPlayed && name != std::string("scenario ") + row.name) << name;
      if (name == row.step) {
        EXPECT_EQ(stepWords.find(words), 0u) << stepWords;
        named = true;
      }
    }
    EXPECT_TRUE(named) << "no case " << row.step;
  }
}

// The scenarios that sign the most (a SYSTEMERROR's signed refusal and its retry, a refund
// and its queries, a notification sent twice) play the same under sign_type HMAC-SHA256,
// given here by its variable: every request the sandbox took named the type.
TEST(CycleScenario, PlayTheSameUnderHmacSha256) {
  const struct {
    const char* name;
    std::vector<const char*> lines;
  } rows[] = {
      {"system-error-once",
       {"Retried:       the platform answered SYSTEMERROR", "Query 2:       SUCCESS",
        "Every signed reply verified."}},
      {"refund-processing",
       {"Refund:        refunded", "Refund query 2: SUCCESS", "Every signed reply verified."}},
      {"notify-twice", {"Every signed reply verified.", "\nNotification:  "}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Played played = Play(row.name, {"QUILLMARK_SIGN_TYPE=HMAC-SHA256"});
    SCOPED_TRACE(played.result.out + "\nstderr:\n" + played.result.err + "\nsandbox log:\n" +
                 played.log);
    EXPECT_EQ(played.result.exitCode, 0);
    ExpectInOrder(played.result.out, row.lines);
    EXPECT_GE(played.requests.size(), 3u);
    for (const RecordedRequest& request : played.requests) {
      EXPECT_EQ(request.fields.count("sign_type") == 1 ? request.fields.at("sign_type") : "",
                "HMAC-SHA256")
          << request.path;
    }
    EXPECT_NE(played.log.find("(sign_type HMAC-SHA256)"), std::string::npos);
  }
}

// The engine itself, its time pinned: a payer still paying is polled a second apart, a few
// times at most, and an abort during the wait ends the run there, nothing sent after it.
TEST(ClientRun, PollsAPayerStillPayingAndAnAbortDuringTheWaitEndsIt) {
  const struct {
    const char* name;
    int morePolls;
    bool aborted;  // the second wait is aborted
    std::vector<const char*> states;
    std::size_t waits;
  } rows[] = {
      {"polled to the end", 4, false, {"NOTPAY", "USERPAYING", "USERPAYING", "SUCCESS"}, 2},
      {"bounded", 1, false, {"NOTPAY", "USERPAYING", "USERPAYING"}, 1},
      {"aborted in the wait", 4, true, {"NOTPAY", "USERPAYING", "USERPAYING"}, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SharedLog log;
    Options options;
    options.port = 0;
    options.payAfterQueries = 1;
    options.notify = false;
    options.log = &log;
    Sandbox sandbox(options);
    std::string error;
    ASSERT_TRUE(sandbox.Start(&error)) << error;
    TempDir work;
    MerchantSettings merchant = MerchantSettings::Defaults();
    merchant.apiBase = sandbox.baseUrl();
    merchant.qrPath = work.path() + "/1.BMP";
    CQuillmarkOps::Settings settings = CQuillmarkOps::Settings::FromMerchant(merchant);
    std::ostringstream out;
    settings.out = &out;
    CQuillmarkOps ops(settings);
    std::vector<std::chrono::milliseconds> waits;
    ClientRunOptions run;
    run.scenario = FindScenario("paying");
    run.morePolls = row.morePolls;
    run.pause = [&](std::chrono::milliseconds wait) {
      waits.push_back(wait);
      return !(row.aborted && waits.size() == 2);
    };
    const ClientRunResult result = PlayClientRun(ops, run);
    const std::vector<std::string> states = result.cycle.TradeStates();
    EXPECT_EQ(states, std::vector<std::string>(row.states.begin(), row.states.end()));
    EXPECT_EQ(waits, std::vector<std::chrono::milliseconds>(row.waits, std::chrono::seconds(1)));
    EXPECT_EQ(result.cycle.aborted, row.aborted);
    EXPECT_EQ(sandbox.requests().size(), 1 + row.states.size()) << "nothing sent after an abort";
    EXPECT_FALSE(result.Contradicted());
    ASSERT_EQ(result.steps.size(), 1 + row.states.size());
    EXPECT_EQ(result.steps.back().number, static_cast<int>(row.states.size()));
  }
}

// An unknown name is refused before anything is sent, with every known one listed.
TEST(CycleScenario, AnUnknownNameIsABadOptionListingTheKnownOnes) {
  TempDir work;
  std::vector<std::string> argv =
      DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work.path(), "https://127.0.0.1:9");
  argv.insert(argv.end(), {"--scenario", "no-such-scenario"});
  const ProgramResult result = RunProgram(argv, work.path());
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.find("no-such-scenario"), std::string::npos) << "the word is not echoed";
  for (const Scenario& scenario : kScenarios) {
    EXPECT_NE(result.err.find(std::string("  ") + scenario.name + " (" +
                              std::to_string(scenario.totalFee) + " fen)"),
              std::string::npos)
        << scenario.name;
  }
}

// A known one names itself where the summary's header lines are, whatever the sandbox plays.
TEST(CycleScenario, NamesTheScenarioInTheSummary) {
  SharedLog log;
  Options options;
  options.port = 0;
  options.log = &log;
  Sandbox sandbox(options);
  std::string error;
  ASSERT_TRUE(sandbox.Start(&error)) << error;
  TempDir work;
  std::vector<std::string> argv =
      DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work.path(), sandbox.baseUrl());
  argv.insert(argv.end(), {"--scenario", "notify-twice"});
  const ProgramResult result = RunProgram(argv, work.path());
  sandbox.Stop();
  SCOPED_TRACE(result.out);
  EXPECT_NE(result.out.find("\nScenario:      notify-twice (4005 fen): "), std::string::npos);
}

}  // namespace
}  // namespace quillmark::sandbox
