// NotificationWait of notifications.h: the listener it holds and the summary's lines.
#include "cli/notifications.h"

#include <ostream>
#include <sstream>

#include "protocol/fields.h"
#include "protocol/refund_notification.h"
#include "text/encoding.h"

namespace quillmark::cli {
namespace {

using Verdict = NotificationCheck::Verdict;
using Answer = ReceivedNotification::Answer;

// How long an answer already being written may hold the exit up once the wait is over: a
// loopback write takes a moment; the listener's own write bound is longer.
constexpr std::chrono::seconds kAnswerGrace{2};

// What a refund notification held, or why it was refused.
std::string RefundLine(const ReceivedNotification& received) {
  const NotificationCheck& check = received.check;
  const bool written = received.answer == Answer::kWritten;
  if (check.verdict == Verdict::kRefused) {
    return "refund notification refused: " + check.reason +
           (written ? "  (answered FAIL)" : "  (its FAIL answer could not be written)");
  }
  const std::string& time = check.Field(kFieldSuccessTime);
  return std::string(check.verdict == Verdict::kRepeat ? "repeat of " : "") + "refund " +
         check.Field(kFieldRefundId) + " (out_refund_no " + check.Field(kFieldOutRefundNo) +
         "): " + check.Field(kFieldRefundStatus) + ", refund_fee " + check.Field(kFieldRefundFee) +
         (time.empty() ? std::string() : ", success_time " + time) + "  (req_info decrypted, " +
         (!written                            ? "but the acknowledgement could not be written)"
          : check.verdict == Verdict::kRepeat ? "acknowledged again)"
                                              : "acknowledged)");
}

std::string Line(const ReceivedNotification& received) {
  if (received.refund) return EscapeControls(received.time + "  " + RefundLine(received));
  const NotificationCheck& check = received.check;
  const bool written = received.answer == Answer::kWritten;
  std::string text;
  switch (check.verdict) {
    case Verdict::kAccepted:
    case Verdict::kRepeat:
      text = (check.verdict == Verdict::kRepeat ? "repeat of " : "") +
             check.Field(kFieldTransactionId) + ": " + check.Field(kFieldResultCode) +
             ", total_fee " + check.Field(kFieldTotalFee) + ", time_end " +
             check.Field(kFieldTimeEnd) + "  (signature verified, " +
             (!written                            ? "but the acknowledgement could not be written)"
              : check.verdict == Verdict::kRepeat ? "acknowledged again)"
                                                  : "acknowledged)");
      break;
    case Verdict::kRefused:
      text = "refused: " + check.reason + "  (order " + check.ClaimedOrder() +
             (written ? ", answered FAIL)" : ", its FAIL answer could not be written)");
      break;
  }
  // What came from outside is shown on a terminal: no escape sequence of its may act there.
  return EscapeControls(received.time + "  " + text);
}

}  // namespace

NotificationWait::NotificationWait(MerchantSettings& merchant, std::chrono::milliseconds wait)
    : wait_(wait), signType_(merchant.Signing()) {
  merchant = watch_.Listen(merchant);
}

void NotificationWait::Expect(const std::string& orderNo) { watch_.Expect(orderNo, signType_); }

void NotificationWait::ExpectRefund(const std::string& outRefundNo) {
  watch_.ExpectRefund(outRefundNo);
}

NotificationAwaited NotificationWait::AwaitRefund(const std::string& outRefundNo) {
  const auto started = std::chrono::steady_clock::now();
  std::ostringstream lines;
  NotificationAwaited awaited;
  awaited.status = WaitAndSayRefund(outRefundNo, lines);
  awaited.elapsed = std::chrono::steady_clock::now() - started;
  awaited.lines = lines.str();
  return awaited;
}

std::vector<ReceivedNotification> NotificationWait::WaitFor(
    const std::function<bool(const ReceivedNotification&)>& ours,
    const std::function<bool(const ReceivedNotification&)>& acknowledged) {
  NotifyListener* listener = watch_.listener();
  // Done once the platform has the acknowledgement: one only made is not yet its.
  listener->WaitFor(
      [&](const std::vector<ReceivedNotification>& received) {
        for (const auto& one : received) {
          if (acknowledged(one)) return true;
        }
        return false;
      },
      wait_);
  // One that came at the end of the wait is not cut off while its answer is written.
  listener->WaitFor(
      [&](const std::vector<ReceivedNotification>& received) {
        for (const auto& one : received) {
          if (ours(one) && one.answer == Answer::kWriting) return false;
        }
        return true;
      },
      kAnswerGrace);
  listener->Stop();
  return listener->received();
}

int NotificationWait::WaitAndSayRefund(const std::string& outRefundNo, std::ostream& out) {
  if (watch_.listener() == nullptr) {
    out << "Notification:  not listened for: " << EscapeControls(watch_.error()) << '\n';
    return kNoNotification;
  }
  // A refused one names no refund that can be trusted: any that came is the refund's to tell.
  const auto ours = [&outRefundNo](const ReceivedNotification& one) {
    return one.refund && (one.check.verdict == Verdict::kRefused ||
                          one.check.Field(kFieldOutRefundNo) == outRefundNo);
  };
  const auto acknowledged = [&ours](const ReceivedNotification& one) {
    return ours(one) && one.check.verdict != Verdict::kRefused && one.answer == Answer::kWritten;
  };
  bool done = false;
  for (const ReceivedNotification& one : WaitFor(ours, acknowledged)) {
    out << "Notification:  " << Line(one) << '\n';
    done = done || acknowledged(one);
  }
  if (!done) {
    const double seconds = static_cast<double>(wait_.count()) / 1000;
    out << "No refund notification for " << EscapeControls(outRefundNo) << " was decrypted and"
        << " acknowledged at " << EscapeControls(watch_.notifyUrl()) << " within " << seconds
        << " s.\n";
    return kNoNotification;
  }
  out << "The refund's notification decrypted and was acknowledged.\n";
  return 0;
}

NotificationAwaited NotificationWait::Await(const std::string& orderNo) {
  const auto started = std::chrono::steady_clock::now();
  // The lines are said once the wait is over, as they always were.
  std::ostringstream lines;
  NotificationAwaited awaited;
  awaited.status = WaitAndSay(orderNo, lines);
  awaited.elapsed = std::chrono::steady_clock::now() - started;
  awaited.lines = lines.str();
  return awaited;
}

int NotificationWait::WaitAndSay(const std::string& orderNo, std::ostream& out) {
  NotifyListener* listener = watch_.listener();
  if (listener == nullptr) {
    out << "Notification:  not listened for: " << EscapeControls(watch_.error()) << '\n'
        << "No notification could arrive; notify_listen names another address to listen on.\n";
    return kNoNotification;
  }
  const auto ours = [&orderNo](const ReceivedNotification& received) {
    return !received.refund && received.check.ClaimedOrder() == orderNo;
  };
  const auto acknowledged = [&ours](const ReceivedNotification& one) {
    return ours(one) && one.check.verdict != Verdict::kRefused && one.answer == Answer::kWritten;
  };
  std::vector<ReceivedNotification> received;
  if (!orderNo.empty()) {
    received = WaitFor(ours, acknowledged);
  } else {
    listener->Stop();
    received = listener->received();
  }
  bool verified = false;
  bool lost = false;
  bool forged = false;
  for (const ReceivedNotification& one : received) {
    out << "Notification:  " << Line(one) << '\n';
    if (!ours(one)) continue;
    verified = verified || acknowledged(one);
    lost = lost || (one.check.verdict != Verdict::kRefused && one.answer != Answer::kWritten);
    forged = forged || one.check.VerificationFailed();
  }
  if (forged) {
    out << "A notification of the order failed verification: it was changed on the way or"
           " forged, and must not be acted on.\n";
    return 3;
  }
  if (!verified && lost) {
    out << "The order's payment notification verified, but its acknowledgement could not be"
           " written: the platform did not get it, and will send the notification again.\n";
    return kNoNotification;
  }
  if (!verified) {
    const double seconds = static_cast<double>(wait_.count()) / 1000;
    out << "No verified notification for the order arrived at "
        << EscapeControls(watch_.notifyUrl()) << " within " << seconds << " s.\n";
    return kNoNotification;
  }
  out << "The order's payment notification verified and was acknowledged.\n";
  return 0;
}

}  // namespace quillmark::cli
