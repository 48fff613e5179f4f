// The request fields, sign strings and documents of requests.h.
#include "payment/requests.h"

#include <utility>

namespace quillmark {

RequestFields RequestFieldsOf(const Operation& operation, const RequestValues& values) {
  RequestFields fields;
  for (const RequestField& field : operation.requestFields) {
    std::string value = field.value(values);
    if (field.omittedWhenEmpty && value.empty()) continue;
    fields.emplace_back(field.name, std::move(value));
  }
  return fields;
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

RequestFields DefaultRequestFields(const Operation& operation, const std::string& nonce,
                                   const std::string& outTradeNo, const std::string& outRefundNo) {
  static const MerchantSettings merchant = MerchantSettings::Defaults();
  return RequestFieldsOf(operation, {&merchant, nonce, outTradeNo, outRefundNo, kTotalFee});
}

std::string DefaultSignString(const Operation& operation, const std::string& nonce,
                              const std::string& outTradeNo, const std::string& outRefundNo) {
  return RequestSignString(DefaultRequestFields(operation, nonce, outTradeNo, outRefundNo),
                           MerchantSettings::Defaults().apiKey);
}

std::string DefaultRequestDocument(const Operation& operation, const std::string& nonce,
                                   const std::string& outTradeNo, const std::string& sign,
                                   const std::string& outRefundNo) {
  return RequestDocument(DefaultRequestFields(operation, nonce, outTradeNo, outRefundNo), sign);
}

std::string UnifiedOrderDocument(const std::string& nonce, const std::string& outTradeNo,
                                 const std::string& sign) {
  return DefaultRequestDocument(kUnifiedOrderOperation, nonce, outTradeNo, sign);
}

std::string OrderQueryDocument(const std::string& nonce, const std::string& outTradeNo,
                               const std::string& sign) {
  return DefaultRequestDocument(kOrderQueryOperation, nonce, outTradeNo, sign);
}

}  // namespace quillmark
