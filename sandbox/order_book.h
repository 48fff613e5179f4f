// The orders the sandbox keeps, with bounded memory: an order is forgotten once it is older
// than a time limit, and the oldest go first once a count is reached. A forgotten order is
// an unknown order, as on a platform that has archived it.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>

namespace quillmark::sandbox {

struct Order {
  std::string description;  // the request's body field, UTF-8
  long long totalFee = 0;   // in cents
  std::string notifyUrl;
  int queries = 0;
  bool paid = false;
  bool closed = false;        // closed by the merchant before it was paid: it cannot be paid
  std::string transactionId;  // set once paid
  std::string timeEnd;        // yyyyMMddHHmmss, local time; set once paid
  bool refunded = false;      // refunded whole, once; its queries then say REFUND
  std::string outRefundNo;    // the merchant's number of the refund
  std::string refundId;       // the platform's; set once refunded
};

// Not synchronised: the caller holds its own lock around every call.
class OrderBook {
 public:
  using Clock = std::chrono::steady_clock;

  OrderBook(std::chrono::seconds ttl, std::size_t maxOrders);

  // False, and nothing changes, when `number` belongs to an order still kept.
  bool Place(const std::string& number, Order order, Clock::time_point now);
  // The order, or null when there is none (or no longer). Valid until the next Place().
  Order* Find(const std::string& number, Clock::time_point now);
  std::size_t size() const { return orders_.size(); }

 private:
  void ForgetExpired(Clock::time_point now);

  struct Placed {
    Clock::time_point at;
    const std::string* number;  // the key in orders_: map nodes never move
  };
  std::chrono::seconds ttl_;
  std::size_t maxOrders_;
  std::unordered_map<std::string, Order> orders_;
  std::deque<Placed> byAge_;  // oldest first
};

}  // namespace quillmark::sandbox
