// NotificationListening of notification_listening.h.
#include "client/notification_listening.h"

#include <utility>

namespace quillmark {

NotificationListening::NotificationListening(NotifyListener::Listener onReceived)
    : onReceived_(std::move(onReceived)) {}

NotificationListening::~NotificationListening() { Stop(); }

MerchantSettings NotificationListening::Listen(MerchantSettings merchant) {
  const ListenAddress address = ListenAddressOf(merchant);
  {
    // Where notifications came before, the listener goes on: a second one could not take
    // its port, and the orders placed before were sent to it and are expected by it.
    std::lock_guard<std::mutex> lock(mutex_);
    if (listener_ && address.host == listenedAt_.host && address.port == listenedAt_.port &&
        address.path == listenedAt_.path) {
      listener_->UseMerchant(merchant);
      merchant.notifyUrl = listener_->BoundNotifyUrl(merchant.notifyUrl);
      notifyUrl_ = merchant.notifyUrl;
      error_.clear();
      return merchant;
    }
  }
  // Elsewhere: the old one closes first, so that the new one may take its port under
  // another name of the host.
  Stop();
  auto listener = std::make_unique<NotifyListener>(merchant, onReceived_);
  std::string error;
  if (listener->Start(address, error)) {
    merchant.notifyUrl = listener->BoundNotifyUrl(merchant.notifyUrl);
    notifyUrl_ = merchant.notifyUrl;
    error_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
    listenedAt_ = address;
  } else {
    notifyUrl_.clear();
    error_ = error;
  }
  return merchant;
}

void NotificationListening::Expect(const std::string& orderNo, SignType signedWith) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (listener_) listener_->ExpectOrder(orderNo, signedWith);
}

void NotificationListening::ExpectRefund(const std::string& outRefundNo) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (listener_) listener_->ExpectRefund(outRefundNo);
}

void NotificationListening::Stop() {
  std::unique_ptr<NotifyListener> stopping;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping = std::move(listener_);
  }
  stopping.reset();  // joins its thread
}

}  // namespace quillmark
