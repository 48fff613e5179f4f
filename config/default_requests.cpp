#include "config/default_requests.h"

#include "config/merchant_config.h"
#include "config/merchant_settings.h"

namespace quillmark {
namespace {

RequestValues DefaultRequestValues() { return BuildOrderValues(MerchantSettings::Defaults()); }

}  // namespace

RequestValues BuildOrderValues(const MerchantSettings& merchant) {
  RequestValues values;
  values.merchant = merchant.Account();
  values.totalFee = kTotalFee;
  values.body = kBody;
  values.tradeType = kTradeType;
  return values;
}

RequestFields DefaultRequestFields(const Operation& operation, const std::string& nonce,
                                   const std::string& outTradeNo, const std::string& outRefundNo) {
  RequestValues values = DefaultRequestValues();
  values.nonce = nonce;
  values.outTradeNo = outTradeNo;
  values.outRefundNo = outRefundNo;
  return RequestFieldsOf(operation, values);
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

std::string UnifiedOrderSignString(const std::string& nonce, const std::string& outTradeNo) {
  return DefaultSignString(kUnifiedOrderOperation, nonce, outTradeNo);
}

std::string OrderQuerySignString(const std::string& nonce, const std::string& outTradeNo) {
  return DefaultSignString(kOrderQueryOperation, nonce, outTradeNo);
}

}  // namespace quillmark
