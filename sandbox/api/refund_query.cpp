// The refund query: answers how an order's refund went (one refund, of the whole amount);
// a `refund-processing` order's first refund query says PROCESSING.
#include <string>

#include "protocol/flat_document.h"
#include "sandbox/api/api_handler.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {

void ServeRefundQuery(Exchange& ex, OrderDesk& desk) {
  const std::string& orderNo = ex.check.fields.at(kFieldOutTradeNo);
  Order seen;
  const bool found = desk.WithOrder(orderNo, [&](Order& order, OrderLife&) {
    seen = order;
    // Counted only where its scenario answers by the count.
    if (StateOf(order) != OrderState::kRefunded || !PlayOf(order.scenario).refundProcessing) {
      return;
    }
    OrderLife::RefundQueried(order);
    ex.changed = order;
  });
  const bool processing = PlayOf(seen.scenario).refundProcessing && seen.refundQueries == 0;
  const char* status = processing ? "PROCESSING" : "SUCCESS";
  if (!found) {
    ServeNoSuchOrder(ex, desk, orderNo, "");
  } else if (StateOf(seen) != OrderState::kRefunded) {
    desk.SendResultFail(orderNo, "REFUNDNOTEXIST", "order " + orderNo + " has no refund", ex);
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
                      {kFieldRefundStatus0, status}},
                     ex, Fault::kNone);
    desk.Log(ex, orderNo, 200, std::string("SUCCESS refund_status_0=") + status);
  }
}

}  // namespace quillmark::sandbox
