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
};
// clang-format on

}  // namespace

const ApiHandler* FindApiHandler(const Operation* operation) {
  const auto found = std::find_if(
      std::begin(kApiHandlers), std::end(kApiHandlers),
      [operation](const ApiHandler& handler) { return handler.operation == operation; });
  return found == std::end(kApiHandlers) ? nullptr : &*found;
}

}  // namespace quillmark::sandbox
