// The console's JSON API: what each /console/api route answers, built with nlohmann-json,
// and the one rule that stops a list before its reply would pass kMaxConsoleReplyBytes.
// The console's own; the pages in pages/ read nothing else.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "sandbox/console/console.h"
#include "sandbox/payer/html_text.h"
#include "sandbox/scenarios/armed.h"
#include "sandbox/store/state_store.h"

namespace quillmark::sandbox {

using ConsoleJson = nlohmann::ordered_json;

// What a route answers: an HTTP status and its JSON body.
struct ApiAnswer {
  int status = 200;
  ConsoleJson body;
};

// `value` as the reply's text; a byte of a body or a field that is not UTF-8 becomes U+FFFD
// rather than failing the reply.
std::string DumpJson(const ConsoleJson& value);
ApiAnswer ApiError(int status, const std::string& message);

// The first of `items` whose text, as one array, fits in `room` bytes; `cut` tells whether
// any were left out, `bytes` what the array takes.
struct FittedRows {
  ConsoleJson rows = ConsoleJson::array();
  bool cut = false;
  std::size_t bytes = 2;
};
FittedRows RowsThatFit(std::vector<ConsoleJson> items, std::size_t room);

ConsoleJson OrderJson(const StoredOrder& stored, const ConsoleSettings& settings);

// GET /console/api/about: what every page needs besides its rows (the form token, the
// figures of the footer, the most scenarios armed at once, the filters' choices, the LAN
// mode's phone page and its QR code, how far the sandbox's clock is moved, and the language
// the request's Accept-Language chose, which the pages are drawn in).
ConsoleJson AboutView(StateStore& store, const ConsoleSettings& settings, std::size_t orders,
                      PageLanguage language);
// GET /console/api/orders, the newest first.
ConsoleJson OrdersView(StateStore& store, const ConsoleSettings& settings, std::size_t limit);
// The bills the merchant could fetch, a day each (platform time, UTC+8), newest first: each
// day with a payment or refund among the newest `limit` orders, its ALL bill's summary in
// fen, and when it is ready (10:00 the next day; `readyNow`: at once).
ConsoleJson BillsView(StateStore& store, const std::string& appId, const std::string& mchId,
                      std::size_t limit, std::int64_t now, bool readyNow);
// GET /console/api/orders/NUMBER: the order with its attempts and the requests about it;
// with ?done=KEY, also the console's message under that key, worded for this order.
ApiAnswer OrderView(StateStore& store, const ConsoleSettings& settings, const std::string& number,
                    std::string_view doneKey);
// GET /console/api/requests, the newest first.
ConsoleJson RequestsView(StateStore& store, const RequestFilter& filter, std::size_t limit);

// GET /console/api/codes: the payment codes the journal's newest `limit` shown codes and
// micropays name, the newest made first, each with when it was shown and from whose payer
// page, until when it was good, every micropay that named it with its answer (a refusal of
// it as used already marked), the order it paid with that order's reversals, and its fate:
// "used", "expired" (unused in its minute) or "valid". `now` is the sandbox's clock.
ConsoleJson CodesView(StateStore& store, std::size_t limit, std::int64_t now);

// GET /console/api/clock: the sandbox's clock, its offset from the machine's and the time
// it reads, in UTC and on the platform's clock.
ConsoleJson ClockView();
// POST /console/api/clock with {"offset": "7d1m"} (ParseClockOffset's form; "0" puts it
// back): 200 with ClockView() once moved; 400 naming what is wrong with the body.
ApiAnswer MoveClock(ConsoleActions& actions, const std::string& body);

// GET /console/api/scenarios?offset=N&limit=N: the armed scenarios, oldest first, from the
// `offset`th on and at most `limit` of them, with how many are armed ("total") and whether
// more follow ("truncated"); and the table of them all.
ConsoleJson ScenariosView(const std::vector<ArmedScenario>& armed, std::size_t offset,
                          std::size_t limit);
// POST /console/api/scenarios with {"scenario": NAME, "out_trade_no": NO} (no out_trade_no:
// for the next order placed): 201 with the armed entry; 400 naming what is wrong with the
// body, an unknown scenario among them; 409 for an order placed already, naming it, and
// when kMaxArmedScenarios are armed.
ApiAnswer ArmScenario(ConsoleActions& actions, const std::string& body, std::int64_t now);
// DELETE /console/api/scenarios/ID: 200, or 404 when none is armed under that id.
ApiAnswer DisarmScenario(ConsoleActions& actions, const std::string& id);
// DELETE /console/api/scenarios: 200 with how many were disarmed.
ApiAnswer DisarmAllScenarios(ConsoleActions& actions);

// An order's number as a message may show it: printable ASCII, at most 64 bytes and "...".
std::string ShownNumber(const std::string& number);

}  // namespace quillmark::sandbox
