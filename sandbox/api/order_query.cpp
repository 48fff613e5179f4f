// The order query: answers an order's state, and counts the query; with
// Options::payAfterQueries, enough queries pay the order.
#include <string>

#include "payment/flat_document.h"
#include "sandbox/api/api_handler.h"

namespace quillmark::sandbox {
namespace {

// trade_state_desc, UTF-8 like every reply: "订单未支付", "支付成功", "订单已关闭" and
// "已转入退款", by OrderState.
constexpr const char* kStateDesc[kOrderStates] = {
    "\xe8\xae\xa2\xe5\x8d\x95\xe6\x9c\xaa\xe6\x94\xaf\xe4\xbb\x98",
    "\xe6\x94\xaf\xe4\xbb\x98\xe6\x88\x90\xe5\x8a\x9f",
    "\xe8\xae\xa2\xe5\x8d\x95\xe5\xb7\xb2\xe5\x85\xb3\xe9\x97\xad",
    "\xe5\xb7\xb2\xe8\xbd\xac\xe5\x85\xa5\xe9\x80\x80\xe6\xac\xbe",
};

}  // namespace

void ServeOrderQuery(Exchange& ex, OrderDesk& desk) {
  const std::string& orderNo = ex.check.fields.at(kFieldOutTradeNo);
  const int payAfter = desk.payAfterQueries();
  Order seen;  // as it was when this query was answered
  const bool found = desk.WithOrder(orderNo, [&](Order& order, OrderLife& life) {
    seen = order;
    OrderLife::Queried(order, ex.entry.at);
    if (payAfter > 0 && order.queries >= payAfter &&
        life.Apply(order, Transition::kPay, Cause{Actor::kQuery, NowMs(), {}}).moved()) {
      ex.notify = PaidOrderOf(orderNo, order);
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
  desk.SendSuccess(std::move(fields), ex.reply, Fault::kNone);
  desk.Log(ex, orderNo, 200, std::string("SUCCESS trade_state=") + TradeState(seen));
}

}  // namespace quillmark::sandbox
