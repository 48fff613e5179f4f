// An order's life: the states it can be in, the transitions between them, who may cause
// each and the refusal answered when it is not allowed. The only code that changes an
// order's state (and its history); handlers, the console's actions, the payer page and the
// notifier's acknowledgements all go through it. Not synchronised: the caller's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <random>
#include <string>
#include <string_view>

#include "protocol/trade_states.h"
#include "sandbox/order/order_book.h"

namespace quillmark::sandbox {

// Now, as the history keeps its times: milliseconds since 1970 UTC, on the sandbox's clock,
// which is the machine's moved by the clock offset.
std::int64_t NowMs();

// The clock offset, in milliseconds (negative: behind the machine's): a tester moves the
// sandbox's clock (--clock-offset, or the console) to age orders and codes without waiting,
// and every time the sandbox stamps or compares then follows it: an order's age, time_end,
// ids, bill days, a code's minute, the journal. Process-wide, so one sandbox per process
// sets it (Sandbox::Start does); thread-safe.
void SetClockOffsetMs(std::int64_t offset);
std::int64_t ClockOffsetMs();
// The most the clock may be moved either way: ten years, so that any time stays a date.
inline constexpr std::int64_t kMaxClockOffsetMs = 3650LL * 24 * 3600 * 1000;
// `text` as a clock offset: an optional sign, then one or more of a whole number with its
// unit, d, h, m or s, each unit once and in that order ("7d1m", "-2h", "6d23h", "0").
// False for anything else, or beyond kMaxClockOffsetMs.
bool ParseClockOffset(std::string_view text, std::int64_t& offsetMs);
// `offsetMs` written as ParseClockOffset reads it, whole seconds ("+7d0h1m0s", "0").
std::string ClockOffsetText(std::int64_t offsetMs);

// The platform's clock is China Standard Time, UTC+8 all year, wherever the sandbox runs:
// its times and the days of its bills never follow the machine's zone.
inline constexpr int kPlatformUtcOffsetSeconds = 8 * 3600;
inline constexpr char kPlatformZoneName[] = "UTC+8";
inline constexpr char kTimeEndFormat[] = "%Y%m%d%H%M%S";           // time_end
inline constexpr char kSuccessTimeFormat[] = "%Y-%m-%d %H:%M:%S";  // success_time, the bill
inline constexpr char kBillDayFormat[] = "%Y%m%d";                 // bill_date
// The calendar parts of `at` (milliseconds since 1970 UTC) on the platform's clock, and
// them written with strftime's `format`.
std::tm PlatformCalendar(std::int64_t at);
std::string PlatformTime(std::int64_t at, const char* format);

// The sandbox's one made-up payer and till, which every payment's notification and the
// bill name: the unified order takes no attach nor device_info, yet a merchant's checks
// must meet them.
inline constexpr char kPayerOpenId[] = "qmpayer-sandbox-000000000001";
inline constexpr char kPayerBankType[] = "SANDBOX_DEBIT";
inline constexpr char kPayerIsSubscribe[] = "N";
inline constexpr char kPayerDeviceInfo[] = "SANDBOX-TILL-01";
inline constexpr char kPayerAttach[] = "quillmark sandbox";
// The payer `order` names wherever the platform names one: the JSAPI order's own openid,
// else the sandbox's one payer.
const std::string& PayerOf(const Order& order);

// A query reports each state under its trade_state: NOTPAY, SUCCESS, CLOSED, REFUND,
// PAYERROR (the payment failed), USERPAYING (a payment in progress) and REVOKED (a till's
// payment reversed: closed for good, or refunded whole).
enum class OrderState : std::uint8_t {
  kNotPaid,
  kPaid,
  kClosed,
  kRefunded,
  kPayError,
  kUserPaying,
  kReversed,
};
inline constexpr int kOrderStates = 7;

// The one place an order's state is read from its members.
OrderState StateOf(const Order& order);
// The trade state a query reports for `state` (protocol/trade_states.h), and its name for
// `order`.
const TradeStateInfo& QueriedState(OrderState state);
const char* TradeState(const Order& order);

enum class Transition : std::uint8_t {
  kPay,          // into kPaid: the payer page's button, the console, or enough queries
  kClose,        // into kClosed: the merchant's close order, or the console
  kRefund,       // into kRefunded: a refund of the merchant's (OrderLife::AskRefund) accepted
  kResend,       // no move: the console sends the notification of a paid order again
  kDecline,      // into kPayError: the payer page's decline, or a query's pay that fails
  kStartPaying,  // into kUserPaying: the payer page's "keep paying", or a query's pay
  kPlaceAgain,   // no move: the merchant's unified order again under the order's number
  kReverse,      // into kReversed: the merchant's reverse (OrderLife::Reverse)
};
inline constexpr int kTransitions = 8;

// What a transition does from the order's state (sandbox/order/order_life.cpp's table).
struct Step {
  enum class Kind : std::uint8_t {
    kMoved,    // the order moved: what the transition sets is set, its version raised
    kStayed,   // allowed, and nothing changes: the caller answers as if it had been done
    kRefused,  // not allowed: nothing changes, and `refusal` says why
  } kind = Kind::kRefused;
  // The code the caller answers: the API's err_code (ORDERPAID...), the console's message
  // key (paid-already...), the payer page's log words. "" unless refused.
  const char* refusal = "";

  bool moved() const { return kind == Kind::kMoved; }
  bool refused() const { return kind == Kind::kRefused; }
};

// The refusal of a transition that `actor` may not cause at all.
inline constexpr char kNotTheActorsTransition[] = "not-allowed";

// Who causes a transition, when, and what it carries.
struct Cause {
  Actor by = Actor::kNone;
  std::int64_t at = 0;   // milliseconds since 1970 UTC
  int queriesToPay = 0;  // kStartPaying's: the queries after which it is paid (0: never)
};

// How long a prepay_id is valid after its unified order.
inline constexpr std::int64_t kPrepayValidMs = 2 * 3600 * 1000;
// What a unified order placed again under the number of a kept order answers, after Check()
// by the merchant passed.
inline constexpr char kPlacedTwiceCode[] = "INVALID_REQUEST";
inline constexpr char kPlacedTwiceWords[] = "201 商户订单号重复";

// The most refunds one order takes, each under its own number.
inline constexpr std::size_t kMaxRefunds = 50;

// A refund as the merchant's request asks for it.
struct RefundAsk {
  std::string outRefundNo;
  long long totalFee = 0;  // must be the order's
  long long refundFee = 0;
  std::string notifyUrl = {};  // the request's; "": the order's is notified
  // What its scenario makes of it: where it ends, and whether it is still processing
  // until its first refund query.
  RefundStatus ends = RefundStatus::kSuccess;
  bool processing = false;
};

// What a refund request did: a new refund (step moved), the same refund asked again
// (stayed: nothing is made), or a refusal (`step.refusal` the err_code, `why` its words,
// after "order <number> ").
struct RefundStep {
  Step step;
  std::string why;
  std::size_t index = 0;  // the refund's place in order.refunds, unless refused
};

// How old an order may be and still be reversed.
inline constexpr std::int64_t kReverseWithinMs = 7LL * 24 * 60 * 60 * 1000;

class OrderLife {
 public:
  OrderLife();

  // What `transition` by `actor` would do to `order`, changing nothing: for a caller that
  // has checks of its own to make between allowed and done (a refund's amount).
  static Step Check(const Order& order, Transition transition, Actor actor);
  // Check(), and when it moves, sets what the transition sets: a payment its time_end and
  // transaction_id, a refund its refund_id, each its time and actor, and raises the version.
  Step Apply(Order& order, Transition transition, const Cause& cause);

  // A refund of `order`: Check(kRefund) by the merchant, then the amounts: total_fee must be
  // the order's; a number already used is the same refund when its amount is the same and
  // refused otherwise; a new one must fit in what is left to refund and within kMaxRefunds.
  // A new refund gets its refund_id and is final at once unless `ask.processing`.
  RefundStep AskRefund(Order& order, const RefundAsk& ask, std::int64_t at);
  // A refund still processing becomes what it ends in; false when it was final already.
  static bool FinishRefund(Order& order, std::size_t index, std::int64_t at);
  // The fen of `order` not yet refunded: refunds that closed gave theirs back.
  static long long Refundable(const Order& order);
  // The refund numbered `outRefundNo`, or null.
  static const Refund* FindRefund(const Order& order, const std::string& outRefundNo);
  // Its notification was acknowledged: kept with the attempt, as the order's is.
  static void RefundAcknowledged(Order& order, const std::string& outRefundNo);

  // A unified order under the number of `order` again, placed with the fields whose digest
  // is `placedWith`: Check(kPlaceAgain) by the merchant once its time_expire was looked at,
  // then the fields: other ones are refused with kPlacedTwiceCode; the same ones stay (the
  // same prepay_id answered), or move when the prepay_id had run out and a new one is given.
  Step PlaceAgain(Order& order, const std::string& placedWith, std::int64_t at);
  // Closes `order` by the platform when its time_expire has come by `at`: true when it did.
  bool CloseIfExpired(Order& order, std::int64_t at);
  // A fresh prepay_id for `order`, valid kPrepayValidMs from `at`: given as it is placed,
  // before any lock is taken.
  static void GivePrepayId(Order& order, std::int64_t at);
  // A reverse of `order` at `at`: refused for an order that is no till's payment
  // (TRADE_ERROR) or older than kReverseWithinMs (REVERSE_EXPIRE), else Apply(kReverse) by
  // the merchant. `recallFirst` (its scenario's) answers the first call without reversing:
  // stayed, and the caller asks for another call. Every call answered is counted.
  Step Reverse(Order& order, std::int64_t at, bool recallFirst);

  // A new order, not paid, at version 1.
  static Order Placed(std::string description, long long totalFee, std::string notifyUrl,
                      std::int64_t at);
  // A query was answered at `at`: counted, and its time kept. Not a move: the state stays.
  static void Queried(Order& order, std::int64_t at);
  // The merchant acknowledged its notification. Not a move, nor a new version: the store
  // keeps it with the attempt.
  static void Acknowledged(Order& order);
  // A query found the payment in progress: one query fewer until it finishes; true when
  // that was the last (the caller then pays it, by the query).
  static bool CountPayingQuery(Order& order);
  // A refund query was answered: counted.
  static void RefundQueried(Order& order);

 private:
  // A platform id (transaction_id, refund_id): the day of `timeEnd`, then random digits,
  // 28 in all.
  std::string NewPlatformId(const std::string& timeEnd);

  std::mt19937_64 random_;
};

}  // namespace quillmark::sandbox
