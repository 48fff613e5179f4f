// quillmark-cycle --scenario against the sandbox: one row per scenario of
// payment/scenarios.h, each with the states its summary must show and its exit status,
// as the README's table documents them; and the option's refusal of an unknown name.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "payment/scenarios.h"
#include "sandbox/sandbox.h"
#include "sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;

std::vector<std::string> ScenarioCommand(Sandbox& sandbox, const TempDir& work,
                                         const std::string& scenario,
                                         const std::vector<std::string>& environment = {}) {
  std::vector<std::string> argv =
      DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work.path(), sandbox.baseUrl());
  argv.insert(argv.end() - 1, "QUILLMARK_NOTIFY_URL=http://127.0.0.1:0/quillmark/notify");
  argv.insert(argv.end() - 1, environment.begin(), environment.end());
  argv.insert(argv.end(), {"--scenario", scenario, "--await-notify", "10"});
  return argv;
}

// One scenario played by the runner against a sandbox of its own that pays at the first
// query; `environment` goes over the default merchant's settings.
struct Played {
  ProgramResult result;
  std::vector<RecordedRequest> requests;  // what the sandbox took
  std::string log;                        // the sandbox's
};
Played Play(const std::string& scenario, const std::vector<std::string>& environment = {}) {
  Played played;
  std::ostringstream log;
  Options options;
  options.port = 0;
  options.payAfterQueries = 1;
  options.log = &log;
  Sandbox sandbox(options);
  std::string error;
  if (!sandbox.Start(&error)) {
    ADD_FAILURE() << error;
    return played;
  }
  TempDir work;
  played.result = RunProgram(ScenarioCommand(sandbox, work, scenario, environment), work.path());
  played.requests = sandbox.requests();
  sandbox.Stop();
  played.log = log.str();
  return played;
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
      {"paying", 0, {"Query 2:       USERPAYING", "Query 3:       USERPAYING",
                     "Query 4:       SUCCESS", "Payment:       paid"}},
      {"system-error-once", 0, {"result_code FAIL, err_code SYSTEMERROR",
                                "Retried:       the platform answered SYSTEMERROR",
                                "Order number:  ", "Query 2:       SUCCESS"}},
      {"expired", 4, {"Query 1:       CLOSED", "Query 2:       CLOSED", "Payment:       closed"}},
      {"notify-twice", 0, {"Query 2:       SUCCESS", "\nNotification:  "}},
      {"notify-late", 0, {"Query 2:       SUCCESS", "\nNotification:  "}},
      // The verdict covers the refund's replies too, so it comes after them.
      {"refund-processing", 0, {"Query 2:       SUCCESS", "Refund:        refunded",
                                "Refund query 1: PROCESSING", "Refund query 2: SUCCESS",
                                "Every signed reply verified."}},
      {"refund-fails", 1, {"Query 2:       SUCCESS", "Refund:        not refunded",
                           "err_code NOTENOUGH", "Every signed reply verified."}},
  };
  ASSERT_EQ(std::size(rows), std::size(kScenarios)) << "one row per scenario";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Played played = Play(row.name);
    SCOPED_TRACE(played.result.out + "\nstderr:\n" + played.result.err + "\nsandbox log:\n" +
                 played.log);
    EXPECT_EQ(played.result.exitCode, row.exitCode);
    ExpectInOrder(played.result.out, row.lines);
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
      {"system-error-once", {"Retried:       the platform answered SYSTEMERROR",
                             "Query 2:       SUCCESS", "Every signed reply verified."}},
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
  std::ostringstream log;
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
