// The two request documents, built as the platform expects them: one line of XML, no
// declaration, no whitespace, values inserted unescaped (every value is either a
// build-time constant validated at configure time or generated from kIdAlphabet).
#pragma once

#include <string>

namespace quillmark {

// Unified order (trade type NATIVE) for kTotalFee and kBody; GBK text.
std::string UnifiedOrderDocument(const std::string& nonce, const std::string& outTradeNo,
                                 const std::string& sign);

// Order query for `outTradeNo`; GBK text (in practice ASCII).
std::string OrderQueryDocument(const std::string& nonce, const std::string& outTradeNo,
                               const std::string& sign);

}  // namespace quillmark
