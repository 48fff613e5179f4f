// The operations' judges and verdict names of operation.h.
#include "protocol/operation.h"

namespace quillmark {
namespace {

bool IsFail(const StepOutcome& outcome, const char* field) {
  return outcome.Field(field) == "FAIL";
}

}  // namespace

const char* StepVerdictName(StepVerdict verdict) {
  switch (verdict) {
    case StepVerdict::kDone:
      return "done";
    case StepVerdict::kFailed:
      return "failed";
    case StepVerdict::kUntrusted:
      return "untrusted";
    case StepVerdict::kNoResult:
      break;
  }
  return "no result";
}

const std::string& StepOutcome::Field(std::string_view name) const {
  static const std::string kNone;
  const auto field = fields.find(name);
  return field == fields.end() ? kNone : field->second;
}

StepVerdict JudgeAccepted(const StepOutcome& outcome) {
  const long status = outcome.transfer.httpStatus;
  if (!outcome.transfer.ok() || (status != 0 && (status < 200 || status > 299))) {
    return StepVerdict::kFailed;
  }
  // A refusal counts as one whether or not its sign holds; a failed verification still
  // shows in the exit status and beside the verdict.
  if (IsFail(outcome, kFieldReturnCode) || IsFail(outcome, kFieldResultCode)) {
    return StepVerdict::kFailed;
  }
  if (VerificationFailed(outcome.signature.verdict)) return StepVerdict::kUntrusted;
  // Neither refused nor verified (a document that cannot be read, a reply without
  // return_code): nothing says the platform did it.
  if (!Trusted(outcome) || outcome.Field(kFieldReturnCode) != "SUCCESS") {
    return StepVerdict::kNoResult;
  }
  return StepVerdict::kDone;
}

StepVerdict JudgeFirstReplyField(const StepOutcome& outcome) {
  const StepVerdict accepted = JudgeAccepted(outcome);
  if (accepted != StepVerdict::kDone) return accepted;
  const Operation* operation = outcome.operation;
  if (operation == nullptr || operation->replyFields.empty()) return StepVerdict::kDone;
  return outcome.Field(operation->replyFields.front()).empty() ? StepVerdict::kNoResult
                                                               : StepVerdict::kDone;
}

StepVerdict JudgeUnifiedOrder(const StepOutcome& outcome) {
  const StepVerdict accepted = JudgeAccepted(outcome);
  if (accepted != StepVerdict::kDone) return accepted;
  const auto type = outcome.request.find(kFieldTradeType);
  const bool native = type == outcome.request.end() || type->second == "NATIVE";
  return outcome.Field(native ? kFieldCodeUrl : kFieldPrepayId).empty() ? StepVerdict::kNoResult
                                                                        : StepVerdict::kDone;
}

StepVerdict VerdictOf(const StepOutcome& outcome) {
  if (outcome.operation == nullptr) return StepVerdict::kFailed;
  return outcome.operation->judge(outcome);
}

}  // namespace quillmark
