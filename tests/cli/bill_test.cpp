// quillmark-cycle bill against the sandbox: a bill written whole, plain or gzip, with its
// summary said; a day without one said as refused, and nothing written.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox/sandbox.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;

std::string PlatformDay(std::time_t seconds) {
  seconds += 8 * 3600;
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d", &parts);
  return text;
}

TEST(CycleBill, WritesTheBillWholeAndSaysItsSummaryOrItsRefusal) {
  Options options;
  options.port = 0;
  options.payAfterQueries = 1;
  options.billReadyNow = true;
  SharedLog log;
  options.log = &log;
  Sandbox sandbox(options);
  std::string error;
  ASSERT_TRUE(sandbox.Start(&error)) << error;
  TempDir work;
  const auto command = [&](std::vector<std::string> words) {
    std::vector<std::string> argv =
        DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work.path(), sandbox.baseUrl());
    argv.insert(argv.end(), words.begin(), words.end());
    return RunProgram(argv, work.path());
  };
  ASSERT_EQ(command({"--scenario", "coupon"}).exitCode, 0) << log.str();
  const std::string today = PlatformDay(std::time(nullptr));
  const struct {
    std::vector<std::string> words;
    int exitCode;
    const char* said;
    const char* file;  // written, or null
  } rows[] = {
      {{"bill", "--date", today, "--out", "day.csv"}, 0, "  order total: 40.30\n", "day.csv"},
      {{"bill", "--date", today, "--gzip", "--out", "day.csv.gz"},
       0,
       "  settlement total: 30.30\n",
       "day.csv.gz"},
      {{"bill", "--date", today, "--type", "REFUND", "--out", "none.csv"},
       1,
       "refused: FAIL \"No Bill Exist\", error_code 20002",
       nullptr},
      {{"bill", "--date", "2026-1-1"}, 2, "", nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.words.back());
    const ProgramResult result = command(row.words);
    EXPECT_EQ(result.exitCode, row.exitCode) << result.out << result.err;
    EXPECT_NE(result.out.find(row.said), std::string::npos) << result.out;
    if (row.file != nullptr) {
      const std::string bill = ReadFile(work.path() + "/" + row.file);
      EXPECT_GT(bill.size(), 100u);
      EXPECT_EQ(bill.substr(0, 2) == "\x1f\x8b", row.words[3] == "--gzip") << "gzip as asked";
    }
  }
  EXPECT_FALSE(std::filesystem::exists(work.path() + "/none.csv"));
  sandbox.Stop();
}

}  // namespace
}  // namespace quillmark::sandbox
