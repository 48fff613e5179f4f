// The order's life: every (state, transition, actor) with what it does, and what a move
// sets. The handlers' own tests reach only the pairs a request can; a wrong cell of the
// table would hide in the others.
#include "sandbox/order/order_life.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>
#include <tuple>
#include <utility>

namespace quillmark::sandbox {
namespace {

constexpr char kMove[] = "move";
constexpr char kStay[] = "stay";
constexpr const char* kNot = kNotTheActorsTransition;

const OrderState kStates[] = {OrderState::kNotPaid,  OrderState::kPaid,
                              OrderState::kClosed,   OrderState::kRefunded,
                              OrderState::kPayError, OrderState::kUserPaying};
const Actor kActors[] = {Actor::kNone,      Actor::kMerchant, Actor::kQuery,
                         Actor::kPayerPage, Actor::kConsole,  Actor::kPlatform};
const char* const kStateNames[] = {"NOTPAY", "SUCCESS",  "CLOSED",
                                   "REFUND", "PAYERROR", "USERPAYING"};

// What each actor's transition does from each state: kMove, kStay or the refusal. The
// callers answer these codes as they are: err_code, console message key, payer log words.
struct Expected {
  Transition transition;
  Actor actor;
  const char* from[kOrderStates];  // NOTPAY, SUCCESS, CLOSED, REFUND, PAYERROR, USERPAYING
};
// clang-format off
const Expected kExpected[] = {
  {Transition::kPay, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kPay, Actor::kMerchant,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kPay, Actor::kQuery,
   {kMove, kStay, kStay, kStay, kStay, kMove}},
  {Transition::kPay, Actor::kPayerPage,
   {kMove, "already paid", "refused: the order is closed", "already paid",
    "refused: the payment failed", kMove}},
  {Transition::kPay, Actor::kConsole,
   {kMove, "paid-already", "closed-unpayable", "paid-already", kMove, kMove}},
  {Transition::kPay, Actor::kPlatform,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kClose, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kClose, Actor::kMerchant,
   {kMove, "ORDERPAID", kStay, "ORDERPAID", kMove, kMove}},
  {Transition::kClose, Actor::kQuery,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kClose, Actor::kPayerPage,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kClose, Actor::kConsole,
   {kMove, "paid-unclosable", "closed-already", "paid-unclosable", kMove, kMove}},
  {Transition::kClose, Actor::kPlatform,
   {kMove, kStay, kStay, kStay, kStay, kStay}},
  {Transition::kRefund, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kRefund, Actor::kMerchant,
   {"ORDERNOTPAID", kMove, "ORDERCLOSED", "ORDERREFUNDED", "ORDERNOTPAID",
    "ORDERNOTPAID"}},
  {Transition::kRefund, Actor::kQuery,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kRefund, Actor::kPayerPage,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kRefund, Actor::kConsole,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kRefund, Actor::kPlatform,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kResend, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kResend, Actor::kMerchant,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kResend, Actor::kQuery,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kResend, Actor::kPayerPage,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kResend, Actor::kConsole,
   {"not-paid", kStay, "not-paid", kStay, "not-paid", "not-paid"}},
  {Transition::kResend, Actor::kPlatform,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kDecline, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kDecline, Actor::kMerchant,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kDecline, Actor::kQuery,
   {kMove, kStay, kStay, kStay, kStay, kMove}},
  {Transition::kDecline, Actor::kPayerPage,
   {kMove, "already paid", "refused: the order is closed", "already paid",
    kStay, kMove}},
  {Transition::kDecline, Actor::kConsole,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kDecline, Actor::kPlatform,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kStartPaying, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kStartPaying, Actor::kMerchant,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kStartPaying, Actor::kQuery,
   {kMove, kStay, kStay, kStay, kStay, kStay}},
  {Transition::kStartPaying, Actor::kPayerPage,
   {kMove, "already paid", "refused: the order is closed", "already paid",
    "refused: the payment failed", kStay}},
  {Transition::kStartPaying, Actor::kConsole,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kStartPaying, Actor::kPlatform,
   {kNot, kNot, kNot, kNot, kNot, kNot}},
};
// clang-format on

OrderState Target(Transition transition) {
  switch (transition) {
    case Transition::kPay:
      return OrderState::kPaid;
    case Transition::kClose:
      return OrderState::kClosed;
    case Transition::kDecline:
      return OrderState::kPayError;
    case Transition::kStartPaying:
      return OrderState::kUserPaying;
    default:
      return OrderState::kRefunded;
  }
}

auto Members(const Order& o) {
  return std::tie(o.description, o.totalFee, o.notifyUrl, o.queries, o.paid, o.closed,
                  o.transactionId, o.timeEnd, o.refunded, o.outRefundNo, o.refundId, o.placedAt,
                  o.firstQueryAt, o.lastQueryAt, o.paidAt, o.closedAt, o.refundedAt, o.paidBy,
                  o.closedBy, o.version, o.notifyAcknowledged, o.scenario, o.payError, o.userPaying,
                  o.payingQueries, o.refundQueries);
}

// An order in `state`, brought there by the life itself as the sandbox would.
Order InState(OrderState state, OrderLife& life) {
  Order order = OrderLife::Placed("a made-up test order", 101, "https://merchant.test/n", 1000);
  if (state == OrderState::kClosed) {
    EXPECT_TRUE(life.Apply(order, Transition::kClose, {Actor::kMerchant, 2000, ""}).moved());
  } else if (state == OrderState::kPayError) {
    EXPECT_TRUE(life.Apply(order, Transition::kDecline, {Actor::kPayerPage, 2000, ""}).moved());
  } else if (state == OrderState::kUserPaying) {
    EXPECT_TRUE(life.Apply(order, Transition::kStartPaying, {Actor::kQuery, 2000, "", 2}).moved());
  } else if (state != OrderState::kNotPaid) {
    EXPECT_TRUE(life.Apply(order, Transition::kPay, {Actor::kPayerPage, 2000, ""}).moved());
    if (state == OrderState::kRefunded) {
      EXPECT_TRUE(life.Apply(order, Transition::kRefund, {Actor::kMerchant, 3000, "R-1"}).moved());
    }
  }
  EXPECT_EQ(StateOf(order), state);
  return order;
}

bool IsPlatformId(const std::string& id, const std::string& day) {
  return id.size() == 28 && id.compare(0, 8, day) == 0 &&
         id.find_first_not_of("0123456789") == std::string::npos;
}

// What a move must have set, beyond the state.
void ExpectMoveSet(const Order& before, const Order& after, Transition transition,
                   const Cause& cause) {
  EXPECT_EQ(after.version, before.version + 1);
  switch (transition) {
    case Transition::kPay:
      EXPECT_EQ(after.payingQueries, 0);
      EXPECT_EQ(after.paidAt, cause.at);
      EXPECT_EQ(after.paidBy, cause.by);
      EXPECT_EQ(after.timeEnd.size(), 14u);
      EXPECT_TRUE(IsPlatformId(after.transactionId, after.timeEnd.substr(0, 8)));
      break;
    case Transition::kClose:
      EXPECT_EQ(after.closedAt, cause.at);
      EXPECT_EQ(after.closedBy, cause.by);
      EXPECT_EQ(after.payingQueries, 0) << "a payment in progress ends with it";
      break;
    case Transition::kDecline:
      EXPECT_FALSE(after.paid);
      EXPECT_EQ(after.payingQueries, 0);
      EXPECT_TRUE(after.transactionId.empty());
      break;
    case Transition::kStartPaying:
      EXPECT_FALSE(after.paid);
      EXPECT_EQ(after.payingQueries, cause.queriesToPay);
      break;
    default:
      EXPECT_EQ(after.refundedAt, cause.at);
      EXPECT_EQ(after.outRefundNo, cause.outRefundNo);
      EXPECT_EQ(after.refundId.size(), 28u);
      EXPECT_EQ(after.transactionId, before.transactionId);
      break;
  }
}

TEST(OrderLifeTest, EveryTransitionOfEveryActorFromEveryState) {
  OrderLife life;
  std::size_t cells = 0;
  for (const Expected& row : kExpected) {
    for (int s = 0; s < kOrderStates; ++s) {
      const std::string expected = row.from[s];
      SCOPED_TRACE("transition " + std::to_string(static_cast<int>(row.transition)) + " by actor " +
                   std::to_string(static_cast<int>(row.actor)) + " from " + kStateNames[s]);
      Order order = InState(kStates[s], life);
      const Order before = order;
      const Step checked = OrderLife::Check(order, row.transition, row.actor);
      const Cause cause{row.actor, 9000, "R-2", 3};
      const Step step = life.Apply(order, row.transition, cause);
      EXPECT_EQ(checked.kind, step.kind);
      EXPECT_STREQ(checked.refusal, step.refusal);
      if (expected == kMove) {
        ASSERT_TRUE(step.moved());
        EXPECT_STREQ(step.refusal, "");
        EXPECT_EQ(StateOf(order), Target(row.transition));
        ExpectMoveSet(before, order, row.transition, cause);
      } else {
        EXPECT_EQ(step.kind, expected == kStay ? Step::Kind::kStayed : Step::Kind::kRefused);
        EXPECT_EQ(step.refusal, expected == kStay ? std::string() : expected);
        EXPECT_TRUE(Members(order) == Members(before)) << "a step that did not move changed it";
      }
      ++cells;
    }
  }
  // Every pair of the enums is in the table above, once, so that none is left to chance.
  std::set<std::pair<Transition, Actor>> pairs;
  for (const Expected& row : kExpected) pairs.emplace(row.transition, row.actor);
  EXPECT_EQ(pairs.size(), std::size(kExpected));
  EXPECT_EQ(cells, std::size_t{kTransitions} * std::size(kActors) * kOrderStates);
}

TEST(OrderLifeTest, StatesAndNotesThatAreNoMove) {
  OrderLife life;
  for (int s = 0; s < kOrderStates; ++s) {
    Order order = InState(kStates[s], life);
    EXPECT_STREQ(TradeState(order), kStateNames[s]);
    const Order before = order;
    OrderLife::Queried(order, 5000);
    OrderLife::Queried(order, 6000);
    EXPECT_EQ(StateOf(order), kStates[s]);
    EXPECT_EQ(order.queries, before.queries + 2);
    EXPECT_EQ(order.firstQueryAt, 5000);
    EXPECT_EQ(order.lastQueryAt, 6000);
    EXPECT_EQ(order.version, before.version + 2);
    OrderLife::Acknowledged(order);
    EXPECT_TRUE(order.notifyAcknowledged);
    EXPECT_EQ(order.version, before.version + 2) << "kept with the attempt, not as a version";
  }
  const Order placed = OrderLife::Placed("d", 7, "u", 42);
  EXPECT_EQ(StateOf(placed), OrderState::kNotPaid);
  EXPECT_EQ(placed.version, 1);
  EXPECT_EQ(placed.placedAt, 42);
}

// A payment in progress counts its queries down only where it was given some; the
// payer's "keep paying" waits for the payer.
TEST(OrderLifeTest, APaymentInProgressCountsItsQueriesDown) {
  OrderLife life;
  for (const int given : {0, 1, 2}) {
    SCOPED_TRACE(given);
    Order order = OrderLife::Placed("d", 7, "u", 42);
    EXPECT_FALSE(OrderLife::CountPayingQuery(order)) << "not in progress";
    ASSERT_TRUE(
        life.Apply(order, Transition::kStartPaying, {Actor::kPayerPage, 50, "", given}).moved());
    int counted = 0;
    while (counted < 5 && !OrderLife::CountPayingQuery(order)) ++counted;
    EXPECT_EQ(counted, given == 0 ? 5 : given - 1);
    EXPECT_EQ(StateOf(order), OrderState::kUserPaying) << "counting down pays nothing itself";
  }
}

}  // namespace
}  // namespace quillmark::sandbox
