// The order's life as one table (kRules) and the members each move sets.
#include "sandbox/order/order_life.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <ctime>
#include <iterator>
#include <utility>

#include "platform/platform.h"
#include "sandbox/api/request_check.h"

namespace quillmark::sandbox {
namespace {

// A cell of the table: one of these two, or the refusal code itself.
constexpr char kMove[] = "(moves)";
constexpr char kStay[] = "(stays)";

// What the payer page's button logs when it cannot pay.
constexpr char kPayerPaid[] = "already paid";
constexpr char kPayerClosed[] = "refused: the order is closed";
constexpr char kPayerFailed[] = "refused: the payment failed";
constexpr char kPayerReversed[] = "refused: the order was reversed";

// Short names for the table.
constexpr Transition kPay = Transition::kPay, kClose = Transition::kClose,
                     kRefund = Transition::kRefund, kResend = Transition::kResend,
                     kDecline = Transition::kDecline, kStartPaying = Transition::kStartPaying,
                     kPlaceAgain = Transition::kPlaceAgain, kReverse = Transition::kReverse;
constexpr Actor kMerchant = Actor::kMerchant, kQuery = Actor::kQuery, kPayer = Actor::kPayerPage,
                kConsole = Actor::kConsole, kPlatform = Actor::kPlatform;

struct Rule {
  Transition transition;
  Actor actor;
  const char* from[kOrderStates];  // by OrderState
};

// Every transition an actor may cause, and what it does from each state: kMove moves the
// order into the transition's state, kStay leaves it as it is (and it is answered as done),
// anything else is refused with that code. A pair that is not here is refused with
// kNotTheActorsTransition.
// clang-format off
constexpr Rule kRules[] = {
// transition     actor       NOTPAY          PAID               CLOSED              REFUND           PAYERROR            USERPAYING      REVOKED
  {kPay,          kQuery,    {kMove,          kStay,             kStay,              kStay,           kStay,              kMove,          kStay}},
  {kPay,          kPayer,    {kMove,          kPayerPaid,        kPayerClosed,       kPayerPaid,      kPayerFailed,       kMove,          kPayerReversed}},
  {kPay,          kConsole,  {kMove,          "paid-already",    "closed-unpayable", "paid-already",  kMove,              kMove,          "closed-unpayable"}},
  {kClose,        kMerchant, {kMove,          "ORDERPAID",       kStay,              "ORDERPAID",     kMove,              kMove,          "ORDERREVERSED"}},
  {kClose,        kConsole,  {kMove,          "paid-unclosable", "closed-already",   "paid-unclosable", kMove,            kMove,          "closed-already"}},
  {kClose,        kPlatform, {kMove,          kStay,             kStay,              kStay,           kStay,              kStay,          kStay}},
  {kRefund,       kMerchant, {"ORDERNOTPAID", kMove,             "ORDERCLOSED",      kMove,           "ORDERNOTPAID",     "ORDERNOTPAID", "ORDERREVERSED"}},
  {kResend,       kConsole,  {"not-paid",     kStay,             "not-paid",         kStay,           "not-paid",         "not-paid",     "not-paid"}},
  {kDecline,      kQuery,    {kMove,          kStay,             kStay,              kStay,           kStay,              kMove,          kStay}},
  {kDecline,      kPayer,    {kMove,          kPayerPaid,        kPayerClosed,       kPayerPaid,      kStay,              kMove,          kPayerReversed}},
  {kStartPaying,  kQuery,    {kMove,          kStay,             kStay,              kStay,           kStay,              kStay,          kStay}},
  {kStartPaying,  kPayer,    {kMove,          kPayerPaid,        kPayerClosed,       kPayerPaid,      kPayerFailed,       kStay,          kPayerReversed}},
  {kPlaceAgain,   kMerchant, {kStay,          "ORDERPAID",       "ORDERCLOSED",      "ORDERPAID",     kStay,              kStay,          "ORDERREVERSED"}},
  // A reverse takes back whatever became of a till's payment; a second one is answered as
  // done, and asks for no other.
  {kReverse,      kMerchant, {kMove,          kMove,             kMove,              kMove,           kMove,              kMove,          kStay}},
};
// clang-format on

Step StepOf(const char* cell) {
  if (cell == kMove) return {Step::Kind::kMoved, ""};
  if (cell == kStay) return {Step::Kind::kStayed, ""};
  return {Step::Kind::kRefused, cell};
}

bool Refunding(const Order& order) {
  for (const Refund& refund : order.refunds) {
    if (refund.status != RefundStatus::kClosed) return true;
  }
  return false;
}

}  // namespace

const char* RefundStatusName(RefundStatus status) {
  switch (status) {
    case RefundStatus::kProcessing:
      return "PROCESSING";
    case RefundStatus::kSuccess:
      return "SUCCESS";
    case RefundStatus::kChange:
      return "CHANGE";
    case RefundStatus::kClosed:
      return "REFUNDCLOSE";
  }
  return "PROCESSING";
}

bool ParseRefundStatus(std::string_view name, RefundStatus& status) {
  for (const RefundStatus each : {RefundStatus::kProcessing, RefundStatus::kSuccess,
                                  RefundStatus::kChange, RefundStatus::kClosed}) {
    if (name == RefundStatusName(each)) {
      status = each;
      return true;
    }
  }
  return false;
}

std::tm PlatformCalendar(std::int64_t at) {
  // Floor division: a time before 1970 still lands in the right second.
  std::int64_t seconds = at / 1000;
  if (at % 1000 < 0) --seconds;
  return platform::UtcCalendar(static_cast<std::time_t>(seconds + kPlatformUtcOffsetSeconds));
}

const std::string& PayerOf(const Order& order) {
  static const std::string sandboxPayer = kPayerOpenId;
  return order.openId.empty() ? sandboxPayer : order.openId;
}

std::string PlatformTime(std::int64_t at, const char* format) {
  const std::tm parts = PlatformCalendar(at);
  char text[32];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

namespace {
std::atomic<std::int64_t> clockOffsetMs{0};
}  // namespace

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() +
         clockOffsetMs.load(std::memory_order_relaxed);
}

void SetClockOffsetMs(std::int64_t offset) {
  clockOffsetMs.store(std::clamp(offset, -kMaxClockOffsetMs, kMaxClockOffsetMs),
                      std::memory_order_relaxed);
}

std::int64_t ClockOffsetMs() { return clockOffsetMs.load(std::memory_order_relaxed); }

bool ParseClockOffset(std::string_view text, std::int64_t& offsetMs) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text == "0") {
    offsetMs = 0;
    return true;
  }
  static constexpr struct {
    char unit;
    std::int64_t ms;
  } kUnits[] = {{'d', 24 * 3600 * 1000}, {'h', 3600 * 1000}, {'m', 60 * 1000}, {'s', 1000}};
  std::int64_t total = 0;
  std::size_t next = 0;  // units before this one are used up
  while (!text.empty()) {
    std::size_t digits = 0;
    std::int64_t number = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
      // Ten years in seconds has nine digits; more are refused before they could overflow.
      if (++digits > 9) return false;
      number = number * 10 + (text[digits - 1] - '0');
    }
    if (digits == 0 || digits == text.size()) return false;
    std::size_t unit = next;
    while (unit < std::size(kUnits) && kUnits[unit].unit != text[digits]) ++unit;
    if (unit == std::size(kUnits)) return false;
    total += number * kUnits[unit].ms;
    if (total > kMaxClockOffsetMs) return false;
    next = unit + 1;
    text.remove_prefix(digits + 1);
  }
  if (next == 0) return false;
  offsetMs = negative ? -total : total;
  return true;
}

std::string ClockOffsetText(std::int64_t offsetMs) {
  if (offsetMs / 1000 == 0) return "0";
  std::int64_t seconds = offsetMs < 0 ? -offsetMs / 1000 : offsetMs / 1000;
  return (offsetMs < 0 ? "-" : "+") + std::to_string(seconds / 86400) + "d" +
         std::to_string(seconds / 3600 % 24) + "h" + std::to_string(seconds / 60 % 60) + "m" +
         std::to_string(seconds % 60) + "s";
}

OrderState StateOf(const Order& order) {
  if (order.reversed) return OrderState::kReversed;
  if (order.refunded) return OrderState::kRefunded;
  if (order.paid) return OrderState::kPaid;
  if (order.closed) return OrderState::kClosed;
  if (order.payError) return OrderState::kPayError;
  return order.userPaying ? OrderState::kUserPaying : OrderState::kNotPaid;
}

const TradeStateInfo& QueriedState(OrderState state) {
  // By OrderState.
  static constexpr TradeStateId kQueriedAs[kOrderStates] = {
      TradeStateId::kNotPay, TradeStateId::kSuccess,  TradeStateId::kClosed,
      TradeStateId::kRefund, TradeStateId::kPayError, TradeStateId::kUserPaying,
      TradeStateId::kRevoked};
  return TradeStateOf(kQueriedAs[static_cast<int>(state)]);
}

const char* TradeState(const Order& order) { return QueriedState(StateOf(order)).name; }

OrderLife::OrderLife() : random_(SeededRandom()) {}

Step OrderLife::Check(const Order& order, Transition transition, Actor actor) {
  for (const Rule& rule : kRules) {
    if (rule.transition == transition && rule.actor == actor) {
      return StepOf(rule.from[static_cast<int>(StateOf(order))]);
    }
  }
  return {Step::Kind::kRefused, kNotTheActorsTransition};
}

Step OrderLife::Apply(Order& order, Transition transition, const Cause& cause) {
  const Step step = Check(order, transition, cause.by);
  if (!step.moved()) return step;
  switch (transition) {
    case Transition::kPay:
      order.paid = true;
      order.userPaying = false;
      order.payingQueries = 0;
      order.timeEnd = PlatformTime(cause.at, kTimeEndFormat);
      order.transactionId = NewPlatformId(order.timeEnd);
      order.paidAt = cause.at;
      order.paidBy = cause.by;
      break;
    case Transition::kClose:
      order.closed = true;
      order.userPaying = false;
      order.payingQueries = 0;
      order.closedAt = cause.at;
      order.closedBy = cause.by;
      break;
    case Transition::kRefund:
      order.refunded = true;  // the refund itself is AskRefund()'s
      break;
    case Transition::kResend:
    case Transition::kPlaceAgain:
      break;  // never moves
    case Transition::kDecline:
      order.payError = true;
      order.userPaying = false;
      order.payingQueries = 0;
      break;
    case Transition::kStartPaying:
      order.userPaying = true;
      order.payingQueries = cause.queriesToPay;
      break;
    case Transition::kReverse:
      // Closed for good when it was not paid, its whole amount back when it was: either
      // way no later pay of any actor moves it again (the table's REVOKED column).
      order.reversed = true;
      order.userPaying = false;
      order.payingQueries = 0;
      order.reversedAt = cause.at;
      break;
  }
  ++order.version;
  return step;
}

RefundStep OrderLife::AskRefund(Order& order, const RefundAsk& ask, std::int64_t at) {
  RefundStep result;
  const auto refuse = [&result](const char* code, std::string why) {
    result.step = {Step::Kind::kRefused, code};
    result.why = std::move(why);
    return result;
  };
  result.step = Check(order, Transition::kRefund, Actor::kMerchant);
  if (result.step.refused()) return result;
  const std::string total = std::to_string(order.totalFee);
  if (ask.totalFee != order.totalFee) {
    return refuse("INVALIDTOTALFEE", "is of " + total + " fen: total_fee " +
                                         std::to_string(ask.totalFee) + " is not its amount");
  }
  for (std::size_t i = 0; i < order.refunds.size(); ++i) {
    const Refund& made = order.refunds[i];
    if (made.outRefundNo != ask.outRefundNo) continue;
    if (made.refundFee != ask.refundFee) {
      return refuse("REFUNDNOTMATCH", "has a refund " + made.outRefundNo + " of " +
                                          std::to_string(made.refundFee) +
                                          " fen already; "
                                          "the same out_refund_no cannot ask for " +
                                          std::to_string(ask.refundFee));
    }
    result.step = {Step::Kind::kStayed, ""};
    result.index = i;
    return result;
  }
  if (order.refunds.size() >= kMaxRefunds) {
    return refuse("REFUNDLIMIT", "has had " + std::to_string(order.refunds.size()) +
                                     " refunds, the most an order takes");
  }
  const long long left = Refundable(order);
  if (ask.refundFee > left) {
    return refuse("INVALIDREFUNDFEE", "has " + std::to_string(left) + " of its " + total +
                                          " fen left to refund: refund_fee " +
                                          std::to_string(ask.refundFee) + " is more");
  }
  Refund refund;
  refund.outRefundNo = ask.outRefundNo;
  refund.refundId = NewPlatformId(PlatformTime(at, kTimeEndFormat));
  refund.refundFee = ask.refundFee;
  refund.notifyUrl = ask.notifyUrl;
  refund.ends = ask.ends;
  refund.requestedAt = at;
  order.refunds.push_back(std::move(refund));
  result.index = order.refunds.size() - 1;
  result.step = Apply(order, Transition::kRefund, Cause{Actor::kMerchant, at, 0});
  // Final at once unless its scenario keeps it processing; one that closed leaves the order
  // paid, as it was, when no other refund stands.
  if (!ask.processing) FinishRefund(order, result.index, at);
  return result;
}

bool OrderLife::FinishRefund(Order& order, std::size_t index, std::int64_t at) {
  Refund& refund = order.refunds.at(index);
  if (refund.final()) return false;
  refund.status = refund.ends;
  refund.finishedAt = at;
  if (refund.status == RefundStatus::kSuccess)
    refund.successTime = PlatformTime(at, kSuccessTimeFormat);
  order.refunded = Refunding(order);
  ++order.version;
  return true;
}

long long OrderLife::Refundable(const Order& order) {
  long long left = order.totalFee;
  for (const Refund& refund : order.refunds) {
    if (refund.status != RefundStatus::kClosed) left -= refund.refundFee;
  }
  return left;
}

const Refund* OrderLife::FindRefund(const Order& order, const std::string& outRefundNo) {
  for (const Refund& refund : order.refunds) {
    if (refund.outRefundNo == outRefundNo) return &refund;
  }
  return nullptr;
}

void OrderLife::RefundAcknowledged(Order& order, const std::string& outRefundNo) {
  for (Refund& refund : order.refunds) {
    if (refund.outRefundNo == outRefundNo) refund.notifyAcknowledged = true;
  }
}

Step OrderLife::PlaceAgain(Order& order, const std::string& placedWith, std::int64_t at) {
  CloseIfExpired(order, at);
  const Step step = Check(order, Transition::kPlaceAgain, Actor::kMerchant);
  if (step.refused()) return step;
  if (placedWith != order.placedWith) return {Step::Kind::kRefused, kPlacedTwiceCode};
  if (at < order.prepayUntil) return step;
  GivePrepayId(order, at);
  ++order.version;
  return {Step::Kind::kMoved, ""};
}

bool OrderLife::CloseIfExpired(Order& order, std::int64_t at) {
  if (order.expiresAt == 0 || at < order.expiresAt) return false;
  return Apply(order, Transition::kClose, Cause{Actor::kPlatform, at, 0}).moved();
}

void OrderLife::GivePrepayId(Order& order, std::int64_t at) {
  // Made up: the sandbox's own prefix, the day and time, then random letters and digits.
  static constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  static thread_local std::mt19937_64 random = SeededRandom();
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
  std::string id = "qmpp" + PlatformTime(at, "%Y%m%d");
  while (id.size() < 36) id += kAlphabet[pick(random)];
  order.prepayId = std::move(id);
  order.prepayUntil = at + kPrepayValidMs;
}

Step OrderLife::Reverse(Order& order, std::int64_t at, bool recallFirst) {
  if (!order.micropay) return {Step::Kind::kRefused, "TRADE_ERROR"};
  const Step allowed = Check(order, Transition::kReverse, Actor::kMerchant);
  if (allowed.moved() && at - order.placedAt > kReverseWithinMs) {
    return {Step::Kind::kRefused, "REVERSE_EXPIRE"};
  }
  const bool first = order.reverseCalls == 0;
  if (order.reverseCalls < INT_MAX) ++order.reverseCalls;
  ++order.version;
  if (allowed.moved() && recallFirst && first) return {Step::Kind::kStayed, ""};
  return Apply(order, Transition::kReverse, Cause{Actor::kMerchant, at, 0});
}

Order OrderLife::Placed(std::string description, long long totalFee, std::string notifyUrl,
                        std::int64_t at) {
  Order order;
  order.description = std::move(description);
  order.totalFee = totalFee;
  order.notifyUrl = std::move(notifyUrl);
  order.placedAt = at;
  order.version = 1;
  return order;
}

void OrderLife::Queried(Order& order, std::int64_t at) {
  // Counted up to where an int ends: a state file may hold any count a sandbox could reach.
  if (order.queries < INT_MAX) ++order.queries;
  if (order.firstQueryAt == 0) order.firstQueryAt = at;
  order.lastQueryAt = at;
  ++order.version;
}

void OrderLife::Acknowledged(Order& order) { order.notifyAcknowledged = true; }

bool OrderLife::CountPayingQuery(Order& order) {
  if (StateOf(order) != OrderState::kUserPaying || order.payingQueries <= 0) return false;
  --order.payingQueries;
  ++order.version;
  return order.payingQueries == 0;
}

void OrderLife::RefundQueried(Order& order) {
  if (order.refundQueries < INT_MAX) ++order.refundQueries;
  ++order.version;
}

std::string OrderLife::NewPlatformId(const std::string& timeEnd) {
  std::uniform_int_distribution<int> digit(0, 9);
  std::string id = timeEnd.substr(0, 8);
  while (id.size() < 28) id += char('0' + digit(random_));
  return id;
}

}  // namespace quillmark::sandbox
