// The platform's operations the sandbox serves: one struct of hooks per operation, in one
// table keyed by the operation's declaration (protocol/operation.h). Adding an operation
// means its declaration, its handler's file in sandbox/api/ (its serve function declared
// below), and its row in the table (api_handlers.cpp). A declared operation with no row is
// refused, never served as another.
#pragma once

#include <string>
#include <vector>

#include "protocol/operation.h"
#include "sandbox/api/exchange.h"
#include "sandbox/api/order_desk.h"

namespace quillmark::sandbox {

struct ApiHandler {
  // MUST be the operation's declaration: the router finds the handler of a POST to its
  // path by it, and the body has been checked against it (Exchange::Check) before `serve`.
  const Operation* operation;

  // Whether the run's fault applies to it. When true, the router MAY hold the request
  // (Fault::kStall) before it is read, and MAY answer Fault::kHttp500 in place of `serve`;
  // `serve` MUST then pass desk.fault() to the SendSuccess of its main reply. When false,
  // the operation always answers as the platform would.
  bool faulted;

  // Answers a request whose check passed: ex.check.ok, and every field the declaration
  // requires is in ex.check.fields.
  //  - MUST set ex.reply through the desk's Send... calls, and MUST end with desk.Log()
  //    once, after the reply is set: that is the request's log line and journal entry.
  //  - MUST change an order only inside desk.WithOrder() and through its OrderLife, and
  //    MUST then set ex.changed to a copy of the order as it left it, so that the change
  //    is kept before the reply goes out.
  //  - MAY set ex.notify when the order was paid by it: the notification is sent once
  //    the change is kept.
  //  - MUST NOT block beyond the desk's lock, and MUST NOT throw.
  void (*serve)(Exchange& ex, OrderDesk& desk);
};

// The handlers, each in its own file.
void ServeUnifiedOrder(Exchange& ex, OrderDesk& desk);
void ServeOrderQuery(Exchange& ex, OrderDesk& desk);
void ServeCloseOrder(Exchange& ex, OrderDesk& desk);
void ServeRefund(Exchange& ex, OrderDesk& desk);
void ServeRefundQuery(Exchange& ex, OrderDesk& desk);
void ServeMicropay(Exchange& ex, OrderDesk& desk);
void ServeReverse(Exchange& ex, OrderDesk& desk);
void ServeDownloadBill(Exchange& ex, OrderDesk& desk);

// The words of a request about an order the sandbox does not have: "order <number> does
// not exist". The order query answers them as a return_code FAIL.
std::string NoSuchOrderWords(const std::string& orderNo);
// The answer of every other operation about such an order: result_code FAIL with err_code
// ORDERNOTEXIST and those words, signed; logged as "FAIL ORDERNOTEXIST" and `logged`.
void ServeNoSuchOrder(Exchange& ex, OrderDesk& desk, const std::string& orderNo,
                      const char* logged);

// The table's row for `operation`; null when the sandbox does not serve it.
const ApiHandler* FindApiHandler(const Operation* operation);

}  // namespace quillmark::sandbox
