// The clients' notification listener against what any local program can do to it: hold
// connections open and idle while the sandbox's notifier comes, stop it the moment a
// notification is in, and read and expect orders from other threads while notifications
// are taken.
#include "client/notify_listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http/transport.h"
#include "protocol/flat_document.h"
#include "protocol/refund_notification.h"
#include "sandbox/notify/notifier.h"
#include "tests/support/known_answers.h"

namespace quillmark::sandbox {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using Answer = ReceivedNotification::Answer;
using Verdict = NotificationCheck::Verdict;

constexpr char kPath[] = "/quillmark/notify";

// A TCP connection to the listener that sends `head` (perhaps nothing) and then nothing.
class IdleConnection {
 public:
  IdleConnection(int port, const std::string& head = "") {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          (head.empty() || send(fd_, head.data(), head.size(), MSG_NOSIGNAL) > 0);
  }
  ~IdleConnection() { close(fd_); }
  IdleConnection(const IdleConnection&) = delete;
  IdleConnection& operator=(const IdleConnection&) = delete;

  bool ok() const { return ok_; }
  // True once the listener has closed it, within `limit`.
  bool ClosedWithin(milliseconds limit) const {
    pollfd polled{fd_, POLLIN, 0};
    char byte = 0;
    return poll(&polled, 1, static_cast<int>(limit.count())) == 1 &&
           recv(fd_, &byte, 1, MSG_DONTWAIT) <= 0;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

std::unique_ptr<NotifyListener> StartedListener() {
  auto listener = std::make_unique<NotifyListener>(known::SandboxMerchant(), nullptr);
  std::string error;
  EXPECT_TRUE(listener->Start({"127.0.0.1", 0, kPath}, error)) << error;
  return listener;
}

std::string UrlOf(const NotifyListener& listener) {
  return "http://127.0.0.1:" + std::to_string(listener.port()) + kPath;
}

PaidOrder Order(const std::string& url, int number) {
  std::string orderNo = known::kOrderNo;
  std::string transactionId = known::kNotifyTransactionId;
  const std::string suffix = std::to_string(number);
  orderNo.replace(orderNo.size() - suffix.size(), suffix.size(), suffix);
  transactionId.replace(transactionId.size() - suffix.size(), suffix.size(), suffix);
  return {url, orderNo, transactionId, "NATIVE", 1, known::kNotifyTimeEnd};
}

bool AcknowledgedFor(const std::vector<ReceivedNotification>& received,
                     const std::string& orderNo) {
  for (const auto& one : received) {
    if (one.check.ClaimedOrder() == orderNo && one.check.verdict == Verdict::kAccepted &&
        one.answer == Answer::kWritten) {
      return true;
    }
  }
  return false;
}

// Each round: 100 connections held open and idle, more than the listener has places for,
// then the sandbox's notifier with its own schedule (15 s before a retry). The notification
// must be verified and acknowledged at its first attempt, in every round.
TEST(NotifyListener, IdleConnectionsDoNotShutOutThePlatform) {
  constexpr int kRounds = 10;
  constexpr int kIdle = 100;
  int acknowledgedFirst = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const auto listener = StartedListener();
    std::vector<std::unique_ptr<IdleConnection>> idle;
    for (int i = 0; i < kIdle; ++i) {
      idle.push_back(std::make_unique<IdleConnection>(listener->port()));
      ASSERT_TRUE(idle.back()->ok());
    }
    const PaidOrder order = Order(UrlOf(*listener), round);
    listener->ExpectOrder(order.outTradeNo);
    std::mutex mutex;
    std::vector<std::string> lines;
    NotifierOptions options;
    options.merchant = known::SandboxMerchant();
    options.delays = {15s};
    options.log = [&](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex);
      lines.push_back(line);
    };
    Notifier notifier(options);
    notifier.Notify(order);
    const bool acknowledged = listener->WaitFor(
        [&](const std::vector<ReceivedNotification>& received) {
          return AcknowledgedFor(received, order.outTradeNo);
        },
        10s);
    // The notifier's line of the attempt, once it has read the answer.
    const auto end = std::chrono::steady_clock::now() + 10s;
    for (std::unique_lock<std::mutex> lock(mutex);
         lines.empty() && std::chrono::steady_clock::now() < end;) {
      lock.unlock();
      std::this_thread::sleep_for(5ms);
      lock.lock();
    }
    notifier.Stop();
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(acknowledged) << lines[0];
    EXPECT_NE(lines[0].find("attempt 1/2 to " + order.notifyUrl + ": HTTP 200, acknowledged"),
              std::string::npos)
        << lines[0];
    acknowledgedFirst += acknowledged ? 1 : 0;
  }
  EXPECT_EQ(acknowledgedFirst, kRounds);
}

// An idle connection gives its place back within a moment, whether it sends nothing or
// the start of a head that it never ends.
TEST(NotifyListener, IdleConnectionsAreClosedSoon) {
  const auto listener = StartedListener();
  const struct {
    const char* what;
    std::string head;
    milliseconds closedWithin;
  } rows[] = {
      {"nothing sent", "", 2000ms},
      {"a head never ended", "POST /quillmark/notify HTTP/1.1\r\nHost: 127.0.0.1\r\n", 3000ms},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const auto start = std::chrono::steady_clock::now();
    IdleConnection connection(listener->port(), row.head);
    ASSERT_TRUE(connection.ok());
    EXPECT_TRUE(connection.ClosedWithin(row.closedWithin + 1s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, row.closedWithin);
  }
}

// Stopped as soon as a notification is reported written, the platform has its answer
// whole every time: a notification is not reported acknowledged while its answer is still
// on its way.
TEST(NotifyListener, AnAnswerReportedWrittenReachedThePlatform) {
  constexpr int kRounds = 20;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const auto listener = StartedListener();
    listener->ExpectOrder(known::kOrderNo);
    TransferStatus status;
    std::string reply;
    std::thread platform([&] {
      std::ostringstream diagnostic;
      TransportOptions transport;
      transport.contentType = "text/xml";
      reply = PostXml(UrlOf(*listener).c_str(), known::kNotificationDocument, diagnostic, transport,
                      &status);
    });
    const bool written = listener->WaitFor(
        [](const std::vector<ReceivedNotification>& received) {
          return !received.empty() && received[0].answer != Answer::kWriting;
        },
        10s);
    listener->Stop();
    platform.join();
    ASSERT_TRUE(written);
    const std::vector<ReceivedNotification> received = listener->received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].answer, Answer::kWritten);
    EXPECT_TRUE(status.ok()) << status.message;
    EXPECT_TRUE(IsAcknowledgement(reply)) << reply;
  }
}

// Notifications taken on the listener's thread while another thread expects orders and
// reads what came: under ThreadSanitizer, any of these that skips the listener's lock is a
// reported race.
TEST(NotifyListener, TakesNotificationsWhileOthersReadAndExpect) {
  constexpr int kNotifications = 40;
  const auto listener = StartedListener();
  const std::string url = UrlOf(*listener);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    for (int i = 0; !done.load(); ++i) {
      listener->ExpectOrder(Order(url, 1000 + i % 500).outTradeNo);
      const std::size_t seen = listener->received().size();
      listener->WaitFor(
          [seen](const std::vector<ReceivedNotification>& received) {
            return received.size() > seen;
          },
          1ms);
    }
  });
  TransportOptions transport;
  transport.contentType = "text/xml";
  int answered = 0;
  for (int i = 0; i < kNotifications; ++i) {
    const PaidOrder order = Order(url, i);
    listener->ExpectOrder(order.outTradeNo);
    std::ostringstream diagnostic;
    TransferStatus status;
    const std::string reply = PostXml(
        url.c_str(), NotificationDocument(order, known::SandboxMerchant(), known::kNonce).c_str(),
        diagnostic, transport, &status);
    answered += status.ok() && IsAcknowledgement(reply) ? 1 : 0;
  }
  done = true;
  reader.join();
  EXPECT_EQ(answered, kNotifications);
  ASSERT_TRUE(listener->WaitFor(
      [](const std::vector<ReceivedNotification>& received) {
        for (const auto& one : received) {
          if (one.answer == Answer::kWriting) return false;
        }
        return received.size() == kNotifications;
      },
      5s));
  for (const auto& one : listener->received()) {
    EXPECT_EQ(one.check.verdict, Verdict::kAccepted) << one.check.reason;
  }
}

// A refund notification is told from a payment one and read by its req_info alone: one of
// a refund asked for here, or of an order of ours (a refund made in the back office), is
// acknowledged once and again; any req_info that cannot be read, or that is not ours, is
// answered FAIL with the reason and taken as nothing.
TEST(NotifyListener, RefundNotificationsAreDecryptedOrAnsweredFailWithTheReason) {
  const MerchantSettings merchant = known::SandboxMerchant();
  auto listener = StartedListener();
  listener->ExpectRefund("R-1");
  listener->ExpectOrder(known::kOrderNo);
  const auto info = [](const std::string& orderNo, const std::string& refundNo) {
    RefundInfo refund;
    refund.transactionId = known::kNotifyTransactionId;
    refund.outTradeNo = orderNo;
    refund.refundId = "2026121050000000000000000000" + refundNo.substr(2);
    refund.outRefundNo = refundNo;
    refund.totalFee = refund.settlementTotalFee = 100;
    refund.refundFee = refund.settlementRefundFee = 30;
    refund.refundStatus = kRefundSuccess;
    refund.successTime = "2026-12-10 16:24:13";
    return refund;
  };
  const auto outer = [&merchant](const std::string& reqInfo, const std::string& mchId = "") {
    return CdataDocument({{kFieldReturnCode, "SUCCESS"},
                          {kFieldReturnMsg, "OK"},
                          {kFieldAppId, merchant.appId},
                          {kFieldMchId, mchId.empty() ? merchant.mchId : mchId},
                          {kFieldNonceStr, known::kNonce},
                          {kFieldReqInfo, reqInfo}});
  };
  const auto sealed = [&merchant](const RefundInfo& refund) {
    return EncryptReqInfo(RefundInfoDocument(refund), merchant.apiKey);
  };
  const RefundInfo ours = info("20261210000000000RefundOrder0001", "R-1");
  const std::string genuine = sealed(ours);
  const struct {
    const char* what;
    std::string body;
    Verdict verdict;
    const char* answer;  // in the answer's return_msg, or "OK"
  } rows[] = {
      {"a refund asked for here", outer(genuine), Verdict::kAccepted, "OK"},
      {"the same again", outer(genuine), Verdict::kRepeat, "OK"},
      {"a refund made elsewhere of an order of ours", outer(sealed(info(known::kOrderNo, "R-2"))),
       Verdict::kAccepted, "OK"},
      {"req_info not base64", outer("not*base64!"), Verdict::kRefused, "req_info is not base64"},
      {"req_info cut short", outer(genuine.substr(0, genuine.size() - 8)), Verdict::kRefused,
       "not whole 16-byte AES blocks"},
      {"req_info under another key",
       outer(EncryptReqInfo(RefundInfoDocument(ours), "AnotherMerchantsKey0123456789abc")),
       Verdict::kRefused, "bad PKCS#7 padding"},
      {"req_info holding no <root>",
       outer(EncryptReqInfo("<xml><refund_id>1</refund_id></xml>", merchant.apiKey)),
       Verdict::kRefused, "does not hold a flat &lt;root&gt; document"},
      {"return_code FAIL",
       CdataDocument({{kFieldReturnCode, "FAIL"}, {kFieldReturnMsg, "SYSTEMERROR"}}),
       Verdict::kRefused, "not SUCCESS: there is no refund to act on"},
      {"another merchant's mch_id", outer(genuine, "9876543210"), Verdict::kRefused,
       "another merchant's"},
      {"neither our refund nor our order",
       outer(sealed(info("20261210000000000SomeoneElses001", "R-3"))), Verdict::kRefused,
       "neither the refund nor its order is one of ours"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::ostringstream log;
    const std::string answer = PostXml(UrlOf(*listener).c_str(), row.body.c_str(), log);
    const std::string code = row.verdict == Verdict::kRefused ? "FAIL" : "SUCCESS";
    EXPECT_NE(answer.find("<return_code><![CDATA[" + code + "]]>"), std::string::npos) << answer;
    EXPECT_NE(answer.find(row.answer), std::string::npos) << answer;
  }
  ASSERT_TRUE(listener->WaitFor(
      [&rows](const std::vector<ReceivedNotification>& received) {
        return received.size() == std::size(rows);
      },
      5s));
  const std::vector<ReceivedNotification> received = listener->received();
  for (std::size_t i = 0; i < received.size(); ++i) {
    SCOPED_TRACE(rows[i].what);
    EXPECT_TRUE(received[i].refund);
    EXPECT_EQ(received[i].check.verdict, rows[i].verdict);
    // Nothing of a refused one is taken as the refund's.
    EXPECT_EQ(received[i].check.Field(kFieldRefundFee),
              rows[i].verdict == Verdict::kRefused ? "" : "30");
  }
  EXPECT_EQ(received[0].check.Field(kFieldSuccessTime), "2026-12-10 16:24:13");
  EXPECT_EQ(received[0].check.Field(kFieldOutRefundNo), "R-1");
}

}  // namespace
}  // namespace quillmark::sandbox
