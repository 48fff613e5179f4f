// Runs the order cycle and single queries off the GUI thread, toolkit-free, so that the
// window keeps answering while the platform takes its time and can abort what it started.
// The Qt and the Win32 front ends each give it a way to run a function on their GUI thread
// (a queued call, a posted window message) and a listener; everything else is here.
//
// The operations are used by one thread at a time: the worker while a job runs, nobody
// otherwise. Every line the operations write still goes to their output stream (standard
// output by default) and is also reported through the listener. The listener is called on
// the GUI thread only, in the order the worker produced the events, and never after
// Shutdown().
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "client/client_run.h"
#include "client/cycle_result.h"
#include "client/quillmark_ops.h"
#include "client/till_run.h"
#include "client/trade_types.h"
#include "config/merchant_settings.h"
#include "http/transport.h"
#include "protocol/scenarios.h"
#include "protocol/sign.h"
#include "shell/core/line_tee.h"

namespace quillmark::shell {

class CycleListener {
 public:
  virtual ~CycleListener() = default;
  // A step of the run starts (its number among the steps of its kind), or is over.
  virtual void OnRunStepStarted(ClientStep step, int number) = 0;
  virtual void OnRunStepFinished(const RunStep& step) = 0;
  virtual void OnLine(const std::string& gbk) = 0;  // without its '\n'
  virtual void OnCycleFinished(const ClientRunResult& run) = 0;
  // A job of one operation (Start) is over; the outcome names its operation.
  virtual void OnStepFinished(const StepOutcome& outcome) = 0;
  // A refund job ended before its refund was sent: the order's queries said why (GBK).
  virtual void OnRefundNotSent(const std::string& /*why*/) {}
  // A JSAPI cycle's order was placed and its page parameters (JSON) signed and checked by the
  // sandbox, before its queries.
  virtual void OnPageChecked(const std::string& /*page*/, const PageVerdict& /*verdict*/) {}
  // A step of a till's run (StartTill) is over; then the run is.
  virtual void OnTillStep(const TillStepDone& /*step*/) {}
  virtual void OnTillFinished(const TillRunResult& /*run*/) {}
};

class CycleWorker {
 public:
  // Runs a function on the GUI thread later, after those handed over before it.
  using PostToGui = std::function<void(std::function<void()>)>;

  // `listener` outlives this object.
  CycleWorker(CQuillmarkOps ops, PostToGui post, CycleListener& listener);
  ~CycleWorker();  // Shutdown()
  CycleWorker(const CycleWorker&) = delete;
  CycleWorker& operator=(const CycleWorker&) = delete;

  // True from a Start call until its finishing event has been delivered.
  bool busy() const { return busy_; }

  // One run of the client (client/client_run.h) for the scenario chosen, or the plain
  // cycle before any was; false, and nothing started, while busy.
  bool StartCycle();
  // One request of `operation` about the order `orderNo` (CQuillmarkOps::Run); a refund is
  // the back office's (PlayRefund): `refundFee` fen of the order's own amount, 0 for what
  // its earlier refunds left. False, and nothing started, while busy.
  bool Start(const Operation& operation, const std::string& orderNo, long long refundFee = 0);
  // A till's payment with the code `authCode` for `fen` fen (client/till_run.h), each step
  // told as it ends; the pauses between its polls are UsePause's. False, and nothing
  // started, while busy.
  bool StartTill(const std::string& authCode, long long fen);

  // The merchant and endpoint of the next job; a job already running keeps its own.
  void UseMerchant(const MerchantSettings& merchant);
  // The notify_url the next job's requests carry; everything else stays.
  void UseNotifyUrl(const std::string& notifyUrl) { nextNotifyUrl_ = notifyUrl; }
  // The scenario the next cycles play (its amount, its steps), until another is chosen.
  void UseScenario(const Scenario& scenario) { nextScenario_ = &scenario; }
  // The trade type of the next cycles' orders (client/trade_types.h), until another is chosen.
  void UseTradeType(const std::string& tradeType) { nextTradeType_ = tradeType; }
  // The pause between polls of a payer still paying; the tests pin it.
  void UsePause(RunPause pause) { pause_ = std::move(pause); }
  // The merchant of the next job.
  MerchantSettings merchant() const {
    return nextMerchant_ ? *nextMerchant_ : ops_->settings().merchant;
  }
  // Called on the worker thread as soon as a cycle's order is placed, before its queries
  // (see ClientRunEvents::OrderPlaced), with the type the cycle signs with: the merchant may
  // have changed for the next job meanwhile. Set it before the first job.
  using OrderPlaced = std::function<void(const std::string& orderNo, SignType signedWith)>;
  void OnOrderPlaced(OrderPlaced hook) { orderPlaced_ = std::move(hook); }

  // Ends the transfer in progress at once and skips the rest of the job, which then
  // finishes as aborted. Returns without waiting.
  void Abort();
  // Abort(), then waits for the worker thread. Nothing is delivered afterwards.
  void Shutdown();

 private:
  bool Launch(std::function<void()> job);
  void Post(std::function<void()> event);
  void Finish();
  void Install(CQuillmarkOps::Settings settings);

  PostToGui post_;
  CycleListener& listener_;
  // Shared with the events in flight, so that one delivered after Shutdown() sees it.
  std::shared_ptr<bool> shutDown_ = std::make_shared<bool>(false);
  std::shared_ptr<TransferAbort> abort_ = std::make_shared<TransferAbort>();
  std::unique_ptr<LineTee> tee_;
  std::unique_ptr<std::ostream> teeStream_;
  std::unique_ptr<CQuillmarkOps> ops_;
  std::optional<MerchantSettings> nextMerchant_;  // applied when the next job starts
  std::optional<std::string> nextNotifyUrl_;      // applied when the next job starts
  std::optional<const Scenario*> nextScenario_;   // applied when the next job starts
  std::optional<std::string> nextTradeType_;      // applied when the next job starts
  const Scenario* scenario_ = nullptr;            // the worker's while a job runs
  RunPause pause_;
  OrderPlaced orderPlaced_;
  std::thread worker_;
  bool busy_ = false;
};

}  // namespace quillmark::shell
