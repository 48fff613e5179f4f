// Micropay: a till's payment by the code it scanned. The code is checked as the platform
// checks it (its form, its minute, used once), the order number may be used once, and the
// order's scenario says what the payer does at the till: pays, types a password, never
// finishes, or the platform answers an error whose outcome only a query tells.
#include <optional>
#include <string>

#include "protocol/auth_code.h"
#include "protocol/flat_document.h"
#include "protocol/scenarios.h"
#include "sandbox/api/api_handler.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {
namespace {

constexpr char kExpiredWords[] = "101 付款码已过期";

// The words of each err_code micropay answers.
std::string WordsOf(const std::string& errCode) {
  if (errCode == "USERPAYING") return "需要用户输入支付密码";
  if (errCode == "SYSTEMERROR") return "system error: query the order for its outcome";
  if (errCode == "BANKERROR") return "bank system error: query the order for its outcome";
  if (errCode == "NOTENOUGH") return "the payer's balance is not enough";
  if (errCode == "AUTHCODEEXPIRE") return kExpiredWords;
  if (errCode == "AUTH_CODE_INVALID") return "auth_code must be 18 digits beginning with 10 to 15";
  if (errCode == "ORDERREVERSED") return "the order has been reversed";
  if (errCode == "OUT_TRADE_NO_USED") return "out_trade_no has been used with another auth_code";
  return "the order was not paid";
}

// What the same request asked again answers: the order as it stands.
std::string AnswerAgain(const Order& order) {
  switch (StateOf(order)) {
    case OrderState::kPaid:
    case OrderState::kRefunded:
      return "";
    case OrderState::kUserPaying:
      return "USERPAYING";
    case OrderState::kReversed:
      return "ORDERREVERSED";
    default: {
      const char* code = PlayOf(order.scenario).micropayErrCode;
      return code ? code : "ORDERCLOSED";
    }
  }
}

ReplyFields PaidFields(const std::string& orderNo, const Order& order) {
  return {{kFieldOutTradeNo, orderNo},
          {kFieldOpenId, PayerOf(order)},
          {kFieldTradeType, kTradeTypeMicropay},
          {kFieldBankType, "OTHERS"},
          {kFieldTotalFee, std::to_string(order.totalFee)},
          {kFieldCashFee, std::to_string(order.totalFee)},
          {kFieldTransactionId, order.transactionId},
          {kFieldTimeEnd, order.timeEnd}};
}

}  // namespace

void ServeMicropay(Exchange& ex, OrderDesk& desk) {
  const Fields& fields = ex.check.fields;
  const std::string& orderNo = fields.at(kFieldOutTradeNo);
  const std::string& code = fields.at(kFieldAuthCode);
  const long long totalFee = std::stoll(fields.at(kFieldTotalFee));  // checked: 1..2^31-1
  const auto answer = [&](const std::string& errCode, const Order* paid, const std::string& how) {
    if (errCode.empty()) {
      desk.SendSuccess(PaidFields(orderNo, *paid), ex, Fault::kNone);
      desk.Log(ex, orderNo, 200, "SUCCESS " + how + ", code " + PrintableAscii(code));
    } else {
      desk.SendResultFail(orderNo, errCode, WordsOf(errCode), ex);
      desk.Log(ex, orderNo, 200, "FAIL " + errCode + ", " + how + ", code " + PrintableAscii(code));
    }
  };
  if (!IsAuthCode(code)) return answer("AUTH_CODE_INVALID", nullptr, "no order placed");

  // The number again: the same payment asked again is answered as it stands.
  std::string again;
  Order seen;
  const bool exists = desk.WithOrder(orderNo, [&](Order& order, OrderLife&) {
    seen = order;
    if (order.micropay && order.authCode == code) {
      again = AnswerAgain(order);
    } else {
      again = StateOf(order) == OrderState::kReversed ? "ORDERREVERSED" : "OUT_TRADE_NO_USED";
    }
  });
  if (exists) return answer(again, &seen, "the order as it stands");

  // A code pays once, within its minute; one that claims to be made later than now by
  // more than a clock's drift was never made.
  if (!desk.FindOrderNumber([&code](const Order& order) { return order.authCode == code; })
           .empty()) {
    return answer("AUTHCODEEXPIRE", nullptr, "the code was used already, no order placed");
  }
  const std::int64_t age = ex.entry.at / 1000 - AuthCodeMadeAt(code);
  if (age < -kAuthCodeLifetimeSeconds) {
    return answer("AUTH_CODE_INVALID", nullptr, "the code is of no time yet, no order placed");
  }
  if (age > kAuthCodeLifetimeSeconds) {
    return answer("AUTHCODEEXPIRE", nullptr,
                  "the code is " + std::to_string(age) + " s old, no order placed");
  }

  const std::optional<ArmedScenario> armed = desk.TakeArmed(orderNo);
  if (armed) ex.tookArmed = armed->id;
  const Scenario& scenario = armed ? *armed->scenario : ScenarioForFee(totalFee);
  const ScenarioPlay& play = PlayOf(scenario);
  const std::string played = std::string("scenario ") + scenario.name;
  if (!play.micropayPlaces) {
    return answer(play.micropayErrCode, nullptr, "no order placed (" + played + ")");
  }
  Order order = OrderLife::Placed(fields.at(kFieldBody), totalFee, "", ex.entry.at);
  order.scenario = scenario.name;
  order.signType = ex.check.signTypeValue;
  order.micropay = true;
  order.tradeType = kTradeTypeMicropay;
  order.authCode = code;
  if (!desk.Place(orderNo, order)) return answer("OUT_TRADE_NO_USED", nullptr, "not placed");
  desk.WithOrder(orderNo, [&](Order& placed, OrderLife& life) {
    life.Apply(placed, play.micropayDoes,
               Cause{Actor::kPayerPage, ex.entry.at, play.payingQueries});
    ex.changed = placed;
    seen = placed;
  });
  const std::string errCode = play.micropayErrCode ? play.micropayErrCode : "";
  answer(errCode, &seen,
         std::string("order placed, ") + TradeState(seen) +
             (&scenario == &kPaidScenario ? "" : " (" + played + ")"));
}

}  // namespace quillmark::sandbox
