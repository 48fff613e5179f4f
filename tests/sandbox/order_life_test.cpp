// The order's life: every (state, transition, actor) with what it does, and what a move
// sets. The handlers' own tests reach only the pairs a request can; a wrong cell of the
// table would hide in the others.
#include "sandbox/order/order_life.h"

#include <gtest/gtest.h>

#include <cstdint>
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

const OrderState kStates[] = {OrderState::kNotPaid,  OrderState::kPaid,     OrderState::kClosed,
                              OrderState::kRefunded, OrderState::kPayError, OrderState::kUserPaying,
                              OrderState::kReversed};
const Actor kActors[] = {Actor::kNone,      Actor::kMerchant, Actor::kQuery,
                         Actor::kPayerPage, Actor::kConsole,  Actor::kPlatform};
const char* const kStateNames[] = {"NOTPAY",   "SUCCESS",    "CLOSED", "REFUND",
                                   "PAYERROR", "USERPAYING", "REVOKED"};

// What each actor's transition does from each state: kMove, kStay or the refusal. The
// callers answer these codes as they are: err_code, console message key, payer log words.
struct Expected {
  Transition transition;
  Actor actor;
  const char* from[kOrderStates];  // NOTPAY, SUCCESS, CLOSED, REFUND, PAYERROR, USERPAYING, REVOKED
};
// clang-format off
const Expected kExpected[] = {
  {Transition::kPay, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kPay, Actor::kMerchant,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kPay, Actor::kQuery,
   {kMove, kStay, kStay, kStay, kStay, kMove, kStay}},
  {Transition::kPay, Actor::kPayerPage,
   {kMove, "already paid", "refused: the order is closed", "already paid",
    "refused: the payment failed", kMove, "refused: the order was reversed"}},
  {Transition::kPay, Actor::kConsole,
   {kMove, "paid-already", "closed-unpayable", "paid-already", kMove, kMove, "closed-unpayable"}},
  {Transition::kPay, Actor::kPlatform,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kClose, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kClose, Actor::kMerchant,
   {kMove, "ORDERPAID", kStay, "ORDERPAID", kMove, kMove, "ORDERREVERSED"}},
  {Transition::kClose, Actor::kQuery,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kClose, Actor::kPayerPage,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kClose, Actor::kConsole,
   {kMove, "paid-unclosable", "closed-already", "paid-unclosable", kMove, kMove,
    "closed-already"}},
  {Transition::kClose, Actor::kPlatform,
   {kMove, kStay, kStay, kStay, kStay, kStay, kStay}},
  {Transition::kRefund, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kRefund, Actor::kMerchant,
   {"ORDERNOTPAID", kMove, "ORDERCLOSED", kMove, "ORDERNOTPAID", "ORDERNOTPAID",
    "ORDERREVERSED"}},
  {Transition::kRefund, Actor::kQuery,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kRefund, Actor::kPayerPage,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kRefund, Actor::kConsole,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kRefund, Actor::kPlatform,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kResend, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kResend, Actor::kMerchant,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kResend, Actor::kQuery,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kResend, Actor::kPayerPage,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kResend, Actor::kConsole,
   {"not-paid", kStay, "not-paid", kStay, "not-paid", "not-paid", "not-paid"}},
  {Transition::kResend, Actor::kPlatform,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kDecline, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kDecline, Actor::kMerchant,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kDecline, Actor::kQuery,
   {kMove, kStay, kStay, kStay, kStay, kMove, kStay}},
  {Transition::kDecline, Actor::kPayerPage,
   {kMove, "already paid", "refused: the order is closed", "already paid",
    kStay, kMove, "refused: the order was reversed"}},
  {Transition::kDecline, Actor::kConsole,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kDecline, Actor::kPlatform,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kStartPaying, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kStartPaying, Actor::kMerchant,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kStartPaying, Actor::kQuery,
   {kMove, kStay, kStay, kStay, kStay, kStay, kStay}},
  {Transition::kStartPaying, Actor::kPayerPage,
   {kMove, "already paid", "refused: the order is closed", "already paid",
    "refused: the payment failed", kStay, "refused: the order was reversed"}},
  {Transition::kStartPaying, Actor::kConsole,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kStartPaying, Actor::kPlatform,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kReverse, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kReverse, Actor::kMerchant,
   {kMove, kMove, kMove, kMove, kMove, kMove, kStay}},
  {Transition::kReverse, Actor::kQuery,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kReverse, Actor::kPayerPage,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kReverse, Actor::kConsole,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kReverse, Actor::kPlatform,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kPlaceAgain, Actor::kNone,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kPlaceAgain, Actor::kMerchant,
   {kStay, "ORDERPAID", "ORDERCLOSED", "ORDERPAID", kStay, kStay, "ORDERREVERSED"}},
  {Transition::kPlaceAgain, Actor::kQuery,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kPlaceAgain, Actor::kPayerPage,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kPlaceAgain, Actor::kConsole,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
  {Transition::kPlaceAgain, Actor::kPlatform,
   {kNot, kNot, kNot, kNot, kNot, kNot, kNot}},
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
    case Transition::kReverse:
      return OrderState::kReversed;
    default:
      return OrderState::kRefunded;
  }
}

auto Members(const Order& o) {
  return std::make_tuple(o.description, o.totalFee, o.notifyUrl, o.queries, o.paid, o.closed,
                         o.transactionId, o.timeEnd, o.refunded, o.refunds.size(), o.placedAt,
                         o.firstQueryAt, o.lastQueryAt, o.paidAt, o.closedAt, o.paidBy, o.closedBy,
                         o.version, o.notifyAcknowledged, o.scenario, o.payError, o.userPaying,
                         o.payingQueries, o.refundQueries, o.tradeType, o.prepayId, o.prepayUntil,
                         o.openId, o.expiresAt, o.placedWith, o.micropay, o.authCode, o.reversed,
                         o.reversedAt, o.reverseCalls);
}

// An order in `state`, brought there by the life itself as the sandbox would.
Order InState(OrderState state, OrderLife& life) {
  Order order = OrderLife::Placed("a made-up test order", 101, "https://merchant.test/n", 1000);
  if (state == OrderState::kReversed) {
    order.micropay = true;
    EXPECT_TRUE(life.Reverse(order, 2000, false).moved());
  } else if (state == OrderState::kClosed) {
    EXPECT_TRUE(life.Apply(order, Transition::kClose, {Actor::kMerchant, 2000}).moved());
  } else if (state == OrderState::kPayError) {
    EXPECT_TRUE(life.Apply(order, Transition::kDecline, {Actor::kPayerPage, 2000}).moved());
  } else if (state == OrderState::kUserPaying) {
    EXPECT_TRUE(life.Apply(order, Transition::kStartPaying, {Actor::kQuery, 2000, 2}).moved());
  } else if (state != OrderState::kNotPaid) {
    EXPECT_TRUE(life.Apply(order, Transition::kPay, {Actor::kPayerPage, 2000}).moved());
    if (state == OrderState::kRefunded) {
      EXPECT_TRUE(life.AskRefund(order, {"R-1", 101, 30}, 3000).step.moved());
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
    case Transition::kReverse:
      EXPECT_EQ(after.reversedAt, cause.at);
      EXPECT_EQ(after.payingQueries, 0) << "a payment in progress ends with it";
      EXPECT_EQ(after.transactionId, before.transactionId);
      break;
    default:
      EXPECT_TRUE(after.refunded);
      EXPECT_EQ(after.refunds.size(), before.refunds.size()) << "the refund is AskRefund's";
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
      const Cause cause{row.actor, 9000, 3};
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

// A unified order placed again under a kept order's number: the same fields get the same
// prepay_id while it is valid and a new one after; other fields, or an order that can no
// longer be paid (by its state or its time_expire), are refused.
TEST(OrderLifeTest, AnOrderPlacedTwice) {
  constexpr std::int64_t kPlaced = 1'000'000;
  const struct {
    const char* name;
    OrderState state;
    const char* placedWith;  // the retry's digest; the order's is "digest-1"
    std::int64_t expiresAt;  // the order's time_expire, 0: none
    std::int64_t at;         // when the retry comes
    const char* refusal;     // "" when answered
    bool newPrepayId;
  } rows[] = {
      {"same fields", OrderState::kNotPaid, "digest-1", 0, kPlaced + 1000, "", false},
      {"same fields, in progress", OrderState::kUserPaying, "digest-1", 0, kPlaced + 1000, "",
       false},
      {"same fields, the last valid ms", OrderState::kNotPaid, "digest-1", 0,
       kPlaced + kPrepayValidMs - 1, "", false},
      {"same fields, prepay_id run out", OrderState::kNotPaid, "digest-1", 0,
       kPlaced + kPrepayValidMs, "", true},
      {"other fields", OrderState::kNotPaid, "digest-2", 0, kPlaced + 1000, kPlacedTwiceCode,
       false},
      {"other fields, prepay_id run out", OrderState::kNotPaid, "digest-2", 0,
       kPlaced + kPrepayValidMs, kPlacedTwiceCode, false},
      {"paid", OrderState::kPaid, "digest-1", 0, kPlaced + 1000, "ORDERPAID", false},
      {"refunded", OrderState::kRefunded, "digest-1", 0, kPlaced + 1000, "ORDERPAID", false},
      {"closed", OrderState::kClosed, "digest-1", 0, kPlaced + 1000, "ORDERCLOSED", false},
      {"time_expire come", OrderState::kNotPaid, "digest-1", kPlaced + 500, kPlaced + 500,
       "ORDERCLOSED", false},
      {"time_expire not yet", OrderState::kNotPaid, "digest-1", kPlaced + 501, kPlaced + 500, "",
       false},
  };
  OrderLife life;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Order order = InState(row.state, life);
    order.placedWith = "digest-1";
    order.expiresAt = row.expiresAt;
    OrderLife::GivePrepayId(order, kPlaced);
    const Order before = order;
    const Step step = life.PlaceAgain(order, row.placedWith, row.at);
    EXPECT_STREQ(step.refusal, row.refusal);
    EXPECT_EQ(step.refused(), *row.refusal != '\0');
    EXPECT_EQ(step.moved(), row.newPrepayId);
    EXPECT_EQ(order.prepayId != before.prepayId, row.newPrepayId);
    EXPECT_EQ(order.prepayUntil, row.newPrepayId ? row.at + kPrepayValidMs : before.prepayUntil);
    if (!step.moved() && row.expiresAt == 0) {
      EXPECT_TRUE(Members(order) == Members(before)) << "a retry that did not move changed it";
    }
  }
  Order order = InState(OrderState::kNotPaid, life);
  OrderLife::GivePrepayId(order, kPlaced);
  EXPECT_EQ(order.prepayId.size(), 36u);
  EXPECT_EQ(order.prepayId.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz"),
            std::string::npos);
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
        life.Apply(order, Transition::kStartPaying, {Actor::kPayerPage, 50, given}).moved());
    int counted = 0;
    while (counted < 5 && !OrderLife::CountPayingQuery(order)) ++counted;
    EXPECT_EQ(counted, given == 0 ? 5 : given - 1);
    EXPECT_EQ(StateOf(order), OrderState::kUserPaying) << "counting down pays nothing itself";
  }
}

// A 100-fen order's refunds, one request after another: each row is answered as the
// platform does, and what it leaves is what the next row meets.
TEST(OrderLifeTest, PartialAndRepeatedRefunds) {
  OrderLife life;
  Order order = OrderLife::Placed("d", 100, "u", 1);
  ASSERT_TRUE(life.Apply(order, Transition::kPay, {Actor::kPayerPage, 2}).moved());
  const struct {
    const char* outRefundNo;
    long long totalFee;
    long long refundFee;
    RefundStatus ends;
    const char* answer;  // kMove: a new refund, kStay: the same again, else the err_code
    long long leftAfter;
  } kRows[] = {
      {"R-1", 100, 30, RefundStatus::kSuccess, kMove, 70},
      {"R-2", 100, 50, RefundStatus::kSuccess, kMove, 20},
      {"R-1", 100, 30, RefundStatus::kSuccess, kStay, 20},
      {"R-1", 100, 20, RefundStatus::kSuccess, "REFUNDNOTMATCH", 20},
      {"R-3", 100, 21, RefundStatus::kSuccess, "INVALIDREFUNDFEE", 20},
      {"R-3", 99, 1, RefundStatus::kSuccess, "INVALIDTOTALFEE", 20},
      {"R-3", 100, 20, RefundStatus::kClosed, kMove, 20},  // closed: its 20 come back
      {"R-4", 100, 20, RefundStatus::kChange, kMove, 0},
      {"R-5", 100, 1, RefundStatus::kSuccess, "INVALIDREFUNDFEE", 0},
  };
  std::string firstId;
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::string(row.outRefundNo) + " of " + std::to_string(row.refundFee));
    const std::size_t before = order.refunds.size();
    const RefundStep step =
        life.AskRefund(order, {row.outRefundNo, row.totalFee, row.refundFee, "", row.ends}, 5);
    const std::string answer = row.answer;
    if (answer == kMove || answer == kStay) {
      ASSERT_EQ(step.step.kind, answer == kMove ? Step::Kind::kMoved : Step::Kind::kStayed);
      const Refund& refund = order.refunds.at(step.index);
      EXPECT_EQ(refund.outRefundNo, row.outRefundNo);
      EXPECT_EQ(refund.status, row.ends);
      EXPECT_EQ(refund.successTime.size(), row.ends == RefundStatus::kSuccess ? 19u : 0u);
      if (firstId.empty()) firstId = refund.refundId;
      if (answer == kStay) {
        EXPECT_EQ(refund.refundId, firstId) << "the same refund";
      }
    } else {
      EXPECT_STREQ(step.step.refusal, row.answer);
      EXPECT_NE(step.why.find(std::to_string(row.refundFee == 1 ? 0 : row.refundFee)),
                std::string::npos)
          << "its words name the numbers: " << step.why;
    }
    EXPECT_EQ(order.refunds.size(), before + (answer == kMove ? 1 : 0));
    EXPECT_EQ(OrderLife::Refundable(order), row.leftAfter);
    EXPECT_EQ(StateOf(order), OrderState::kRefunded);
  }

  // At most kMaxRefunds, whatever is left; and an order whose only refund closed is paid.
  Order big = OrderLife::Placed("d", 1000, "u", 1);
  ASSERT_TRUE(life.Apply(big, Transition::kPay, {Actor::kPayerPage, 2}).moved());
  EXPECT_TRUE(life.AskRefund(big, {"C", 1000, 1, "", RefundStatus::kClosed}, 3).step.moved());
  EXPECT_EQ(StateOf(big), OrderState::kPaid);
  for (std::size_t i = 1; i < kMaxRefunds; ++i) {
    ASSERT_TRUE(life.AskRefund(big, {"N" + std::to_string(i), 1000, 1}, 4).step.moved()) << i;
  }
  const RefundStep last = life.AskRefund(big, {"N-last", 1000, 1}, 5);
  EXPECT_STREQ(last.step.refusal, "REFUNDLIMIT");
  EXPECT_NE(last.why.find("50"), std::string::npos) << last.why;
  // One processing stays so until it is finished, then is what it ends in.
  Order slow = OrderLife::Placed("d", 10, "u", 1);
  ASSERT_TRUE(life.Apply(slow, Transition::kPay, {Actor::kPayerPage, 2}).moved());
  const RefundStep pending =
      life.AskRefund(slow, {"P", 10, 10, "", RefundStatus::kSuccess, true}, 3);
  EXPECT_EQ(slow.refunds.at(pending.index).status, RefundStatus::kProcessing);
  EXPECT_TRUE(OrderLife::FinishRefund(slow, pending.index, 4));
  EXPECT_FALSE(OrderLife::FinishRefund(slow, pending.index, 5)) << "final once";
  EXPECT_EQ(slow.refunds.at(pending.index).status, RefundStatus::kSuccess);
}

// A reverse's rules, one call each from a fresh order: only a till's payment, within seven
// days of its placing; a scenario's recall answers its first call without reversing; a
// reversed order answers done again, however old, and any pay after it is refused.
TEST(OrderLifeTest, ReverseRules) {
  constexpr std::int64_t kPlaced = 1000;
  const struct {
    const char* name;
    bool micropay;
    OrderState from;
    std::int64_t age;  // ms after its placing
    bool recallFirst;
    int callsBefore;
    const char* answer;  // kMove, kStay, or the err_code
    OrderState after;
  } kRows[] = {
      {"unpaid", true, OrderState::kUserPaying, 5000, false, 0, kMove, OrderState::kReversed},
      {"paid", true, OrderState::kPaid, 5000, false, 0, kMove, OrderState::kReversed},
      {"not paid yet", true, OrderState::kNotPaid, 5000, false, 0, kMove, OrderState::kReversed},
      {"NATIVE order", false, OrderState::kNotPaid, 5000, false, 0, "TRADE_ERROR",
       OrderState::kNotPaid},
      {"7 days to the ms", true, OrderState::kPaid, kReverseWithinMs, false, 0, kMove,
       OrderState::kReversed},
      {"older than 7 days", true, OrderState::kPaid, kReverseWithinMs + 1, false, 0,
       "REVERSE_EXPIRE", OrderState::kPaid},
      {"recall: first", true, OrderState::kUserPaying, 5000, true, 0, kStay,
       OrderState::kUserPaying},
      {"recall: second", true, OrderState::kUserPaying, 5000, true, 1, kMove,
       OrderState::kReversed},
      {"again", true, OrderState::kReversed, 5000, false, 1, kStay, OrderState::kReversed},
      {"again, long after", true, OrderState::kReversed, kReverseWithinMs * 2, true, 1, kStay,
       OrderState::kReversed},
  };
  OrderLife life;
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    Order order = InState(row.from, life);
    order.micropay = row.micropay;
    order.reverseCalls = row.callsBefore;
    const Step step = life.Reverse(order, kPlaced + row.age, row.recallFirst);
    const std::string answer = row.answer;
    if (answer == kMove || answer == kStay) {
      EXPECT_EQ(step.kind, answer == kMove ? Step::Kind::kMoved : Step::Kind::kStayed);
      EXPECT_EQ(order.reverseCalls, row.callsBefore + 1);
    } else {
      EXPECT_STREQ(step.refusal, row.answer);
    }
    EXPECT_EQ(StateOf(order), row.after);
    if (row.after == OrderState::kReversed) {
      EXPECT_STREQ(TradeState(order), "REVOKED");
      for (const Actor actor : {Actor::kQuery, Actor::kPayerPage, Actor::kConsole}) {
        Order copy = order;
        life.Apply(copy, Transition::kPay, {actor, kPlaced + row.age + 1});
        EXPECT_EQ(StateOf(copy), OrderState::kReversed) << "paid after a reverse";
      }
    }
  }
}

// What a tester types for the clock's offset, read or refused whole; and written back in a
// form that reads as the same offset.
TEST(OrderLifeTest, ClockOffsets) {
  constexpr std::int64_t kMinute = 60'000, kHour = 60 * kMinute, kDay = 24 * kHour;
  const struct {
    const char* text;
    bool read;
    std::int64_t ms;
  } kRows[] = {
      {"7d1m", true, 7 * kDay + kMinute},
      {"6d23h", true, 6 * kDay + 23 * kHour},
      {"-2h", true, -2 * kHour},
      {"+90s", true, 90'000},
      {"0", true, 0},
      {"3650d", true, 3650 * kDay},
      {"3650d1s", false, 0},  // beyond ten years
      {"1m7d", false, 0},     // units out of order
      {"1d1d", false, 0},
      {"7", false, 0},
      {"d", false, 0},
      {"7 d", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {"9999999999s", false, 0},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    std::int64_t ms = -1;
    EXPECT_EQ(ParseClockOffset(row.text, ms), row.read);
    if (!row.read) continue;
    EXPECT_EQ(ms, row.ms);
    std::int64_t again = -1;
    EXPECT_TRUE(ParseClockOffset(ClockOffsetText(ms), again)) << ClockOffsetText(ms);
    EXPECT_EQ(again, ms);
  }
}

}  // namespace
}  // namespace quillmark::sandbox
