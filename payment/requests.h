// The two request documents, built as the platform expects them: one line of XML, no
// declaration, no whitespace, values inserted unescaped (every value is either a setting
// validated before use or generated from kIdAlphabet).
//
// Each request is one ordered table of its fields; its sign string and its document are
// both made from that table, so a field is named in one place.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "payment/merchant_settings.h"
#include "payment/operation.h"

namespace quillmark {

// A request's fields in the order the platform lists them, without `sign`; GBK values.
using RequestFields = std::vector<std::pair<const char*, std::string>>;

// The request of `operation`: its fields in its order, valued from the merchant's settings,
// the build's order literals (kBody, kTotalFee, kTradeType), `nonce` and `outTradeNo`.
RequestFields RequestFieldsOf(const Operation& operation, const MerchantSettings& merchant,
                              const std::string& nonce, const std::string& outTradeNo);

// Unified order (trade type NATIVE) for kTotalFee and kBody.
RequestFields UnifiedOrderFields(const MerchantSettings& merchant, const std::string& nonce,
                                 const std::string& outTradeNo);
// Order query for `outTradeNo`.
RequestFields OrderQueryFields(const MerchantSettings& merchant, const std::string& nonce,
                               const std::string& outTradeNo);

// "name=value&...&key=<key>": every field in table order, an empty value included.
std::string RequestSignString(const RequestFields& fields, const std::string& key);
// "<xml><name>value</name>...<sign>sign</sign></xml>".
std::string RequestDocument(const RequestFields& fields, const std::string& sign);

// The documents for the build's default merchant (MerchantSettings::Defaults()); GBK text.
std::string UnifiedOrderDocument(const std::string& nonce, const std::string& outTradeNo,
                                 const std::string& sign);
std::string OrderQueryDocument(const std::string& nonce, const std::string& outTradeNo,
                               const std::string& sign);

}  // namespace quillmark
