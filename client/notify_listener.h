// The merchant's side of the payment notification, in the client: a small HTTP server on a
// thread of its own that listens at the host and port of the configured notify_url (or at
// notify_listen), reads each notification with the bounds and the one reading of a reply
// (protocol/notification.h), answers it as the platform expects, and reports it. The server
// is the product's own (http/https_server.h), serving plain HTTP on one thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/merchant_settings.h"
#include "protocol/notification.h"
#include "protocol/refund_notification.h"

namespace quillmark {

struct ListenAddress {
  std::string host;  // a name or an address; "[...]" taken off an IPv6 literal
  int port = 0;      // 0: any free port
  std::string path;  // the notify_url's path, "/" when it has none
};

// Where the notifications of `merchant` come: the host and port of notify_url, or those of
// notify_listen when it is set (a notify URL that reaches this machine through a tunnel or
// a router), and notify_url's path.
ListenAddress ListenAddressOf(const MerchantSettings& merchant);

struct ReceivedNotification {
  std::string time;  // local time it came, "2026-12-09 15:04:05"
  // A refund's notification rather than a payment's: `check` then holds the fields of its
  // decrypted req_info (out_trade_no among them), and its verdict and reason; its signature
  // is empty, since a refund notification has none.
  bool refund = false;
  RefundFault refundFault = RefundFault::kNone;  // why its req_info could not be read
  NotificationCheck check;
  // Whether the platform got the answer: an acknowledgement that was made but never written
  // whole leaves the platform without one, and it sends the notification again.
  enum class Answer {
    kWriting,  // made, not yet written
    kWritten,  // written whole to the platform's connection
    kLost,     // the write failed, or the listener stopped before it was done
  };
  Answer answer = Answer::kWriting;
};

class NotifyListener {
 public:
  // Called for each notification once its answer was written or lost (`answer` says
  // which): on the listener's thread, or for an answer that Stop() cut off, on the one
  // that stops.
  using Listener = std::function<void(const ReceivedNotification&)>;

  // Judges notifications as `merchant`'s; `listener` may be null.
  NotifyListener(MerchantSettings merchant, Listener listener);
  ~NotifyListener();  // Stop()
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;

  // Binds `address` and serves on a thread of its own. False, with `error` saying why in
  // one line: the port is in use, the host is not an address of this machine, or the name
  // cannot be resolved.
  bool Start(const ListenAddress& address, std::string& error);
  // Closes the listener and every connection and joins the thread; an answer not written
  // by then is lost. Start() may follow. Safe more than once.
  void Stop();

  // notify_url with the port it listens on: the one to send when notify_url's port was 0.
  // `notifyUrl` unchanged when the listener does not run.
  std::string BoundNotifyUrl(const std::string& notifyUrl) const;
  int port() const;

  // Later notifications are judged as `merchant`'s: the key and the type of orders not
  // expected with one. The socket and the orders expected so far stay, so that a window
  // whose settings changed still takes the notifications of the orders it placed before.
  void UseMerchant(MerchantSettings merchant);

  // An order this program placed: only notifications of such orders are accepted, each
  // verified by the type the order was signed with (the merchant's, when not given).
  void ExpectOrder(const std::string& outTradeNo);
  void ExpectOrder(const std::string& outTradeNo, SignType signType);
  // A refund this program asked for. A refund notification is accepted when it is of such a
  // refund, or at least of an order expected above: a refund made elsewhere (the merchant's
  // back office) of an order of ours is still ours to hear of. Its order is not expected by
  // this: a payment notification of it is no more acceptable than before.
  void ExpectRefund(const std::string& outRefundNo);

  // Every notification received so far, oldest first, those still being answered too.
  std::vector<ReceivedNotification> received() const;
  // Waits until `done` holds for what was received, or `limit` has passed; true when it held.
  bool WaitFor(const std::function<bool(const std::vector<ReceivedNotification>&)>& done,
               std::chrono::milliseconds limit) const;

  struct Impl;  // public only so that the connections in the .cpp can name it

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillmark
