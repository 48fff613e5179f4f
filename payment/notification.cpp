#include "payment/notification.h"

#include <utility>

#include "payment/encoding.h"
#include "payment/fields.h"
#include "payment/flat_document.h"

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

namespace {

NotificationCheck Refused(NotificationCheck check, std::string reason) {
  check.verdict = NotificationCheck::Verdict::kRefused;
  check.reason = std::move(reason);
  return check;
}

}  // namespace

NotificationCheck CheckNotification(std::string_view body, const NotificationContext& context) {
  NotificationCheck check;
  if (body.size() > kMaxNotificationBytes) {
    return Refused(std::move(check), "the notification is larger than " +
                                         std::to_string(kMaxNotificationBytes) + " bytes");
  }
  check.signature = VerifyReplySignature(body, context.merchant.apiKey);
  std::string gbk;
  Utf8ToAnsi(std::string(body), gbk);
  const std::vector<std::string> read(kNotificationFields.begin(), kNotificationFields.end());
  CheckFieldsAgree(gbk, read, check.signature);
  switch (check.signature.verdict) {
    case SignatureVerdict::kVerified:
      break;
    case SignatureVerdict::kUnreadable:
      return Refused(std::move(check), "not a notification: " + check.signature.error);
    case SignatureVerdict::kMismatch:
      return Refused(std::move(check), "sign mismatch: expected " + check.signature.expected);
    case SignatureVerdict::kAmbiguous:
      return Refused(std::move(check), "the field " + check.signature.field +
                                           " read by its tags is not the signed one");
    case SignatureVerdict::kMissing:
    case SignatureVerdict::kUnsigned:
      return Refused(std::move(check), "the notification has no sign");
  }
  for (const char* name : kNotificationFields) {
    std::string value = CdataField(gbk, name);
    if (!value.empty()) check.fields[name] = std::move(value);
  }
  const MerchantSettings& merchant = context.merchant;
  if (check.Field(kFieldAppId) != merchant.appId) {
    return Refused(std::move(check),
                   "appid " + PrintableAscii(check.Field(kFieldAppId)) + " is not this merchant's");
  }
  if (check.Field(kFieldMchId) != merchant.mchId) {
    return Refused(std::move(check), "mch_id " + PrintableAscii(check.Field(kFieldMchId)) +
                                         " is not this merchant's");
  }
  if (check.Field(kFieldReturnCode) != "SUCCESS" || check.Field(kFieldResultCode) != "SUCCESS") {
    return Refused(std::move(check), "not a payment: return_code and result_code must be SUCCESS");
  }
  const std::string& order = check.Field(kFieldOutTradeNo);
  if (order.empty() || (context.knownOrder && !context.knownOrder(order))) {
    return Refused(std::move(check), "order " + PrintableAscii(order) + " is not one of ours");
  }
  const std::string& payment = check.Field(kFieldTransactionId);
  if (payment.empty()) return Refused(std::move(check), "the notification has no transaction_id");
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
