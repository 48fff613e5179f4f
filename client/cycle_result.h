// What an order cycle obtained, step by step, so that the window and the command-line
// summary show what happened instead of inferring it from output lines or file times.
// Text fields are the program's own narrow text (GBK), as taken from the replies.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "protocol/fields.h"
#include "protocol/step_outcome.h"
#include "qr/qr_bitmap.h"

namespace quillmark {

// The steps of one cycle, in order: the unified order, then two queries of its order.
enum class CycleStep { kUnifiedOrder, kQuery1, kQuery2 };

struct CycleResult {
  // Set when the unified order's reply held a payment link and verified.
  std::string orderNo;
  StepOutcome order;
  // The first unified order, when it answered SYSTEMERROR and `order` is its retry
  // (CQuillmarkOps::Settings::retrySystemError).
  std::optional<StepOutcome> refusedOrder;
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
    for (const StepOutcome& query : queries) states.push_back(query.Field(kFieldTradeState));
    return states;
  }
};

}  // namespace quillmark
