// A refund of an order placed before, as a merchant's back office makes one: the order's
// amount learnt from its query (a refund must name the order's own total_fee, which the
// client may not know: the order was placed by another run, or by the merchant's system),
// what its refunds already gave back learnt from the refund query when the remainder is
// asked for, then the refund. Played by the runner's `refund` and the windows' refund row.
#pragma once

#include <optional>
#include <string>

#include "client/quillmark_ops.h"
#include "protocol/step_outcome.h"

namespace quillmark {

struct RefundAsk {
  std::string orderNo;
  long long refundFee = 0;  // fen; 0: whatever the order's earlier refunds left
  std::string outRefundNo;  // empty: a fresh number
};

struct RefundRun {
  StepOutcome query;                         // the order's, for its total_fee
  std::optional<StepOutcome> refundsBefore;  // the refund query, when the remainder was asked
  std::optional<StepOutcome> refund;         // none when the queries left nothing to send
  long long totalFee = 0;                    // the order's, as its query said
  long long refundedBefore = 0;              // what refunds not closed gave back, when asked
  long long refundFee = 0;                   // the amount the refund asked for
  std::string why;                           // why no refund was sent; empty when one was
};

// Refunds `ask.orderNo` on `ops`, when its query says it was paid (SUCCESS, or REFUND for
// one refunded in part). A reply that failed verification is not used: nothing
// is refunded on the word of a forged query. A transfer aborted through the operations'
// TransferAbort ends it there.
RefundRun PlayRefund(CQuillmarkOps& ops, const RefundAsk& ask);

// What the refund query's signed reply says the order's refunds gave back, in fen: every
// refund but one closed (whose money stayed with the merchant).
long long RefundedSoFar(const StepOutcome& refundQuery);

}  // namespace quillmark
