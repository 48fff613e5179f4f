// The API's replies as the platform words them: signed SUCCESS replies (spoilt by the
// run's fault where asked), business failures, and FAIL for a request that was not in
// order. Pure functions of their inputs; the sandbox supplies the merchant and the nonce.
#pragma once

#include <string>

#include "config/merchant_settings.h"
#include "http/https_server.h"
#include "protocol/sign.h"
#include "sandbox/faults.h"

namespace quillmark::sandbox {

// `fields` after return_code SUCCESS, return_msg and the merchant's ids, then `nonce`,
// result_code SUCCESS (unless `fields` has one) and the sign of `type`, spoilt by `fault`.
void SuccessReply(ReplyFields fields, const MerchantSettings& merchant, const std::string& nonce,
                  Fault fault, HttpReply& reply, SignType type = SignType::kMd5);
// return_code SUCCESS, result_code FAIL with `errCode` and its description, signed.
void ResultFailReply(const std::string& orderNo, const std::string& errCode,
                     const std::string& description, const MerchantSettings& merchant,
                     const std::string& nonce, HttpReply& reply, SignType type = SignType::kMd5);
// return_code FAIL with `message`, unsigned.
void FailReply(const std::string& message, HttpReply& reply);

}  // namespace quillmark::sandbox
