// The engine of client_run.h: the steps in the order a client takes them, each judged by
// its operation and by what its scenario answers.
#include "client/client_run.h"

#include <string_view>
#include <thread>
#include <utility>

#include "protocol/fields.h"
#include "protocol/operation.h"
#include "protocol/reply_fields.h"

namespace quillmark {
namespace {

// clang-format off
const ClientStepWords kStepWords[] = {
    {ClientStep::kUnifiedOrder, "unified order", "Unified order: ", "unified order reply",
     nullptr, nullptr, nullptr, "统一下单"},
    {ClientStep::kQuery, "query %n", "Query %n:       ", "query %n reply",
     kFieldTradeState, nullptr, nullptr, "查询 %n"},
    {ClientStep::kRefund, "refund", "Refund:        ", "refund reply",
     nullptr, "refunded", "not refunded", "申请退款"},
    {ClientStep::kRefundQuery, "refund query %n", "Refund query %n: ", "refund query reply",
     kFieldRefundStatus0, nullptr, nullptr, "退款查询 %n"},
    {ClientStep::kNotification, "notification", "Notification:  ", "notification",
     nullptr, nullptr, nullptr, "支付通知"},
};
// clang-format on

// The names in `list` ("A B "), said as "A, B".
std::string Listed(const char* list) {
  std::string words(list);
  while (!words.empty() && words.back() == ' ') words.pop_back();
  for (std::size_t at = words.find(' '); at != std::string::npos; at = words.find(' ', at + 2)) {
    words.replace(at, 1, ", ");
  }
  return words;
}

bool Lists(const char* list, const std::string& name) {
  return !name.empty() && (" " + std::string(list)).find(" " + name + " ") != std::string::npos;
}

// Why the first unified order's reply is not the scenario's, or empty.
std::string JudgeOrder(const ScenarioAnswers& answers, const StepOutcome& order) {
  if (answers.orderErrCode == nullptr || !order.transfer.ok()) return {};
  const std::string& code = order.Field(kFieldErrCode);
  if (code == answers.orderErrCode) return {};
  return "the first unified order was answered " +
         (code.empty() ? order.Field(kFieldResultCode).empty() ? std::string("without a result")
                                                               : order.Field(kFieldResultCode)
                       : "err_code " + code) +
         ", not err_code " + answers.orderErrCode;
}

// Why query `number`'s state is not the scenario's, or empty; `before` is whether an
// earlier query said the state the scenario says before SUCCESS.
std::string JudgeQuery(const ScenarioAnswers& answers, const StepOutcome& query, int number,
                       bool before) {
  if (!Trusted(query)) return {};
  const std::string& state = query.Field(kFieldTradeState);
  if (state.empty()) return {};
  const std::string said = Numbered("query %n", number) + " said " + state;
  if (!Lists(answers.tradeStates, state)) {
    return said + ", where its queries say " + Listed(answers.tradeStates);
  }
  if (answers.stateBeforeSuccess != nullptr && state == "SUCCESS" && !before) {
    return said + " with no query saying " + answers.stateBeforeSuccess + " before it";
  }
  return {};
}

std::string JudgeRefund(const ScenarioAnswers& answers, const StepOutcome& refund) {
  if (answers.refundErrCode == nullptr || !refund.transfer.ok()) return {};
  const std::string& code = refund.Field(kFieldErrCode);
  if (code == answers.refundErrCode) return {};
  return "the refund was answered " +
         (code.empty() ? std::string(VerdictOf(refund) == StepVerdict::kDone ? "as done"
                                                                             : "without err_code")
                       : "err_code " + code) +
         ", not err_code " + answers.refundErrCode;
}

std::string JudgeRefundQuery(const ScenarioAnswers& answers, const StepOutcome& query, int number) {
  if (answers.firstRefundStatus == nullptr || number != 1 || !Trusted(query)) return {};
  const std::string& status = query.Field(kFieldRefundStatus0);
  if (status.empty() || status == answers.firstRefundStatus) return {};
  return "refund query 1 said " + status + ", not " + answers.firstRefundStatus;
}

}  // namespace

bool SleepUnlessAborted(const TransferAbort* abort, std::chrono::milliseconds wait) {
  const auto end = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < end) {
    if (abort != nullptr && abort->aborted()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        std::chrono::milliseconds(20), end - std::chrono::steady_clock::now()));
  }
  return abort == nullptr || !abort->aborted();
}

const ClientStepWords& WordsOf(ClientStep step) {
  for (const ClientStepWords& words : kStepWords) {
    if (words.step == step) return words;
  }
  return kStepWords[0];
}

std::string Numbered(const char* pattern, int number) {
  std::string text(pattern);
  const std::size_t at = text.find("%n");
  if (at != std::string::npos) text.replace(at, 2, std::to_string(number));
  return text;
}

std::string ContradictionWords(const Scenario& scenario, const std::string& why) {
  return std::string("the platform did not play scenario ") + scenario.name + ": " + why;
}

bool ClientRunResult::Contradicted() const {
  for (const RunStep& step : steps) {
    if (!step.contradiction.empty()) return true;
  }
  return false;
}

const RunStep* ClientRunResult::Refund() const {
  for (const RunStep& step : steps) {
    if (step.step == ClientStep::kRefund) return &step;
  }
  return nullptr;
}

const RunStep* ClientRunResult::Notification() const {
  for (const RunStep& step : steps) {
    if (step.step == ClientStep::kNotification) return &step;
  }
  return nullptr;
}

ClientRunResult PlayClientRun(CQuillmarkOps& ops, const ClientRunOptions& options) {
  ClientRunResult run;
  run.scenario = options.scenario;
  const Scenario* scenario = options.scenario;
  const unsigned does = scenario != nullptr ? scenario->clientDoes : kPlainCycle;
  const ScenarioAnswers answers = scenario != nullptr ? scenario->answers : ScenarioAnswers{};
  if (scenario != nullptr) ops.UseTotalFee(scenario->totalFee);
  const TransferAbort* abort = ops.settings().transport.abort.get();
  CycleResult& cycle = run.cycle;
  cycle.bitmapPath = ops.settings().qrPath;

  const auto started = [&options](ClientStep step, int number) {
    if (options.events != nullptr) options.events->StepStarted(step, number);
  };
  // An abort between two requests ends the run as one during a request does.
  const auto stopped = [&cycle, abort] {
    if (abort != nullptr && abort->aborted()) cycle.aborted = true;
    return cycle.aborted;
  };
  const auto finished = [&](ClientStep kind, int number, const StepOutcome& outcome,
                            std::string why) {
    RunStep step;
    step.step = kind;
    step.number = number;
    step.outcome = outcome;
    if (!why.empty() && scenario != nullptr)
      step.contradiction = ContradictionWords(*scenario, why);
    step.passed = VerdictOf(outcome) == StepVerdict::kDone && step.contradiction.empty();
    cycle.aborted = cycle.aborted || outcome.transfer.aborted();
    if (options.events != nullptr) options.events->StepFinished(step);
    run.steps.push_back(std::move(step));
  };

  started(ClientStep::kUnifiedOrder, 1);
  std::string outTradeNo;
  cycle.order = ops.Exchange(kUnifiedOrderOperation, outTradeNo);
  const std::string orderWhy = JudgeOrder(answers, cycle.order);
  // The platform's SYSTEMERROR says nothing about the order: the merchant sends the same
  // order again, under the same number, once.
  if ((does & kRetrySystemError) != 0 && cycle.order.Field(kFieldErrCode) == "SYSTEMERROR" &&
      !cycle.order.transfer.aborted() && !stopped()) {
    RunStep refused;
    refused.step = ClientStep::kUnifiedOrder;
    refused.resent = true;
    refused.outcome = cycle.order;
    refused.passed = true;
    if (options.events != nullptr) options.events->StepFinished(refused);
    run.steps.push_back(std::move(refused));
    cycle.refusedOrder = std::move(cycle.order);
    started(ClientStep::kUnifiedOrder, 1);
    cycle.order = ops.Exchange(kUnifiedOrderOperation, outTradeNo);
  }
  ops.TakeOrder(cycle, outTradeNo);
  finished(ClientStep::kUnifiedOrder, 1, cycle.order, orderWhy);

  if (!cycle.orderNo.empty()) {
    if (options.events != nullptr) options.events->OrderPlaced(cycle.orderNo);
    if (options.notifications != nullptr) options.notifications->Expect(cycle.orderNo);
    bool before = false;
    const auto query = [&](int number) {
      started(ClientStep::kQuery, number);
      cycle.queries.push_back(ops.Run(kOrderQueryOperation, cycle.orderNo));
      const StepOutcome& outcome = cycle.queries.back();
      finished(ClientStep::kQuery, number, outcome, JudgeQuery(answers, outcome, number, before));
      before = before || (answers.stateBeforeSuccess != nullptr &&
                          outcome.Field(kFieldTradeState) == answers.stateBeforeSuccess);
    };
    for (int number = 1; number <= 2 && !stopped(); ++number) query(number);
    // A payer still entering a password: queried on while it says USERPAYING, as a
    // merchant's poll loop must, a little apart and a few times at most.
    for (int i = 0;
         (does & kPollWhilePaying) != 0 && i < options.morePolls && !stopped() &&
         !cycle.queries.empty() && cycle.queries.back().Field(kFieldTradeState) == "USERPAYING";
         ++i) {
      const bool waited =
          options.pause ? options.pause(options.pollInterval) : SleepUnlessAborted(abort, options.pollInterval);
      if (!waited) cycle.aborted = true;
      if (stopped()) break;
      query(static_cast<int>(cycle.queries.size()) + 1);
    }
    if ((does & kRefundAndQuery) != 0 && !stopped()) {
      started(ClientStep::kRefund, 1);
      const StepOutcome refund = ops.Run(kRefundOperation, cycle.orderNo);
      finished(ClientStep::kRefund, 1, refund, JudgeRefund(answers, refund));
      for (int number = 1; number <= 2 && VerdictOf(refund) == StepVerdict::kDone && !stopped();
           ++number) {
        started(ClientStep::kRefundQuery, number);
        const StepOutcome refundQuery = ops.Run(kRefundQueryOperation, cycle.orderNo);
        finished(ClientStep::kRefundQuery, number, refundQuery,
                 JudgeRefundQuery(answers, refundQuery, number));
      }
    }
  }

  if (options.events != nullptr) options.events->RequestsDone(run);
  // Awaited also without an order, to say what did come; not after an order reply that
  // failed verification, of which nothing is used.
  if (options.notifications != nullptr &&
      (!cycle.orderNo.empty() || !VerificationFailed(cycle.order.signature.verdict))) {
    started(ClientStep::kNotification, 1);
    RunStep step;
    step.step = ClientStep::kNotification;
    step.notification = options.notifications->Await(cycle.orderNo);
    step.passed = step.notification.status == 0;
    if (options.events != nullptr) options.events->StepFinished(step);
    run.steps.push_back(std::move(step));
  }
  return run;
}

}  // namespace quillmark
