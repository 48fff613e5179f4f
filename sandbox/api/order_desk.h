// What a request's handler may ask of the sandbox (the API's handlers and the payer page's
// actions): its orders, under its lock and through their life; its signed replies; and the
// request's log line. The sandbox implements it; a handler sees nothing else of it.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http/https_server.h"
#include "protocol/scenarios.h"
#include "sandbox/api/exchange.h"
#include "sandbox/faults.h"
#include "sandbox/order/order_book.h"
#include "sandbox/order/order_life.h"
#include "sandbox/scenarios/armed.h"

namespace quillmark::sandbox {

class OrderDesk {
 public:
  virtual ~OrderDesk() = default;

  // The run's fault (Options::fault) and Options::payAfterQueries.
  virtual Fault fault() const = 0;
  virtual int payAfterQueries() const = 0;
  // Options::billReadyNow.
  virtual bool billReadyNow() const = 0;
  // How long after a query first says SUCCESS a `notify-late` order is notified
  // (Options::lateNotifyDelay).
  virtual std::chrono::milliseconds lateNotifyDelay() const = 0;

  // The scenario armed from the console for the order `number` (or for the next order),
  // taken: it is no longer armed. Nothing when none is. The caller sets the exchange's
  // tookArmed to its id, so that it goes from the state file too.
  virtual std::optional<ArmedScenario> TakeArmed(const std::string& number) = 0;
  // True the first time it is asked about `number`, false ever after (within the run):
  // whether a `system-error-once` order's placement is its first.
  virtual bool FirstPlacementOf(const std::string& number) = 0;

  // Keeps `order` under `number`; false, and nothing kept, when the number is taken.
  virtual bool Place(const std::string& number, const Order& order) = 0;
  // Calls `use` with the order and its life under the sandbox's lock, where `use` may
  // change it through `life` only; false, without calling it, when there is no such order.
  // An order whose time_expire has come is closed by the platform first.
  using OrderUse = std::function<void(Order& order, OrderLife& life)>;
  virtual bool WithOrder(const std::string& number, const OrderUse& use) = 0;
  // The number of the order `matches` holds for, under the lock; "" when there is none.
  virtual std::string FindOrderNumber(const std::function<bool(const Order&)>& matches) = 0;
  // A copy of every order kept, with its number, taken under the lock.
  virtual std::vector<std::pair<std::string, Order>> AllOrders() = 0;
  // The payer page's address of the order, as its code_url names it.
  virtual std::string CodeUrl(const std::string& orderNo) const = 0;

  // Sends `fields` (after return_code SUCCESS, with the merchant's ids, a fresh nonce,
  // result_code SUCCESS and the sign) as the reply of `ex`, spoilt by `fault` unless kNone.
  // Signed with the sign type its request named.
  virtual void SendSuccess(ReplyFields fields, Exchange& ex, Fault fault) = 0;
  // A business failure: return_code SUCCESS, result_code FAIL with `errCode` and its
  // description, signed like any SUCCESS reply.
  virtual void SendResultFail(const std::string& orderNo, const std::string& errCode,
                              const std::string& description, Exchange& ex) = 0;
  // return_code FAIL with `message`: the request itself was not in order.
  virtual void SendFail(const std::string& message, HttpReply& reply) = 0;
  // The request's log line, and its last word in the journal (Exchange::Conclude).
  virtual void Log(Exchange& ex, const std::string& orderNo, int status,
                   const std::string& outcome) = 0;
};

}  // namespace quillmark::sandbox
