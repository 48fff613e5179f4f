// The unified order: places a NATIVE order under its scenario and answers its payment
// link. The one operation the run's fault spoils.
#include <optional>
#include <string>

#include "config/merchant_config.h"
#include "protocol/flat_document.h"
#include "protocol/scenarios.h"
#include "sandbox/api/api_handler.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {

void ServeUnifiedOrder(Exchange& ex, OrderDesk& desk) {
  const Fields& fields = ex.check.fields;
  const std::string& orderNo = fields.at(kFieldOutTradeNo);
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
  if (!desk.Place(orderNo, order)) {
    const std::string message = "out_trade_no " + orderNo + " has already been used";
    desk.SendFail(message, ex.reply);
    desk.Log(ex, orderNo, 200, "FAIL " + message);
    return;
  }
  ex.changed = std::move(order);
  const Fault fault = desk.fault();
  desk.SendSuccess({{kFieldOutTradeNo, orderNo},
                    {kFieldTradeType, kTradeType},
                    {kFieldCodeUrl, desk.CodeUrl(orderNo)}},
                   ex, fault);
  // The notification fault spoils no reply.
  const bool spoilt = fault != Fault::kNone && fault != Fault::kBadNotifySign;
  desk.Log(ex, orderNo, 200,
           std::string("SUCCESS order placed") +
               (&scenario == &kPaidScenario ? "" : std::string(", scenario ") + scenario.name) +
               (spoilt ? std::string(", reply spoilt by fault ") + FaultName(fault) : ""));
}

}  // namespace quillmark::sandbox
