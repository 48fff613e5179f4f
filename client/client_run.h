// The steps a client takes for one order, declared once and played by one engine for every
// front end: place the order (sent again once after SYSTEMERROR), query it (on through
// USERPAYING, a few times at most), refund it and query the refund, await its notification.
// Which of them a run takes is what its scenario's row says (protocol/scenarios.h), never
// its name. The run tells what happens as events; the runner's summary and reports and
// both windows' panels draw those, worded by the one row per step below.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "client/cycle_result.h"
#include "client/quillmark_ops.h"
#include "protocol/scenarios.h"
#include "protocol/step_outcome.h"

namespace quillmark {

enum class ClientStep { kUnifiedOrder, kQuery, kRefund, kRefundQuery, kNotification };

// How a step is worded wherever a run is shown. In each text "%n" is the step's number
// among the steps of its kind.
struct ClientStepWords {
  ClientStep step;
  const char* reportName;    // the report's name of the step
  const char* summaryLabel;  // the start of the summary's line, padded to the others
  const char* replyName;     // how a failed verification names its reply
  // The reply field that is the step's result (a state), or null: the line says `done` or
  // `notDone` instead, or with neither, only how the exchange went.
  const char* resultField;
  const char* done;
  const char* notDone;
  const char* windowLabel;  // the window's name of the step, UTF-8
};

const ClientStepWords& WordsOf(ClientStep step);
// `pattern` with "%n" replaced by `number`.
std::string Numbered(const char* pattern, int number);

// What the notification step found; the watcher decides and words it.
struct NotificationAwaited {
  int status = 0;     // 0, 3 for a notification that failed verification, 4 for none
  std::string lines;  // what the watcher says of it, a line each, GBK
  std::chrono::steady_clock::duration elapsed{};
};

// One step of a run, once over.
struct RunStep {
  ClientStep step = ClientStep::kUnifiedOrder;
  int number = 1;
  // A unified order answered SYSTEMERROR that the run sent again: the run stands or falls
  // by the order sent after it, so this one passes.
  bool resent = false;
  StepOutcome outcome;               // the exchange; empty for the notification
  NotificationAwaited notification;  // the notification step's
  bool passed = false;
  // Why its reply is not what its scenario answers, or empty: the platform did not play
  // the scenario (ContradictionWords says it).
  std::string contradiction;

  const ClientStepWords& words() const { return WordsOf(step); }
};

// "the platform did not play scenario NAME: WHY", for a step's contradiction.
std::string ContradictionWords(const Scenario& scenario, const std::string& why);

struct ClientRunResult {
  // The order, its queries, the payment link's symbol and its bitmap, as the plain cycle
  // has them.
  CycleResult cycle;
  std::vector<RunStep> steps;  // in the order taken
  const Scenario* scenario = nullptr;

  // Whether a step's reply said the platform did not play the scenario.
  bool Contradicted() const;
  // The refund's step, or null when the run made none.
  const RunStep* Refund() const;
  // The notification's step, or null when it was not awaited.
  const RunStep* Notification() const;
};

// What a run is told as it goes, on its own thread.
class ClientRunEvents {
 public:
  virtual ~ClientRunEvents() = default;
  virtual void StepStarted(ClientStep /*step*/, int /*number*/) {}
  virtual void StepFinished(const RunStep& /*step*/) {}
  // The unified order placed `orderNo`, before its queries: its notification may come as
  // soon as one is answered.
  virtual void OrderPlaced(const std::string& /*orderNo*/) {}
  // The requests are over; only the notification's wait may be left. `run` is the run so
  // far, every step but the notification's in it.
  virtual void RequestsDone(const ClientRunResult& /*run*/) {}
};

// The notification of the run's order: told of the order as soon as it is placed (its
// notification may come during the next query), then awaited once the requests are over.
class NotificationWatch {
 public:
  virtual ~NotificationWatch() = default;
  virtual void Expect(const std::string& orderNo) = 0;
  // Awaits `orderNo`'s notification (nothing is awaited for an empty one).
  virtual NotificationAwaited Await(const std::string& orderNo) = 0;
};

// Sleeps `wait` in short slices, ended early by an abort (null: none); false when aborted.
// A run's pause unless its options give one.
bool SleepUnlessAborted(const TransferAbort* abort, std::chrono::milliseconds wait);

// Waits `wait` unless aborted meanwhile; false when aborted. The tests pin time with one
// that returns at once.
using RunPause = std::function<bool(std::chrono::milliseconds wait)>;

struct ClientRunOptions {
  // The scenario played; null: the plain cycle, judged by nothing but its replies.
  const Scenario* scenario = nullptr;
  ClientRunEvents* events = nullptr;
  NotificationWatch* notifications = nullptr;  // null: the notification is not awaited
  RunPause pause;  // null: a sleep that an abort through the operations' settings ends
  // A payer still paying is queried again this long after, at most this many more times.
  std::chrono::milliseconds pollInterval{1000};
  int morePolls = 4;
};

// Plays one run on `ops`, whose totalFee becomes the scenario's. A transfer aborted
// through the operations' TransferAbort ends the run there.
ClientRunResult PlayClientRun(CQuillmarkOps& ops, const ClientRunOptions& options);

}  // namespace quillmark
