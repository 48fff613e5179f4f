// The orders the sandbox keeps, with bounded memory: an order is forgotten once it is older
// than a time limit, and the oldest go first once a count is reached. A forgotten order is
// an unknown order, as on a platform that has archived it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "protocol/scenarios.h"
#include "protocol/sign.h"

namespace quillmark::sandbox {

// Who moved an order: the console shows it in the order's history.
// kPlatform: the platform on its own, as it closes an order whose time is up.
enum class Actor : std::uint8_t { kNone, kMerchant, kQuery, kPayerPage, kConsole, kPlatform };

// Where a refund stands: accepted and still being made, or final. A final one has had, or
// is having, its notification.
enum class RefundStatus : std::uint8_t { kProcessing, kSuccess, kChange, kClosed };
// "PROCESSING", "SUCCESS", "CHANGE", "REFUNDCLOSE": as the refund query and the
// notification name them.
const char* RefundStatusName(RefundStatus status);
bool ParseRefundStatus(std::string_view name, RefundStatus& status);

// One refund of an order, under the merchant's number of it.
struct Refund {
  std::string outRefundNo;  // the merchant's
  std::string refundId;     // the platform's
  long long refundFee = 0;  // in fen
  std::string notifyUrl;    // the refund request's notify_url; "": the order's
  RefundStatus status = RefundStatus::kProcessing;
  // What it ends in once it is no longer processing (its scenario's).
  RefundStatus ends = RefundStatus::kSuccess;
  std::int64_t requestedAt = 0;  // milliseconds since 1970 UTC
  std::int64_t finishedAt = 0;   // 0 while processing
  std::string successTime;       // "yyyy-MM-dd HH:mm:ss", platform time; set once SUCCESS
  bool notifyAcknowledged = false;
  bool final() const { return status != RefundStatus::kProcessing; }
};

struct Order {
  std::string description;  // the request's body field, UTF-8
  long long totalFee = 0;   // in cents
  std::string notifyUrl;
  int queries = 0;
  bool paid = false;
  bool closed = false;          // closed by the merchant before it was paid: it cannot be paid
  std::string transactionId;    // set once paid
  std::string timeEnd;          // yyyyMMddHHmmss, platform time (UTC+8); set once paid
  bool refunded = false;        // a refund was accepted that was not closed: queries say REFUND
  std::vector<Refund> refunds;  // oldest first

  // Its history, in milliseconds since 1970 UTC (0: not yet): wall-clock times, since they
  // outlive the process in the state file.
  std::int64_t placedAt = 0;
  std::int64_t firstQueryAt = 0;
  std::int64_t lastQueryAt = 0;
  std::int64_t paidAt = 0;
  std::int64_t closedAt = 0;
  Actor paidBy = Actor::kNone;
  Actor closedBy = Actor::kNone;
  // Raised by each change, so that of two copies written out of order the later wins. As
  // wide as the file's column: a narrower one read back from it would wrap below the copy
  // already there, and every later change would lose to it.
  std::int64_t version = 0;
  bool notifyAcknowledged = false;  // its notification has been acknowledged
  // The name of the test scenario it plays (protocol/scenarios.h), chosen as it is placed:
  // armed from the console, else by its amount.
  std::string scenario = kPaidScenario.name;
  // What the scenarios' states keep: the payment failed (PAYERROR); a payment in progress
  // (USERPAYING) and the queries it still takes to finish on its own (0: it waits for the
  // payer); and the refund queries answered so far.
  bool payError = false;
  bool userPaying = false;
  int payingQueries = 0;
  int refundQueries = 0;
  // The sign type of the request that placed it: its notification is signed the same way.
  SignType signType = SignType::kMd5;
  // How it is paid (NATIVE, JSAPI, MWEB, APP), the prepay_id its unified order answered and
  // until when that is valid, the payer a JSAPI order names, and when its time_expire closes
  // it (0: never on its own).
  std::string tradeType = "NATIVE";
  std::string prepayId;
  std::int64_t prepayUntil = 0;
  std::string openId;
  std::int64_t expiresAt = 0;
  // A digest of the fields it was placed with, but for nonce, sign and sign type: a retry
  // with the same ones is the same order.
  std::string placedWith;
  // A till's payment (micropay): the code it was paid with; and its reversal, when, and
  // the reverse calls answered so far (a `reverse-recall` order's first asks for another).
  bool micropay = false;
  std::string authCode;
  bool reversed = false;
  std::int64_t reversedAt = 0;
  int reverseCalls = 0;
};

// Not synchronised: the caller holds its own lock around every call.
class OrderBook {
 public:
  using Clock = std::chrono::steady_clock;

  // `forgotten`, when set, is called with the number of each order the book forgets, as it
  // forgets it, so that a copy kept elsewhere can forget it too.
  OrderBook(std::chrono::seconds ttl, std::size_t maxOrders,
            std::function<void(const std::string&)> forgotten = {});

  // False, and nothing changes, when `number` belongs to an order still kept.
  bool Place(const std::string& number, Order order, Clock::time_point now);
  // The order, or null when there is none (or no longer). Valid until the next Place().
  Order* Find(const std::string& number, Clock::time_point now);
  // The number of an order `matches` holds for, or "" when none does: a look through every
  // order, for the few requests that name an order by something else than its number.
  std::string FindNumber(const std::function<bool(const Order&)>& matches, Clock::time_point now);
  // Every order kept, with its number, in no order.
  std::vector<std::pair<std::string, Order>> All(Clock::time_point now);
  std::size_t size() const { return orders_.size(); }
  // Forgets the orders whose time is up, as Place() and Find() do on the way.
  void ForgetExpired(Clock::time_point now);

 private:
  void ForgetOldest();

  struct Placed {
    Clock::time_point at;
    const std::string* number;  // the key in orders_: map nodes never move
  };
  std::chrono::seconds ttl_;
  std::size_t maxOrders_;
  std::function<void(const std::string&)> forgotten_;
  std::unordered_map<std::string, Order> orders_;
  std::deque<Placed> byAge_;  // oldest first
};

}  // namespace quillmark::sandbox
