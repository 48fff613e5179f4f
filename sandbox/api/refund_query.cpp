// The refund query: names an order by its number, its transaction_id, or one of its refunds'
// out_refund_no or refund_id (in that order of precedence, as given), and answers every
// refund of the order, numbered from 0. A `refund-processing` order's refunds say PROCESSING
// until a query has answered so; then they are final, and their notifications due.
#include <string>

#include "protocol/flat_document.h"
#include "sandbox/api/api_handler.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {
namespace {

std::string Given(const Fields& fields, const char* name) {
  const auto it = fields.find(name);
  return it == fields.end() ? std::string() : it->second;
}

bool HasRefund(const Order& order, const std::string Refund::*key, const std::string& value) {
  for (const Refund& refund : order.refunds) {
    if (refund.*key == value) return true;
  }
  return false;
}

}  // namespace

void ServeRefundQuery(Exchange& ex, OrderDesk& desk) {
  const Fields& fields = ex.check.fields;
  // The key the order was named by, for the words of a failure.
  std::string key = kFieldOutTradeNo;
  std::string named = Given(fields, kFieldOutTradeNo);
  std::string orderNo = named;
  if (orderNo.empty()) {
    const std::string transactionId = Given(fields, kFieldTransactionId);
    const std::string outRefundNo = Given(fields, kFieldOutRefundNo);
    const std::string refundId = Given(fields, kFieldRefundId);
    if (!transactionId.empty()) {
      key = kFieldTransactionId, named = transactionId;
      orderNo = desk.FindOrderNumber(
          [&](const Order& order) { return order.transactionId == transactionId; });
    } else if (!outRefundNo.empty()) {
      key = kFieldOutRefundNo, named = outRefundNo;
      orderNo = desk.FindOrderNumber(
          [&](const Order& order) { return HasRefund(order, &Refund::outRefundNo, outRefundNo); });
    } else {
      key = kFieldRefundId, named = refundId;
      orderNo = desk.FindOrderNumber(
          [&](const Order& order) { return HasRefund(order, &Refund::refundId, refundId); });
    }
  }
  Order seen;
  const bool found = !orderNo.empty() && desk.WithOrder(orderNo, [&](Order& order, OrderLife&) {
    seen = order;
    if (order.refunds.empty()) return;
    OrderLife::RefundQueried(order);
    // Answered PROCESSING once: final from now on.
    for (std::size_t i = 0; i < order.refunds.size(); ++i) {
      if (OrderLife::FinishRefund(order, i, ex.entry.at)) {
        ex.notifyRefunds.push_back(RefundNoticeOf(orderNo, order, i));
      }
    }
    ex.changed = order;
  });
  if (!found && key == kFieldOutTradeNo) {
    ServeNoSuchOrder(ex, desk, orderNo, "");
  } else if (!found || seen.refunds.empty()) {
    const std::string words =
        found ? "order " + orderNo + " has no refund" : "no refund has " + key + " " + named;
    desk.SendResultFail(orderNo, "REFUNDNOTEXIST", words, ex);
    desk.Log(ex, orderNo, 200, "FAIL REFUNDNOTEXIST");
  } else {
    ReplyFields reply = {{kFieldOutTradeNo, orderNo},
                         {kFieldTransactionId, seen.transactionId},
                         {kFieldTotalFee, std::to_string(seen.totalFee)},
                         {kFieldRefundCount, std::to_string(seen.refunds.size())}};
    for (std::size_t n = 0; n < seen.refunds.size(); ++n) {
      const Refund& refund = seen.refunds[n];
      reply.emplace_back(IndexedField(kFieldOutRefundNoN, n), refund.outRefundNo);
      reply.emplace_back(IndexedField(kFieldRefundIdN, n), refund.refundId);
      reply.emplace_back(IndexedField(kFieldRefundFeeN, n), std::to_string(refund.refundFee));
      reply.emplace_back(IndexedField(kFieldRefundStatusN, n), RefundStatusName(refund.status));
      if (!refund.successTime.empty()) {
        reply.emplace_back(IndexedField(kFieldRefundSuccessTimeN, n), refund.successTime);
      }
    }
    desk.SendSuccess(std::move(reply), ex, Fault::kNone);
    desk.Log(ex, orderNo, 200,
             "SUCCESS refund_count=" + std::to_string(seen.refunds.size()) +
                 " refund_status_0=" + RefundStatusName(seen.refunds[0].status));
  }
}

}  // namespace quillmark::sandbox
