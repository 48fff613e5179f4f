// What a merchant types beside the windows' 付款码支付 button: the payment code the payer's
// phone shows, as a scanner types it or as pasted, and the amount in yuan. Both are checked
// here, before anything is sent: a code of the wrong form would cost the platform's refusal
// and, worse, a till's order number.
#pragma once

#include <string>

namespace quillmark::shell {

struct TillInput {
  std::string authCode;  // the code, without the spaces around it
  long long fen = 0;     // the amount; the build's default fee when the field was empty
  std::string refused;   // UTF-8, which of the two is wrong and why; or empty
};

// `codeUtf8` must be a payment code (18 digits beginning 10 to 15); `amountUtf8` an amount
// as the refund's (ReadAmount), or empty.
TillInput ReadTillInput(const std::string& codeUtf8, const std::string& amountUtf8);

}  // namespace quillmark::shell
