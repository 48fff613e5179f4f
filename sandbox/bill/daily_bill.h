// The day's bill a merchant downloads to reconcile its books: every payment made and every
// refund asked for on one day of the platform's clock (UTC+8), as the platform's plain-text
// table, and whether that day's bill can be had yet. Pure: the caller gives the orders and
// the time.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sandbox/order/order_book.h"

namespace quillmark::sandbox {

enum class BillType : std::uint8_t { kAll, kSuccess, kRefund };
// "ALL", "SUCCESS", "REFUND" as bill_type names them; false for any other.
bool ParseBillType(const std::string& name, BillType& type);

// A day of the platform's calendar, yyyyMMdd.
struct BillDay {
  int year = 0, month = 0, day = 0;
  // False unless `text` is eight digits naming a real day.
  static bool Parse(const std::string& text, BillDay& day);
  std::string Text() const;
  // Its first millisecond: 00:00 UTC+8, in milliseconds since 1970 UTC.
  std::int64_t StartMs() const;
  // The day that `at` falls on, platform time.
  static BillDay Of(std::int64_t at);
};

// Whether the bill of `day` may be fetched at `now`: closed at 10:00 the next day (at once
// with `readyNow`, but never before the day has begun), and no more than three months old.
enum class BillAvailability : std::uint8_t { kReady, kNotClosed, kTooOld };
BillAvailability AvailabilityOf(const BillDay& day, std::int64_t now, bool readyNow);

// The totals its summary row gives, in fen.
struct BillSummary {
  long long trades = 0;
  long long settlementTotal = 0;
  long long refundTotal = 0;
  long long rechargeCouponRefundTotal = 0;
  long long feeTotal = 0;
  long long orderTotal = 0;
  long long requestedRefundTotal = 0;
};

// Who the bill is for: the columns every row repeats.
struct BillMerchant {
  std::string appId;
  std::string mchId;
};

// The coupon an order was partly paid with, from its scenario: none when `fee` is 0.
struct Coupon {
  long long fee = 0;  // fen
  std::string id;
  std::string type;  // CASH or NO_CASH
};
Coupon CouponOf(const Order& order);
// The fen the merchant is settled for a payment: its amount less a coupon that is no cash.
long long SettlementFee(const Order& order);

// The platform's made-up fee on a settled amount, in fen, rounded half up; negative for a
// refund, which gives it back.
long long FeeOf(long long settledFen);

struct DailyBill {
  std::string text;  // UTF-8, lines ending "\r\n"; "" when the day had no trades
  BillSummary summary;
};

using NumberedOrders = std::vector<std::pair<std::string, Order>>;
// The bill of `day` over `orders` (number and order): a payment on the day its order was
// paid, a refund on the day it was asked for; orders never paid are not in it.
DailyBill MakeDailyBill(const NumberedOrders& orders, const BillDay& day, BillType type,
                        const BillMerchant& merchant);

// Yuan with two decimals: 4030 -> "40.30", -3 -> "-0.03".
std::string Yuan(long long fen);

}  // namespace quillmark::sandbox
