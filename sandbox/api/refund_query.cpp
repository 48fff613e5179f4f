// The refund query: answers how an order's refund went (one refund, of the whole amount).
#include <string>

#include "payment/flat_document.h"
#include "sandbox/api/api_handler.h"

namespace quillmark::sandbox {

void ServeRefundQuery(Exchange& ex, OrderDesk& desk) {
  const std::string& orderNo = ex.check.fields.at(kFieldOutTradeNo);
  Order seen;
  if (!desk.WithOrder(orderNo, [&seen](Order& order, OrderLife&) { seen = order; })) {
    desk.SendResultFail(orderNo, "ORDERNOTEXIST", "order " + orderNo + " does not exist", ex.reply);
    desk.Log(ex, orderNo, 200, "FAIL ORDERNOTEXIST");
  } else if (StateOf(seen) != OrderState::kRefunded) {
    desk.SendResultFail(orderNo, "REFUNDNOTEXIST", "order " + orderNo + " has no refund", ex.reply);
    desk.Log(ex, orderNo, 200, "FAIL REFUNDNOTEXIST");
  } else {
    const std::string fee = std::to_string(seen.totalFee);
    desk.SendSuccess({{kFieldOutTradeNo, orderNo},
                      {kFieldTransactionId, seen.transactionId},
                      {kFieldTotalFee, fee},
                      {kFieldRefundCount, "1"},
                      {kFieldOutRefundNo0, seen.outRefundNo},
                      {kFieldRefundId0, seen.refundId},
                      {kFieldRefundFee0, fee},
                      {kFieldRefundStatus0, "SUCCESS"}},
                     ex.reply, Fault::kNone);
    desk.Log(ex, orderNo, 200, "SUCCESS refund_status_0=SUCCESS");
  }
}

}  // namespace quillmark::sandbox
