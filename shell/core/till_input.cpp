// ReadTillInput of till_input.h.
#include "shell/core/till_input.h"

#include "config/merchant_config.h"
#include "protocol/auth_code.h"
#include "shell/core/outcome_words.h"
#include "shell/core/refund_amount.h"
#include "shell/core/texts.h"

namespace quillmark::shell {

TillInput ReadTillInput(const std::string& codeUtf8, const std::string& amountUtf8) {
  TillInput input;
  // A scanner ends what it types with a newline, and a paste may bring spaces along.
  const char* const blank = " \t\r\n";
  const std::size_t first = codeUtf8.find_first_not_of(blank);
  if (first != std::string::npos) {
    input.authCode = codeUtf8.substr(first, codeUtf8.find_last_not_of(blank) + 1 - first);
  }
  if (!IsAuthCode(input.authCode)) {
    input.refused = words::Fill(
        input.authCode.empty() ? texts::kAuthCodeEmpty : texts::kAuthCodeNotCode, {input.authCode});
    return input;
  }
  const RefundAmount amount =
      ReadAmount(amountUtf8, 0,
                 {texts::kTillAmountNotAmount, texts::kTillAmountZero, texts::kTillAmountNotAmount,
                  texts::kTillAmountOverLimit});
  input.refused = amount.refused;
  input.fen = amount.fen != 0 ? amount.fen : kTotalFee;
  return input;
}

}  // namespace quillmark::shell
