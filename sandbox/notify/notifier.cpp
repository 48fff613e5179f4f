// The notifier: its schedule of attempts on sender threads of its own, and the
// notification's document and its acknowledgement.
#include "sandbox/notify/notifier.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string_view>
#include <utility>

#include "config/merchant_config.h"
#include "protocol/flat_document.h"
#include "protocol/sign.h"
#include "sandbox/bill/daily_bill.h"
#include "sandbox/sandbox.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kSuccess[] = "SUCCESS";

// The longest delay ParseNotifyDelays accepts, and the longest the notifier waits, so that
// a due time cannot overflow the clock.
constexpr milliseconds kLongestDelay{365LL * 24 * 60 * 60 * 1000};

std::string_view Trim(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

// `text` for a log line or message: printable ASCII, at most `limit` characters of it.
std::string Shown(std::string_view text, std::size_t limit = 200) {
  std::string shown = PrintableAscii(text);
  if (shown.size() > limit) shown = shown.substr(0, limit) + "...";
  return shown;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const char c = text[i];
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != prefix[i]) return false;
  }
  return true;
}

bool IsHttpUrl(std::string_view url) {
  return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://");
}

// " refund <number>" in a log line about a refund's notification, "" about a payment's.
std::string RefundWords(const PaidOrder& notice) {
  return notice.refund ? " refund " + Shown(notice.refund->outRefundNo) : std::string();
}

}  // namespace

std::vector<milliseconds> DefaultNotifyDelays() {
  using std::chrono::minutes;
  using std::chrono::seconds;
  return {seconds(15), seconds(30), minutes(1), minutes(5), minutes(15), minutes(30), minutes(60)};
}

ReplyFields NotificationFields(const PaidOrder& order, const MerchantSettings& merchant,
                               const std::string& nonce) {
  const long long cash = order.totalFee - order.couponFee;
  // A coupon that is no cash is not settled to the merchant.
  const long long settled = order.couponType == "NO_CASH" ? cash : order.totalFee;
  ReplyFields fields = {
      {kFieldReturnCode, kSuccess},
      {kFieldAppId, merchant.appId},
      {kFieldMchId, merchant.mchId},
      {kFieldDeviceInfo, kPayerDeviceInfo},
      {kFieldNonceStr, nonce},
      {kFieldResultCode, kSuccess},
      {kFieldOpenId, order.openId},
      {kFieldIsSubscribe, kPayerIsSubscribe},
      {kFieldTradeType, order.tradeType},
      {kFieldBankType, kPayerBankType},
      {kFieldTotalFee, std::to_string(order.totalFee)},
      {kFieldSettlementTotalFee, std::to_string(settled)},
      {kFieldFeeType, "CNY"},
      {kFieldCashFee, std::to_string(cash)},
      {kFieldCashFeeType, "CNY"},
  };
  if (order.couponFee > 0) {
    fields.insert(fields.end(),
                  {{kFieldCouponFee, std::to_string(order.couponFee)},
                   {kFieldCouponCount, "1"},
                   {IndexedField(kFieldCouponTypeN, 0), order.couponType},
                   {IndexedField(kFieldCouponIdN, 0), order.couponId},
                   {IndexedField(kFieldCouponFeeN, 0), std::to_string(order.couponFee)}});
  }
  fields.insert(fields.end(), {{kFieldTransactionId, order.transactionId},
                               {kFieldOutTradeNo, order.outTradeNo},
                               {kFieldAttach, kPayerAttach},
                               {kFieldTimeEnd, order.timeEnd}});
  return fields;
}

std::string SignedNotification(ReplyFields fields, const MerchantSettings& merchant,
                               bool changeAmount, SignType type) {
  const Fields byName(fields.begin(), fields.end());
  fields.emplace_back(kFieldSign, SignOf(byName, merchant.apiKey, type));
  if (changeAmount) {
    for (auto& [name, value] : fields) {
      if (name == kFieldTotalFee) value = std::to_string(std::stoll(value) + 99);
    }
  }
  return ReplyDocument(fields);
}

std::string NotificationDocument(const PaidOrder& order, const MerchantSettings& merchant,
                                 const std::string& nonce) {
  return SignedNotification(NotificationFields(order, merchant, nonce), merchant, false,
                            order.signType);
}

bool IsAcknowledgement(const std::string& reply, std::string* why) {
  const auto refuse = [why](std::string reason) {
    if (why != nullptr) *why = std::move(reason);
    return false;
  };
  Fields fields;
  std::string error;
  if (!ReadFlatDocument(reply, fields, error)) {
    return refuse("the reply is not a flat XML document: " + error);
  }
  const auto code = fields.find(kFieldReturnCode);
  if (code == fields.end()) return refuse("the reply has no return_code");
  // A merchant that lays its reply out over several lines is still understood.
  if (Trim(code->second) != kSuccess) {
    return refuse("return_code \"" + Shown(code->second, 40) + "\"");
  }
  return true;
}

PaidOrder RefundNoticeOf(const std::string& orderNo, const Order& order, std::size_t index) {
  const Refund& refund = order.refunds.at(index);
  PaidOrder notice = PaidOrderOf(orderNo, order);
  notice.onceAgain = false;
  if (!refund.notifyUrl.empty()) notice.notifyUrl = refund.notifyUrl;
  RefundInfo info;
  info.transactionId = order.transactionId;
  info.outTradeNo = orderNo;
  info.refundId = refund.refundId;
  info.outRefundNo = refund.outRefundNo;
  info.totalFee = info.settlementTotalFee = order.totalFee;
  info.refundFee = info.settlementRefundFee = refund.refundFee;
  info.refundStatus = RefundStatusName(refund.status);
  info.successTime = refund.successTime;
  // Made-up words for where the money went: the sandbox moves none.
  info.refundRecvAccout = "沙箱付款人的零钱";
  info.refundAccount = "SANDBOX_BALANCE";
  info.refundRequestSource = "API";
  notice.refund = std::move(info);
  return notice;
}

PaidOrder PaidOrderOf(const std::string& orderNo, const Order& order) {
  PaidOrder paid{order.notifyUrl, orderNo,        order.transactionId,
                 order.tradeType, order.totalFee, order.timeEnd};
  paid.openId = PayerOf(order);
  paid.onceAgain = PlayOf(order.scenario).notifyOnceAgain;
  const Coupon coupon = CouponOf(order);
  paid.couponFee = coupon.fee;
  paid.couponId = coupon.id;
  paid.couponType = coupon.type;
  paid.signType = order.signType;
  return paid;
}

Notifier::Notifier(NotifierOptions options)
    : options_(std::move(options)), random_(SeededRandom()) {}

Notifier::~Notifier() { Stop(); }

void Notifier::Resume(PaidOrder order, std::size_t attempt, milliseconds after) {
  Queue(Job{std::move(order), std::max<std::size_t>(attempt, 1)}, after);
}

void Notifier::Resend(PaidOrder order) { Queue(Job{std::move(order), 0}, milliseconds(0)); }

void Notifier::Queue(Job job, milliseconds after) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  if (senders_.empty()) senders_.emplace_back([this] { Sender(); });
  queue_.emplace(Clock::now() + std::clamp(after, milliseconds(0), kLongestDelay), std::move(job));
  wake_.notify_one();
}

void Notifier::Stop() {
  std::lock_guard<std::mutex> call(stopCall_);
  std::vector<std::thread> senders;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
    for (const auto& abort : inFlight_) abort->Abort();
    senders.swap(senders_);
  }
  wake_.notify_all();
  for (auto& sender : senders) sender.join();
}

void Notifier::Sender() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    std::optional<Job> job = NextDue(lock);
    if (!job) continue;
    const std::string nonce = RandomNonce(random_);
    const auto abort = std::make_shared<TransferAbort>();
    inFlight_.insert(abort);
    // Someone must be left to watch the queue: an attempt takes as long as its target
    // makes it (up to its timeout), and another order's attempt that falls due meanwhile
    // must not wait for it.
    if (inFlight_.size() >= senders_.size() &&
        senders_.size() < static_cast<std::size_t>(std::max(1, options_.senders))) {
      senders_.emplace_back([this] { Sender(); });
    }
    lock.unlock();
    Outcome outcome = Make(*job, abort, nonce);
    lock.lock();
    inFlight_.erase(abort);
    Conclude(std::move(*job), std::move(outcome), lock);
  }
}

std::optional<Notifier::Job> Notifier::NextDue(std::unique_lock<std::mutex>& lock) {
  if (queue_.empty()) {
    wake_.wait(lock);
    return std::nullopt;
  }
  if (const auto due = queue_.begin()->first; Clock::now() < due) {
    wake_.wait_until(lock, due);
    return std::nullopt;
  }
  Job job = std::move(queue_.begin()->second);
  queue_.erase(queue_.begin());
  if (job.attempt == 0 || !options_.stillWanted) return job;  // a resend is always made
  // Outside the lock: the question takes the caller's own locks, under which it may be
  // queueing a notification.
  lock.unlock();
  const bool wanted = options_.stillWanted(job.order.outTradeNo, job.order.outRefundNo());
  if (!wanted && options_.log) {
    options_.log("order " + Shown(job.order.outTradeNo) + RefundWords(job.order) + " attempt " +
                 std::to_string(job.attempt) + "/" + std::to_string(options_.delays.size() + 1) +
                 ": acknowledged meanwhile, no more attempts");
  }
  lock.lock();
  if (!wanted) return std::nullopt;
  return job;
}

Notifier::Outcome Notifier::Make(const Job& job, const std::shared_ptr<TransferAbort>& abort,
                                 const std::string& nonce) {
  Outcome outcome;
  const std::int64_t startedAt = NowMs();  // the sandbox's clock, as its orders' times are
  const auto started = Clock::now();
  if (IsHttpUrl(job.order.notifyUrl)) {
    const MerchantSettings& merchant = options_.merchant;
    const std::string body =
        job.order.refund
            ? RefundNotificationDocument(*job.order.refund, merchant.appId, merchant.mchId, nonce,
                                         merchant.apiKey)
            : SignedNotification(NotificationFields(job.order, merchant, nonce), merchant,
                                 options_.changeAmountAfterSigning, job.order.signType);
    outcome = Attempt(job, abort, body);
  } else {
    outcome.summary = "not an http or https URL, not acknowledged";
    outcome.attempt.error = "not an http or https URL";
    outcome.final = true;
  }
  outcome.attempt.at = startedAt;
  outcome.attempt.durationMs =
      std::chrono::duration_cast<milliseconds>(Clock::now() - started).count();
  return outcome;
}

void Notifier::Conclude(Job job, Outcome outcome, std::unique_lock<std::mutex>& lock) {
  const std::size_t attempts = options_.delays.size() + 1;
  const bool resend = job.attempt == 0;
  std::string next;
  milliseconds delay{0};
  bool retry = false;
  // Its scenario's second sending, once its schedule's attempt was acknowledged.
  const bool again = outcome.acknowledged && !resend && job.order.onceAgain;
  if (outcome.acknowledged) {
    if (again) next = "; sent once more as its scenario asks";
  } else if (stopping_) {
    next = "; stopped, no retry";
  } else if (resend) {
    next = "; a resend, not retried";
  } else if (outcome.final || job.attempt >= attempts) {
    next = "; giving up";
  } else {
    delay = std::clamp(options_.delays[job.attempt - 1], milliseconds(0), kLongestDelay);
    next = "; retry in " + DelaySeconds(delay) + " s";
    retry = true;
  }
  const std::string& url = job.order.notifyUrl;
  const std::string line =
      "order " + Shown(job.order.outTradeNo) + RefundWords(job.order) +
      (resend ? std::string(" resend")
              : " attempt " + std::to_string(job.attempt) + "/" + std::to_string(attempts)) +
      " to " + Shown(url) + ": " + outcome.summary + next;
  AttemptEntry& attempt = outcome.attempt;
  attempt.orderNo = job.order.outTradeNo;
  attempt.outRefundNo = job.order.outRefundNo();
  attempt.url = url;
  attempt.number = job.attempt;
  attempt.acknowledged = outcome.acknowledged;
  if (retry) {
    attempt.nextAttempt = job.attempt + 1;
  } else if (stopping_ && !resend && !outcome.acknowledged) {
    // Cut short by the stop, it has not had its chance: a sandbox started again on the
    // same state makes it again (due at once).
    attempt.nextAttempt = job.attempt;
  }
  // The line and the record go out before the retry is queued, so that an order's lines
  // and records stay in order even when the retry is due at once and another sender
  // takes it.
  if (options_.log || options_.report) {
    lock.unlock();
    if (attempt.nextAttempt != 0) {
      attempt.nextDueAt = NowMs() + delay.count();
    }
    // The record first: a line that says an attempt was made speaks of a kept attempt, so
    // whoever watches the log and then kills the sandbox finds it after the restart.
    if (options_.report) options_.report(attempt);
    if (options_.log) options_.log(line);
    lock.lock();
  }
  if (again && !stopping_) {
    job.order.onceAgain = false;
    job.attempt = 0;
    queue_.emplace(Clock::now(), std::move(job));
    wake_.notify_one();
  }
  if (retry && !stopping_) {
    ++job.attempt;
    queue_.emplace(Clock::now() + delay, std::move(job));
    wake_.notify_one();
  }
}

Notifier::Outcome Notifier::Attempt(const Job& job, const std::shared_ptr<TransferAbort>& abort,
                                    const std::string& body) {
  TransportOptions transport;
  transport.caFile = options_.caFile;
  transport.caPem = options_.caPem;
  // libcurl reads 0 as its own default (minutes), so the shortest is 1 ms.
  const long timeoutMs = static_cast<long>(std::max<long long>(1, options_.attemptTimeout.count()));
  transport.connectTimeoutMs = timeoutMs;
  transport.totalTimeoutMs = timeoutMs;
  transport.abort = abort;
  transport.contentType = "text/xml";

  std::ostringstream diagnostic;  // PostXml's own line; the notifier writes its own
  TransferStatus status;
  const std::string reply =
      PostXml(job.order.notifyUrl.c_str(), body.c_str(), diagnostic, transport, &status);

  Outcome outcome;
  std::string& summary = outcome.summary;
  AttemptEntry& report = outcome.attempt;
  report.httpStatus = static_cast<int>(status.httpStatus);
  report.answer = reply.substr(0, kAnswerHeadBytes);
  report.answerBytes = reply.size();
  if (status.httpStatus != 0) summary = "HTTP " + std::to_string(status.httpStatus);
  if (!status.ok()) {
    if (!summary.empty()) summary += ", ";
    report.error = status.aborted()
                       ? std::string("aborted")
                       : status.message + " (curl " + std::to_string(status.code) + ")";
    summary += "error: " + report.error;
  }
  std::string why;
  outcome.acknowledged = status.ok() && status.httpStatus >= 200 && status.httpStatus < 300 &&
                         IsAcknowledgement(reply, &why);
  if (outcome.acknowledged) {
    summary += ", acknowledged";
  } else {
    summary += ", not acknowledged";
    if (!why.empty()) summary += " (" + why + ")";
  }
  return outcome;
}

std::string DelaySeconds(milliseconds delay) {
  const long long ms = delay.count();
  std::string text = std::to_string(ms / 1000);
  if (const long long fraction = ms % 1000; fraction != 0) {
    std::string digits = std::to_string(fraction);
    digits.insert(0, 3 - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    text += '.' + digits;
  }
  return text;
}

bool ParseNotifyDelays(const std::string& list, std::vector<milliseconds>& delays,
                       std::string& error) {
  if (Trim(list).empty()) {
    error = "the list of notification delays is empty";
    return false;
  }
  std::vector<milliseconds> parsed;
  std::size_t from = 0;
  for (std::size_t index = 1;; ++index) {
    const std::size_t comma = list.find(',', from);
    const std::string_view item = Trim(std::string_view(list).substr(
        from, comma == std::string::npos ? std::string::npos : comma - from));
    const std::string where = "notification delay " + std::to_string(index);
    const auto fail = [&](const std::string& what) {
      error = where + (item.empty() ? std::string() : " (\"" + Shown(item, 40) + "\")") + what;
      return false;
    };
    if (item.empty()) return fail(" is empty");
    if (item.front() == '-') return fail(" is negative");

    // Digits, then optionally '.' and more digits; at least one digit in all.
    long long whole = 0;
    std::string fraction;
    std::size_t i = 0;
    const auto digit = [&item](std::size_t at) {
      return at < item.size() && item[at] >= '0' && item[at] <= '9';
    };
    for (; digit(i); ++i) {
      whole = whole * 10 + (item[i] - '0');
      if (whole > kLongestDelay.count() / 1000) return fail(" is longer than a year");
    }
    const std::size_t digits = i;
    if (i < item.size() && item[i] == '.') {
      for (++i; digit(i); ++i) fraction += item[i];
    }
    if (digits + fraction.size() == 0 || i != item.size()) {
      return fail(" is not a number of seconds");
    }
    // Rounded to the nearest millisecond.
    std::string first3 = fraction.substr(0, 3);
    first3.append(3 - first3.size(), '0');
    long long thousandths = std::stoll(first3);
    if (fraction.size() > 3 && fraction[3] >= '5') ++thousandths;
    const milliseconds delay(whole * 1000 + thousandths);
    if (delay > kLongestDelay) return fail(" is longer than a year");
    parsed.push_back(delay);

    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  delays = std::move(parsed);
  return true;
}

}  // namespace quillmark::sandbox
