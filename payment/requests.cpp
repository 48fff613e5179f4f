#include "payment/requests.h"

#include "payment/merchant_config.h"
#include "payment/text_format.h"

namespace quillmark {

std::string UnifiedOrderDocument(const std::string& nonce, const std::string& outTradeNo,
                                 const std::string& sign) {
  return Format(
      "<xml><appid>%s</appid><body>%s</body><mch_id>%s</mch_id><nonce_str>%s</nonce_str>"
      "<notify_url>%s</notify_url><out_trade_no>%s</out_trade_no>"
      "<spbill_create_ip>%s</spbill_create_ip><total_fee>%d</total_fee>"
      "<trade_type>%s</trade_type><sign>%s</sign></xml>",
      kAppId.c_str(), kBody.c_str(), kMchId.c_str(), nonce.c_str(), kNotifyUrl, outTradeNo.c_str(),
      kSpbillCreateIp.c_str(), kTotalFee, kTradeType, sign.c_str());
}

std::string OrderQueryDocument(const std::string& nonce, const std::string& outTradeNo,
                               const std::string& sign) {
  return Format(
      "<xml><appid>%s</appid><mch_id>%s</mch_id><nonce_str>%s</nonce_str>"
      "<out_trade_no>%s</out_trade_no><sign>%s</sign></xml>",
      kAppId.c_str(), kMchId.c_str(), nonce.c_str(), outTradeNo.c_str(), sign.c_str());
}

}  // namespace quillmark
