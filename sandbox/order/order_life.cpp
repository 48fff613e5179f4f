// The order's life as one table (kRules) and the members each move sets.
#include "sandbox/order/order_life.h"

#include <chrono>
#include <climits>
#include <ctime>
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

// Short names for the table.
constexpr Transition kPay = Transition::kPay, kClose = Transition::kClose,
                     kRefund = Transition::kRefund, kResend = Transition::kResend,
                     kDecline = Transition::kDecline, kStartPaying = Transition::kStartPaying;
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
// transition     actor       NOTPAY          PAID               CLOSED              REFUND           PAYERROR            USERPAYING
  {kPay,          kQuery,    {kMove,          kStay,             kStay,              kStay,           kStay,              kMove}},
  {kPay,          kPayer,    {kMove,          kPayerPaid,        kPayerClosed,       kPayerPaid,      kPayerFailed,       kMove}},
  {kPay,          kConsole,  {kMove,          "paid-already",    "closed-unpayable", "paid-already",  kMove,              kMove}},
  {kClose,        kMerchant, {kMove,          "ORDERPAID",       kStay,              "ORDERPAID",     kMove,              kMove}},
  {kClose,        kConsole,  {kMove,          "paid-unclosable", "closed-already",   "paid-unclosable", kMove,            kMove}},
  {kClose,        kPlatform, {kMove,          kStay,             kStay,              kStay,           kStay,              kStay}},
  {kRefund,       kMerchant, {"ORDERNOTPAID", kMove,             "ORDERCLOSED",      "ORDERREFUNDED", "ORDERNOTPAID",     "ORDERNOTPAID"}},
  {kResend,       kConsole,  {"not-paid",     kStay,             "not-paid",         kStay,           "not-paid",         "not-paid"}},
  {kDecline,      kQuery,    {kMove,          kStay,             kStay,              kStay,           kStay,              kMove}},
  {kDecline,      kPayer,    {kMove,          kPayerPaid,        kPayerClosed,       kPayerPaid,      kStay,              kMove}},
  {kStartPaying,  kQuery,    {kMove,          kStay,             kStay,              kStay,           kStay,              kStay}},
  {kStartPaying,  kPayer,    {kMove,          kPayerPaid,        kPayerClosed,       kPayerPaid,      kPayerFailed,       kStay}},
};
// clang-format on

Step StepOf(const char* cell) {
  if (cell == kMove) return {Step::Kind::kMoved, ""};
  if (cell == kStay) return {Step::Kind::kStayed, ""};
  return {Step::Kind::kRefused, cell};
}

std::string LocalTimeEnd() {
  const std::tm parts = platform::LocalCalendar(std::time(nullptr));
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &parts);
  return text;
}

}  // namespace

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

OrderState StateOf(const Order& order) {
  if (order.refunded) return OrderState::kRefunded;
  if (order.paid) return OrderState::kPaid;
  if (order.closed) return OrderState::kClosed;
  if (order.payError) return OrderState::kPayError;
  return order.userPaying ? OrderState::kUserPaying : OrderState::kNotPaid;
}

const TradeStateInfo& QueriedState(OrderState state) {
  // By OrderState; no order here is REVOKED: the sandbox serves no reversal.
  static constexpr TradeStateId kQueriedAs[kOrderStates] = {
      TradeStateId::kNotPay, TradeStateId::kSuccess,  TradeStateId::kClosed,
      TradeStateId::kRefund, TradeStateId::kPayError, TradeStateId::kUserPaying};
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
      order.timeEnd = LocalTimeEnd();
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
      order.refunded = true;
      order.outRefundNo = cause.outRefundNo;
      order.refundId = NewPlatformId(LocalTimeEnd());
      order.refundedAt = cause.at;
      break;
    case Transition::kResend:
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
  }
  ++order.version;
  return step;
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
