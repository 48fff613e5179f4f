// The table of served operations: one row per operation, by its declaration.
#include "sandbox/api/api_handler.h"

#include <algorithm>
#include <iterator>

namespace quillmark::sandbox {
namespace {

// clang-format off
const ApiHandler kApiHandlers[] = {
//  declaration              faulted  serve
  {&kUnifiedOrderOperation, true,    ServeUnifiedOrder},
  {&kOrderQueryOperation,   false,   ServeOrderQuery},
  {&kCloseOrderOperation,   false,   ServeCloseOrder},
  {&kRefundOperation,       false,   ServeRefund},
  {&kRefundQueryOperation,  false,   ServeRefundQuery},
  {&kMicropayOperation,     false,   ServeMicropay},
  {&kReverseOperation,      false,   ServeReverse},
  {&kDownloadBillOperation, false,   ServeDownloadBill},
};
// clang-format on

}  // namespace

std::string NoSuchOrderWords(const std::string& orderNo) {
  return "order " + orderNo + " does not exist";
}

void ServeNoSuchOrder(Exchange& ex, OrderDesk& desk, const std::string& orderNo,
                      const char* logged) {
  desk.SendResultFail(orderNo, "ORDERNOTEXIST", NoSuchOrderWords(orderNo), ex);
  desk.Log(ex, orderNo, 200, std::string("FAIL ORDERNOTEXIST") + logged);
}

const ApiHandler* FindApiHandler(const Operation* operation) {
  const auto found = std::find_if(
      std::begin(kApiHandlers), std::end(kApiHandlers),
      [operation](const ApiHandler& handler) { return handler.operation == operation; });
  return found == std::end(kApiHandlers) ? nullptr : &*found;
}

}  // namespace quillmark::sandbox
