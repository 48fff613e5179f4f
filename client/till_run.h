// A till's payment by a scanned code, as a till must play it: micropay; while the payer types
// a password (USERPAYING), a query every few seconds; after SYSTEMERROR or BANKERROR, whose
// outcome is unknown, a query at once and never a second charge; and once the time is up
// without an outcome, reverse, called again while its reply asks for it (recall Y). The
// runner and both windows play this one loop; each step is told as it ends.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "client/client_run.h"
#include "client/quillmark_ops.h"
#include "protocol/step_outcome.h"

namespace quillmark {

enum class TillStep { kMicropay, kQuery, kReverse };

struct TillStepDone {
  TillStep step = TillStep::kMicropay;
  int number = 1;  // among the steps of its kind
  StepOutcome outcome;
  // What the step said, in one word: the trade state, err_code, "paid", "recall=Y"...
  std::string said;
};

// How the run ended: paid, reversed (nothing charged in the end), refused (the platform
// said no, or the payment failed), or not known (a reverse that did not go through, an abort).
enum class TillEnd { kPaid, kReversed, kRefused, kUnknown };
// "paid", "reversed", "refused", "unknown".
const char* TillEndName(TillEnd end);
// "micropay", "query 2", "reverse 1".
std::string TillStepName(const TillStepDone& step);

struct TillRunResult {
  std::string orderNo;  // the number micropay sent, whatever became of it
  std::vector<TillStepDone> steps;
  TillEnd end = TillEnd::kUnknown;
};

struct TillRunOptions {
  // Null: a sleep that an abort through the operations' settings ends. The time the loop
  // gives the payer is counted in the pauses it asked for, so that a pinned pause plays
  // the same loop at once.
  RunPause pause;
  std::chrono::milliseconds pollInterval{5000};
  std::chrono::milliseconds giveUpAfter{30000};
  std::chrono::milliseconds reverseInterval{1000};  // between reverses that ask for another
  int mostReverses = 5;
  std::function<void(const TillStepDone&)> stepDone;  // on the run's thread
};

// Plays the loop on `ops` with the code its settings hold (Settings::authCode).
TillRunResult PlayTillRun(CQuillmarkOps& ops, const TillRunOptions& options);

}  // namespace quillmark
