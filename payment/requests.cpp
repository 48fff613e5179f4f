#include "payment/requests.h"

#include <string_view>

#include "payment/merchant_config.h"
#include "payment/sign.h"

namespace quillmark {

RequestFields RequestFieldsOf(const Operation& operation, const MerchantSettings& merchant,
                              const std::string& nonce, const std::string& outTradeNo) {
  const std::pair<const char*, std::string> values[] = {
      {kFieldAppId, merchant.appId},
      {kFieldBody, kBody},
      {kFieldMchId, merchant.mchId},
      {kFieldNonceStr, nonce},
      {kFieldNotifyUrl, merchant.notifyUrl},
      {kFieldOutTradeNo, outTradeNo},
      {kFieldSpbillCreateIp, merchant.spbillCreateIp},
      {kFieldTotalFee, std::to_string(kTotalFee)},
      {kFieldTradeType, kTradeType},
  };
  RequestFields fields;
  for (const char* name : operation.requestFields) {
    for (const auto& [known, value] : values) {
      if (std::string_view(known) == name) fields.emplace_back(name, value);
    }
  }
  return fields;
}

RequestFields UnifiedOrderFields(const MerchantSettings& merchant, const std::string& nonce,
                                 const std::string& outTradeNo) {
  return RequestFieldsOf(kUnifiedOrderOperation, merchant, nonce, outTradeNo);
}

RequestFields OrderQueryFields(const MerchantSettings& merchant, const std::string& nonce,
                               const std::string& outTradeNo) {
  return RequestFieldsOf(kOrderQueryOperation, merchant, nonce, outTradeNo);
}

std::string RequestSignString(const RequestFields& fields, const std::string& key) {
  std::string text;
  for (const auto& [name, value] : fields) {
    text += name;
    text += '=';
    text += value;
    text += '&';
  }
  return text + "key=" + key;
}

std::string RequestDocument(const RequestFields& fields, const std::string& sign) {
  std::string document = "<xml>";
  for (const auto& [name, value] : fields) {
    document += std::string("<") + name + '>' + value + "</" + name + '>';
  }
  return document + "<sign>" + sign + "</sign></xml>";
}

std::string UnifiedOrderDocument(const std::string& nonce, const std::string& outTradeNo,
                                 const std::string& sign) {
  return RequestDocument(UnifiedOrderFields(MerchantSettings::Defaults(), nonce, outTradeNo), sign);
}

std::string OrderQueryDocument(const std::string& nonce, const std::string& outTradeNo,
                               const std::string& sign) {
  return RequestDocument(OrderQueryFields(MerchantSettings::Defaults(), nonce, outTradeNo), sign);
}

}  // namespace quillmark
