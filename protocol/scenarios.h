// The test scenarios the local sandbox plays, declared once for every side: the runner
// places an order with a scenario's amount, the window offers its label, and the sandbox
// plays what the amount (or an armed scenario) names. What each one does is the sandbox's
// (sandbox/scenarios/); this table names them, says what a client must do about each
// (client/client_run.h plays that), and what the platform answers when it plays one, so
// that a run can tell a scenario that was not played from one that was.
#pragma once

#include <string_view>

namespace quillmark {

// What a scenario makes the client do beyond the plain cycle (a unified order and two
// queries), each a step of client/client_run.h.
enum ClientDoes : unsigned {
  kPlainCycle = 0,
  kRetrySystemError = 1u << 0,  // a unified order answered SYSTEMERROR is sent again, once
  kPollWhilePaying = 1u << 1,   // a query saying USERPAYING is followed by another, a few
  kRefundAndQuery = 1u << 2,    // a placed order is refunded, and the refund queried
  // A till's payment: micropay, then queries and reverses as client/till_run.h plays them.
  // A NATIVE order of its amount plays `paid`.
  kTillPayment = 1u << 3,
};

// What the platform answers when it plays a scenario. A step whose reply contradicts it
// means the platform did not play the scenario; null means any answer is the scenario's.
struct ScenarioAnswers {
  const char* orderErrCode = nullptr;  // the first unified order's (or micropay's) err_code
  // The trade states its queries may say, each followed by a space.
  const char* tradeStates = "NOTPAY SUCCESS ";
  // A state a query says before any says SUCCESS.
  const char* stateBeforeSuccess = nullptr;
  const char* refundErrCode = nullptr;      // the refund's err_code; null: the refund is done
  const char* firstRefundStatus = nullptr;  // the first refund query's refund_status_0
};

struct Scenario {
  const char* name;                   // as the runner's --scenario and the console's API take it
  long long totalFee;                 // the order's amount in fen that asks for it
  const char* label;                  // the window's words for it, UTF-8
  const char* description;            // one line of English: what the sandbox does
  unsigned clientDoes = kPlainCycle;  // ClientDoes flags
  ScenarioAnswers answers = {};
};

// The amounts that ask for a scenario sit in one block of their own, 4001-4099 fen, so
// that a merchant's ordinary test amounts never hit one by chance. `paid` is the plain
// order of 1 fen, and every amount not in this table plays it.
inline constexpr Scenario kScenarios[] = {
    {"paid", 1, "支付成功", "paid as usual: queries say SUCCESS, the notification is sent once"},
    {"declined",
     4001,
     "拒绝支付",
     "paying fails: queries say PAYERROR, and no payment notification is sent",
     kPlainCycle,
     {nullptr, "NOTPAY PAYERROR "}},
    {"paying",
     4002,
     "支付中",
     "once paid, the next two queries say USERPAYING, then SUCCESS",
     kPollWhilePaying,
     {nullptr, "NOTPAY USERPAYING SUCCESS ", "USERPAYING"}},
    {"system-error-once",
     4003,
     "系统错误一次",
     "the first unified order of an order number answers FAIL SYSTEMERROR; sent again, it "
     "is placed",
     kRetrySystemError,
     {"SYSTEMERROR"}},
    {"expired",
     4004,
     "订单过期",
     "the platform closes the order when it is first queried: queries say CLOSED, and the "
     "payer page refuses to pay it",
     kPlainCycle,
     {nullptr, "CLOSED "}},
    {"notify-twice", 4005, "通知两次",
     "the payment's notification is sent a second time after the first was acknowledged"},
    {"notify-late", 4006, "通知延迟",
     "the first notification goes out 5 s after a query first says SUCCESS"},
    {"refund-processing",
     4007,
     "退款处理中",
     "a refund is accepted; the first refund query says PROCESSING, later ones SUCCESS",
     kRefundAndQuery,
     {nullptr, "NOTPAY SUCCESS ", nullptr, nullptr, "PROCESSING"}},
    {"refund-fails",
     4008,
     "退款失败",
     "a refund answers FAIL with err_code NOTENOUGH",
     kRefundAndQuery,
     {nullptr, "NOTPAY SUCCESS ", nullptr, "NOTENOUGH"}},
    {"refund-change",
     4009,
     "退款异常",
     "a refund is accepted and ends in CHANGE: its query and its notification say so",
     kRefundAndQuery,
     {nullptr, "NOTPAY SUCCESS ", nullptr, nullptr, "CHANGE"}},
    {"refund-closed",
     4010,
     "退款关闭",
     "a refund is accepted and ends in REFUNDCLOSE, giving its amount back to be refunded",
     kRefundAndQuery,
     {nullptr, "NOTPAY SUCCESS ", nullptr, nullptr, "REFUNDCLOSE"}},
    // A till's payments, 4020-4029: what micropay answers, and what the queries say after.
    {"code-password",
     4020,
     "输入密码",
     "micropay answers USERPAYING (the payer types a password); the second query after it "
     "says SUCCESS, about 10 s at a till's 5 s",
     kTillPayment,
     {"USERPAYING", "USERPAYING SUCCESS ", "USERPAYING"}},
    {"code-never",
     4021,
     "密码未输入",
     "micropay answers USERPAYING and the payer never finishes: queries say USERPAYING until "
     "the order is reversed",
     kTillPayment,
     {"USERPAYING", "USERPAYING REVOKED "}},
    {"code-system-error",
     4022,
     "付款码系统错误",
     "micropay answers SYSTEMERROR, but the order was paid: queries say SUCCESS",
     kTillPayment,
     {"SYSTEMERROR", "SUCCESS "}},
    {"code-bank-error",
     4023,
     "银行系统异常",
     "micropay answers BANKERROR, and the order was not paid: queries say PAYERROR",
     kTillPayment,
     {"BANKERROR", "PAYERROR "}},
    {"code-not-enough",
     4024,
     "余额不足",
     "micropay answers NOTENOUGH: the payer's balance is short, and the order is not paid",
     kTillPayment,
     {"NOTENOUGH", "PAYERROR "}},
    {"code-expired",
     4025,
     "付款码过期",
     "micropay answers AUTHCODEEXPIRE whatever the code, and places no order",
     kTillPayment,
     {"AUTHCODEEXPIRE", ""}},
    {"reverse-recall",
     4026,
     "撤销重试",
     "micropay answers USERPAYING and the payer never finishes; the first reverse answers "
     "recall Y and reverses nothing, the next reverses it",
     kTillPayment,
     {"USERPAYING", "USERPAYING REVOKED "}},
    {"coupon", 4030, "代金券支付",
     "paid partly with a made-up coupon of 10.00: cash_fee below total_fee, and the coupon's "
     "fields in the query, the notification and the bill"},
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
