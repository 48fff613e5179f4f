// ReadRefundAmount of refund_amount.h.
#include "shell/core/refund_amount.h"

#include "shell/core/outcome_words.h"
#include "shell/core/texts.h"

namespace quillmark::shell {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string YuanText(long long fen) {
  const std::string cents = std::to_string(100 + fen % 100);
  return std::to_string(fen / 100) + "." + cents.substr(1);
}

RefundAmount ReadRefundAmount(const std::string& utf8, long long orderFen) {
  return ReadAmount(utf8, orderFen,
                    {texts::kRefundAmountNotAmount, texts::kRefundAmountZero,
                     texts::kRefundAmountOverOrder, texts::kRefundAmountOverLimit});
}

RefundAmount ReadAmount(const std::string& utf8, long long orderFen, const AmountWords& said) {
  const std::size_t first = utf8.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const std::string text = utf8.substr(first, utf8.find_last_not_of(" \t") + 1 - first);
  const auto refused = [&text](const char* why, const std::string& bound = std::string()) {
    RefundAmount amount;
    amount.refused = words::Fill(why, {text, bound});
    return amount;
  };
  // Whole yuan, then at most two decimals: "1", "0.5", "12.30". A sign, an exponent, a
  // group separator or a third decimal (a fraction of a fen) is no amount.
  std::size_t at = 0;
  long long yuan = 0;
  while (at < text.size() && IsDigit(text[at])) {
    // Past the largest amount already: stop before the number overflows.
    if (yuan <= kMostRefundFen) yuan = yuan * 10 + (text[at] - '0');
    ++at;
  }
  const std::size_t whole = at;
  long long fen = 0;
  std::size_t decimals = 0;
  if (at < text.size() && text[at] == '.') {
    for (++at; at < text.size() && IsDigit(text[at]); ++at, ++decimals) {
      // A third decimal is refused below; counting on without adding cannot overflow.
      if (decimals < 2) fen = fen * 10 + (text[at] - '0');
    }
    if (decimals == 0) return refused(said.notAmount);
  }
  if (whole == 0 || at != text.size() || decimals > 2) {
    return refused(said.notAmount);
  }
  if (decimals == 1) fen *= 10;
  if (yuan > kMostRefundFen / 100) {
    return refused(said.overLimit, YuanText(kMostRefundFen));
  }
  RefundAmount amount;
  amount.fen = yuan * 100 + fen;
  if (amount.fen == 0) return refused(said.zero);
  if (amount.fen > kMostRefundFen) {
    return refused(said.overLimit, YuanText(kMostRefundFen));
  }
  if (orderFen > 0 && amount.fen > orderFen) {
    return refused(said.overOrder, YuanText(orderFen));
  }
  return amount;
}

}  // namespace quillmark::shell
