// quillmark-cycle --await-notify: the order's payment notification (or, after `refund`, the
// refund's), received by the client's own listener (client/notify_listener.h) from before
// the first request, and what the summary says of it.
#pragma once

#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "client/client_run.h"
#include "client/notification_listening.h"
#include "client/notify_listener.h"
#include "config/merchant_settings.h"

namespace quillmark::cli {

class NotificationWait : public NotificationWatch {
 public:
  // Starts listening where `merchant`'s notifications come; when that fails, the summary
  // says why. `merchant`'s notify_url becomes the one to send (its port filled in when it
  // was 0).
  NotificationWait(MerchantSettings& merchant, std::chrono::milliseconds wait);

  // Called on the run's thread once the order is placed.
  void Expect(const std::string& orderNo) override;
  // Waits up to the time given for a verified notification of `orderNo` (none is waited
  // for without an order), then says a line per notification received and a last line;
  // its status is 0, 3 when a notification of the order failed verification, or
  // kNoNotification when no verified one came.
  NotificationAwaited Await(const std::string& orderNo) override;
  // The refund `outRefundNo` was asked for.
  void ExpectRefund(const std::string& outRefundNo);
  // The same for the refund `outRefundNo`'s notification: 0 once one was decrypted and
  // acknowledged, kNoNotification when none was.
  NotificationAwaited AwaitRefund(const std::string& outRefundNo);

 private:
  // Await's wait and lines.
  int WaitAndSay(const std::string& orderNo, std::ostream& out);
  int WaitAndSayRefund(const std::string& outRefundNo, std::ostream& out);
  // Waits until `acknowledged` holds of one received, then for the answers of those `ours`
  // still being written; stops the listener and returns what it received.
  std::vector<ReceivedNotification> WaitFor(
      const std::function<bool(const ReceivedNotification&)>& ours,
      const std::function<bool(const ReceivedNotification&)>& acknowledged);

  std::chrono::milliseconds wait_;
  SignType signType_;
  NotificationListening watch_;  // the windows' listener's life too
};

}  // namespace quillmark::cli
