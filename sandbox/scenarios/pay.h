// A pay of an order, as its scenario plays it: the one place in the sandbox where an order
// becomes paid and its notification is made due. The payer page's buttons, the queries
// that pay and the console's Pay all come here.
#pragma once

#include <optional>
#include <string>

#include "sandbox/notify/notifier.h"
#include "sandbox/order/order_life.h"

namespace quillmark::sandbox {

// Applies `transition` to `order` (number `orderNo`) by `cause`, through `life`: kPay, or
// what the payer or the scenario makes of a pay (kDecline, kStartPaying; a payment started
// in progress takes the queries its scenario gives it). When the order became paid and its
// scenario notifies at the pay, `due` receives the notification to send once the change is
// kept; a `notify-late` order's is due at its first query that says SUCCESS instead.
// Returns the order life's step.
Step PayOrder(OrderLife& life, Order& order, const std::string& orderNo, Transition transition,
              Cause cause, std::optional<PaidOrder>& due);

}  // namespace quillmark::sandbox
