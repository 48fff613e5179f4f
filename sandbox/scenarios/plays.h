// What each test scenario (protocol/scenarios.h) makes the sandbox do: one row of hooks per
// scenario, keyed by its row in that table. The handlers ask an order's play at the points a
// scenario can change (its placement, a pay, a query, the notification, a refund) and otherwise
// serve it as any order; what an order may become stays the order life's.
#pragma once

#include <string>

#include "protocol/scenarios.h"
#include "sandbox/order/order_life.h"

namespace quillmark::sandbox {

struct ScenarioPlay {
  const Scenario* scenario = nullptr;  // its row in kScenarios
  // The first unified order of its number answers FAIL SYSTEMERROR and places nothing.
  bool systemErrorOnce = false;
  // What a pay by the payer page or by enough queries becomes: kPay, kDecline (the
  // payment fails) or kStartPaying (in progress for `payingQueries` queries, then paid).
  Transition pay = Transition::kPay;
  int payingQueries = 0;
  // The platform closes the order as it is first queried.
  bool closeAtFirstQuery = false;
  // The notification: sent as the order is paid, or only once a query first says SUCCESS
  // (after the sandbox's late delay); and sent once more after it was acknowledged.
  bool notifyAtPay = true;
  bool notifyOnceAgain = false;
  // A refund: answered FAIL NOTENOUGH; or accepted, PROCESSING until its first query.
  bool refundFails = false;
  bool refundProcessing = false;
  // Where an accepted refund ends, as its query and its notification say.
  RefundStatus refundEnds = RefundStatus::kSuccess;
  // A till's payment (micropay): the err_code it answers (null: SUCCESS), and what it
  // makes of the order: kPay, kDecline, or kStartPaying for `payingQueries` queries (0:
  // until it is reversed); none placed when `micropayPlaces` is false.
  const char* micropayErrCode = nullptr;
  Transition micropayDoes = Transition::kPay;
  bool micropayPlaces = true;
  // The first reverse answers recall Y, and reverses nothing.
  bool reverseRecall = false;
  // The fen of its amount a made-up coupon paid (sandbox/bill/daily_bill.h's CouponOf).
  long long couponFee = 0;
};

// The play of the scenario called `name`; `paid`'s for a name it does not know (an order
// kept by a release that had a scenario this one has not).
const ScenarioPlay& PlayOf(const std::string& name);
// The play of a scenario of kScenarios.
const ScenarioPlay& PlayOf(const Scenario& scenario);

// The scenarios as `quillmark-sandbox scenarios` prints them: a table of name, amount in
// fen and description, aligned, one line each after a heading; with `json`, one JSON array
// of {"name", "amount", "description"}. Ends in a newline.
std::string ScenarioList(bool json);

}  // namespace quillmark::sandbox
