// check-notify against handlers on loopback: the clients' own listener, which must answer
// every case right, one that acknowledges whatever it is sent, which must be caught case by
// case, and ones that give no answer at all. The genuine case is the known-answer notification.
#include "sandbox/notify/check_notify.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "client/notify_listener.h"
#include "protocol/refund_notification.h"
#include "protocol/flat_document.h"
#include "protocol/sign.h"
#include "tests/support/known_answers.h"
#include "tests/support/merchant_server.h"

namespace quillmark::sandbox {
namespace {

using known::SandboxMerchant;
using quillmark::testsupport::Acknowledgement;
using quillmark::testsupport::MerchantAnswer;
using quillmark::testsupport::MerchantServer;

TEST(CheckNotify, TheGenuineCaseIsTheKnownAnswer) {
  const std::vector<NotifyCase> cases =
      NotifyCases(MadeUpPaidOrder(""), SandboxMerchant(), known::kNonce);
  ASSERT_EQ(cases.size(), 9u);
  EXPECT_EQ(cases[0].body, known::kNotificationDocument);
  EXPECT_EQ(cases[1].body, cases[0].body);
}

// check-notify --sign-type HMAC-SHA256: the genuine case is the HMAC-SHA256 known answer,
// one more case carries the MD5 sign, and only a listener that verifies by the order's type
// answers all of them right.
TEST(CheckNotify, UnderHmacSha256OnlyAListenerOfTheOrdersTypeAnswersEveryCaseRight) {
  std::string genuine = known::kNotificationDocument;
  genuine.replace(genuine.find(known::kNotificationSign), 32, known::kHmacNotificationSign);
  const std::vector<NotifyCase> cases =
      NotifyCases(MadeUpPaidOrder("", SignType::kHmacSha256), SandboxMerchant(), known::kNonce);
  ASSERT_EQ(cases.size(), 10u);
  EXPECT_EQ(cases[0].body, genuine);
  EXPECT_EQ(cases[3].body, known::kNotificationDocument) << "the MD5 one";
  MerchantSettings hmac = SandboxMerchant();
  hmac.signType = "HMAC-SHA256";
  const struct {
    SignType orderType;
    int status;
    const char* total;
  } rows[] = {{SignType::kHmacSha256, 0, "\n10 of 10 answers right.\n"},
              {SignType::kMd5, 1, "\n6 of 10 answers right: "}};
  for (const auto& row : rows) {
    SCOPED_TRACE(SignTypeName(row.orderType));
    NotifyListener listener(SandboxMerchant(), nullptr);
    std::string error;
    ASSERT_TRUE(listener.Start({"127.0.0.1", 0, "/quillmark/notify"}, error)) << error;
    listener.ExpectOrder(known::kOrderNo, row.orderType);
    std::ostringstream out;
    const std::string url =
        "http://127.0.0.1:" + std::to_string(listener.port()) + "/quillmark/notify";
    EXPECT_EQ(CheckNotify({url, hmac, "", ""}, out), row.status) << out.str();
    EXPECT_NE(out.str().find(row.total), std::string::npos) << out.str();
    EXPECT_NE(out.str().find(", sign_type HMAC-SHA256\n"), std::string::npos) << out.str();
  }
}

TEST(CheckNotify, TheClientsListenerAnswersEveryCaseRight) {
  NotifyListener listener(SandboxMerchant(), nullptr);
  std::string error;
  ASSERT_TRUE(listener.Start({"127.0.0.1", 0, "/quillmark/notify"}, error)) << error;
  listener.ExpectOrder(known::kOrderNo);
  std::ostringstream out;
  const std::string url =
      "http://127.0.0.1:" + std::to_string(listener.port()) + "/quillmark/notify";
  EXPECT_EQ(CheckNotify({url, SandboxMerchant(), "", ""}, out), 0) << out.str();
  EXPECT_NE(out.str().find("\n9 of 9 answers right.\n"), std::string::npos) << out.str();
  // The genuine one was taken once and its repeat acknowledged without being taken again.
  const std::vector<ReceivedNotification> received = listener.received();
  ASSERT_GE(received.size(), 2u);
  EXPECT_EQ(received[0].check.verdict, NotificationCheck::Verdict::kAccepted);
  EXPECT_EQ(received[1].check.verdict, NotificationCheck::Verdict::kRepeat);
}

TEST(CheckNotify, AHandlerThatAcknowledgesEverythingIsCaughtCaseByCase) {
  MerchantServer server;
  std::ostringstream out;
  const int status = CheckNotify({server.url(), SandboxMerchant(), "", ""}, out);
  server.Stop();
  EXPECT_EQ(status, 1);
  const std::string text = out.str();
  EXPECT_NE(text.find("\n3 of 9 answers right:"), std::string::npos) << text;
  for (const char* wrong :
       {"sign forged", "amount changed after signing", "no sign",
        "another merchant's appid and mch_id", "malformed document", "oversized document"}) {
    const std::size_t line = text.find(std::string("  ") + wrong);
    ASSERT_NE(line, std::string::npos) << wrong;
    EXPECT_NE(text.find("WRONG: must be refused", line), std::string::npos) << wrong;
    EXPECT_LT(text.find("WRONG: must be refused", line), text.find('\n', line)) << wrong;
  }
}

// A loopback socket of the test's: with `listening`, one that takes connections into its
// backlog and never reads or answers; without, a port where nothing listens.
class SilentPort {
 public:
  explicit SilentPort(bool listening) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    if (listening) {
      listen(fd_, 16);
    } else {
      close(fd_);
      fd_ = -1;
    }
  }
  ~SilentPort() {
    if (fd_ >= 0) close(fd_);
  }
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/notify"; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// No answer is no refusal, not even of the case a handler may refuse by closing the
// connection; and the first case that gets none ends the run, so that a handler that never
// answers costs one timeout, not one per case.
TEST(CheckNotify, AHandlerThatDoesNotAnswerIsNotTriedCaseByCase) {
  const struct {
    const char* what;
    bool listening;
    const char* first;  // how the first case's answer is shown
  } rows[] = {
      {"nothing listens", false, "(error: Couldn't connect to server)"},
      {"accepts and never answers", true, "(error: Timeout was reached)"},
  };
  constexpr std::chrono::milliseconds kTimeout{1000};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const SilentPort port(row.listening);
    CheckNotifyOptions options{port.url(), SandboxMerchant(), "", ""};
    options.timeout = kTimeout;
    std::ostringstream out;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CheckNotify(options, out), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2 * kTimeout);
    const std::string text = out.str();
    EXPECT_NE(text.find("\n0 of 9 answers right; 8 not tried: the handler did not answer.\n"),
              std::string::npos)
        << text;
    std::istringstream lines(text.substr(text.find("\n\n") + 2));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.rfind("  genuine notification", 0), 0u) << line;
    EXPECT_NE(line.find(row.first), std::string::npos) << line;
    EXPECT_NE(line.find("WRONG: the handler did not answer"), std::string::npos) << line;
    int notTried = 0;
    while (std::getline(lines, line) && !line.empty()) {
      EXPECT_NE(line.find("not tried: the handler did not answer"), std::string::npos) << line;
      ++notTried;
    }
    EXPECT_EQ(notTried, 8);
  }
}

// The one case a handler may refuse by closing the connection is still wrong when it gets
// no answer at all: here the handler holds it past the timeout.
TEST(CheckNotify, SilenceOnTheOversizedCaseIsNoRefusal) {
  MerchantServer server([](const MerchantServer::Request& request, std::size_t) {
    MerchantAnswer answer = Acknowledgement();
    if (request.body.size() > 1024 * 1024) answer.hold = std::chrono::seconds(2);
    return answer;
  });
  CheckNotifyOptions options{server.url(), SandboxMerchant(), "", ""};
  options.timeout = std::chrono::milliseconds(1000);
  std::ostringstream out;
  const int status = CheckNotify(options, out);
  server.Stop();
  EXPECT_EQ(status, 1);
  const std::string text = out.str();
  const std::size_t line = text.find("  oversized document");
  ASSERT_NE(line, std::string::npos) << text;
  EXPECT_LT(text.find("WRONG: the handler did not answer", line), text.find('\n', line)) << text;
  EXPECT_NE(text.find("\n2 of 9 answers right"), std::string::npos) << text;
}

// A handler that keeps only the fields it knew of before it verifies: it refuses the genuine
// notifications, which carry every field the platform's do, and the couponed one with a
// field new to it; check-notify names that row and says why.
TEST(CheckNotify, AHandlerThatDropsFieldsItDoesNotKnowFailsTheCouponRow) {
  const MerchantSettings merchant = SandboxMerchant();
  MerchantServer server([&merchant](const MerchantServer::Request& request,
                                    std::size_t) -> MerchantAnswer {
    static const char* const kKnown[] = {
        "appid",          "mch_id",    "nonce_str",  "result_code", "return_code", "out_trade_no",
        "transaction_id", "total_fee", "trade_type", "time_end",    "sign"};
    Fields received;
    std::string error;
    if (request.body.size() > 64 * 1024 || !ReadFlatDocument(request.body, received, error)) {
      return testsupport::Refusal();
    }
    Fields kept;
    for (const char* name : kKnown) {
      if (received.count(name) != 0) kept[name] = received.at(name);
    }
    const std::string sign = kept.count("sign") != 0 ? kept.at("sign") : "";
    kept.erase("sign");
    const bool ours = kept["appid"] == merchant.appId && kept["mch_id"] == merchant.mchId;
    return ours && SignOf(kept, merchant.apiKey) == sign ? Acknowledgement()
                                                         : testsupport::Refusal();
  });
  std::ostringstream out;
  const int status = CheckNotify({server.url(), merchant, "", ""}, out);
  server.Stop();
  EXPECT_EQ(status, 1);
  const std::string text = out.str();
  EXPECT_NE(text.find("\n6 of 9 answers right:"), std::string::npos) << text;
  const std::size_t line = text.find(std::string("  ") + kCouponCaseName);
  ASSERT_NE(line, std::string::npos) << text;
  const std::string row = text.substr(line, text.find('\n', line) - line);
  EXPECT_NE(row.find("WRONG: must be acknowledged"), std::string::npos) << row;
  EXPECT_NE(row.find("verified only the fields it knows"), std::string::npos) << row;
}

// check-notify --refund names each row a refund handler got wrong: the clients' own
// listener gets every one right; one that wants a sign fails the genuine ones (and takes
// the signed payment notification); one decrypting under the wrong key (the upper-case
// MD5) fails the genuine ones; one that acknowledges anything fails every other row.
TEST(CheckNotify, RefundHandlersAreJudgedRowByRow) {
  const MerchantSettings merchant = SandboxMerchant();
  const auto answering = [](std::function<bool(const std::string& body)> takes) {
    return [takes](const MerchantServer::Request& request, std::size_t) {
      return takes(request.body) ? Acknowledgement() : quillmark::testsupport::Refusal();
    };
  };
  const auto decrypts = [&merchant](const std::string& key) {
    return [&merchant, key](const std::string& body) {
      return ReadRefundNotification(body, key).fault == RefundFault::kNone &&
             body.find(merchant.mchId) != std::string::npos;
    };
  };
  std::string upper = merchant.apiKey;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::vector<const char*> genuine = {"genuine refund notification",
                                            "the same refund notification again"};
  const struct {
    const char* handler;
    std::function<bool(const std::string&)> takes;  // null: the clients' listener
    const char* total;
    std::vector<const char*> wrong;
  } rows[] = {
      {"the clients' listener", nullptr, "\n8 of 8 answers right.\n", {}},
      {"one that checks a sign",
       [](const std::string& body) { return body.find("<sign>") != std::string::npos; },
       "\n5 of 8 answers right:",
       {genuine[0], genuine[1], "a signed payment notification"}},
      {"one that decrypts under another key", decrypts(upper), "\n6 of 8 answers right:", genuine},
      {"one that acknowledges anything",
       [](const std::string&) { return true; },
       "\n2 of 8 answers right:",
       {"req_info under another key", "req_info cut short", "req_info with bad padding",
        "req_info altered", "a signed payment notification", "return_code FAIL without req_info"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.handler);
    std::unique_ptr<MerchantServer> server;
    NotifyListener listener(merchant, nullptr);
    std::string url;
    if (row.takes) {
      server = std::make_unique<MerchantServer>(answering(row.takes));
      url = server->url();
    } else {
      std::string error;
      ASSERT_TRUE(listener.Start({"127.0.0.1", 0, "/notify"}, error)) << error;
      // The made-up refund's number: a refund of ours, of an order it did not place.
      listener.ExpectRefund("R20260307090503042");
      url = "http://127.0.0.1:" + std::to_string(listener.port()) + "/notify";
    }
    CheckNotifyOptions options{url, merchant, "", ""};
    options.refund = true;
    std::ostringstream out;
    EXPECT_EQ(CheckNotify(options, out), row.wrong.empty() ? 0 : 1);
    const std::string text = out.str();
    EXPECT_NE(text.find(row.total), std::string::npos) << text;
    std::size_t wrongRows = 0;
    for (std::size_t at = text.find("WRONG"); at != std::string::npos;
         at = text.find("WRONG", at + 1)) {
      ++wrongRows;
    }
    EXPECT_EQ(wrongRows, row.wrong.size()) << text;
    for (const char* wrong : row.wrong) {
      const std::size_t line = text.find(std::string("  ") + wrong);
      ASSERT_NE(line, std::string::npos) << wrong;
      EXPECT_LT(text.find("WRONG", line), text.find('\n', line)) << wrong << "\n" << text;
    }
  }
}

}  // namespace
}  // namespace quillmark::sandbox
