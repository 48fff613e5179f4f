// quillmark-cycle's summary: after the request and reply lines, what each step of the run
// obtained, worded by the run's own rows (client/client_run.h), and the exit status it
// stands for. The reports take their words from here too.
#pragma once

#include <string>

#include "cli/options.h"
#include "client/client_run.h"
#include "client/refund_run.h"
#include "config/merchant_settings.h"
#include "protocol/step_outcome.h"

namespace quillmark::cli {

// One line on how a step's exchange went: the transfer, the HTTP status, the reply's
// codes and the signature verdict.
std::string Exchange(const StepOutcome& step);

// "(trade_state not trusted)", "(no trade_state)" or the value of `field`, the step's
// result.
std::string ResultOf(const StepOutcome& step, const char* field);

// What the summary says of a step after its label: its result, or whether it was done,
// then its exchange; for the notification, its last line.
std::string StepWords(const RunStep& step);
// The same for the one request of an order command.
std::string CommandWords(const OrderCommand& command, const StepOutcome& step);

// The words for an order's trade_state, for the scenario's outcome line.
const char* TradeStateWords(const std::string& state);

// Where each setting came from; the key's value is never shown.
void PrintSettings(const LoadedSettings& settings);

// The run's summary up to its verdict on the replies, said as soon as the requests are
// over (a script may act on it while the notification is awaited); the status so far.
int SummariseRequests(const ClientRunResult& run);
// The rest once the run is over: what the notification came to; the exit status the
// whole run stands for (cli/exit_status.h), from the status SummariseRequests gave.
int SummariseNotification(const ClientRunResult& run, int status);

// One request about an order named on the command line. Exit 0 when the platform did what
// was asked and its reply verified, 1 when it did not (or nothing came back). `orderLines`
// are said after the order's number.
int SummariseStep(const OrderCommand& command, const std::string& orderNo, const StepOutcome& step,
                  const std::string& orderLines = std::string());

// `refund ORDER`: what the queries learnt of the order, then the refund as SummariseStep
// says it, or why none was sent. The same statuses, a query's failed verification too.
int SummariseRefund(const OrderCommand& command, const std::string& orderNo, const RefundRun& run);

}  // namespace quillmark::cli
