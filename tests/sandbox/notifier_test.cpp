// The sandbox's payment notifications: the document against a known answer, then the
// sender against real listeners on loopback (acknowledged, refused in every way, stopped).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "protocol/flat_document.h"
#include "protocol/notification.h"
#include "sandbox/notify/notifier.h"
#include "sandbox/sandbox.h"
#include "tests/support/free_port.h"
#include "tests/support/known_answers.h"
#include "tests/support/local_https_server.h"
#include "tests/support/merchant_server.h"

namespace quillmark::sandbox {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

using known::SandboxMerchant;
using quillmark::testsupport::MerchantAnswer;
using quillmark::testsupport::MerchantServer;
using quillmark::testsupport::Silence;
const MerchantSettings kMerchant = SandboxMerchant();

constexpr char kFail[] =
    "<xml><return_code><![CDATA[FAIL]]></return_code><return_msg><![CDATA[busy]]></return_msg>"
    "</xml>";
constexpr char kSuccess[] =
    "<xml><return_code>SUCCESS</return_code><return_msg>OK</return_msg></xml>";

PaidOrder Order(const std::string& url) {
  return {url, known::kOrderNo, known::kNotifyTransactionId, "NATIVE", 1, known::kNotifyTimeEnd};
}

bool Eventually(const std::function<bool()>& condition, milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// What the notifier logs, kept for the test.
class LogLines {
 public:
  std::function<void(const std::string&)> Sink() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    };
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  bool WaitForLines(std::size_t count, milliseconds limit = 10s) const {
    return Eventually([&] { return lines().size() >= count; }, limit);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A loopback URL where nothing listens: a port that was free a moment ago.
std::string RefusingUrl() {
  return "http://127.0.0.1:" + std::to_string(testsupport::FreePort()) + "/notify";
}

NotifierOptions Options(LogLines& log, std::vector<milliseconds> delays) {
  NotifierOptions options;
  options.merchant = kMerchant;
  options.delays = std::move(delays);
  options.log = log.Sink();
  return options;
}

// Every field the platform's notification carries, a coupon's too, signed over all of them:
// the documents are known answers built outside the project, and a merchant's own check
// (the client's) takes them.
TEST(Notifier, DocumentsMatchTheKnownAnswers) {
  PaidOrder couponed = Order("http://unused");
  couponed.totalFee = 4030;
  couponed.couponFee = 1000;
  couponed.couponId = "7700000000000000042";
  couponed.couponType = "NO_CASH";
  const struct {
    const char* name;
    PaidOrder order;
    const char* document;
    const char* signString;
    const char* sign;
  } rows[] = {
      {"plain", Order("http://unused"), known::kNotificationDocument,
       known::kNotificationSignString, known::kNotificationSign},
      {"coupon", couponed, known::kCouponNotificationDocument, known::kCouponNotificationSignString,
       known::kCouponNotificationSign},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string document = NotificationDocument(row.order, kMerchant, known::kNonce);
    EXPECT_EQ(document, row.document);
    Fields fields;
    std::string error;
    ASSERT_TRUE(ReadFlatDocument(document, fields, error)) << error;
    fields.erase("sign");
    EXPECT_EQ(SignStringOf(fields, kMerchant.apiKey), row.signString);
    EXPECT_EQ(SignOf(fields, kMerchant.apiKey), row.sign);
    NotificationContext context;
    context.merchant = kMerchant.Account();
    const NotificationCheck check = CheckNotification(row.document, context);
    EXPECT_EQ(check.verdict, NotificationCheck::Verdict::kAccepted) << check.reason;
  }
}

TEST(Notifier, HttpsIsVerifiedAgainstTheGivenCa) {
  testsupport::LocalHttpsServer trusted("server");
  testsupport::LocalHttpsServer untrusted("untrusted");
  trusted.Reply("/notify", kSuccess);
  untrusted.Reply("/notify", kSuccess);
  trusted.Start();
  untrusted.Start();
  ASSERT_TRUE(trusted.ok() && untrusted.ok());

  LogLines log;
  NotifierOptions options = Options(log, {});
  options.caFile = testsupport::CertPath("ca.pem");
  Notifier notifier(std::move(options));
  notifier.Notify(Order(trusted.Url("/notify")));
  ASSERT_TRUE(log.WaitForLines(1));
  notifier.Notify(Order(untrusted.Url("/notify")));
  ASSERT_TRUE(log.WaitForLines(2));
  notifier.Stop();

  const auto lines = log.lines();
  EXPECT_TRUE(Has(lines[0], "attempt 1/1") && Has(lines[0], "HTTP 200, acknowledged")) << lines[0];
  EXPECT_TRUE(Has(lines[1], "error: ") && Has(lines[1], "not acknowledged; giving up")) << lines[1];
  ASSERT_EQ(trusted.requests().size(), 1u);
  EXPECT_EQ(trusted.requests()[0].contentType, "text/xml");
  EXPECT_TRUE(untrusted.requests().empty());
}

TEST(Notifier, GivesUpAfterTheLastDelayWithoutAnAcknowledgement) {
  struct Case {
    const char* name;
    std::vector<MerchantAnswer> answers;  // empty: nothing listens
    const char* said;                     // in every line
  };
  const std::vector<Case> cases = {
      {"HTTP 500", {{500, kSuccess}}, "HTTP 500, not acknowledged;"},
      {"not XML", {{200, "SUCCESS"}}, "HTTP 200, not acknowledged (the reply is not a flat XML"},
      {"return_code FAIL", {{200, kFail}}, "HTTP 200, not acknowledged (return_code \"FAIL\")"},
      {"no answer", {Silence()}, "error: Timeout was reached"},
      {"connection refused", {}, "error: Couldn't connect to server"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<MerchantServer> listener;
    if (!c.answers.empty()) listener = std::make_unique<MerchantServer>(c.answers);
    LogLines log;
    NotifierOptions options = Options(log, {20ms, 30ms});
    // Short for the listener that never answers only: a loaded machine must not turn the
    // other rows into timeouts.
    const bool hangs = c.answers.size() == 1 && c.answers[0].hold > 0ms;
    options.attemptTimeout = hangs ? 300ms : 5000ms;
    Notifier notifier(std::move(options));
    notifier.Notify(Order(listener ? listener->url() : RefusingUrl()));
    ASSERT_TRUE(log.WaitForLines(3));
    std::this_thread::sleep_for(100ms);  // time enough for a fourth attempt, were there one
    notifier.Stop();

    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_TRUE(Has(lines[i], "attempt " + std::to_string(i + 1) + "/3")) << lines[i];
      EXPECT_TRUE(Has(lines[i], c.said)) << lines[i];
    }
    EXPECT_TRUE(Has(lines[0], "; retry in 0.02 s")) << lines[0];
    EXPECT_TRUE(Has(lines[1], "; retry in 0.03 s")) << lines[1];
    const std::string end = "; giving up";
    EXPECT_EQ(lines[2].substr(lines[2].size() - std::min(lines[2].size(), end.size())), end);
    if (listener) {
      EXPECT_EQ(listener->requests().size(), 3u);
    }
  }
}

// Each attempt is reported as the state file keeps it: the sandbox writes the entry as it
// comes, so a wrong number or due time here is a wrong resumption after a restart.
TEST(Notifier, ReportsEachAttemptAsTheStateFileKeepsIt) {
  MerchantServer listener(std::vector<MerchantAnswer>{{500, kFail}, {200, kSuccess}});
  LogLines log;
  NotifierOptions options = Options(log, {50ms});
  std::mutex mutex;
  std::vector<AttemptEntry> attempts;
  options.report = [&](const AttemptEntry& attempt) {
    std::lock_guard<std::mutex> lock(mutex);
    attempts.push_back(attempt);
  };
  const auto nowMs = [] {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  };
  const std::int64_t before = nowMs();
  Notifier notifier(std::move(options));
  notifier.Notify(Order(listener.url()));
  const auto reported = [&](std::size_t count) {
    return Eventually([&] {
      std::lock_guard<std::mutex> lock(mutex);
      return attempts.size() >= count;
    });
  };
  ASSERT_TRUE(reported(2));
  notifier.Resend(Order("ftp://merchant.test/notify"));
  ASSERT_TRUE(reported(3));
  notifier.Stop();
  const std::int64_t after = nowMs();

  struct Expected {
    std::size_t number;
    int httpStatus;
    const char* answer;
    const char* error;
    bool acknowledged;
    std::size_t nextAttempt;
    std::int64_t nextIn;  // after the attempt's end, in ms; -1: none due
  };
  const Expected expected[] = {
      {1, 500, kFail, "", false, 2, 50},
      {2, 200, kSuccess, "", true, 0, -1},
      {0, 0, "", "not an http or https URL", false, 0, -1},
  };
  ASSERT_EQ(attempts.size(), std::size(expected));
  for (std::size_t i = 0; i < attempts.size(); ++i) {
    SCOPED_TRACE("attempt record " + std::to_string(i));
    const AttemptEntry& got = attempts[i];
    const Expected& want = expected[i];
    EXPECT_EQ(got.orderNo, known::kOrderNo);
    EXPECT_EQ(got.url, i < 2 ? listener.url() : "ftp://merchant.test/notify");
    EXPECT_EQ(got.number, want.number);
    EXPECT_EQ(got.httpStatus, want.httpStatus);
    EXPECT_EQ(got.answer, want.answer);
    EXPECT_EQ(got.answerBytes, std::string(want.answer).size());
    EXPECT_EQ(got.error, want.error);
    EXPECT_EQ(got.acknowledged, want.acknowledged);
    EXPECT_EQ(got.nextAttempt, want.nextAttempt);
    EXPECT_GE(got.at, before);
    EXPECT_LE(got.at + got.durationMs, after);
    if (want.nextIn < 0) {
      EXPECT_EQ(got.nextDueAt, 0);
    } else {
      EXPECT_GE(got.nextDueAt, got.at + got.durationMs + want.nextIn);
      EXPECT_LE(got.nextDueAt, after + want.nextIn);
    }
  }
}

TEST(Notifier, OrdersDoNotWaitForEachOtherAndStopIsPrompt) {
  MerchantServer hanging(std::vector<MerchantAnswer>{Silence()});
  MerchantServer failing(std::vector<MerchantAnswer>{{200, kFail}});
  LogLines log;
  Notifier notifier(Options(log, {10s, 10s}));  // attempts time out after the default 5 s

  // More orders than there once were senders (four) hang at a slow target until their
  // attempts time out; another order's attempt still goes out at once, and leaves a retry
  // pending.
  constexpr std::size_t kHanging = 6;
  for (std::size_t i = 0; i < kHanging; ++i) notifier.Notify(Order(hanging.url()));
  ASSERT_TRUE(Eventually([&] { return hanging.requests().size() == kHanging; }, 2s));
  PaidOrder other = Order(failing.url());
  other.outTradeNo = "other-order";
  notifier.Notify(other);
  ASSERT_TRUE(log.WaitForLines(1, 2s));
  EXPECT_TRUE(Has(log.lines()[0], "other-order attempt 1/3")) << log.lines()[0];
  EXPECT_TRUE(Has(log.lines()[0], "retry in 10 s")) << log.lines()[0];

  const auto start = std::chrono::steady_clock::now();
  notifier.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  notifier.Stop();                        // idempotent
  notifier.Notify(Order(failing.url()));  // ignored once stopped

  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1 + kHanging);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_TRUE(Has(lines[i], "attempt 1/3") && Has(lines[i], "error: aborted") &&
                Has(lines[i], "stopped, no retry"))
        << lines[i];
  }
  EXPECT_EQ(failing.requests().size(), 1u);
}

TEST(Notifier, ParsesDelayLists) {
  std::vector<milliseconds> delays;
  std::string error;
  ASSERT_TRUE(ParseNotifyDelays("15,30,60,300,900,1800,3600", delays, error)) << error;
  EXPECT_EQ(delays, DefaultNotifyDelays());
  ASSERT_TRUE(ParseNotifyDelays(" 0.2, .5,1.0005 ,0", delays, error)) << error;
  EXPECT_EQ(delays, (std::vector<milliseconds>{200ms, 500ms, 1001ms, 0ms}));

  for (const char* bad :
       {"", " ", "1,,2", "1,", "-1", "abc", "1.2.3", "1e3", ".", "+5", "5s", "99999999999"}) {
    error.clear();
    EXPECT_FALSE(ParseNotifyDelays(bad, delays, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  EXPECT_EQ(delays.size(), 4u);  // untouched by the failures
}

}  // namespace
}  // namespace quillmark::sandbox
