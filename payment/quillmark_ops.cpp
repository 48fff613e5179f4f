#include "payment/quillmark_ops.h"

#include <iostream>
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
  settings.merchant = merchant;
  settings.unifiedOrderUrl = merchant.UnifiedOrderUrl();
  settings.orderQueryUrl = merchant.OrderQueryUrl();
  settings.qrPath = merchant.qrPath;
  settings.transport = TransportOptions::Default();
  settings.transport.caFile = merchant.caFile;
  settings.out = &std::cout;
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
// payment link and the trade state are acted on, so they are kept only from a reply whose
// signature verified over the very values read here.
void ReadReply(const std::string& reply, StepOutcome& outcome) {
  const std::pair<const char*, std::string*> fields[] = {
      {"return_code", &outcome.returnCode},  {"return_msg", &outcome.returnMsg},
      {"result_code", &outcome.resultCode},  {"err_code", &outcome.errCode},
      {"err_code_des", &outcome.errCodeDes}, {"trade_state_desc", &outcome.tradeStateDesc},
      {"code_url", &outcome.codeUrl},        {"trade_state", &outcome.tradeState},
  };
  std::vector<std::string> names;
  for (const auto& [name, value] : fields) {
    ExtractCdataField(reply, name, *value);
    names.push_back(name);
  }
  CheckFieldsAgree(reply, names, outcome.signature);
  if (!Trusted(outcome)) {
    outcome.codeUrl.clear();
    outcome.tradeState.clear();
  }
}

}  // namespace

std::string CQuillmarkOps::Sign(const std::string& signString) {
  std::string sign = SignFields(signString.data(), signString.size());
  // The request still goes out, as every failure lets it, but not as if it were signed.
  if (sign.empty()) out() << "Unable to sign the request: no MD5 digest is available" << std::endl;
  return sign;
}

void CQuillmarkOps::Exchange(const std::string& url, const std::string& document,
                             StepOutcome& outcome) {
  std::string reply =
      PostXml(url.c_str(), document.c_str(), out(), settings_.transport, &outcome.transfer);
  outcome.signature = VerifyReplySignature(reply, settings_.merchant.apiKey);
  Utf8ToAnsi(reply, reply);
  out() << "Content:" << reply << std::endl;
  ReadReply(reply, outcome);
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

  std::string nonce;
  std::string outTradeNo;
  MakeNonceStr(nonce);
  MakeOutTradeNo(outTradeNo);

  // The platform checks the sign over the UTF-8 form of the fields, and kBody is Chinese:
  // signing the GBK bytes would be rejected.
  std::string signUtf8;
  const MerchantSettings& merchant = settings_.merchant;
  const RequestFields fields = UnifiedOrderFields(merchant, nonce, outTradeNo);
  AnsiToUtf8(RequestSignString(fields, merchant.apiKey), signUtf8);
  const std::string sign = Sign(signUtf8);

  std::string document;
  AnsiToUtf8(RequestDocument(fields, sign), document);
  StepOutcome& outcome = result.order;
  Exchange(settings_.unifiedOrderUrl, document, outcome);
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
  StepOutcome outcome;
  std::string nonce;
  MakeNonceStr(nonce);
  // Every field here is ASCII, so the sign string's bytes are the same in both encodings.
  const RequestFields fields = OrderQueryFields(settings_.merchant, nonce, orderNo);
  const std::string signString = RequestSignString(fields, settings_.merchant.apiKey);
  const std::string sign = Sign(signString);

  std::string document;
  AnsiToUtf8(RequestDocument(fields, sign), document);
  Exchange(settings_.orderQueryUrl, document, outcome);
  return outcome;
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
  quillmark::ExtractCdataField(std::move(text), "code_url", out);
}

void CQuillmarkOps::ExtractTradeState(std::string text, std::string& out) {
  quillmark::ExtractCdataField(std::move(text), "trade_state", out);
}

void CQuillmarkOps::SaveQrBitmap(std::string text) {
  qr::SaveQrBitmapFile(text, settings_.qrPath, out());
}

}  // namespace quillmark
