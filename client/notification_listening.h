// The merchant's listener for payment and refund notifications, its life in one place for the
// runner and the windows: started where the merchant's notifications come (notify_listen, or
// notify_url's host and port), the port it took written into the notify_url the requests
// carry where that said 0, kept on through a change of merchant that leaves the address as
// it was (the orders placed before were sent to it), and why nothing listens when it could
// not start.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "client/notify_listener.h"
#include "config/merchant_settings.h"
#include "protocol/sign.h"

namespace quillmark {

class NotificationListening {
 public:
  // `onReceived` is told of each notification received, on the listener's thread; null:
  // nobody is, and the notifications are read from listener().
  explicit NotificationListening(NotifyListener::Listener onReceived = nullptr);
  ~NotificationListening();  // Stop()
  NotificationListening(const NotificationListening&) = delete;
  NotificationListening& operator=(const NotificationListening&) = delete;

  // Listens where `merchant`'s notifications come: on with the listener already there, or
  // instead of it; returns `merchant` with the notify_url its requests are to carry.
  MerchantSettings Listen(MerchantSettings merchant);
  // The notify_url listened for, or empty when nothing listens, and then why.
  const std::string& notifyUrl() const { return notifyUrl_; }
  const std::string& error() const { return error_; }

  // The order `orderNo`, signed with `signedWith`, is one of ours; from any thread.
  void Expect(const std::string& orderNo, SignType signedWith);
  // The refund `outRefundNo` was asked for here; from any thread.
  void ExpectRefund(const std::string& outRefundNo);
  // The listener, or null when nothing listens; for the thread that calls Listen and Stop.
  NotifyListener* listener() const { return listener_.get(); }
  // Stops listening; its thread is joined.
  void Stop();

 private:
  const NotifyListener::Listener onReceived_;
  // Replaced by Listen, and told of orders from other threads: the mutex guards the pointer.
  mutable std::mutex mutex_;
  std::unique_ptr<NotifyListener> listener_;
  ListenAddress listenedAt_;
  std::string notifyUrl_;
  std::string error_;
};

}  // namespace quillmark
