// The order query: answers an order's state, and counts the query; with
// Options::payAfterQueries, enough queries pay the order, as its scenario plays a pay. Its
// scenario may also close it at its first query, finish a payment in progress, or make
// its notification due once a query first says SUCCESS.
#include <string>

#include "payment/flat_document.h"
#include "sandbox/api/api_handler.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {
namespace {

// trade_state_desc, UTF-8 like every reply: "订单未支付", "支付成功", "订单已关闭",
// "已转入退款", "支付失败" and "用户支付中", by OrderState.
constexpr const char* kStateDesc[kOrderStates] = {
    "\xe8\xae\xa2\xe5\x8d\x95\xe6\x9c\xaa\xe6\x94\xaf\xe4\xbb\x98",
    "\xe6\x94\xaf\xe4\xbb\x98\xe6\x88\x90\xe5\x8a\x9f",
    "\xe8\xae\xa2\xe5\x8d\x95\xe5\xb7\xb2\xe5\x85\xb3\xe9\x97\xad",
    "\xe5\xb7\xb2\xe8\xbd\xac\xe5\x85\xa5\xe9\x80\x80\xe6\xac\xbe",
    "\xe6\x94\xaf\xe4\xbb\x98\xe5\xa4\xb1\xe8\xb4\xa5",
    "\xe7\x94\xa8\xe6\x88\xb7\xe6\x94\xaf\xe4\xbb\x98\xe4\xb8\xad",
};

// What the query does to the order after it was seen: a payment in progress counted
// down (and paid by its last query), else the pay enough queries make, played as the
// scenario plays it. Whether it paid the order.
bool PayByQuery(Order& order, OrderLife& life, const ScenarioPlay& play, int payAfter) {
  if (OrderLife::CountPayingQuery(order)) {
    return life.Apply(order, Transition::kPay, Cause{Actor::kQuery, NowMs(), {}}).moved();
  }
  if (payAfter <= 0 || order.queries < payAfter) return false;
  Cause cause{Actor::kQuery, NowMs(), {}};
  cause.queriesToPay = play.payingQueries;
  return life.Apply(order, play.pay, cause).moved() && play.pay == Transition::kPay;
}

}  // namespace

void ServeOrderQuery(Exchange& ex, OrderDesk& desk) {
  const std::string& orderNo = ex.check.fields.at(kFieldOutTradeNo);
  const int payAfter = desk.payAfterQueries();
  Order seen;  // as it was when this query was answered
  const bool found = desk.WithOrder(orderNo, [&](Order& order, OrderLife& life) {
    const ScenarioPlay& play = PlayOf(order.scenario);
    if (play.closeAtFirstQuery && order.queries == 0) {
      life.Apply(order, Transition::kClose, Cause{Actor::kPlatform, ex.entry.at, {}});
    }
    seen = order;
    // Answered SUCCESS with no query since it was paid: the first to say so.
    const bool firstSuccess = StateOf(seen) == OrderState::kPaid && seen.lastQueryAt <= seen.paidAt;
    OrderLife::Queried(order, ex.entry.at);
    if (PayByQuery(order, life, play, payAfter) && play.notifyAtPay) {
      ex.notify = PaidOrderOf(orderNo, order);
    } else if (firstSuccess && !play.notifyAtPay) {
      ex.notify = PaidOrderOf(orderNo, order);
      ex.notify->firstAfter = desk.lateNotifyDelay();
    }
    ex.changed = order;
  });
  if (!found) {
    const std::string message = "order " + orderNo + " does not exist";
    desk.SendFail(message, ex.reply);
    desk.Log(ex, orderNo, 200, "FAIL " + message);
    return;
  }
  const OrderState state = StateOf(seen);
  ReplyFields fields = {{kFieldOutTradeNo, orderNo},
                        {kFieldTotalFee, std::to_string(seen.totalFee)},
                        {kFieldTradeState, TradeState(seen)},
                        {kFieldTradeStateDesc, kStateDesc[static_cast<int>(state)]}};
  if (state == OrderState::kPaid || state == OrderState::kRefunded) {
    fields.emplace_back(kFieldTransactionId, seen.transactionId);
    fields.emplace_back(kFieldTimeEnd, seen.timeEnd);
  }
  desk.SendSuccess(std::move(fields), ex, Fault::kNone);
  desk.Log(ex, orderNo, 200, std::string("SUCCESS trade_state=") + TradeState(seen));
}

}  // namespace quillmark::sandbox
