#include "payment/quillmark_ops.h"

#include <iostream>
#include <utility>

#include "payment/encoding.h"
#include "payment/merchant_config.h"
#include "payment/request_ids.h"
#include "payment/requests.h"
#include "payment/sign.h"
#include "qr/qr_bitmap.h"

namespace quillmark {

CQuillmarkOps::Settings CQuillmarkOps::Settings::Default() {
  Settings settings;
  settings.unifiedOrderUrl = kUnifiedOrderUrl;
  settings.orderQueryUrl = kOrderQueryUrl;
  settings.qrPath = kQrPath;
  settings.transport = TransportOptions::Default();
  settings.out = &std::cout;
  return settings;
}

CQuillmarkOps::CQuillmarkOps() : CQuillmarkOps(Settings::Default()) {}

CQuillmarkOps::CQuillmarkOps(Settings settings) : settings_(std::move(settings)) {
  if (settings_.out == nullptr) settings_.out = &std::cout;
}

void CQuillmarkOps::UnifiedOrder(std::string& orderNo) {
  orderNo.clear();
  std::string nonce;
  std::string outTradeNo;
  MakeNonceStr(nonce);
  MakeOutTradeNo(outTradeNo);

  // The platform checks the sign over the UTF-8 form of the fields, and kBody is Chinese:
  // signing the GBK bytes would be rejected.
  std::string signUtf8;
  AnsiToUtf8(UnifiedOrderSignString(nonce, outTradeNo), signUtf8);
  const std::string sign = SignFields(signUtf8.data(), signUtf8.size());

  std::string document;
  AnsiToUtf8(UnifiedOrderDocument(nonce, outTradeNo, sign), document);
  std::string reply =
      PostXml(settings_.unifiedOrderUrl.c_str(), document.c_str(), out(), settings_.transport);
  Utf8ToAnsi(reply, reply);
  out() << "Content:" << reply << std::endl;

  std::string codeUrl;
  ExtractCodeUrl(reply, codeUrl);
  if (codeUrl.empty()) return;
  SaveQrBitmap(codeUrl);
  orderNo = outTradeNo;
}

void CQuillmarkOps::QueryOrder(std::string orderNo, std::string& tradeState) {
  tradeState.clear();
  std::string nonce;
  MakeNonceStr(nonce);
  // Every field here is ASCII, so the sign string's bytes are the same in both encodings.
  const std::string signString = OrderQuerySignString(nonce, orderNo);
  const std::string sign = SignFields(signString.data(), signString.size());

  std::string document;
  AnsiToUtf8(OrderQueryDocument(nonce, orderNo, sign), document);
  std::string reply =
      PostXml(settings_.orderQueryUrl.c_str(), document.c_str(), out(), settings_.transport);
  Utf8ToAnsi(reply, reply);
  out() << "Content:" << reply << std::endl;
  ExtractTradeState(reply, tradeState);
}

CQuillmarkOps::CycleResult CQuillmarkOps::RunOrderCycle() {
  CycleResult result;
  UnifiedOrder(result.orderNo);
  if (result.orderNo.empty()) return result;
  std::string tradeState;
  for (int query = 0; query < 2; ++query) {
    QueryOrder(result.orderNo, tradeState);
    result.tradeStates.push_back(tradeState);
  }
  return result;
}

void CQuillmarkOps::SaveQrBitmap(std::string text) {
  qr::SaveQrBitmapFile(text, settings_.qrPath, out());
}

}  // namespace quillmark
