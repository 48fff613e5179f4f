// The exchange's journal entry, filled where each part of it becomes known.
#include "sandbox/api/exchange.h"

#include "sandbox/order/order_life.h"

namespace quillmark::sandbox {

Exchange::Exchange(const HttpRequest& q) : request(q) {
  entry.at = NowMs();  // the sandbox's clock, which a tester may have moved
  entry.method = q.method;
  entry.path = q.path;
  entry.operation = kOperationOther;
  entry.verdict = kVerdictNoEndpoint;
  entry.body = q.body.substr(0, kKeptTextBytes);
  entry.bodyBytes = q.body.size();
}

void Exchange::Check(const Operation& operation, const MerchantSettings& merchant) {
  check = CheckRequest(operation, request.body, merchant);
  entry.operation = operation.name;
  entry.verdict = VerdictName(check.verdict);
  entry.signString = check.signString.substr(0, kKeptTextBytes);
  entry.expectedSign = check.expectedSign;
  entry.receivedSign = check.receivedSign;
  entry.signType = check.signType;
}

void Exchange::Conclude(const std::string& orderNo, int status, const std::string& outcome) {
  entry.orderNo = orderNo == "-" ? "" : orderNo;
  entry.status = status;
  entry.outcome = outcome;
  entry.reply = reply.body.substr(0, kKeptTextBytes);
  entry.replyBytes = reply.body.size();
}

}  // namespace quillmark::sandbox
