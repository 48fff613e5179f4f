// The refund: part or all of what is left of a paid order, up to kMaxRefunds times, each
// under its own out_refund_no; the same number asked again with the same amount is the same
// refund. A `refund-fails` order's refund answers NOTENOUGH; other scenarios choose where a
// refund ends, and when it is final its notification is due.
#include <string>

#include "protocol/flat_document.h"
#include "sandbox/api/api_handler.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {
namespace {

// The words of a refusal the order's state gives, after "order <number> ".
std::string WhyNotRefunded(const std::string& code) {
  if (code == "ORDERCLOSED") return "has been closed and was never paid";
  if (code == "ORDERNOTPAID") return "has not been paid";
  return "cannot be refunded";
}

}  // namespace

void ServeRefund(Exchange& ex, OrderDesk& desk) {
  const Fields& fields = ex.check.fields;
  const std::string& orderNo = fields.at(kFieldOutTradeNo);
  RefundAsk ask;
  ask.outRefundNo = fields.at(kFieldOutRefundNo);
  ask.refundFee = std::stoll(fields.at(kFieldRefundFee));  // checked: 1..2^31-1
  ask.totalFee = std::stoll(fields.at(kFieldTotalFee));
  if (const auto url = fields.find(kFieldNotifyUrl); url != fields.end())
    ask.notifyUrl = url->second;
  std::string errCode;
  std::string why;
  Order seen;
  Refund refund;
  bool again = false;
  const bool found = desk.WithOrder(orderNo, [&](Order& order, OrderLife& life) {
    const ScenarioPlay& play = PlayOf(order.scenario);
    ask.ends = play.refundEnds;
    ask.processing = play.refundProcessing;
    // A scenario whose refunds fail refuses a new one only: one made before still answers.
    if (play.refundFails && !OrderLife::FindRefund(order, ask.outRefundNo) &&
        !OrderLife::Check(order, Transition::kRefund, Actor::kMerchant).refused()) {
      errCode = "NOTENOUGH", why = "cannot be refunded: the balance is not enough";
      return;
    }
    const RefundStep step = life.AskRefund(order, ask, ex.entry.at);
    if (step.step.refused()) {
      errCode = step.step.refusal;
      why = step.why.empty() ? WhyNotRefunded(errCode) : step.why;
      return;
    }
    seen = order;
    refund = order.refunds[step.index];
    again = !step.step.moved();
    if (again) return;
    ex.changed = order;
    if (refund.final()) ex.notifyRefunds.push_back(RefundNoticeOf(orderNo, order, step.index));
  });
  if (!found) {
    ServeNoSuchOrder(ex, desk, orderNo, ", nothing to refund");
  } else if (!errCode.empty()) {
    desk.SendResultFail(orderNo, errCode, "order " + orderNo + " " + why, ex);
    desk.Log(ex, orderNo, 200, "FAIL " + errCode + ", not refunded");
  } else {
    desk.SendSuccess({{kFieldOutTradeNo, orderNo},
                      {kFieldTransactionId, seen.transactionId},
                      {kFieldOutRefundNo, refund.outRefundNo},
                      {kFieldRefundId, refund.refundId},
                      {kFieldRefundFee, std::to_string(refund.refundFee)},
                      {kFieldTotalFee, std::to_string(seen.totalFee)}},
                     ex, Fault::kNone);
    desk.Log(ex, orderNo, 200,
             std::string(again ? "SUCCESS the same refund again, " : "SUCCESS refunded ") +
                 std::to_string(refund.refundFee) + " fen as " +
                 PrintableAscii(refund.outRefundNo));
  }
}

}  // namespace quillmark::sandbox
