#include "shell/core/outcome_words.h"

#include <filesystem>
#include <system_error>

#include "payment/encoding.h"
#include "shell/core/texts.h"

namespace quillmark::shell::words {
namespace {

std::string KnownTradeState(const std::string& state) {
  static const struct {
    const char* state;
    const char* meaning;
  } kStates[] = {
      {"SUCCESS", texts::kTradeStateSuccess},   {"REFUND", texts::kTradeStateRefund},
      {"NOTPAY", texts::kTradeStateNotPay},     {"CLOSED", texts::kTradeStateClosed},
      {"REVOKED", texts::kTradeStateRevoked},   {"USERPAYING", texts::kTradeStateUserPaying},
      {"PAYERROR", texts::kTradeStatePayError},
  };
  for (const auto& known : kStates) {
    if (state == known.state) return known.meaning;
  }
  return {};
}

// "a：b", or whichever of the two is not empty.
std::string Pair(const std::string& a, const std::string& b) {
  if (a.empty()) return FromGbk(b);
  if (b.empty()) return FromGbk(a);
  return FromGbk(a) + "：" + FromGbk(b);
}

// A step's verdict followed by its signature's, where there was a reply to check.
std::string WithSignature(const std::string& verdict, const StepOutcome& outcome) {
  const std::string signature = SignatureVerdictText(outcome);
  return signature.empty() ? verdict : verdict + "；" + signature;
}

}  // namespace

std::string FromGbk(const std::string& gbk) {
  std::string utf8;
  AnsiToUtf8(gbk, utf8);
  return utf8;
}

std::string Fill(const char* pattern, std::initializer_list<std::string> values) {
  std::string out;
  for (const char* p = pattern; *p != '\0'; ++p) {
    const std::size_t index = p[0] == '%' && p[1] >= '1' && p[1] <= '9'
                                  ? static_cast<std::size_t>(p[1] - '1')
                                  : values.size();
    if (index < values.size()) {
      out += values.begin()[index];
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

std::string StepName(CycleStep step) {
  switch (step) {
    case CycleStep::kUnifiedOrder:
      return texts::kStepUnifiedOrder;
    case CycleStep::kQuery1:
      return texts::kStepQuery1;
    case CycleStep::kQuery2:
      return texts::kStepQuery2;
    case CycleStep::kQueryAgain:
      return texts::kStepQueryAgain;
    case CycleStep::kCloseOrder:
      return texts::kStepCloseOrder;
  }
  return {};
}

std::string FailureOf(const StepOutcome& outcome) {
  const TransferStatus& transfer = outcome.transfer;
  if (transfer.aborted()) return texts::kAborted;
  std::string failure;
  if (!transfer.ok()) {
    failure = Fill(texts::kTransportFailed, {transfer.message, std::to_string(transfer.code)});
  }
  if (transfer.httpStatus != 0 && (transfer.httpStatus < 200 || transfer.httpStatus > 299)) {
    const std::string status = Fill(texts::kHttpStatus, {std::to_string(transfer.httpStatus)});
    failure = failure.empty() ? status : failure + "，" + status;
  }
  if (!failure.empty()) return failure;
  if (outcome.returnCode == "FAIL") return Pair(outcome.returnCode, outcome.returnMsg);
  if (outcome.resultCode == "FAIL") {
    const std::string error = Pair(outcome.errCode, outcome.errCodeDes);
    return error.empty() ? FromGbk(outcome.resultCode) : error;
  }
  return {};
}

std::string SignatureVerdictText(const StepOutcome& outcome) {
  if (!outcome.transfer.ok()) return {};
  switch (outcome.signature.verdict) {
    case SignatureVerdict::kVerified:
      return texts::kSignatureVerified;
    case SignatureVerdict::kMismatch:
      return Fill(texts::kSignatureMismatch, {outcome.signature.expected});
    case SignatureVerdict::kUnsigned:
      return texts::kSignatureUnsigned;
    case SignatureVerdict::kMissing:
      return texts::kSignatureMissing;
    case SignatureVerdict::kAmbiguous:
      return Fill(texts::kSignatureAmbiguous, {outcome.signature.field});
    case SignatureVerdict::kUnreadable:
      break;
  }
  return texts::kSignatureUnreadable;
}

std::string SignatureDetail(const StepOutcome& outcome) {
  if (outcome.signature.verdict != SignatureVerdict::kMismatch) return {};
  // UTF-8 already, as it was signed.
  return Fill(texts::kSignatureSignString, {outcome.signature.maskedSignString});
}

std::string OrderVerdict(const StepOutcome& order) {
  std::string verdict = FailureOf(order);
  // A reply that failed verification brought no link to show, and the window says why.
  if (verdict.empty() && VerificationFailed(order.signature.verdict)) verdict = texts::kCodeNotShown;
  if (verdict.empty()) verdict = order.codeUrl.empty() ? texts::kNoCodeUrl : texts::kStepSucceeded;
  return WithSignature(verdict, order);
}

std::string QueryVerdict(const StepOutcome& query) {
  std::string verdict = FailureOf(query);
  if (verdict.empty() && VerificationFailed(query.signature.verdict)) {
    verdict = texts::kTradeStateNotTrusted;
  }
  if (verdict.empty() && query.tradeState.empty()) verdict = texts::kNoTradeState;
  if (verdict.empty()) {
    const std::string meaning = query.tradeStateDesc.empty() ? KnownTradeState(query.tradeState)
                                                             : FromGbk(query.tradeStateDesc);
    const std::string state = FromGbk(query.tradeState);
    verdict = meaning.empty() ? state : state + "（" + meaning + "）";
  }
  return WithSignature(verdict, query);
}

std::string CloseVerdict(const StepOutcome& close) {
  std::string verdict = FailureOf(close);
  if (verdict.empty()) {
    verdict = VerificationFailed(close.signature.verdict) ? texts::kCloseNotTrusted
                                                          : texts::kOrderClosed;
  }
  return WithSignature(verdict, close);
}

std::string AbsolutePath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

std::string BitmapVerdict(const CycleResult& result) {
  if (!result.bitmap) return {};
  const std::string path = AbsolutePath(result.bitmapPath);
  switch (*result.bitmap) {
    case qr::SaveResult::kWritten:
      return Fill(texts::kBitmapWritten, {path});
    case qr::SaveResult::kNotEncoded:
      return texts::kBitmapNotEncoded;
    case qr::SaveResult::kOutOfMemory:
      return Fill(texts::kBitmapOutOfMemory, {path});
    case qr::SaveResult::kCannotOpen:
      return Fill(texts::kBitmapCannotOpen, {path});
    case qr::SaveResult::kCannotWrite:
      return Fill(texts::kBitmapCannotWrite, {path});
  }
  return {};
}

}  // namespace quillmark::shell::words
