// The test scenarios the local sandbox plays, declared once for every side: the runner
// places an order with a scenario's amount, the window offers its label, and the sandbox
// plays what the amount (or an armed scenario) names. What each one does is the sandbox's
// (sandbox/scenarios/); this table only names them.
#pragma once

#include <string_view>

namespace quillmark {

struct Scenario {
  const char* name;         // as the runner's --scenario and the console's API take it
  long long totalFee;       // the order's amount in fen that asks for it
  const char* label;        // the window's words for it, UTF-8
  const char* description;  // one line of English: what the sandbox does
};

// The amounts that ask for a scenario sit in one block of their own, 4001-4099 fen, so
// that a merchant's ordinary test amounts never hit one by chance. `paid` is the plain
// order of 1 fen, and every amount not in this table plays it.
inline constexpr Scenario kScenarios[] = {
    {"paid", 1, "支付成功", "paid as usual: queries say SUCCESS, the notification is sent once"},
    {"declined", 4001, "拒绝支付",
     "paying fails: queries say PAYERROR, and no payment notification is sent"},
    {"paying", 4002, "支付中",
     "once paid, the next two queries say USERPAYING, then SUCCESS"},
    {"system-error-once", 4003, "系统错误一次",
     "the first unified order of an order number answers FAIL SYSTEMERROR; sent again, it "
     "is placed"},
    {"expired", 4004, "订单过期",
     "the platform closes the order when it is first queried: queries say CLOSED, and the "
     "payer page refuses to pay it"},
    {"notify-twice", 4005, "通知两次",
     "the payment's notification is sent a second time after the first was acknowledged"},
    {"notify-late", 4006, "通知延迟",
     "the first notification goes out 5 s after a query first says SUCCESS"},
    {"refund-processing", 4007, "退款处理中",
     "a refund is accepted; the first refund query says PROCESSING, later ones SUCCESS"},
    {"refund-fails", 4008, "退款失败", "a refund answers FAIL with err_code NOTENOUGH"},
};

inline constexpr const Scenario& kPaidScenario = kScenarios[0];

// The scenario of that name; null when there is none.
inline const Scenario* FindScenario(std::string_view name) {
  for (const Scenario& scenario : kScenarios) {
    if (name == scenario.name) return &scenario;
  }
  return nullptr;
}

// The scenario an order of `totalFee` fen plays: `paid` for every amount not in the table.
inline const Scenario& ScenarioForFee(long long totalFee) {
  for (const Scenario& scenario : kScenarios) {
    if (scenario.totalFee == totalFee) return scenario;
  }
  return kPaidScenario;
}

}  // namespace quillmark
