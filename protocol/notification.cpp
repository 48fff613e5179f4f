// The notification's check and answer of notification.h.
#include "protocol/notification.h"

#include <utility>

#include "protocol/fields.h"
#include "protocol/flat_document.h"
#include "text/encoding.h"

namespace quillmark {

const std::vector<const char*> kNotificationFields = {
    kFieldReturnCode,    kFieldResultCode, kFieldAppId,     kFieldMchId,   kFieldOutTradeNo,
    kFieldTransactionId, kFieldTotalFee,   kFieldTradeType, kFieldTimeEnd,
};

const std::string& NotificationCheck::Field(std::string_view name) const {
  static const std::string kNone;
  const auto field = fields.find(name);
  return field == fields.end() ? kNone : field->second;
}

std::string NotificationCheck::ClaimedOrder() const {
  if (!Field(kFieldOutTradeNo).empty()) return Field(kFieldOutTradeNo);
  const auto claimed = signature.fields.find(kFieldOutTradeNo);
  return claimed == signature.fields.end() ? std::string() : claimed->second;
}

namespace {

using Refusal = NotificationCheck::Refusal;

NotificationCheck Refused(NotificationCheck check, Refusal refusal, std::string reason) {
  check.verdict = NotificationCheck::Verdict::kRefused;
  check.refusal = refusal;
  check.reason = std::move(reason);
  return check;
}

// The type the notification's order was signed with. The order is the one it claims,
// before anything verified: a claim of the wrong order then fails on its sign.
SignType SignTypeOf(std::string_view body, const NotificationContext& context) {
  if (!context.signTypeOf) return context.merchant.signType;
  SignedFields fields;
  std::string error;
  if (!ReadFlatDocument(body, fields, error)) return context.merchant.signType;
  return context.signTypeOf(fields[kFieldOutTradeNo]);
}

}  // namespace

NotificationCheck CheckNotification(std::string_view body, const NotificationContext& context) {
  NotificationCheck check;
  if (body.size() > kMaxNotificationBytes) {
    return Refused(
        std::move(check), Refusal::kTooLarge,
        "the notification is larger than " + std::to_string(kMaxNotificationBytes) + " bytes");
  }
  check.signature = VerifyReplySignature(body, context.merchant.apiKey, SignTypeOf(body, context));
  std::string gbk;
  Utf8ToAnsi(std::string(body), gbk);
  const std::vector<std::string> read(kNotificationFields.begin(), kNotificationFields.end());
  CheckFieldsAgree(gbk, read, check.signature);
  switch (check.signature.verdict) {
    case SignatureVerdict::kVerified:
      break;
    case SignatureVerdict::kUnreadable:
      return Refused(std::move(check), Refusal::kUnreadable,
                     "not a notification: " + check.signature.error);
    case SignatureVerdict::kMismatch:
      return Refused(std::move(check), Refusal::kSignature,
                     "sign mismatch: expected " + check.signature.expected);
    case SignatureVerdict::kAmbiguous:
      return Refused(
          std::move(check), Refusal::kSignature,
          "the field " + check.signature.field + " read by its tags is not the signed one");
    case SignatureVerdict::kMisdirected:
      return Refused(std::move(check), Refusal::kSignature,
                     "the field " + check.signature.field + " names another request");
    case SignatureVerdict::kMissing:
    case SignatureVerdict::kUnsigned:
      return Refused(std::move(check), Refusal::kSignature, "the notification has no sign");
  }
  for (const char* name : kNotificationFields) {
    std::string value = CdataField(gbk, name);
    if (!value.empty()) check.fields[name] = std::move(value);
  }
  const MerchantAccount& merchant = context.merchant;
  if (check.Field(kFieldAppId) != merchant.appId) {
    return Refused(std::move(check), Refusal::kOtherMerchant,
                   "appid " + PrintableAscii(check.Field(kFieldAppId)) + " is not this merchant's");
  }
  if (check.Field(kFieldMchId) != merchant.mchId) {
    return Refused(
        std::move(check), Refusal::kOtherMerchant,
        "mch_id " + PrintableAscii(check.Field(kFieldMchId)) + " is not this merchant's");
  }
  if (check.Field(kFieldReturnCode) != "SUCCESS" || check.Field(kFieldResultCode) != "SUCCESS") {
    return Refused(std::move(check), Refusal::kNotPaid,
                   "not a payment: return_code and result_code must be SUCCESS");
  }
  const std::string& order = check.Field(kFieldOutTradeNo);
  if (order.empty() || (context.knownOrder && !context.knownOrder(order))) {
    return Refused(std::move(check), Refusal::kUnknownOrder,
                   "order " + PrintableAscii(order) + " is not one of ours");
  }
  const std::string& payment = check.Field(kFieldTransactionId);
  if (payment.empty())
    return Refused(std::move(check), Refusal::kNoPayment, "the notification has no transaction_id");
  check.verdict = context.taken && context.taken(payment) ? NotificationCheck::Verdict::kRepeat
                                                          : NotificationCheck::Verdict::kAccepted;
  return check;
}

std::string NotificationAnswer(const NotificationCheck& check) {
  const bool ok = check.verdict != NotificationCheck::Verdict::kRefused;
  // The reason quotes what the notification held: as escaped text, since a "]]>" in it
  // would end a CDATA section early.
  std::string message;
  for (const char c : ok ? std::string("OK") : PrintableAscii(check.reason)) {
    message += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
  }
  return std::string("<xml><return_code><![CDATA[") + (ok ? "SUCCESS" : "FAIL") +
         "]]></return_code><return_msg>" + message + "</return_msg></xml>";
}

}  // namespace quillmark
