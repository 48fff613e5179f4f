// quillmark-cycle: one order cycle, exactly as the desktop program's pay button runs it,
// for scripts and CI. Takes no options: the merchant, the platform's address and the
// bitmap path are the build's configuration.
//
// The request and reply lines come first, as the cycle writes them; then a summary of
// what each step obtained, the verdict on each reply's signature included.
//
// Exit status: 0 when the unified order returned an order number and every signed reply
// verified; 1 when no order number was obtained; 3 when an order was placed but a reply's
// signature did not match (the cycle still ran to its end).
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "payment/quillmark_ops.h"

namespace {

using quillmark::SignatureVerdict;
using quillmark::StepOutcome;

constexpr int kNoOrder = 1;
constexpr int kBadSignature = 3;

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

// One line on how a step's exchange went: the transfer, the HTTP status, the reply's
// codes and the signature verdict.
std::string Exchange(const StepOutcome& step) {
  std::string text;
  const auto add = [&text](const std::string& part) {
    if (!text.empty()) text += ", ";
    text += part;
  };
  if (!step.transfer.ok()) {
    add("transfer failed (RetCode " + std::to_string(step.transfer.code) + " " +
        step.transfer.message + ")");
  }
  if (step.transfer.httpStatus != 0) add("HTTP " + std::to_string(step.transfer.httpStatus));
  if (!step.returnCode.empty()) add("return_code " + step.returnCode);
  if (!step.returnMsg.empty() && step.returnCode != "SUCCESS") add("return_msg " + step.returnMsg);
  if (!step.resultCode.empty()) add("result_code " + step.resultCode);
  if (!step.errCode.empty()) add("err_code " + step.errCode);
  if (!step.errCodeDes.empty()) add("err_code_des " + step.errCodeDes);
  add(std::string("signature ") + quillmark::VerdictName(step.signature.verdict));
  return text;
}

// For a reply whose sign did not match: what it should have been, and over what.
void PrintMismatch(const char* reply, const StepOutcome& step) {
  if (step.signature.verdict != SignatureVerdict::kMismatch) return;
  std::cout << "  " << reply << ": the reply's sign " << step.signature.received
            << " is not the expected " << step.signature.expected
            << ", the upper-case MD5 of the UTF-8 bytes of \"" << step.signature.maskedSignString
            << "\"\n";
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
  std::cout << "Unified order: " << Exchange(result.order) << '\n';
  PrintMismatch("unified order reply", result.order);
  if (result.orderNo.empty()) {
    std::cout << "No order number: the unified order returned no payment link"
              << " (see the lines above).\n";
    return kNoOrder;
  }
  std::cout << "Order number:  " << result.orderNo << '\n';
  bool mismatch = result.order.signature.verdict == SignatureVerdict::kMismatch;
  for (std::size_t i = 0; i < result.queries.size(); ++i) {
    const StepOutcome& query = result.queries[i];
    const std::string& state = query.tradeState;
    std::cout << "Query " << i + 1 << ":       " << (state.empty() ? "(no trade_state)" : state)
              << "  (" << Exchange(query) << ")\n";
    PrintMismatch(i == 0 ? "query 1 reply" : "query 2 reply", query);
    mismatch = mismatch || query.signature.verdict == SignatureVerdict::kMismatch;
  }
  const std::filesystem::path bitmap = result.bitmapPath;
  std::error_code error;
  const auto absolute = std::filesystem::absolute(bitmap, error);
  std::cout << "QR bitmap:     " << (error ? bitmap : absolute).string()
            << BitmapNote(result.bitmap.value_or(quillmark::qr::SaveResult::kNotEncoded)) << '\n';
  if (mismatch) {
    std::cout << "A reply's signature did not match: it was changed on the way, or the"
              << " platform signs with another key than this build's.\n";
  } else {
    std::cout << "Every signed reply verified.\n";
  }
  std::cout << std::flush;
  return mismatch ? kBadSignature : 0;
}
