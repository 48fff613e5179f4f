// The order query: answers an order's state, and counts the query; with
// Options::payAfterQueries, enough queries pay the order, as its scenario plays a pay. Its
// scenario may also close it at its first query, finish a payment in progress, or make
// its notification due once a query first says SUCCESS.
#include <optional>
#include <string>

#include "protocol/flat_document.h"
#include "sandbox/api/api_handler.h"
#include "sandbox/bill/daily_bill.h"
#include "sandbox/scenarios/pay.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {
namespace {

// What the query does to the order after it was seen: a payment in progress counted
// down (and paid by its last query), else the pay enough queries make, played as the
// scenario plays it; `due` as PayOrder gives it.
void PayByQuery(Order& order, OrderLife& life, const std::string& orderNo, const ScenarioPlay& play,
                int payAfter, std::optional<PaidOrder>& due) {
  const Cause cause{Actor::kQuery, NowMs(), {}};
  if (OrderLife::CountPayingQuery(order)) {
    PayOrder(life, order, orderNo, Transition::kPay, cause, due);
  } else if (payAfter > 0 && order.queries >= payAfter && !order.micropay) {
    // A till's payment is the payer's at the till: no number of queries pays it.
    PayOrder(life, order, orderNo, play.pay, cause, due);
  }
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
    PayByQuery(order, life, orderNo, play, payAfter, ex.notify);
    if (firstSuccess && !play.notifyAtPay) {
      ex.notify = PaidOrderOf(orderNo, order);
      ex.notify->firstAfter = desk.lateNotifyDelay();
    }
    ex.changed = order;
  });
  if (!found) {
    const std::string message = NoSuchOrderWords(orderNo);
    desk.SendFail(message, ex.reply);
    desk.Log(ex, orderNo, 200, "FAIL " + message);
    return;
  }
  const OrderState state = StateOf(seen);
  ReplyFields fields = {{kFieldOutTradeNo, orderNo},
                        {kFieldTotalFee, std::to_string(seen.totalFee)},
                        {kFieldTradeState, TradeState(seen)},
                        {kFieldTradeStateDesc, QueriedState(state).chinese}};
  if (state == OrderState::kPaid || state == OrderState::kRefunded) {
    fields.emplace_back(kFieldTransactionId, seen.transactionId);
    fields.emplace_back(kFieldTimeEnd, seen.timeEnd);
    // A couponed payment says how it was paid; any other's reply stays as it always was.
    const Coupon coupon = CouponOf(seen);
    if (coupon.fee > 0) {
      fields.insert(fields.end(),
                    {{kFieldCashFee, std::to_string(seen.totalFee - coupon.fee)},
                     {kFieldSettlementTotalFee, std::to_string(SettlementFee(seen))},
                     {kFieldCouponFee, std::to_string(coupon.fee)},
                     {kFieldCouponCount, "1"},
                     {IndexedField(kFieldCouponTypeN, 0), coupon.type},
                     {IndexedField(kFieldCouponIdN, 0), coupon.id},
                     {IndexedField(kFieldCouponFeeN, 0), std::to_string(coupon.fee)}});
    }
  }
  desk.SendSuccess(std::move(fields), ex, Fault::kNone);
  desk.Log(ex, orderNo, 200, std::string("SUCCESS trade_state=") + TradeState(seen));
}

}  // namespace quillmark::sandbox
