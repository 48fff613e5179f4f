#include "payment/quillmark_ops.h"

#include <iostream>
#include <string_view>
#include <utility>

#include "payment/encoding.h"
#include "payment/reply_fields.h"
#include "payment/request_ids.h"
#include "payment/requests.h"
#include "payment/sign.h"
#include "qr/qr_bitmap.h"

namespace quillmark {

CQuillmarkOps::Settings CQuillmarkOps::Settings::FromMerchant(const MerchantSettings& merchant) {
  Settings settings;
  settings.transport = TransportOptions::Default();
  settings.out = &std::cout;
  return settings.WithMerchant(merchant);
}

CQuillmarkOps::Settings CQuillmarkOps::Settings::WithMerchant(
    const MerchantSettings& account) const {
  Settings settings = *this;
  settings.merchant = account;
  settings.apiBase = account.apiBase;
  settings.qrPath = account.qrPath;
  settings.transport.caFile = account.caFile;
  return settings;
}

CQuillmarkOps::Settings CQuillmarkOps::Settings::Default() {
  return FromMerchant(MerchantSettings::Defaults());
}

CQuillmarkOps::CQuillmarkOps() : CQuillmarkOps(Settings::Default()) {}

CQuillmarkOps::CQuillmarkOps(Settings settings) : settings_(std::move(settings)) {
  if (settings_.out == nullptr) settings_.out = &std::cout;
}

namespace {

// The reply fields a step's outcome shows, from the reply in the program's own text. The
// operation's result (the payment link, the trade state) is acted on, so it is kept only
// from a reply whose signature verified over the very values read here.
void ReadReply(const Operation& operation, const std::string& reply, StepOutcome& outcome) {
  const std::pair<const char*, std::string*> codes[] = {
      {kFieldReturnCode, &outcome.returnCode},  {kFieldReturnMsg, &outcome.returnMsg},
      {kFieldResultCode, &outcome.resultCode},  {kFieldErrCode, &outcome.errCode},
      {kFieldErrCodeDes, &outcome.errCodeDes}, {kFieldTradeStateDesc, &outcome.tradeStateDesc},
  };
  std::vector<std::string> read;
  for (const auto& [name, value] : codes) {
    ExtractCdataField(reply, name, *value);
    read.push_back(name);
  }
  if (operation.resultField != nullptr) read.push_back(operation.resultField);
  CheckFieldsAgree(reply, read, outcome.signature);
  if (operation.resultField == nullptr || !Trusted(outcome)) return;
  std::string& result = std::string_view(operation.resultField) == kFieldCodeUrl
                            ? outcome.codeUrl
                            : outcome.tradeState;
  ExtractCdataField(reply, operation.resultField, result);
}

}  // namespace

std::string CQuillmarkOps::Sign(const std::string& signString) {
  std::string sign = SignFields(signString.data(), signString.size());
  // The request still goes out, as every failure lets it, but not as if it were signed.
  if (sign.empty()) out() << "Unable to sign the request: no MD5 digest is available" << std::endl;
  return sign;
}

StepOutcome CQuillmarkOps::Exchange(const Operation& operation, std::string& outTradeNo) {
  std::string nonce;
  MakeNonceStr(nonce);
  if (operation.placesOrder) MakeOutTradeNo(outTradeNo);
  const MerchantSettings& merchant = settings_.merchant;
  const RequestFields fields = RequestFieldsOf(operation, merchant, nonce, outTradeNo);
  std::string signString = RequestSignString(fields, merchant.apiKey);
  // The platform checks the sign over the UTF-8 form of the fields: where they hold
  // Chinese text (the unified order's body), signing the GBK bytes would be rejected.
  if (operation.signsUtf8) AnsiToUtf8(signString, signString);
  const std::string sign = Sign(signString);
  std::string document;
  AnsiToUtf8(RequestDocument(fields, sign), document);

  StepOutcome outcome;
  const std::string url = settings_.apiBase + operation.path;
  std::string reply =
      PostXml(url.c_str(), document.c_str(), out(), settings_.transport, &outcome.transfer);
  outcome.signature = VerifyReplySignature(reply, merchant.apiKey);
  Utf8ToAnsi(reply, reply);
  out() << "Content:" << (settings_.escapeReplyControls ? EscapeGbkControls(reply) : reply)
        << std::endl;
  ReadReply(operation, reply, outcome);
  return outcome;
}

void CQuillmarkOps::UnifiedOrder(std::string& orderNo) {
  CycleResult result;
  PlaceUnifiedOrder(result);
  orderNo = result.orderNo;
}

void CQuillmarkOps::PlaceUnifiedOrder(CycleResult& result) {
  result.orderNo.clear();
  result.order = StepOutcome();
  result.symbol.reset();
  result.bitmap.reset();
  result.bitmapPath = settings_.qrPath;

  std::string outTradeNo;
  result.order = Exchange(kUnifiedOrderOperation, outTradeNo);
  const StepOutcome& outcome = result.order;
  // A link from a reply that did not verify could be anyone's: no order, no bitmap.
  if (outcome.codeUrl.empty()) return;
  // One symbol serves the file and whoever shows the cycle, so both always agree.
  result.symbol = qr::Encode(outcome.codeUrl);
  result.bitmap = result.symbol ? qr::SaveSymbolBitmapFile(*result.symbol, settings_.qrPath, out())
                                : qr::SaveResult::kNotEncoded;
  result.orderNo = outTradeNo;
}

void CQuillmarkOps::QueryOrder(std::string orderNo, std::string& tradeState) {
  tradeState = QueryOrderOutcome(orderNo).tradeState;
}

StepOutcome CQuillmarkOps::QueryOrderOutcome(const std::string& orderNo) {
  std::string outTradeNo = orderNo;
  return Exchange(kOrderQueryOperation, outTradeNo);
}

StepOutcome CQuillmarkOps::CloseOrderOutcome(const std::string& orderNo) {
  std::string outTradeNo = orderNo;
  return Exchange(kCloseOrderOperation, outTradeNo);
}

CQuillmarkOps::CycleResult CQuillmarkOps::RunOrderCycle(const StepHook& beforeStep) {
  const auto announce = [&beforeStep](CycleStep step) {
    if (beforeStep) beforeStep(step);
  };
  CycleResult result;
  announce(CycleStep::kUnifiedOrder);
  PlaceUnifiedOrder(result);
  result.aborted = result.order.transfer.aborted();
  if (result.orderNo.empty()) return result;
  const TransferAbort* abort = settings_.transport.abort.get();
  for (const CycleStep step : {CycleStep::kQuery1, CycleStep::kQuery2}) {
    // An abort between two requests ends the cycle as one during a request does.
    if (abort != nullptr && abort->aborted()) result.aborted = true;
    if (result.aborted) break;
    announce(step);
    result.queries.push_back(QueryOrderOutcome(result.orderNo));
    result.aborted = result.queries.back().transfer.aborted();
  }
  return result;
}

void CQuillmarkOps::ExtractCdataField(std::string text, const std::string& name, std::string& out) {
  quillmark::ExtractCdataField(std::move(text), name, out);
}

void CQuillmarkOps::ExtractCodeUrl(std::string text, std::string& out) {
  quillmark::ExtractCdataField(std::move(text), kFieldCodeUrl, out);
}

void CQuillmarkOps::ExtractTradeState(std::string text, std::string& out) {
  quillmark::ExtractCdataField(std::move(text), kFieldTradeState, out);
}

void CQuillmarkOps::SaveQrBitmap(std::string text) {
  qr::SaveQrBitmapFile(text, settings_.qrPath, out());
}

}  // namespace quillmark
