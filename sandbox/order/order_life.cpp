// The order's life as one table (kRules) and the members each move sets.
#include "sandbox/order/order_life.h"

#include <chrono>
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

// Short names for the table.
constexpr Transition kPay = Transition::kPay, kClose = Transition::kClose,
                     kRefund = Transition::kRefund, kResend = Transition::kResend;
constexpr Actor kMerchant = Actor::kMerchant, kQuery = Actor::kQuery, kPayer = Actor::kPayerPage,
                kConsole = Actor::kConsole;

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
// transition actor       NOTPAY          PAID               CLOSED              REFUND
  {kPay,    kQuery,    {kMove,          kStay,             kStay,              kStay}},
  {kPay,    kPayer,    {kMove,          kPayerPaid,        kPayerClosed,       kPayerPaid}},
  {kPay,    kConsole,  {kMove,          "paid-already",    "closed-unpayable", "paid-already"}},
  {kClose,  kMerchant, {kMove,          "ORDERPAID",       kStay,              "ORDERPAID"}},
  {kClose,  kConsole,  {kMove,          "paid-unclosable", "closed-already",   "paid-unclosable"}},
  {kRefund, kMerchant, {"ORDERNOTPAID", kMove,             "ORDERCLOSED",      "ORDERREFUNDED"}},
  {kResend, kConsole,  {"not-paid",     kStay,             "not-paid",         kStay}},
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
  return order.closed ? OrderState::kClosed : OrderState::kNotPaid;
}

const char* TradeState(const Order& order) {
  static constexpr const char* kNames[kOrderStates] = {"NOTPAY", "SUCCESS", "CLOSED", "REFUND"};
  return kNames[static_cast<int>(StateOf(order))];
}

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
      order.timeEnd = LocalTimeEnd();
      order.transactionId = NewPlatformId(order.timeEnd);
      order.paidAt = cause.at;
      order.paidBy = cause.by;
      break;
    case Transition::kClose:
      order.closed = true;
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
  ++order.queries;
  if (order.firstQueryAt == 0) order.firstQueryAt = at;
  order.lastQueryAt = at;
  ++order.version;
}

void OrderLife::Acknowledged(Order& order) { order.notifyAcknowledged = true; }

std::string OrderLife::NewPlatformId(const std::string& timeEnd) {
  std::uniform_int_distribution<int> digit(0, 9);
  std::string id = timeEnd.substr(0, 8);
  while (id.size() < 28) id += char('0' + digit(random_));
  return id;
}

}  // namespace quillmark::sandbox
