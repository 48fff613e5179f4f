// The close order: closes an order that was not paid, so that it can no longer be paid.
#include <string>

#include "protocol/flat_document.h"
#include "sandbox/api/api_handler.h"

namespace quillmark::sandbox {

void ServeCloseOrder(Exchange& ex, OrderDesk& desk) {
  const std::string& orderNo = ex.check.fields.at(kFieldOutTradeNo);
  Step step;
  const bool found = desk.WithOrder(orderNo, [&](Order& order, OrderLife& life) {
    step = life.Apply(order, Transition::kClose, Cause{Actor::kMerchant, ex.entry.at, {}});
    if (step.moved()) ex.changed = order;
  });
  // Refusals are business failures of a request that was itself in order: signed replies
  // with result_code FAIL and a code that says why, as the platform answers them.
  if (!found) {
    ServeNoSuchOrder(ex, desk, orderNo, ", nothing to close");
  } else if (step.refused()) {
    desk.SendResultFail(orderNo, step.refusal,
                        "order " + orderNo + " has been paid and cannot be closed", ex);
    desk.Log(ex, orderNo, 200, std::string("FAIL ") + step.refusal + ", not closed");
  } else {
    desk.SendSuccess({{kFieldOutTradeNo, orderNo}}, ex, Fault::kNone);
    desk.Log(ex, orderNo, 200, "SUCCESS order closed");
  }
}

}  // namespace quillmark::sandbox
