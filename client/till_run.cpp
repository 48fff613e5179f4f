// The till's loop of till_run.h.
#include "client/till_run.h"

#include "protocol/operation.h"

namespace quillmark {
namespace {

// The err_codes after which only a query tells whether the payer paid.
bool OutcomeUnknown(const std::string& errCode) {
  return errCode == "USERPAYING" || errCode == "SYSTEMERROR" || errCode == "BANKERROR";
}

std::string Said(const StepOutcome& outcome, const char* field) {
  if (!outcome.Field(kFieldErrCode).empty()) return outcome.Field(kFieldErrCode);
  if (VerdictOf(outcome) == StepVerdict::kDone) return field ? outcome.Field(field) : "done";
  return StepVerdictName(VerdictOf(outcome));
}

}  // namespace

const char* TillEndName(TillEnd end) {
  switch (end) {
    case TillEnd::kPaid:
      return "paid";
    case TillEnd::kReversed:
      return "reversed";
    case TillEnd::kRefused:
      return "refused";
    case TillEnd::kUnknown:
      break;
  }
  return "unknown";
}

std::string TillStepName(const TillStepDone& step) {
  switch (step.step) {
    case TillStep::kMicropay:
      return "micropay";
    case TillStep::kQuery:
      return "query " + std::to_string(step.number);
    case TillStep::kReverse:
      break;
  }
  return "reverse " + std::to_string(step.number);
}

TillRunResult PlayTillRun(CQuillmarkOps& ops, const TillRunOptions& options) {
  TillRunResult run;
  const TransferAbort* abort = ops.settings().transport.abort.get();
  const auto pause = [&](std::chrono::milliseconds wait) {
    return options.pause ? options.pause(wait) : SleepUnlessAborted(abort, wait);
  };
  const auto take = [&](TillStep step, StepOutcome outcome, std::string said) {
    int number = 1;
    for (const TillStepDone& done : run.steps) number += done.step == step ? 1 : 0;
    run.steps.push_back({step, number, std::move(outcome), std::move(said)});
    if (options.stepDone) options.stepDone(run.steps.back());
    return run.steps.back().outcome.transfer.aborted();
  };

  StepOutcome micropay = ops.Exchange(kMicropayOperation, run.orderNo);
  const std::string errCode = micropay.Field(kFieldErrCode);
  const StepVerdict verdict = VerdictOf(micropay);
  const bool paid = verdict == StepVerdict::kDone;
  // A reply that did not come, or could not be trusted, says no more than SYSTEMERROR.
  const bool unknown = OutcomeUnknown(errCode) ||
                       (!paid && errCode.empty() && micropay.Field(kFieldReturnCode) != "FAIL");
  std::string said = paid ? "paid" : Said(micropay, nullptr);
  if (take(TillStep::kMicropay, std::move(micropay), std::move(said))) {
    return run;
  }
  if (paid) {
    run.end = TillEnd::kPaid;
    return run;
  }
  if (!unknown) {
    run.end = TillEnd::kRefused;
    return run;
  }

  // Polled until the payment ends one way or the other, or the payer's time is up.
  std::chrono::milliseconds waited{0};
  bool first = true;
  while (true) {
    // A payer typing a password is given time before the first query; an unknown outcome
    // is asked about at once.
    if (!first || errCode == "USERPAYING") {
      if (waited >= options.giveUpAfter) break;
      if (!pause(options.pollInterval)) return run;
      waited += options.pollInterval;
    }
    first = false;
    StepOutcome query = ops.Run(kOrderQueryOperation, run.orderNo);
    const std::string state =
        VerdictOf(query) == StepVerdict::kDone ? query.Field(kFieldTradeState) : std::string();
    said = state.empty() ? Said(query, nullptr) : state;
    if (take(TillStep::kQuery, std::move(query), std::move(said))) {
      return run;
    }
    if (state == "SUCCESS") {
      run.end = TillEnd::kPaid;
      return run;
    }
    if (state == "PAYERROR" || state == "CLOSED" || state == "REVOKED") {
      run.end = TillEnd::kRefused;
      return run;
    }
  }

  // Still not known: taken back, so that the payer is never charged for goods not handed over.
  for (int i = 0; i < options.mostReverses; ++i) {
    if (i > 0 && !pause(options.reverseInterval)) return run;
    StepOutcome reverse = ops.Run(kReverseOperation, run.orderNo);
    const bool done = VerdictOf(reverse) == StepVerdict::kDone;
    const std::string recall = done ? reverse.Field(kFieldRecall) : std::string();
    said = done ? "recall=" + recall : Said(reverse, nullptr);
    if (take(TillStep::kReverse, std::move(reverse), std::move(said))) {
      return run;
    }
    if (!done) return run;
    if (recall != "Y") {
      run.end = TillEnd::kReversed;
      return run;
    }
  }
  return run;
}

}  // namespace quillmark
