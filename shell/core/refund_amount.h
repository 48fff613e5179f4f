// The amount a merchant types beside the windows' refund button. It is read in yuan, as
// the platform's merchant pages and a till's receipts show amounts, with at most two
// decimals; the request carries it in fen. An empty field asks for the whole remainder.
#pragma once

#include <string>

namespace quillmark::shell {

// The largest refund a request can carry: total_fee and refund_fee are below 2^31 fen.
inline constexpr long long kMostRefundFen = 2147483647;

struct RefundAmount {
  long long fen = 0;    // what to refund; 0 for the whole remainder (the field was empty)
  std::string refused;  // UTF-8, why the text is no amount that can be refunded; or empty
};

// The messages of an amount refused, each with %1 the text typed and %2 the bound it passed.
struct AmountWords {
  const char* notAmount;
  const char* zero;
  const char* overOrder;
  const char* overLimit;
};

// `utf8` as typed, read by the rules below with `words` for the messages: the refund's amount
// and a till's share them.
RefundAmount ReadAmount(const std::string& utf8, long long orderFen, const AmountWords& words);

// `utf8` as typed (spaces around it are ignored). `orderFen` is the order's amount when the
// window knows it, else 0: an amount over it is refused here, before anything is sent,
// rather than by the platform. The remainder after earlier refunds only the platform knows.
RefundAmount ReadRefundAmount(const std::string& utf8, long long orderFen);

// "12.30": `fen` as yuan, as the messages and the field show it.
std::string YuanText(long long fen);

}  // namespace quillmark::shell
