// CQuillmarkOps of quillmark_ops.h: its settings, one request of an operation, and the
// order cycle; how a reply's fields are kept is this file's alone.
#include "client/quillmark_ops.h"

#include <chrono>
#include <iostream>
#include <iterator>
#include <string_view>
#include <utility>

#include "config/default_requests.h"
#include "config/local_sandbox.h"
#include "protocol/field_rules.h"
#include "protocol/flat_document.h"
#include "protocol/reply_fields.h"
#include "protocol/request_ids.h"
#include "protocol/requests.h"
#include "protocol/sign.h"
#include "qr/qr_bitmap.h"
#include "text/encoding.h"

namespace quillmark {

CQuillmarkOps::Settings CQuillmarkOps::Settings::FromMerchant(const MerchantSettings& merchant) {
  Settings settings;
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
  // A configured certificate is the one presented. Without one, the local sandbox issued
  // this merchant a certificate of its own: the demo's refund needs nothing configured.
  // Another platform gets none it did not ask for.
  settings.transport.clientCertificate =
      !account.clientCert.empty() ? account.Certificate()
      : IsLocalApiBase(account.apiBase)
          ? LocalSandboxClientCertificate(ProcessEnvironment(), account.mchId)
          : ClientCertificate{};
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

// The codes and messages every reply may carry, kept from any reply to show what it said.
constexpr const char* kReplyCodes[] = {kFieldReturnCode, kFieldReturnMsg, kFieldResultCode,
                                       kFieldErrCode, kFieldErrCodeDes};

// The reply's fields, from the reply in the program's own text. The operation's own fields
// are acted on, so they are kept only from a reply whose signature verified over the very
// values read here; a field the tag search and the signed document read differently makes
// the reply ambiguous (CheckFieldsAgree), and one that names another request than `ours`
// makes it misdirected (CheckReplyIsAbout).
void ReadReply(const Operation& operation, const std::string& reply, const SignedFields& ours,
               StepOutcome& outcome) {
  // A family of fields (refund_fee_$n) has as many members as the signed reply's count
  // says; the count is read from the signed document, so a member it does not sign is
  // never read.
  const auto count = outcome.signature.fields.find(kFieldRefundCount);
  std::size_t members = 0;
  if (count != outcome.signature.fields.end() && rules::IsFee(count->second)) {
    members = static_cast<std::size_t>(std::stoll(count->second));
  }
  const std::vector<std::string> own = ExpandFields(operation.replyFields, members);
  std::vector<std::string> read(std::begin(kReplyCodes), std::end(kReplyCodes));
  read.insert(read.end(), own.begin(), own.end());
  CheckFieldsAgree(reply, read, outcome.signature);
  CheckReplyIsAbout(ours, outcome.signature);
  const auto keep = [&](const std::string& name) {
    std::string value = CdataField(reply, name);
    if (!value.empty()) outcome.fields[name] = std::move(value);
  };
  for (const char* name : kReplyCodes) keep(name);
  if (!Trusted(outcome)) return;
  for (const std::string& name : own) keep(name);
}

}  // namespace

std::string CQuillmarkOps::Sign(const std::string& signString) {
  const MerchantSettings& merchant = settings_.merchant;
  const SignType type = merchant.Signing();
  std::string sign = SignFields(signString.data(), signString.size(), type, merchant.apiKey);
  // The request still goes out, as every failure lets it, but not as if it were signed.
  if (sign.empty()) {
    out() << "Unable to sign the request: no " << SignTypeName(type) << " digest is available"
          << std::endl;
  }
  return sign;
}

SignedFields CQuillmarkOps::About(const SignedFields& request) const {
  SignedFields ours;
  for (const char* name : kNamingFields) {
    const auto field = request.find(name);
    if (field != request.end() && !field->second.empty()) ours.emplace(name, field->second);
  }
  // An order placed here has a known amount; one placed elsewhere (a query of an order
  // paid from a phone) may have any, so its replies' total_fee is not checked.
  const auto order = request.find(kFieldOutTradeNo);
  const auto placed = order == request.end() ? placedFees_.end() : placedFees_.find(order->second);
  if (placed != placedFees_.end()) ours.emplace(kFieldTotalFee, std::to_string(placed->second));
  return ours;
}

StepOutcome CQuillmarkOps::Exchange(const Operation& operation, std::string& outTradeNo) {
  return Exchange(operation, outTradeNo, nullptr);
}

StepOutcome CQuillmarkOps::Refund(const std::string& orderNo, long long totalFee,
                                  long long refundFee, const std::string& outRefundNo) {
  std::string outTradeNo = orderNo;
  return Exchange(kRefundOperation, outTradeNo, [&](RequestValues& values) {
    values.totalFee = totalFee;
    values.refundFee = refundFee;
    if (!outRefundNo.empty()) values.outRefundNo = outRefundNo;
    values.refundNotifyUrl = values.merchant.notifyUrl;
  });
}

StepOutcome CQuillmarkOps::Exchange(const Operation& operation, std::string& outTradeNo,
                                    const std::function<void(RequestValues&)>& given) {
  const MerchantSettings& merchant = settings_.merchant;
  RequestValues values = BuildOrderValues(merchant);
  values.outTradeNo = outTradeNo;
  values.totalFee = settings_.totalFee;
  values.tradeType = settings_.tradeType;
  values.openId = settings_.openId;
  values.sceneInfo = settings_.sceneInfo;
  values.authCode = settings_.authCode;
  MakeNonceStr(values.nonce);
  // An order number given is an order sent again (a retry after SYSTEMERROR).
  if (operation.makes == Operation::Makes::kOrderNumber && outTradeNo.empty()) {
    MakeOutTradeNo(values.outTradeNo);
  }
  if (operation.makes == Operation::Makes::kRefundNumber) MakeOutTradeNo(values.outRefundNo);
  if (given) given(values);
  outTradeNo = values.outTradeNo;
  const RequestFields fields = RequestFieldsOf(operation, values);
  std::string signString = RequestSignString(fields, merchant.apiKey);
  // The platform checks the sign over the UTF-8 form of the fields: where they hold
  // Chinese text (the unified order's body), signing the GBK bytes would be rejected.
  if (operation.signsUtf8) AnsiToUtf8(signString, signString);
  const std::string sign = Sign(signString);
  std::string document;
  AnsiToUtf8(RequestDocument(fields, sign), document);

  StepOutcome outcome;
  outcome.operation = &operation;
  for (const auto& [name, value] : fields) outcome.request.emplace(name, value);
  const std::string url = settings_.apiBase + operation.path;
  const auto started = std::chrono::steady_clock::now();
  std::string reply =
      PostXml(url.c_str(), document.c_str(), out(), settings_.transport, &outcome.transfer);
  outcome.elapsed = std::chrono::steady_clock::now() - started;
  outcome.requestDocument = document;
  outcome.reply = reply;
  // The reply is signed the way the request asked for.
  outcome.signature = VerifyReplySignature(reply, merchant.apiKey, merchant.Signing());
  Utf8ToAnsi(reply, reply);
  out() << "Content:" << (settings_.escapeReplyControls ? EscapeGbkControls(reply) : reply)
        << std::endl;
  ReadReply(operation, reply, About(outcome.request), outcome);
  return outcome;
}

CQuillmarkOps::FetchedBill CQuillmarkOps::FetchBill(const std::string& billDate,
                                                    const std::string& billType, bool gzip) {
  const MerchantSettings& merchant = settings_.merchant;
  RequestValues values = BuildOrderValues(merchant);
  MakeNonceStr(values.nonce);
  values.billDate = billDate;
  values.billType = billType;
  values.tarType = gzip ? "GZIP" : "";
  const RequestFields fields = RequestFieldsOf(kDownloadBillOperation, values);
  const std::string sign = Sign(RequestSignString(fields, merchant.apiKey));
  std::string document;
  AnsiToUtf8(RequestDocument(fields, sign), document);
  // A gzip bill holds zero bytes, where every other reply is cut.
  TransportOptions transport = settings_.transport;
  transport.wholeReply = true;
  FetchedBill bill;
  const std::string url = settings_.apiBase + kDownloadBillOperation.path;
  bill.body = PostXml(url.c_str(), document.c_str(), out(), transport, &bill.transfer);
  // A bill is text or gzip, never a document: one that reads as one is the refusal.
  std::string error;
  if (bill.body.rfind("<xml>", 0) == 0 && ReadFlatDocument(bill.body, bill.refusal, error)) {
    bill.refused = true;
  }
  return bill;
}

void CQuillmarkOps::UnifiedOrder(std::string& orderNo) {
  CycleResult result;
  PlaceUnifiedOrder(result);
  orderNo = result.orderNo;
}

void CQuillmarkOps::PlaceUnifiedOrder(CycleResult& result) {
  result.orderNo.clear();
  result.order = StepOutcome();
  result.refusedOrder.reset();
  result.symbol.reset();
  result.bitmap.reset();
  result.bitmapPath = settings_.qrPath;

  std::string outTradeNo;
  result.order = Exchange(kUnifiedOrderOperation, outTradeNo);
  // The platform's SYSTEMERROR says nothing about the order: the merchant sends the same
  // order again, under the same number, once.
  if (settings_.retrySystemError && result.order.Field(kFieldErrCode) == "SYSTEMERROR" &&
      !result.order.transfer.aborted()) {
    result.refusedOrder = std::move(result.order);
    result.order = Exchange(kUnifiedOrderOperation, outTradeNo);
  }
  TakeOrder(result, outTradeNo);
}

void CQuillmarkOps::TakeOrder(CycleResult& result, const std::string& outTradeNo) {
  result.bitmapPath = settings_.qrPath;
  const StepOutcome& outcome = result.order;
  // A link from a reply that did not verify could be anyone's: no order, no bitmap.
  if (VerdictOf(outcome) != StepVerdict::kDone) return;
  // One symbol serves the file and whoever shows the cycle, so both always agree. Only a
  // NATIVE order has a link to scan.
  if (!outcome.Field(kFieldCodeUrl).empty()) {
    result.symbol = qr::Encode(outcome.Field(kFieldCodeUrl));
    result.bitmap = result.symbol
                        ? qr::SaveSymbolBitmapFile(*result.symbol, settings_.qrPath, out())
                        : qr::SaveResult::kNotEncoded;
  }
  result.orderNo = outTradeNo;
  placedFees_[outTradeNo] = settings_.totalFee;
}

void CQuillmarkOps::QueryOrder(std::string orderNo, std::string& tradeState) {
  tradeState = Run(kOrderQueryOperation, orderNo).Field(kFieldTradeState);
}

StepOutcome CQuillmarkOps::Run(const Operation& operation, const std::string& orderNo) {
  std::string outTradeNo = orderNo;
  return Exchange(operation, outTradeNo);
}

CQuillmarkOps::CycleResult CQuillmarkOps::RunOrderCycle(const StepHook& beforeStep,
                                                        const OrderHook& placed) {
  const auto announce = [&beforeStep](CycleStep step) {
    if (beforeStep) beforeStep(step);
  };
  CycleResult result;
  announce(CycleStep::kUnifiedOrder);
  PlaceUnifiedOrder(result);
  result.aborted = result.order.transfer.aborted();
  if (result.orderNo.empty()) return result;
  if (placed) placed(result.orderNo);
  const TransferAbort* abort = settings_.transport.abort.get();
  for (const CycleStep step : {CycleStep::kQuery1, CycleStep::kQuery2}) {
    // An abort between two requests ends the cycle as one during a request does.
    if (abort != nullptr && abort->aborted()) result.aborted = true;
    if (result.aborted) break;
    announce(step);
    result.queries.push_back(Run(kOrderQueryOperation, result.orderNo));
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
