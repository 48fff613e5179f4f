// Requests as the build's default merchant makes them (MerchantSettings::Defaults() and
// the build's order: its body, amount and trade type): what the known-answer tests and
// the benchmarks build requests with.
#pragma once

#include <string>

#include "protocol/requests.h"

namespace quillmark {

struct MerchantSettings;

// The build's order (its body, amount and trade type) made as `merchant`.
RequestValues BuildOrderValues(const MerchantSettings& merchant);

// The fields, sign string and document of `operation`, in GBK.
RequestFields DefaultRequestFields(const Operation& operation, const std::string& nonce,
                                   const std::string& outTradeNo,
                                   const std::string& outRefundNo = "");
std::string DefaultSignString(const Operation& operation, const std::string& nonce,
                              const std::string& outTradeNo, const std::string& outRefundNo = "");
std::string DefaultRequestDocument(const Operation& operation, const std::string& nonce,
                                   const std::string& outTradeNo, const std::string& sign,
                                   const std::string& outRefundNo = "");

// The unified order and the order query as above, under the names their sign strings and
// documents have always had.
std::string UnifiedOrderSignString(const std::string& nonce, const std::string& outTradeNo);
std::string OrderQuerySignString(const std::string& nonce, const std::string& outTradeNo);
std::string UnifiedOrderDocument(const std::string& nonce, const std::string& outTradeNo,
                                 const std::string& sign);
std::string OrderQueryDocument(const std::string& nonce, const std::string& outTradeNo,
                               const std::string& sign);

}  // namespace quillmark
