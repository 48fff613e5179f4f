// quillmark-cycle --await-notify: the order's payment notification, received by the
// client's own listener (payment/notify_listener.h) from before the first request, and
// what the summary says of it.
#pragma once

#include <chrono>
#include <iosfwd>
#include <memory>
#include <string>

#include "payment/merchant_settings.h"
#include "payment/notify_listener.h"

namespace quillmark::cli {

inline constexpr int kNoNotification = 4;

class NotificationWait {
 public:
  // Starts listening where `merchant`'s notifications come; when that fails, the summary
  // says why. `merchant`'s notify_url becomes the one to send (its port filled in when it
  // was 0).
  NotificationWait(MerchantSettings& merchant, std::chrono::milliseconds wait);

  // Called on the cycle's thread once the order is placed.
  void Expect(const std::string& orderNo);
  // Waits up to the time given for a verified notification of `orderNo` (none is waited
  // for without an order), then prints a line per notification received and a last line;
  // returns 0, 3 when a notification of the order failed verification, or
  // kNoNotification when no verified one came.
  int Summarise(const std::string& orderNo, std::ostream& out);

  // What the last Summarise said and returned, and how long it took (the wait included),
  // for a report of the run; `summarised` false before it.
  struct Summary {
    bool summarised = false;
    int status = 0;
    std::string lines;
    std::chrono::steady_clock::duration elapsed{};
  };
  const Summary& summary() const { return summary_; }

 private:
  // Summarise's wait and lines.
  int WaitAndSay(const std::string& orderNo, std::ostream& out);

  Summary summary_;
  std::chrono::milliseconds wait_;
  std::string url_;
  std::string error_;  // why nothing listens
  std::unique_ptr<NotifyListener> listener_;
};

}  // namespace quillmark::cli
