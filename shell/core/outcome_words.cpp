// The words of outcome_words.h: each step's verdict and where the bitmap went, in UTF-8.
#include "shell/core/outcome_words.h"

#include <filesystem>
#include <system_error>

#include "platform/platform.h"
#include "protocol/operation.h"
#include "protocol/refund_notification.h"
#include "protocol/trade_states.h"
#include "shell/core/texts.h"
#include "text/encoding.h"

namespace quillmark::shell::words {
namespace {

// What a known state means, for replies that carry no description of their own.
std::string KnownMeaning(const std::string& state) {
  const TradeStateInfo* known = FindTradeState(state);
  return known != nullptr ? known->chinese : "";
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
  const std::string refusal =
      outcome.operation == nullptr
          ? std::string()
          : CertificateRefusal(outcome.operation->path, transfer.httpStatus, outcome.reply);
  if (!refusal.empty()) failure += "，" + refusal;
  if (!failure.empty()) return failure;
  if (outcome.Field(kFieldReturnCode) == "FAIL") {
    return Pair(outcome.Field(kFieldReturnCode), outcome.Field(kFieldReturnMsg));
  }
  if (outcome.Field(kFieldResultCode) == "FAIL") {
    const std::string error = Pair(outcome.Field(kFieldErrCode), outcome.Field(kFieldErrCodeDes));
    return error.empty() ? FromGbk(outcome.Field(kFieldResultCode)) : error;
  }
  return {};
}

std::string SignatureVerdictText(const ReplySignature& signature) {
  switch (signature.verdict) {
    case SignatureVerdict::kVerified:
      return texts::kSignatureVerified;
    case SignatureVerdict::kMismatch:
      return Fill(texts::kSignatureMismatch, {signature.expected});
    case SignatureVerdict::kUnsigned:
      return texts::kSignatureUnsigned;
    case SignatureVerdict::kMissing:
      return texts::kSignatureMissing;
    case SignatureVerdict::kAmbiguous:
      return Fill(texts::kSignatureAmbiguous, {signature.field});
    case SignatureVerdict::kMisdirected:
      return Fill(texts::kSignatureMisdirected,
                  {signature.field, FromGbk(signature.answered), FromGbk(signature.ours)});
    case SignatureVerdict::kUnreadable:
      break;
  }
  return texts::kSignatureUnreadable;
}

std::string SignatureVerdictText(const StepOutcome& outcome) {
  if (!outcome.transfer.ok()) return {};
  return SignatureVerdictText(outcome.signature);
}

std::string SignatureDetail(const ReplySignature& signature) {
  if (signature.verdict != SignatureVerdict::kMismatch) return {};
  // UTF-8 already, as it was signed.
  return Fill(texts::kSignatureSignString, {signature.maskedSignString});
}

std::string SignatureDetail(const StepOutcome& outcome) {
  return SignatureDetail(outcome.signature);
}

std::string StepText(const StepWords& words, const StepOutcome& outcome) {
  return WithSignature(StepVerdictText(words, outcome), outcome);
}

std::string StepVerdictText(const StepWords& words, const StepOutcome& outcome) {
  std::string verdict;
  switch (VerdictOf(outcome)) {
    case StepVerdict::kFailed:
      verdict = FailureOf(outcome);
      break;
    case StepVerdict::kUntrusted:
      verdict = words.untrusted;
      break;
    case StepVerdict::kNoResult:
      verdict = words.noResult;
      break;
    case StepVerdict::kDone:
      verdict = words.done(outcome);
      break;
  }
  return verdict;
}

std::string TradeStateText(const StepOutcome& query) {
  const std::string& state = query.Field(kFieldTradeState);
  const std::string& description = query.Field(kFieldTradeStateDesc);
  const std::string meaning = description.empty() ? KnownMeaning(state) : FromGbk(description);
  return meaning.empty() ? FromGbk(state) : FromGbk(state) + "（" + meaning + "）";
}

std::string NotificationText(const std::string& time, const NotificationCheck& check) {
  using Verdict = NotificationCheck::Verdict;
  using Refusal = NotificationCheck::Refusal;
  if (check.verdict == Verdict::kAccepted) {
    return Fill(texts::kNotifyAccepted,
                {time, FromGbk(check.Field(kFieldResultCode)), FromGbk(check.Field(kFieldTotalFee)),
                 FromGbk(check.Field(kFieldTransactionId)), FromGbk(check.Field(kFieldTimeEnd))});
  }
  if (check.verdict == Verdict::kRepeat) {
    return Fill(texts::kNotifyRepeat, {time, FromGbk(check.Field(kFieldTransactionId))});
  }
  std::string why;
  switch (check.refusal) {
    case Refusal::kTooLarge:
      why = texts::kNotifyTooLarge;
      break;
    case Refusal::kUnreadable:
      why = texts::kNotifyUnreadable;
      break;
    case Refusal::kOtherMerchant:
      why = texts::kNotifyOtherMerchant;
      break;
    case Refusal::kNotPaid:
      why = texts::kNotifyNotPaid;
      break;
    case Refusal::kUnknownOrder:
      why = texts::kNotifyUnknownOrder;
      break;
    case Refusal::kNoPayment:
      why = texts::kNotifyNoPayment;
      break;
    case Refusal::kSignature:
    case Refusal::kNone:
      break;
  }
  // A refusal for its signature says what was wrong with it, as for a reply.
  const std::string signature = SignatureVerdictText(check.signature);
  if (why.empty()) {
    why = signature;
  } else if (check.signature.verdict != SignatureVerdict::kUnreadable) {
    why += "；" + signature;
  }
  return Fill(texts::kNotifyRefused, {time, why});
}

std::string NotificationText(const ReceivedNotification& received) {
  if (!received.refund) return NotificationText(received.time, received.check);
  using Verdict = NotificationCheck::Verdict;
  using Refusal = NotificationCheck::Refusal;
  const NotificationCheck& check = received.check;
  const std::string& time = received.time;
  if (check.verdict == Verdict::kAccepted) {
    const std::string& status = check.Field(kFieldRefundStatus);
    const char* meaning = status == kRefundSuccess  ? texts::kRefundSuccessWords
                          : status == kRefundChange ? texts::kRefundChangeWords
                                                    : texts::kRefundClosedWords;
    const std::string& success = check.Field(kFieldSuccessTime);
    return Fill(
        texts::kRefundNotifyAccepted,
        {time, FromGbk(status) + "（" + meaning + "）", FromGbk(check.Field(kFieldRefundFee)),
         FromGbk(check.Field(kFieldRefundId)), FromGbk(check.Field(kFieldOutRefundNo)),
         success.empty() ? std::string()
                         : Fill(texts::kRefundNotifySuccessTime, {FromGbk(success)})});
  }
  if (check.verdict == Verdict::kRepeat) {
    return Fill(texts::kRefundNotifyRepeat, {time, FromGbk(check.Field(kFieldOutRefundNo))});
  }
  const char* why = texts::kNotifyUnreadable;
  switch (received.refundFault) {
    case RefundFault::kFailWithoutInfo:
      why = texts::kRefundFailWithoutInfo;
      break;
    case RefundFault::kNoReqInfo:
      why = texts::kRefundNoReqInfo;
      break;
    case RefundFault::kNotBase64:
      why = texts::kRefundNotBase64;
      break;
    case RefundFault::kBadLength:
      why = texts::kRefundBadLength;
      break;
    case RefundFault::kBadPadding:
      why = texts::kRefundBadPadding;
      break;
    case RefundFault::kNotRootDocument:
      why = texts::kRefundNotRoot;
      break;
    case RefundFault::kNotXml:
    case RefundFault::kNone:
      break;
  }
  if (received.refundFault == RefundFault::kNone) {
    switch (check.refusal) {
      case Refusal::kTooLarge:
        why = texts::kNotifyTooLarge;
        break;
      case Refusal::kOtherMerchant:
        why = texts::kNotifyOtherMerchant;
        break;
      case Refusal::kUnknownOrder:
        why = texts::kRefundUnknown;
        break;
      case Refusal::kNotPaid:
        why = texts::kRefundBadStatus;
        break;
      case Refusal::kNoPayment:
        why = texts::kRefundNoRefund;
        break;
      case Refusal::kUnreadable:
      case Refusal::kSignature:
      case Refusal::kNone:
        break;
    }
  }
  return Fill(texts::kRefundNotifyRefused, {time, why});
}

std::string AbsolutePath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(platform::FilePath(path), error);
  return error ? path : platform::PathText(absolute.lexically_normal());
}

std::string FolderOf(const std::string& path) {
  return platform::PathText(platform::FilePath(AbsolutePath(path)).parent_path());
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
