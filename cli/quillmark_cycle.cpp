// quillmark-cycle: one order cycle, exactly as the desktop program's pay button runs it,
// for scripts and CI. Takes no options: the merchant, the platform's address and the
// bitmap path are the build's configuration.
//
// Exit status 0 when the unified order returned an order number, 1 otherwise.
#include <filesystem>
#include <iostream>
#include <system_error>

#include "payment/quillmark_ops.h"

namespace {

const char* BitmapNote(quillmark::qr::SaveResult result) {
  using quillmark::qr::SaveResult;
  switch (result) {
    case SaveResult::kWritten:
      return "";
    case SaveResult::kNotEncoded:
      return "  (not written: the payment link does not fit a QR symbol)";
    case SaveResult::kOutOfMemory:
    case SaveResult::kCannotOpen:
    case SaveResult::kCannotWrite:
      break;
  }
  return "  (not written, see above)";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    std::cerr << argv[0] << ": takes no options; the merchant, the API address and the"
              << " bitmap path are chosen when the program is built.\n";
    return 2;
  }
  quillmark::CQuillmarkOps ops;
  const quillmark::CQuillmarkOps::CycleResult result = ops.RunOrderCycle();

  std::cout << "\n--- summary ---\n";
  if (result.orderNo.empty()) {
    std::cout << "No order number: the unified order returned no payment link"
              << " (see the lines above).\n";
    return 1;
  }
  std::cout << "Order number:  " << result.orderNo << '\n';
  for (std::size_t i = 0; i < result.queries.size(); ++i) {
    const std::string& state = result.queries[i].tradeState;
    std::cout << "Query " << i + 1 << ":       " << (state.empty() ? "(no trade_state)" : state)
              << '\n';
  }
  const std::filesystem::path bitmap = result.bitmapPath;
  std::error_code error;
  const auto absolute = std::filesystem::absolute(bitmap, error);
  std::cout << "QR bitmap:     " << (error ? bitmap : absolute).string()
            << BitmapNote(result.bitmap.value_or(quillmark::qr::SaveResult::kNotEncoded))
            << std::endl;
  return 0;
}
