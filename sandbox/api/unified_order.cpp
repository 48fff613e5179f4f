// The unified order: places an order of any of the four trade types under its scenario
// and answers its prepay_id, and NATIVE's payment link or MWEB's page. The one operation
// the run's fault spoils. The same order placed again is answered again; another one under
// a number in use is refused.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "config/merchant_config.h"
#include "protocol/flat_document.h"
#include "protocol/scenarios.h"
#include "sandbox/api/api_handler.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {
namespace {

// A digest of what the order was asked with: every field but those a retry makes afresh
// (its nonce and sign) or may name otherwise without asking for another order (sign_type).
std::string PlacedWith(const Fields& fields) {
  Fields asked = fields;
  for (const char* fresh : {kFieldNonceStr, kFieldSign, kFieldSignType}) asked.erase(fresh);
  const std::string text = SignStringOf(asked, "");
  return SignFields(text.data(), text.size());
}

// Milliseconds since 1970 of a platform time yyyyMMddHHmmss (checked), which is China
// Standard Time wherever the sandbox runs.
std::int64_t PlatformTimeMs(const std::string& text) {
  const auto number = [&text](std::size_t at, std::size_t digits) {
    return std::stoll(text.substr(at, digits));
  };
  long long year = number(0, 4);
  const long long month = number(4, 2), day = number(6, 2);
  // Days since 1970-01-01 of a civil date (H. Hinnant's days_from_civil).
  year -= month <= 2;
  const long long era = year / 400;
  const long long yearOfEra = year - era * 400;
  const long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const long long days = era * 146097 + dayOfEra - 719468;
  const long long seconds =
      days * 86400 + number(8, 2) * 3600 + number(10, 2) * 60 + number(12, 2) - 8 * 3600;
  return seconds * 1000;
}

// The reply's fields for an order placed (or placed again): what every trade type gets,
// then what its own gets.
ReplyFields PlacedReply(const std::string& orderNo, const Order& order, OrderDesk& desk) {
  ReplyFields fields = {{kFieldOutTradeNo, orderNo},
                        {kFieldTradeType, order.tradeType},
                        {kFieldPrepayId, order.prepayId}};
  if (order.tradeType == kTradeTypeNative)
    fields.emplace_back(kFieldCodeUrl, desk.CodeUrl(orderNo));
  if (order.tradeType == kTradeTypeMweb) {
    // The merchant appends &redirect_url=...: the address already has a query.
    fields.emplace_back(kFieldMwebUrl, desk.CodeUrl(orderNo) + "?prepay_id=" + order.prepayId);
  }
  return fields;
}

// The order `orderNo` is kept already: the same one asked again, or a refusal.
void PlaceAgain(Exchange& ex, OrderDesk& desk, const std::string& orderNo,
                const std::string& placedWith) {
  Step step;
  Order seen;
  desk.WithOrder(orderNo, [&](Order& order, OrderLife& life) {
    step = life.PlaceAgain(order, placedWith, ex.entry.at);
    seen = order;
    if (step.moved() || StateOf(order) == OrderState::kClosed) ex.changed = order;
  });
  if (step.refused()) {
    const bool twice = std::string(step.refusal) == kPlacedTwiceCode;
    const std::string words =
        twice ? kPlacedTwiceWords
              : std::string("order ") + orderNo + " is " + TradeState(seen) + " already";
    desk.SendResultFail(orderNo, step.refusal, words, ex);
    desk.Log(ex, orderNo, 200,
             std::string("FAIL ") + step.refusal +
                 (twice ? ", out_trade_no placed before with other fields" : ""));
    return;
  }
  desk.SendSuccess(PlacedReply(orderNo, seen, desk), ex, Fault::kNone);
  desk.Log(ex, orderNo, 200,
           step.moved() ? "SUCCESS placed again, its prepay_id had run out: a new one"
                        : "SUCCESS placed again with the same fields: the same prepay_id");
}

}  // namespace

void ServeUnifiedOrder(Exchange& ex, OrderDesk& desk) {
  const Fields& fields = ex.check.fields;
  const std::string& orderNo = fields.at(kFieldOutTradeNo);
  const std::string placedWith = PlacedWith(fields);
  if (desk.WithOrder(orderNo, [](Order&, OrderLife&) {})) {
    PlaceAgain(ex, desk, orderNo, placedWith);
    return;
  }
  const long long totalFee = std::stoll(fields.at(kFieldTotalFee));  // checked: 1..2^31-1
  const std::optional<ArmedScenario> armed = desk.TakeArmed(orderNo);
  if (armed) ex.tookArmed = armed->id;
  const Scenario& scenario = armed ? *armed->scenario : ScenarioForFee(totalFee);
  if (PlayOf(scenario).systemErrorOnce && desk.FirstPlacementOf(orderNo)) {
    desk.SendResultFail(orderNo, "SYSTEMERROR", "system error, please try again", ex);
    desk.Log(ex, orderNo, 200,
             std::string("FAIL SYSTEMERROR, no order placed (scenario ") + scenario.name + ")");
    return;
  }
  Order order =
      OrderLife::Placed(fields.at(kFieldBody), totalFee, fields.at(kFieldNotifyUrl), ex.entry.at);
  order.scenario = scenario.name;
  order.signType = ex.check.signTypeValue;
  order.tradeType = fields.at(kFieldTradeType);
  order.placedWith = placedWith;
  if (const auto openId = fields.find(kFieldOpenId); openId != fields.end()) {
    order.openId = openId->second;
  }
  if (const auto expire = fields.find(kFieldTimeExpire);
      expire != fields.end() && !expire->second.empty()) {
    // A time before 1970 UTC (the first hours of 1970 in platform time) has passed as much
    // as the first moment after it.
    order.expiresAt = std::max<std::int64_t>(1, PlatformTimeMs(expire->second));
  }
  OrderLife::GivePrepayId(order, ex.entry.at);
  if (!desk.Place(orderNo, order)) {
    // Placed by another request in the meantime.
    PlaceAgain(ex, desk, orderNo, placedWith);
    return;
  }
  ex.changed = order;
  const Fault fault = desk.fault();
  desk.SendSuccess(PlacedReply(orderNo, order, desk), ex, fault);
  // The notification fault spoils no reply.
  const bool spoilt = fault != Fault::kNone && fault != Fault::kBadNotifySign;
  desk.Log(ex, orderNo, 200,
           std::string("SUCCESS order placed") +
               (order.tradeType == kTradeTypeNative ? "" : ", trade type " + order.tradeType) +
               (&scenario == &kPaidScenario ? "" : std::string(", scenario ") + scenario.name) +
               (spoilt ? std::string(", reply spoilt by fault ") + FaultName(fault) : ""));
}

}  // namespace quillmark::sandbox
