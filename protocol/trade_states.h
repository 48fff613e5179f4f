// The trade states an order query answers (trade_state), declared once for every side with
// what each means: the sandbox answers a query with a state's name and its Chinese words as
// trade_state_desc, the windows show those words where a reply carries no description, and
// the runner ends a scenario with the English ones. The console marks each with a style of
// its own (.s-NAME in sandbox/console/pages/console.css); a test holds the two together.
#pragma once

#include <cstddef>
#include <iterator>
#include <string_view>

namespace quillmark {

// In the order of kTradeStates.
enum class TradeStateId { kNotPay, kSuccess, kClosed, kRefund, kPayError, kUserPaying, kRevoked };

struct TradeStateInfo {
  TradeStateId id;
  const char* name;     // trade_state as the platform sends it
  const char* chinese;  // UTF-8, as the platform's trade_state_desc says it
  const char* english;  // the runner's words for an order left in it
};

inline constexpr TradeStateInfo kTradeStates[] = {
    {TradeStateId::kNotPay, "NOTPAY", "订单未支付", "not paid yet"},
    {TradeStateId::kSuccess, "SUCCESS", "支付成功", "paid"},
    {TradeStateId::kClosed, "CLOSED", "订单已关闭", "closed: the order can no longer be paid"},
    {TradeStateId::kRefund, "REFUND", "已转入退款", "paid, then refunded"},
    {TradeStateId::kPayError, "PAYERROR", "支付失败", "paying failed: the payment was declined"},
    {TradeStateId::kUserPaying, "USERPAYING", "用户支付中", "the payer is still paying"},
    {TradeStateId::kRevoked, "REVOKED", "已撤销", "revoked"},
};

constexpr bool TradeStatesInIdOrder() {
  for (std::size_t i = 0; i < std::size(kTradeStates); ++i) {
    if (static_cast<std::size_t>(kTradeStates[i].id) != i) return false;
  }
  return true;
}
static_assert(TradeStatesInIdOrder(), "TradeStateOf indexes kTradeStates by its id");

constexpr const TradeStateInfo& TradeStateOf(TradeStateId id) {
  return kTradeStates[static_cast<std::size_t>(id)];
}

// The state a reply names `name`; null for one the table does not know (or none at all).
inline const TradeStateInfo* FindTradeState(std::string_view name) {
  for (const TradeStateInfo& state : kTradeStates) {
    if (name == state.name) return &state;
  }
  return nullptr;
}

}  // namespace quillmark
