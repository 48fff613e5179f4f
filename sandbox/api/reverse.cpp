// The reverse: takes back a till's payment, named by its number or the platform's (which
// wins). An unpaid order is closed for good, a paid one refunded whole; a second reverse is
// answered as done, recall N, as the platform answers a reverse that has nothing left to do.
#include <string>

#include "protocol/flat_document.h"
#include "sandbox/api/api_handler.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {
namespace {

std::string WhyNotReversed(const std::string& code) {
  if (code == "REVERSE_EXPIRE") return "is older than 7 days and can no longer be reversed";
  if (code == "TRADE_ERROR") return "is no till's payment (micropay) and cannot be reversed";
  return "cannot be reversed";
}

std::string Given(const Fields& fields, const char* name) {
  const auto field = fields.find(name);
  return field == fields.end() ? std::string() : field->second;
}

}  // namespace

void ServeReverse(Exchange& ex, OrderDesk& desk) {
  const Fields& fields = ex.check.fields;
  const std::string transactionId = Given(fields, kFieldTransactionId);
  std::string orderNo = Given(fields, kFieldOutTradeNo);
  if (!transactionId.empty()) {
    orderNo = desk.FindOrderNumber(
        [&transactionId](const Order& order) { return order.transactionId == transactionId; });
    if (orderNo.empty()) {
      desk.SendResultFail(Given(fields, kFieldOutTradeNo), "ORDERNOTEXIST",
                          "transaction_id " + transactionId + " names no order", ex);
      desk.Log(ex, "-", 200, "FAIL ORDERNOTEXIST, nothing to reverse");
      return;
    }
  }
  Step step;
  bool reversed = false;
  bool wasPaid = false;
  const bool found = desk.WithOrder(orderNo, [&](Order& order, OrderLife& life) {
    wasPaid = order.paid;
    step = life.Reverse(order, ex.entry.at, PlayOf(order.scenario).reverseRecall);
    reversed = StateOf(order) == OrderState::kReversed;
    if (!step.refused()) ex.changed = order;
  });
  if (!found) return ServeNoSuchOrder(ex, desk, orderNo, ", nothing to reverse");
  if (step.refused()) {
    desk.SendResultFail(orderNo, step.refusal,
                        "order " + orderNo + " " + WhyNotReversed(step.refusal), ex);
    desk.Log(ex, orderNo, 200, std::string("FAIL ") + step.refusal + ", not reversed");
    return;
  }
  // Asked again while not yet reversed: the scenario's recall.
  const bool recall = !reversed;
  desk.SendSuccess({{kFieldOutTradeNo, orderNo}, {kFieldRecall, recall ? "Y" : "N"}}, ex,
                   Fault::kNone);
  desk.Log(ex, orderNo, 200,
           recall         ? std::string("SUCCESS recall=Y, not reversed yet")
           : step.moved() ? std::string("SUCCESS recall=N, ") +
                                (wasPaid ? "refunded whole" : "closed for good")
                          : std::string("SUCCESS recall=N, reversed already"));
}

}  // namespace quillmark::sandbox
