// Notifications: when an order becomes paid, or one of its refunds final, the sandbox POSTs
// the result to the notify_url, as the platform does, until the merchant acknowledges it or
// the schedule of retries runs out. Payments and refunds share the schedule and its attempts. A
// self-contained unit: the server hands it paid orders and it does the rest on its own threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "http/transport.h"
#include "protocol/refund_notification.h"
#include "sandbox/api/request_check.h"
#include "sandbox/faults.h"
#include "sandbox/order/order_book.h"
#include "sandbox/order/order_life.h"
#include "sandbox/store/state_store.h"

namespace quillmark::sandbox {

// What one notification reports: an order's payment, or one of its refunds.
struct PaidOrder {
  std::string notifyUrl;
  std::string outTradeNo;
  std::string transactionId;
  std::string tradeType;   // "NATIVE", "JSAPI", ...
  long long totalFee = 0;  // cents
  std::string timeEnd;     // yyyyMMddHHmmss, platform time (UTC+8)
  std::string openId = kPayerOpenId;  // the payer
  // The made-up coupon that paid part of it (its scenario's), none when couponFee is 0:
  // cash_fee is what is left.
  long long couponFee = 0;
  std::string couponId = {};
  std::string couponType = {};
  // Its scenario's: the first attempt is due this long after it is handed over; and once
  // an attempt of its schedule is acknowledged, it is sent once more (as a resend).
  std::chrono::milliseconds firstAfter{0};
  bool onceAgain = false;
  // How its order was placed, and so how its notification is signed.
  SignType signType = SignType::kMd5;
  // Set for a refund's notification: what its req_info reports. It is sent unsigned, to
  // `notifyUrl` (the refund request's, else the order's).
  std::optional<RefundInfo> refund = std::nullopt;

  // The refund's number; "" for the payment's notification.
  std::string outRefundNo() const { return refund ? refund->outRefundNo : std::string(); }
};

// What the notification of `order`, paid, reports, as its scenario sends it.
PaidOrder PaidOrderOf(const std::string& orderNo, const Order& order);

// What the notification of `order`'s refund at `index` (final) reports, and where it goes.
PaidOrder RefundNoticeOf(const std::string& orderNo, const Order& order, std::size_t index);

// The notification's fields for `order`, in document order and without its sign: every
// field the platform's carries, optional ones included (README, "Payment notifications"):
// a merchant whose check verifies only the fields it knows fails on them. The coupon's
// fields only for a couponed payment.
ReplyFields NotificationFields(const PaidOrder& order, const MerchantSettings& merchant,
                               const std::string& nonce);
// `fields` with their sign (SignOf over them, of `type`) last, as one line of <xml>, every
// value in CDATA (ReplyDocument). With `changeAmount`, total_fee is changed after signing,
// as a forger would.
std::string SignedNotification(ReplyFields fields, const MerchantSettings& merchant,
                               bool changeAmount = false, SignType type = SignType::kMd5);
// The notification body for `order`, signed with the merchant's key by the order's sign
// type. Exposed for known-answer tests.
std::string NotificationDocument(const PaidOrder& order, const MerchantSettings& merchant,
                                 const std::string& nonce);

// Whether `reply` acknowledges a notification: a flat <xml> document whose return_code is
// SUCCESS (as text or CDATA). `why`, when given, receives the reason it does not.
bool IsAcknowledgement(const std::string& reply, std::string* why = nullptr);

// What an attempt keeps of the merchant's answer (AttemptEntry::answer).
inline constexpr std::size_t kAnswerHeadBytes = kKeptAnswerBytes;

struct NotifierOptions {
  MerchantSettings merchant;
  // Between attempts: attempt 1 at once, attempt k + 1 delays[k - 1] after attempt k ended
  // without an acknowledgement; 1 + delays.size() attempts in all. See DefaultNotifyDelays()
  // in sandbox.h.
  std::vector<std::chrono::milliseconds> delays;
  std::string caFile;  // trusted CAs for https URLs; empty: the system's trust store
  std::string caPem;   // the same CAs read beforehand; when set, trusted instead of caFile
  // Connect and total timeout of one attempt.
  std::chrono::milliseconds attemptTimeout{5000};
  // One line per attempt, without timestamp or newline; called from the sender threads,
  // possibly from several at once (the caller serialises). Null: no log.
  std::function<void(const std::string& line)> log;
  // Optional, called like `log`, after it, for every attempt made: the attempt as the state
  // file keeps it, its next one due (nextDueAt) counted from when it ended.
  std::function<void(const AttemptEntry& attempt)> report;
  // Optional: asked before each attempt of a schedule (not of a resend); false drops the
  // schedule, for a notification acknowledged meanwhile by a resend. `outRefundNo` is ""
  // for the payment's notification.
  std::function<bool(const std::string& outTradeNo, const std::string& outRefundNo)> stillWanted;
  // Fault::kBadNotifySign: every notification's total_fee is changed after signing.
  bool changeAmountAfterSigning = false;
  // How many attempts may be in flight at once (at least 1). A sender thread is added
  // whenever every one is busy, so that an attempt that is due goes out at once, however
  // long slow targets hold the others, up to this many.
  int senders = 256;
};

class Notifier {
 public:
  explicit Notifier(NotifierOptions options);
  ~Notifier();  // Stop()
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // Queues the first attempt for `order` and returns at once; it is made as soon as a
  // sender is free. Ignored after Stop().
  // Due after order.firstAfter rather than at once where its scenario delays it.
  void Notify(PaidOrder order) {
    const std::chrono::milliseconds after = order.firstAfter;
    Resume(std::move(order), 1, after);
  }
  // Queues attempt `attempt` (from 1) of the schedule, due `after` from now: the schedule
  // of an order whose notification was still due when the sandbox last stopped.
  void Resume(PaidOrder order, std::size_t attempt, std::chrono::milliseconds after);
  // Queues one attempt outside the schedule, at once, that is never retried.
  void Resend(PaidOrder order);
  // Aborts attempts in flight (each still logs its line), drops pending ones and joins the
  // senders. Idempotent; safe from any thread but a sender's (that is, not from `log`).
  void Stop();

 private:
  struct Job {
    PaidOrder order;
    std::size_t attempt = 1;  // 1-based; 0: a resend
  };
  void Queue(Job job, std::chrono::milliseconds after);
  struct Outcome {
    bool acknowledged = false;
    bool final = false;   // no point in trying again (the URL is not http or https)
    std::string summary;  // "HTTP 200, not acknowledged (...)" and the like
    AttemptEntry attempt;
  };

  // A sender thread: takes each due job and makes its attempt, until Stop().
  void Sender();
  // The job due now, taken off the queue; none when it waited (for a job, or until the
  // first is due) or the schedule is no longer wanted. Called and returns with `lock` held.
  std::optional<Job> NextDue(std::unique_lock<std::mutex>& lock);
  // Makes the attempt, without the lock: its outcome with its start and duration.
  Outcome Make(const Job& job, const std::shared_ptr<TransferAbort>& abort,
               const std::string& nonce);
  // One POST of `body` to the order's URL, aborted through `abort`.
  Outcome Attempt(const Job& job, const std::shared_ptr<TransferAbort>& abort,
                  const std::string& body);
  // Logs and reports the attempt, then queues the next one when the schedule wants it.
  // Called and returns with `lock` held.
  void Conclude(Job job, Outcome outcome, std::unique_lock<std::mutex>& lock);

  const NotifierOptions options_;

  std::mutex stopCall_;  // serialises Stop(), so that a second call waits for the joins

  std::mutex mutex_;  // guards what follows
  std::condition_variable wake_;
  bool stopping_ = false;
  // Due attempts by due time; equal times keep the order they were queued in.
  std::multimap<std::chrono::steady_clock::time_point, Job> queue_;
  std::set<std::shared_ptr<TransferAbort>> inFlight_;
  std::vector<std::thread> senders_;  // started by the first Notify()
  std::mt19937_64 random_;
};

// A list of delays in seconds such as "15,30,60,300,900,1800,3600" (fractions allowed,
// e.g. "0.2,0.5"; spaces around items are ignored; each is rounded to the millisecond and
// at most a year). False, with `error` saying why and `delays` untouched, for a malformed,
// negative or empty list.
bool ParseNotifyDelays(const std::string& list, std::vector<std::chrono::milliseconds>& delays,
                       std::string& error);
// A delay as ParseNotifyDelays reads it: "15", "0.05" (seconds, no trailing zeros).
std::string DelaySeconds(std::chrono::milliseconds delay);

}  // namespace quillmark::sandbox
