// quillmark-cycle closing the loop: --await-notify against the sandbox as it notifies,
// forges and keeps still, and sign and verify against documents worked out outside the
// project.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox/sandbox.h"
#include "tests/support/known_answers.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;

// quillmark-cycle against `sandbox`, its listener on a free port (filled into the
// notify_url the requests carry), waiting `seconds` for the order's notification.
std::vector<std::string> AwaitNotifyCommand(Sandbox& sandbox, const TempDir& work,
                                            const char* seconds) {
  std::vector<std::string> argv =
      DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work.path(), sandbox.baseUrl());
  argv.insert(argv.end() - 1, "QUILLMARK_NOTIFY_URL=http://127.0.0.1:0/quillmark/notify");
  argv.insert(argv.end(), {"--await-notify", seconds});
  return argv;
}

TEST(AwaitNotify, ExitsByWhatTheOrdersNotificationWas) {
  const struct {
    const char* what;
    Fault fault;
    bool notify;
    int exitCode;
    const char* line;  // the summary's last line
    // The settings file's sign_type; null: none, so MD5. Every reply, the notification and
    // every request the sandbox took must then be of that type.
    const char* signType = nullptr;
  } rows[] = {
      {"notified", Fault::kNone, true, 0,
       "The order's payment notification verified and was acknowledged.\n"},
      {"amount changed after signing", Fault::kBadNotifySign, true, 3,
       "A notification of the order failed verification: it was changed on the way or forged,"
       " and must not be acted on.\n"},
      {"notifications off", Fault::kNone, false, 4, " within 1 s.\n"},
      {"notified, HMAC-SHA256", Fault::kNone, true, 0,
       "The order's payment notification verified and was acknowledged.\n", "HMAC-SHA256"},
      {"amount changed after signing, HMAC-SHA256", Fault::kBadNotifySign, true, 3,
       "A notification of the order failed verification: it was changed on the way or forged,"
       " and must not be acted on.\n",
       "HMAC-SHA256"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    SharedLog log;
    Options options;
    options.port = 0;
    options.payAfterQueries = 1;
    options.fault = row.fault;
    options.notify = row.notify;
    options.log = &log;
    Sandbox sandbox(options);
    std::string error;
    ASSERT_TRUE(sandbox.Start(&error)) << error;
    TempDir work;
    if (row.signType != nullptr) {
      std::filesystem::create_directories(work.path() + "/quillmark");
      std::ofstream(work.path() + "/quillmark/quillmark.ini")
          << "[merchant]\nsign_type = " << row.signType << "\n";
    }
    const ProgramResult result = RunProgram(AwaitNotifyCommand(sandbox, work, "1"), work.path());
    // Its notifier may still be writing the line of the attempt the runner answered.
    sandbox.Stop();
    for (const RecordedRequest& request : sandbox.requests()) {
      const auto type = request.fields.find("sign_type");
      EXPECT_EQ(type == request.fields.end() ? "" : type->second,
                row.signType != nullptr ? row.signType : "")
          << request.path;
      EXPECT_EQ(request.fields.at("sign").size(), row.signType != nullptr ? 64u : 32u);
    }
    if (row.signType != nullptr && row.exitCode == 0) {
      EXPECT_NE(result.out.find("Every signed reply verified.\n"), std::string::npos);
    }
    SCOPED_TRACE(result.out + "\nsandbox log:\n" + log.str());
    EXPECT_EQ(result.exitCode, row.exitCode);
    const std::string& out = result.out;
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), std::string(row.line).size())),
              row.line);
    // The notification came to the listener, whatever became of it.
    EXPECT_EQ(out.find("\nNotification:  ") != std::string::npos, row.notify);
  }
}

// Paid after the cycle's queries, while the runner waits: whenever it calls the notification
// acknowledged, the sandbox got the acknowledgement. A runner that ends as soon as the
// notification verified cuts its answer off now and then.
TEST(AwaitNotify, AcknowledgedOnlyOnceTheSandboxGotTheAnswer) {
  constexpr int kRuns = 20;
  int acknowledged = 0;
  for (int run = 0; run < kRuns; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    SharedLog log;
    Options options;
    options.port = 0;
    options.payAfterQueries = 0;
    options.log = &log;
    Sandbox sandbox(options);
    std::string error;
    ASSERT_TRUE(sandbox.Start(&error)) << error;
    TempDir work;
    ChildProcess cycle(AwaitNotifyCommand(sandbox, work, "8"), work.path(), work.path());
    ASSERT_TRUE(cycle.started());
    // Printed once the queries are done, before the wait for the notification.
    ASSERT_TRUE(cycle.WaitForOutput("Every signed reply verified.\n", std::chrono::seconds(60)));
    std::string orderNo;
    for (const RecordedRequest& request : sandbox.requests()) {
      if (request.path == "/pay/unifiedorder") orderNo = request.fields.at("out_trade_no");
    }
    ASSERT_FALSE(orderNo.empty());
    const auto paid =
        Client(sandbox.port())
            ->Post("/pay/qr/" + orderNo + "/pay", "", "application/x-www-form-urlencoded");
    ASSERT_TRUE(paid);
    const ProgramResult result = cycle.Wait();
    sandbox.Stop();
    SCOPED_TRACE(result.out + "\nsandbox log:\n" + log.str());
    const bool runnerSays =
        result.out.find("  (signature verified, acknowledged)\n") != std::string::npos;
    const bool sandboxGot =
        log.str().find(" NOTIFY order " + orderNo + " attempt 1/8 to ") != std::string::npos &&
        log.str().find(": HTTP 200, acknowledged\n") != std::string::npos;
    EXPECT_TRUE(!runnerSays || sandboxGot);
    EXPECT_EQ(result.exitCode, runnerSays ? 0 : 4);
    acknowledged += runnerSays && sandboxGot ? 1 : 0;
  }
  EXPECT_EQ(acknowledged, kRuns);
}

// The calculator against the known answers: the client's unified order (its sign over the
// UTF-8 sign string), the sandbox's notification, and the notification changed after it
// was signed.
TEST(SignAndVerify, AgreeWithTheKnownAnswers) {
  if (!known::IsDefaultMerchant()) GTEST_SKIP() << "known answers are for the default merchant";
  std::string masked = known::kNotificationSignString;
  masked.replace(masked.find("QuillmarkSandboxKey2026x0123abcd"), 32, "********");
  std::string forged = known::kNotificationDocument;
  forged.replace(forged.find("<total_fee><![CDATA[1]]>"), 24, "<total_fee><![CDATA[9]]>");
  const struct {
    const char* command;
    std::string document;
    int exitCode;
    std::string line;
  } rows[] = {
      {"sign", known::kUnifiedOrderDocument, 0,
       std::string("\nSign:          ") + known::kUnifiedOrderSign + "  ("},
      {"sign", known::kNotificationDocument, 0,
       "Sign string:   " + masked + "\nSign:          " + known::kNotificationSign},
      {"verify", known::kNotificationDocument, 0,
       std::string("Verdict:       verified  (") + known::kNotificationSign + ")\n"},
      {"verify", forged, 3,
       std::string("Verdict:       mismatch: its sign ") + known::kNotificationSign},
      {"verify", "<html>", 3, "Verdict:       unreadable: malformed XML"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.command) + " " + row.document.substr(0, 40));
    TempDir work;
    const std::string file = work.path() + "/document.xml";
    std::ofstream(file, std::ios::binary) << row.document;
    std::vector<std::string> argv =
        DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work.path(), "https://127.0.0.1:1");
    argv.insert(argv.end(), {row.command, file});
    const ProgramResult result = RunProgram(argv, work.path());
    EXPECT_EQ(result.exitCode, row.exitCode) << result.out << result.err;
    EXPECT_NE(result.out.find(row.line), std::string::npos) << result.out;
  }
}

// The calculator's type: the document's sign_type (a request's), or --sign-type (a reply's
// or a notification's, which name none), against the HMAC-SHA256 known answers.
TEST(SignAndVerify, TakeTheTypeFromTheDocumentOrTheOption) {
  std::string hmacNotification = known::kNotificationDocument;
  hmacNotification.replace(hmacNotification.find(known::kNotificationSign), 32,
                           known::kHmacNotificationSign);
  std::string unknownType = known::kHmacOrderQueryDocument;
  unknownType.replace(unknownType.find("HMAC-SHA256"), 11, "SHA1");
  const struct {
    std::vector<std::string> command;
    std::string document;
    int exitCode;
    std::string line;
  } rows[] = {
      {{"sign"},
       known::kHmacOrderQueryDocument,
       0,
       std::string("\nSign:          ") + known::kHmacOrderQuerySign +
           "  (upper-case HMAC-SHA256 (keyed by the merchant key) of"},
      {{"sign", "--sign-type", "MD5"},
       known::kHmacOrderQueryDocument,
       0,
       std::string("\nSign:          ") + known::kHmacOrderQueryMd5Sign + "  (upper-case MD5 of"},
      {{"verify", "--sign-type", "HMAC-SHA256"},
       known::kHmacQueryReply,
       0,
       "Verdict:       verified  (A874AECA541919345633BA0FFE9241DB7E6B"
       "7881017D3CEA461F228C9A991882)"},
      {{"verify"}, known::kHmacQueryReply, 3, "Verdict:       mismatch: its sign A874AECA"},
      {{"verify", "--sign-type", "HMAC-SHA256"},
       hmacNotification,
       0,
       std::string("Verdict:       verified  (") + known::kHmacNotificationSign + ")\n"},
      {{"verify", "--sign-type", "HMAC-SHA256"},
       known::kNotificationDocument,
       3,
       "the upper-case HMAC-SHA256 (keyed by the merchant key) of the UTF-8 bytes of"},
      {{"sign"}, unknownType, 2, "the document's sign_type SHA1 is not a sign type"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command.back() + " " + row.document.substr(0, 40));
    TempDir work;
    const std::string file = work.path() + "/document.xml";
    std::ofstream(file, std::ios::binary) << row.document;
    std::vector<std::string> argv =
        DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work.path(), "https://127.0.0.1:1");
    argv.insert(argv.end(), row.command.begin(), row.command.end());
    argv.push_back(file);
    const ProgramResult result = RunProgram(argv, work.path());
    EXPECT_EQ(result.exitCode, row.exitCode) << result.out << result.err;
    EXPECT_NE(result.out.find(row.line), std::string::npos) << result.out;
  }
}

// A document on standard input is read no further than its bound: one larger is refused as
// soon as the bound is passed, while its writer still has more to give and has not closed.
TEST(SignAndVerify, RefuseALargeDocumentOnStandardInputAtTheBound) {
  TempDir work;
  const std::string file = work.path() + "/document.xml";
  std::ofstream(file, std::ios::binary) << known::kNotificationDocument;
  const std::string oversized = "head -c 3000000 /dev/zero; sleep 5";
  const struct {
    const char* command;
    std::string input;  // a shell command whose output is the program's standard input
    int exitCode;
    const char* line;
  } rows[] = {
      {"verify", oversized, 2, "the document is larger than 1048576 bytes"},
      {"sign", oversized, 2, "the document is larger than 1048576 bytes"},
      {"verify", "head -c 1048577 /dev/zero", 2, "the document is larger than 1048576 bytes"},
      {"verify", "cat '" + file + "'", known::IsDefaultMerchant() ? 0 : 3, "Verdict:       "},
      {"sign", "cat '" + file + "'", 0, "Sign string:   "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.command) + " < " + row.input);
    std::vector<std::string> argv = {"/bin/bash", "-c", "exec \"$@\" < <(" + row.input + ")",
                                     "bash"};
    for (const std::string& word :
         DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work.path(), "https://127.0.0.1:1")) {
      argv.push_back(word);
    }
    argv.insert(argv.end(), {row.command, "-"});
    const auto start = std::chrono::steady_clock::now();
    const ProgramResult result = RunProgram(argv, work.path());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.exitCode, row.exitCode) << result.out << result.err;
    EXPECT_NE((result.out + result.err).find(row.line), std::string::npos)
        << result.out << result.err;
    // The oversized input's writer holds its end open for 5 s.
    EXPECT_LT(took, std::chrono::seconds(3));
  }
}

}  // namespace
}  // namespace quillmark::sandbox
