// The refund: refunds a paid order, its whole amount, once; a `refund-fails` order's
// refund answers NOTENOUGH.
#include <string>

#include "protocol/flat_document.h"
#include "sandbox/api/api_handler.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {
namespace {

// The words of a refund's refusal, after "order <number> ", by its code.
std::string WhyNotRefunded(const std::string& code, const Order& order) {
  if (code == "ORDERCLOSED") return "has been closed and was never paid";
  if (code == "ORDERNOTPAID") return "has not been paid";
  if (code == "ORDERREFUNDED") return "has been refunded already (as " + order.outRefundNo + ")";
  return "cannot be refunded";
}

}  // namespace

void ServeRefund(Exchange& ex, OrderDesk& desk) {
  const Fields& fields = ex.check.fields;
  const std::string& orderNo = fields.at(kFieldOutTradeNo);
  const std::string& refundNo = fields.at(kFieldOutRefundNo);
  const long long refundFee = std::stoll(fields.at(kFieldRefundFee));  // checked: 1..2^31-1
  const long long totalFee = std::stoll(fields.at(kFieldTotalFee));
  // Why the order cannot be refunded, as the code and words of a business failure.
  std::string errCode;
  std::string why;
  Order refunded;
  const bool found = desk.WithOrder(orderNo, [&](Order& order, OrderLife& life) {
    const Step step = OrderLife::Check(order, Transition::kRefund, Actor::kMerchant);
    if (step.refused()) {
      errCode = step.refusal, why = WhyNotRefunded(errCode, order);
    } else if (totalFee != order.totalFee || refundFee != order.totalFee) {
      errCode = "INVALIDREFUNDFEE",
      why = "is refunded whole: total_fee and refund_fee must both be " +
            std::to_string(order.totalFee);
    } else if (PlayOf(order.scenario).refundFails) {
      errCode = "NOTENOUGH", why = "cannot be refunded: the balance is not enough";
    } else {
      life.Apply(order, Transition::kRefund, Cause{Actor::kMerchant, ex.entry.at, refundNo});
      refunded = order;
      ex.changed = order;
    }
  });
  if (!found) {
    ServeNoSuchOrder(ex, desk, orderNo, ", nothing to refund");
  } else if (!errCode.empty()) {
    desk.SendResultFail(orderNo, errCode, "order " + orderNo + " " + why, ex);
    desk.Log(ex, orderNo, 200, "FAIL " + errCode + ", not refunded");
  } else {
    desk.SendSuccess({{kFieldOutTradeNo, orderNo},
                      {kFieldTransactionId, refunded.transactionId},
                      {kFieldOutRefundNo, refundNo},
                      {kFieldRefundId, refunded.refundId},
                      {kFieldRefundFee, std::to_string(refunded.totalFee)},
                      {kFieldTotalFee, std::to_string(refunded.totalFee)}},
                     ex, Fault::kNone);
    desk.Log(ex, orderNo, 200, "SUCCESS refunded as " + PrintableAscii(refundNo));
  }
}

}  // namespace quillmark::sandbox
