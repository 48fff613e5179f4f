// What an order cycle obtained, step by step, so that the window and the command-line
// summary show what happened instead of inferring it from output lines or file times.
// Text fields are the program's own narrow text (GBK), as taken from the replies.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "payment/reply_fields.h"
#include "payment/transport.h"
#include "qr/qr_bitmap.h"

namespace quillmark {

// The steps of a cycle, in order, and what a user can ask for afterwards: one more query of
// the order, or closing it.
enum class CycleStep { kUnifiedOrder, kQuery1, kQuery2, kQueryAgain, kCloseOrder };

// One request and what its reply said. Reply fields are the CDATA content of the first
// element of that name, empty when absent. codeUrl and tradeState are what the program
// acts on, so they are kept only from a trusted reply (Trusted() below); the codes and
// messages are kept from any reply, to show what it said.
struct StepOutcome {
  TransferStatus transfer;
  ReplySignature signature;  // checked over the reply's UTF-8 bytes, before any conversion
  std::string returnCode;    // SUCCESS or FAIL: whether the platform took the request
  std::string returnMsg;
  std::string resultCode;  // SUCCESS or FAIL: whether the business operation succeeded
  std::string errCode;
  std::string errCodeDes;
  std::string codeUrl;         // unified order: the payment link
  std::string tradeState;      // order query
  std::string tradeStateDesc;  // order query
};

// Whether the step's reply arrived whole and its signature verified over the very fields
// the program reads from it.
inline bool Trusted(const StepOutcome& outcome) {
  return outcome.transfer.ok() && outcome.signature.verdict == SignatureVerdict::kVerified;
}

struct CycleResult {
  // Set when the unified order's reply held a payment link.
  std::string orderNo;
  StepOutcome order;
  // One per query made: none when there was no order number, otherwise two, fewer only
  // when the cycle was aborted.
  std::vector<StepOutcome> queries;
  // The payment link's symbol, the one the bitmap was drawn from; none when there was no
  // link or it could not be encoded.
  std::optional<qr::Symbol> symbol;
  // What became of the bitmap; none when there was no payment link to write.
  std::optional<qr::SaveResult> bitmap;
  std::string bitmapPath;  // where it was (or would have been) written, as configured
  bool aborted = false;    // a transfer was ended through TransferAbort; later steps skipped

  std::vector<std::string> TradeStates() const {
    std::vector<std::string> states;
    for (const StepOutcome& query : queries) states.push_back(query.tradeState);
    return states;
  }
};

}  // namespace quillmark
