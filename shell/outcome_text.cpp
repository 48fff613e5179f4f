#include "shell/outcome_text.h"

#include <QFileInfo>

#include "payment/encoding.h"
#include "shell/texts.h"

namespace quillmark::shell {
namespace {

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

QString KnownTradeState(const std::string& state) {
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
    if (state == known.state) return Text(known.meaning);
  }
  return {};
}

// "a：b", or whichever of the two is not empty.
QString Pair(const std::string& a, const std::string& b) {
  if (a.empty()) return FromGbk(b);
  if (b.empty()) return FromGbk(a);
  return FromGbk(a) + QStringLiteral("：") + FromGbk(b);
}

}  // namespace

QString FromGbk(const std::string& gbk) {
  std::string utf8;
  AnsiToUtf8(gbk, utf8);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QString StepName(CycleStep step) {
  switch (step) {
    case CycleStep::kUnifiedOrder:
      return Text(texts::kStepUnifiedOrder);
    case CycleStep::kQuery1:
      return Text(texts::kStepQuery1);
    case CycleStep::kQuery2:
      return Text(texts::kStepQuery2);
    case CycleStep::kQueryAgain:
      return Text(texts::kStepQueryAgain);
  }
  return {};
}

QString FailureOf(const StepOutcome& outcome) {
  const TransferStatus& transfer = outcome.transfer;
  if (transfer.aborted()) return Text(texts::kAborted);
  QString failure;
  if (!transfer.ok()) {
    failure = Text(texts::kTransportFailed)
                  .arg(QString::fromStdString(transfer.message))
                  .arg(transfer.code);
  }
  if (transfer.httpStatus != 0 && (transfer.httpStatus < 200 || transfer.httpStatus > 299)) {
    const QString status = Text(texts::kHttpStatus).arg(transfer.httpStatus);
    failure = failure.isEmpty() ? status : failure + QStringLiteral("，") + status;
  }
  if (!failure.isEmpty()) return failure;
  if (outcome.returnCode == "FAIL") return Pair(outcome.returnCode, outcome.returnMsg);
  if (outcome.resultCode == "FAIL") {
    const QString error = Pair(outcome.errCode, outcome.errCodeDes);
    return error.isEmpty() ? FromGbk(outcome.resultCode) : error;
  }
  return {};
}

QString SignatureVerdictText(const StepOutcome& outcome) {
  if (!outcome.transfer.ok()) return {};
  switch (outcome.signature.verdict) {
    case SignatureVerdict::kVerified:
      return Text(texts::kSignatureVerified);
    case SignatureVerdict::kMismatch:
      return Text(texts::kSignatureMismatch)
          .arg(QString::fromStdString(outcome.signature.expected));
    case SignatureVerdict::kUnsigned:
      return Text(texts::kSignatureUnsigned);
    case SignatureVerdict::kMissing:
      return Text(texts::kSignatureMissing);
    case SignatureVerdict::kAmbiguous:
      return Text(texts::kSignatureAmbiguous).arg(QString::fromStdString(outcome.signature.field));
    case SignatureVerdict::kUnreadable:
      break;
  }
  return Text(texts::kSignatureUnreadable);
}

QString SignatureDetail(const StepOutcome& outcome) {
  if (outcome.signature.verdict != SignatureVerdict::kMismatch) return {};
  const std::string& text = outcome.signature.maskedSignString;  // UTF-8, as signed
  return Text(texts::kSignatureSignString)
      .arg(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

namespace {

// A step's verdict followed by its signature's, where there was a reply to check.
QString WithSignature(const QString& verdict, const StepOutcome& outcome) {
  const QString signature = SignatureVerdictText(outcome);
  return signature.isEmpty() ? verdict : verdict + QStringLiteral("；") + signature;
}

}  // namespace

QString OrderVerdict(const StepOutcome& order) {
  QString verdict = FailureOf(order);
  if (verdict.isEmpty() && VerificationFailed(order.signature.verdict)) {
    verdict = Text(texts::kCodeNotShown);
  }
  if (verdict.isEmpty()) {
    verdict = order.codeUrl.empty() ? Text(texts::kNoCodeUrl) : Text(texts::kStepSucceeded);
  }
  return WithSignature(verdict, order);
}

QString QueryVerdict(const StepOutcome& query) {
  QString verdict = FailureOf(query);
  if (verdict.isEmpty() && VerificationFailed(query.signature.verdict)) {
    verdict = Text(texts::kTradeStateNotTrusted);
  }
  if (verdict.isEmpty() && query.tradeState.empty()) verdict = Text(texts::kNoTradeState);
  if (verdict.isEmpty()) {
    const QString meaning = query.tradeStateDesc.empty() ? KnownTradeState(query.tradeState)
                                                         : FromGbk(query.tradeStateDesc);
    const QString state = FromGbk(query.tradeState);
    verdict =
        meaning.isEmpty() ? state : state + QStringLiteral("（") + meaning + QStringLiteral("）");
  }
  return WithSignature(verdict, query);
}

QString BitmapVerdict(const CycleResult& result) {
  if (!result.bitmap) return {};
  const QString path =
      QFileInfo(QString::fromLocal8Bit(result.bitmapPath.c_str())).absoluteFilePath();
  switch (*result.bitmap) {
    case qr::SaveResult::kWritten:
      return Text(texts::kBitmapWritten).arg(path);
    case qr::SaveResult::kNotEncoded:
      return Text(texts::kBitmapNotEncoded);
    case qr::SaveResult::kOutOfMemory:
      return Text(texts::kBitmapOutOfMemory).arg(path);
    case qr::SaveResult::kCannotOpen:
      return Text(texts::kBitmapCannotOpen).arg(path);
    case qr::SaveResult::kCannotWrite:
      return Text(texts::kBitmapCannotWrite).arg(path);
  }
  return {};
}

}  // namespace quillmark::shell
