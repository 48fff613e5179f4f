// The pay of pay.h: an order made paid and its notification due, as its scenario plays it.
#include "sandbox/scenarios/pay.h"

#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {

Step PayOrder(OrderLife& life, Order& order, const std::string& orderNo, Transition transition,
              Cause cause, std::optional<PaidOrder>& due) {
  const ScenarioPlay& play = PlayOf(order.scenario);
  cause.queriesToPay = transition == Transition::kStartPaying ? play.payingQueries : 0;
  const Step step = life.Apply(order, transition, cause);
  if (step.moved() && StateOf(order) == OrderState::kPaid && play.notifyAtPay) {
    due = PaidOrderOf(orderNo, order);
  }
  return step;
}

}  // namespace quillmark::sandbox
