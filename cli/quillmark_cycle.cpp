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

std::filesystem::file_time_type LastWrite(const std::filesystem::path& path) {
  std::error_code error;
  const auto time = std::filesystem::last_write_time(path, error);
  return error ? std::filesystem::file_time_type::min() : time;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    std::cerr << argv[0] << ": takes no options; the merchant, the API address and the"
              << " bitmap path are chosen when the program is built.\n";
    return 2;
  }
  quillmark::CQuillmarkOps ops;
  const std::filesystem::path bitmap = ops.settings().qrPath;
  const auto before = LastWrite(bitmap);

  const quillmark::CQuillmarkOps::CycleResult result = ops.RunOrderCycle();

  std::cout << "\n--- summary ---\n";
  if (result.orderNo.empty()) {
    std::cout << "No order number: the unified order returned no payment link"
              << " (see the lines above).\n";
    return 1;
  }
  std::cout << "Order number:  " << result.orderNo << '\n';
  for (std::size_t i = 0; i < result.tradeStates.size(); ++i) {
    const std::string& state = result.tradeStates[i];
    std::cout << "Query " << i + 1 << ":       " << (state.empty() ? "(no trade_state)" : state)
              << '\n';
  }
  std::error_code error;
  const auto absolute = std::filesystem::absolute(bitmap, error);
  const auto after = LastWrite(bitmap);
  const bool written = after != before && after != std::filesystem::file_time_type::min();
  std::cout << "QR bitmap:     " << (error ? bitmap : absolute).string()
            << (written ? "" : "  (not written, see above)") << std::endl;
  return 0;
}
