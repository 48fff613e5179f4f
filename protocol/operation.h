// An API operation of the platform, declared once: where it is sent, the fields of its
// request in document order and where each value comes from, how its sign string is
// digested, the reply fields it reads, and how its outcome is judged. The client runs any
// of them through one exchange (CQuillmarkOps::Exchange); the command-line runner and both
// windows take their verdicts from the judge; the sandbox routes, checks and serves
// requests by the same declarations.
#pragma once

#include <string>
#include <vector>

#include "protocol/fields.h"
#include "protocol/merchant.h"
#include "protocol/sign.h"
#include "protocol/step_outcome.h"

namespace quillmark {

// What a request's values are made of.
struct RequestValues {
  MerchantAccount merchant;
  std::string nonce;
  std::string outTradeNo;   // the order's number: given, or made fresh (Makes::kOrderNumber)
  std::string outRefundNo;  // made fresh by an operation that opens a refund
  // The order: its amount in fen (the build's, or a test scenario's: scenarios.h), what it
  // is for (GBK) and how it is paid. The client fills them from its configuration.
  long long totalFee = 0;
  std::string body;
  std::string tradeType;
  // The amount a refund gives back, in fen; 0 refunds the whole order.
  long long refundFee = 0;
  // What other trade types and operations name: the payer (JSAPI), the site (MWEB, a JSON
  // text), the payment code a till scanned (micropay), the platform's number of the order.
  std::string openId;
  std::string sceneInfo;
  std::string authCode;
  std::string transactionId;
  // Where a refund's notification is to go, when not to the order's notify_url: that of the
  // listener now, for an order placed by a listener long gone.
  std::string refundNotifyUrl;
  // The day's bill: its day (yyyyMMdd), ALL, SUCCESS or REFUND, and GZIP or "" for plain.
  std::string billDate;
  std::string billType;
  std::string tarType;
};

struct RequestField {
  const char* name;
  std::string (*value)(const RequestValues& values);  // GBK
  // Left out of the document and its sign string when its value is empty, as sign_type
  // is under MD5, so that such a request is the one it always was; otherwise required.
  bool omittedWhenEmpty = false;
  // One of a set of keys, each omitted when empty, of which a request must give at least
  // one (the refund query's four ways of naming an order).
  bool alternative = false;
};

// Where request values come from: the merchant's account, the order, the identifiers of
// this request.
namespace from {
inline std::string AppId(const RequestValues& v) { return v.merchant.appId; }
inline std::string MchId(const RequestValues& v) { return v.merchant.mchId; }
inline std::string NotifyUrl(const RequestValues& v) { return v.merchant.notifyUrl; }
inline std::string ClientIp(const RequestValues& v) { return v.merchant.spbillCreateIp; }
inline std::string Nonce(const RequestValues& v) { return v.nonce; }
inline std::string OrderNumber(const RequestValues& v) { return v.outTradeNo; }
inline std::string RefundNumber(const RequestValues& v) { return v.outRefundNo; }
inline std::string RefundNotifyUrl(const RequestValues& v) { return v.refundNotifyUrl; }
inline std::string Body(const RequestValues& v) { return v.body; }
inline std::string TotalFee(const RequestValues& v) { return std::to_string(v.totalFee); }
// The amount asked for, or the whole order.
inline std::string RefundFee(const RequestValues& v) {
  return v.refundFee > 0 ? std::to_string(v.refundFee) : TotalFee(v);
}
inline std::string TradeType(const RequestValues& v) { return v.tradeType; }
inline std::string OpenId(const RequestValues& v) { return v.openId; }
inline std::string SceneInfo(const RequestValues& v) { return v.sceneInfo; }
inline std::string AuthCode(const RequestValues& v) { return v.authCode; }
inline std::string TransactionId(const RequestValues& v) { return v.transactionId; }
inline std::string BillDate(const RequestValues& v) { return v.billDate; }
inline std::string BillType(const RequestValues& v) { return v.billType; }
inline std::string TarType(const RequestValues& v) { return v.tarType; }
// A key the client does not send: left out, as every empty optional field is.
inline std::string None(const RequestValues&) { return std::string(); }
// Named only when it is not MD5: a request without sign_type is signed with MD5.
inline std::string RequestSignType(const RequestValues& v) {
  const quillmark::SignType type = v.merchant.signType;
  return type == quillmark::SignType::kMd5 ? std::string() : SignTypeName(type);
}
}  // namespace from

// sign_type, in its sorted place in each request table below.
inline const RequestField kSignTypeField{kFieldSignType, from::RequestSignType, true};

struct Operation {
  // Which number the request makes fresh, right after its nonce, in the form
  // MakeOutTradeNo gives.
  enum class Makes { kNothing, kOrderNumber, kRefundNumber };

  const char* name;  // for messages: "unified order"
  const char* path;  // below the API base: "/pay/unifiedorder"
  // Every field of the request but `sign`, in the order the document lists them, which is
  // the names' sorted order.
  std::vector<RequestField> requestFields;
  Makes makes;
  // The sign is taken over the UTF-8 form of the sign string (a request with Chinese
  // text); otherwise over its bytes as they are.
  bool signsUtf8;
  // The reply fields the step exists for, besides the codes every reply carries: read by
  // their tags, and kept only from a reply that verified (StepOutcome::fields).
  std::vector<const char*> replyFields;
  // Whether the platform did what was asked (StepVerdict): the one judgement of a step.
  StepVerdict (*judge)(const StepOutcome& outcome);
};

// The request values a reply names its request by, where it repeats them: the merchant
// who asked, the order, the refund and the amounts. A verified reply that repeats one of
// them otherwise answers another request (CheckReplyIsAbout), and is not taken.
inline constexpr const char* kNamingFields[] = {kFieldAppId,       kFieldMchId,    kFieldOutTradeNo,
                                                kFieldOutRefundNo, kFieldTotalFee, kFieldRefundFee};

// Judges for the declarations below, and for whoever declares another operation.
// Accepted: a verified reply whose return_code is SUCCESS and whose result_code is not FAIL.
StepVerdict JudgeAccepted(const StepOutcome& outcome);
// Accepted, and holding the operation's first reply field (the payment link, the state).
StepVerdict JudgeFirstReplyField(const StepOutcome& outcome);
// The unified order's: accepted, and holding the payment link of a NATIVE order (as it
// always was), or the prepay_id of an order of any other trade type, which has no link.
StepVerdict JudgeUnifiedOrder(const StepOutcome& outcome);

// The operation's judgement of `outcome`; kFailed for an outcome of no operation.
StepVerdict VerdictOf(const StepOutcome& outcome);

// The fields of a request about one order: who asks, a nonce, and the order's number.
inline const std::vector<RequestField> kAboutAnOrder = {{kFieldAppId, from::AppId},
                                                        {kFieldMchId, from::MchId},
                                                        {kFieldNonceStr, from::Nonce},
                                                        {kFieldOutTradeNo, from::OrderNumber},
                                                        kSignTypeField};

// Places an order and receives its prepay_id, and for NATIVE its payment link. openid and
// scene_info, which only JSAPI and MWEB name, are left out when empty: a NATIVE request is
// the one it always was.
inline const Operation kUnifiedOrderOperation{"unified order",
                                              "/pay/unifiedorder",
                                              {{kFieldAppId, from::AppId},
                                               {kFieldBody, from::Body},
                                               {kFieldMchId, from::MchId},
                                               {kFieldNonceStr, from::Nonce},
                                               {kFieldNotifyUrl, from::NotifyUrl},
                                               {kFieldOpenId, from::OpenId, true},
                                               {kFieldOutTradeNo, from::OrderNumber},
                                               {kFieldSceneInfo, from::SceneInfo, true},
                                               kSignTypeField,
                                               {kFieldSpbillCreateIp, from::ClientIp},
                                               {kFieldTotalFee, from::TotalFee},
                                               {kFieldTradeType, from::TradeType}},
                                              Operation::Makes::kOrderNumber,
                                              true,
                                              {kFieldCodeUrl, kFieldPrepayId, kFieldMwebUrl},
                                              JudgeUnifiedOrder};

// Asks for an order's state.
inline const Operation kOrderQueryOperation{
    "order query",
    "/pay/orderquery",
    kAboutAnOrder,
    Operation::Makes::kNothing,
    false,
    {kFieldTradeState, kFieldTradeStateDesc, kFieldTransactionId, kFieldTimeEnd, kFieldTotalFee},
    JudgeFirstReplyField};

// Closes an order that was not paid, so that it can no longer be paid.
inline const Operation kCloseOrderOperation{
    "close order", "/pay/closeorder", kAboutAnOrder, Operation::Makes::kNothing, false, {},
    JudgeAccepted};

// Refunds a paid order, the amount asked or the whole, under a fresh refund number or the one
// given; its notification goes to the order's notify_url unless it names another.
inline const Operation kRefundOperation{"refund",
                                        "/secapi/pay/refund",
                                        {{kFieldAppId, from::AppId},
                                         {kFieldMchId, from::MchId},
                                         {kFieldNonceStr, from::Nonce},
                                         {kFieldNotifyUrl, from::RefundNotifyUrl, true},
                                         {kFieldOutRefundNo, from::RefundNumber},
                                         {kFieldOutTradeNo, from::OrderNumber},
                                         {kFieldRefundFee, from::RefundFee},
                                         kSignTypeField,
                                         {kFieldTotalFee, from::TotalFee}},
                                        Operation::Makes::kRefundNumber,
                                        false,
                                        {kFieldRefundId, kFieldOutRefundNo, kFieldRefundFee},
                                        JudgeAccepted};

// Asks how an order's refunds went: named by any of its order number, its transaction_id,
// a refund's out_refund_no or its refund_id, the reply lists every refund of the order.
inline const Operation kRefundQueryOperation{
    "refund query",
    "/pay/refundquery",
    {{kFieldAppId, from::AppId},
     {kFieldMchId, from::MchId},
     {kFieldNonceStr, from::Nonce},
     {kFieldOutRefundNo, from::RefundNumber, true, true},
     {kFieldOutTradeNo, from::OrderNumber, true, true},
     {kFieldRefundId, from::None, true, true},
     kSignTypeField,
     {kFieldTransactionId, from::None, true, true}},
    Operation::Makes::kNothing,
    false,
    {kFieldRefundStatus0, kFieldRefundCount, kFieldOutRefundNoN, kFieldRefundIdN, kFieldRefundFeeN,
     kFieldRefundStatusN, kFieldRefundSuccessTimeN},
    JudgeFirstReplyField};

// A till's payment by the code it scanned off the payer's phone. A refusal is not always the
// end: USERPAYING, SYSTEMERROR and BANKERROR leave the outcome to the queries that follow
// (client/till_run.h), so the judge says only whether the order was paid by this reply.
// The optional fields a till may add are left out when empty, as the client sends none.
inline const Operation kMicropayOperation{"micropay",
                                          "/pay/micropay",
                                          {{kFieldAppId, from::AppId},
                                           {kFieldAttach, from::None, true},
                                           {kFieldAuthCode, from::AuthCode},
                                           {kFieldBody, from::Body},
                                           {kFieldDetail, from::None, true},
                                           {kFieldDeviceInfo, from::None, true},
                                           {kFieldGoodsTag, from::None, true},
                                           {kFieldLimitPay, from::None, true},
                                           {kFieldMchId, from::MchId},
                                           {kFieldNonceStr, from::Nonce},
                                           {kFieldOutTradeNo, from::OrderNumber},
                                           kSignTypeField,
                                           {kFieldSpbillCreateIp, from::ClientIp},
                                           {kFieldTimeExpire, from::None, true},
                                           {kFieldTimeStart, from::None, true},
                                           {kFieldTotalFee, from::TotalFee}},
                                          Operation::Makes::kOrderNumber,
                                          true,
                                          {kFieldTransactionId, kFieldOpenId, kFieldTradeType,
                                           kFieldBankType, kFieldCashFee, kFieldTimeEnd},
                                          JudgeFirstReplyField};

// Takes back a till's payment: closes the order for good when it was not paid, refunds it
// whole when it was. Named by its number or the platform's; the platform's wins. `recall`
// Y asks for another call.
inline const Operation kReverseOperation{"reverse",
                                         "/secapi/pay/reverse",
                                         {{kFieldAppId, from::AppId},
                                          {kFieldMchId, from::MchId},
                                          {kFieldNonceStr, from::Nonce},
                                          {kFieldOutTradeNo, from::OrderNumber, true, true},
                                          kSignTypeField,
                                          {kFieldTransactionId, from::TransactionId, true, true}},
                                         Operation::Makes::kNothing,
                                         false,
                                         {kFieldRecall},
                                         JudgeFirstReplyField};

// Fetches the day's bill. Its answer is no XML document but the bill's text (gzip with
// tar_type GZIP), or an unsigned XML refusal: neither goes through Exchange's reading, and
// the judge only says whether a refusal came.
inline const Operation kDownloadBillOperation{"download bill",
                                              "/pay/downloadbill",
                                              {{kFieldAppId, from::AppId},
                                               {kFieldBillDate, from::BillDate},
                                               {kFieldBillType, from::BillType},
                                               {kFieldMchId, from::MchId},
                                               {kFieldNonceStr, from::Nonce},
                                               kSignTypeField,
                                               {kFieldTarType, from::TarType, true}},
                                              Operation::Makes::kNothing,
                                              false,
                                              {},
                                              JudgeAccepted};

// Every operation, for whoever routes requests by path.
inline const std::vector<const Operation*> kOperations = {
    &kUnifiedOrderOperation, &kOrderQueryOperation, &kCloseOrderOperation,
    &kRefundOperation,       &kRefundQueryOperation, &kMicropayOperation,
    &kReverseOperation,      &kDownloadBillOperation};

}  // namespace quillmark
