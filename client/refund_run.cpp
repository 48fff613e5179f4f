// PlayRefund of refund_run.h.
#include "client/refund_run.h"

#include <algorithm>

#include "protocol/field_rules.h"
#include "protocol/fields.h"
#include "protocol/operation.h"
#include "protocol/refund_notification.h"

namespace quillmark {
namespace {

// The member `n` of an indexed field: refund_fee_$n with 2 is refund_fee_2.
std::string Member(const char* family, int n) {
  std::string name(family);
  name.replace(name.find("$n"), 2, std::to_string(n));
  return name;
}

long long Fen(const std::string& text) { return rules::IsFee(text) ? std::stoll(text) : -1; }

// "the order query was not answered (...)": why a step's reply gives nothing to go on.
std::string Unusable(const char* step, const StepOutcome& outcome) {
  if (!outcome.transfer.ok())
    return std::string(step) + " got no reply: " + outcome.transfer.message;
  if (!Trusted(outcome))
    return std::string(step) + "'s reply failed verification, so it is not used";
  const std::string& code = outcome.Field(kFieldErrCode);
  if (!code.empty()) return std::string(step) + " was answered err_code " + code;
  return std::string(step) + " was answered " + outcome.Field(kFieldReturnCode) + " " +
         outcome.Field(kFieldReturnMsg);
}

}  // namespace

long long RefundedSoFar(const StepOutcome& refundQuery) {
  long long refunded = 0;
  const long long count = Fen(refundQuery.Field(kFieldRefundCount));
  for (int n = 0; n < count; ++n) {
    if (refundQuery.Field(Member(kFieldRefundStatusN, n)) == kRefundClosed) continue;
    refunded += std::max(0LL, Fen(refundQuery.Field(Member(kFieldRefundFeeN, n))));
  }
  return refunded;
}

RefundRun PlayRefund(CQuillmarkOps& ops, const RefundAsk& ask) {
  RefundRun run;
  run.query = ops.Run(kOrderQueryOperation, ask.orderNo);
  run.totalFee = Trusted(run.query) ? Fen(run.query.Field(kFieldTotalFee)) : -1;
  if (run.totalFee <= 0) {
    run.totalFee = 0;
    run.why = VerdictOf(run.query) == StepVerdict::kDone
                  ? "the order query's reply named no total_fee"
                  : Unusable("the order query", run.query);
    return run;
  }
  // Only what was paid can be given back; the platform would refuse it, but a merchant's
  // system that sends it anyway has already lost track of the order.
  const std::string& state = run.query.Field(kFieldTradeState);
  if (state != "SUCCESS" && state != "REFUND") {
    run.why = "the order's trade_state is " + state + ", so nothing was paid to refund";
    return run;
  }
  run.refundFee = ask.refundFee;
  if (ask.refundFee == 0) {
    run.refundsBefore = ops.Run(kRefundQueryOperation, ask.orderNo);
    const StepOutcome& before = *run.refundsBefore;
    // An order never refunded is answered REFUNDNOTEXIST: nothing was given back.
    if (before.Field(kFieldErrCode) != "REFUNDNOTEXIST" || !Trusted(before)) {
      if (VerdictOf(before) != StepVerdict::kDone) {
        run.why = Unusable("the refund query", before);
        return run;
      }
      run.refundedBefore = RefundedSoFar(before);
    }
    run.refundFee = run.totalFee - run.refundedBefore;
    if (run.refundFee <= 0) {
      run.refundFee = 0;
      run.why = "nothing is left to refund: the order's " + std::to_string(run.totalFee) +
                " fen were refunded";
      return run;
    }
  }
  run.refund = ops.Refund(ask.orderNo, run.totalFee, run.refundFee, ask.outRefundNo);
  return run;
}

}  // namespace quillmark
