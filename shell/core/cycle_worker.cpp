// CycleWorker of cycle_worker.h: the cycle and the single queries on a thread of their own.
#include "shell/core/cycle_worker.h"

#include <utility>

#include "client/refund_run.h"
#include "protocol/operation.h"
#include "text/encoding.h"

namespace quillmark::shell {

CycleWorker::CycleWorker(CQuillmarkOps ops, PostToGui post, CycleListener& listener)
    : post_(std::move(post)), listener_(listener) {
  CQuillmarkOps::Settings settings = ops.settings();
  // The lines keep going where they always went, byte for byte; the window gets a copy of
  // each with the control bytes a reply may carry shown escaped.
  tee_ = std::make_unique<LineTee>(*settings.out, [this](const std::string& gbk) {
    Post([this, line = EscapeControls(gbk)] { listener_.OnLine(line); });
  });
  teeStream_ = std::make_unique<std::ostream>(tee_.get());
  Install(std::move(settings));
}

void CycleWorker::Install(CQuillmarkOps::Settings settings) {
  settings.out = teeStream_.get();
  settings.transport.abort = abort_;
  ops_ = std::make_unique<CQuillmarkOps>(std::move(settings));
}

CycleWorker::~CycleWorker() { Shutdown(); }

bool CycleWorker::StartCycle() {
  return Launch([this] {
    // The run's events, from the worker thread to the GUI thread in the order they came.
    class Events : public ClientRunEvents {
     public:
      Events(CycleWorker& worker, SignType signType) : worker_(worker), signType_(signType) {}
      void StepStarted(ClientStep step, int number) override {
        // The worker outlives what it posts; these events do not.
        CycleWorker& worker = worker_;
        worker.Post([&worker, step, number] { worker.listener_.OnRunStepStarted(step, number); });
      }
      void StepFinished(const RunStep& step) override {
        CycleWorker& worker = worker_;
        worker.Post([&worker, step] { worker.listener_.OnRunStepFinished(step); });
        // A JSAPI order's page parameters, signed and checked as the runner does.
        const std::string prepayId = PagePrepayId(step, worker.ops_->settings().tradeType);
        if (prepayId.empty()) return;
        const MerchantSettings& merchant = worker.ops_->settings().merchant;
        std::string page = SignedPageJsonNow(merchant, prepayId);
        PageVerdict verdict = AskPageVerdict(page, merchant, worker.abort_);
        worker.Post([&worker, page = std::move(page), verdict = std::move(verdict)] {
          worker.listener_.OnPageChecked(page, verdict);
        });
      }
      void OrderPlaced(const std::string& orderNo) override {
        if (worker_.orderPlaced_) worker_.orderPlaced_(orderNo, signType_);
      }

     private:
      CycleWorker& worker_;
      const SignType signType_;
    } events(*this, ops_->settings().merchant.Signing());
    ClientRunOptions options;
    options.scenario = scenario_;
    options.events = &events;
    options.pause = pause_;
    ClientRunResult run = PlayClientRun(*ops_, options);
    tee_->FlushPartialLine();
    Post([this, run = std::move(run)] {
      Finish();
      listener_.OnCycleFinished(run);
    });
  });
}

bool CycleWorker::Start(const Operation& operation, const std::string& orderNo,
                        long long refundFee) {
  return Launch([this, &operation, orderNo, refundFee] {
    if (&operation == &kRefundOperation) {
      RefundRun refund = PlayRefund(*ops_, RefundAsk{orderNo, refundFee, std::string()});
      tee_->FlushPartialLine();
      Post([this, refund = std::move(refund)] {
        Finish();
        if (refund.refund) {
          listener_.OnStepFinished(*refund.refund);
        } else {
          listener_.OnRefundNotSent(refund.why);
        }
      });
      return;
    }
    StepOutcome outcome = ops_->Run(operation, orderNo);
    tee_->FlushPartialLine();
    Post([this, outcome = std::move(outcome)] {
      Finish();
      listener_.OnStepFinished(outcome);
    });
  });
}

bool CycleWorker::StartTill(const std::string& authCode, long long fen) {
  return Launch([this, authCode, fen] {
    // The till's own operations, on the same stream and abort: the cycles' amount and
    // trade type stay as they were.
    CQuillmarkOps::Settings settings = ops_->settings();
    settings.authCode = authCode;
    settings.totalFee = fen;
    CQuillmarkOps till(std::move(settings));
    TillRunOptions options;
    options.pause = pause_;
    options.stepDone = [this](const TillStepDone& step) {
      tee_->FlushPartialLine();
      Post([this, step] { listener_.OnTillStep(step); });
    };
    TillRunResult run = PlayTillRun(till, options);
    tee_->FlushPartialLine();
    Post([this, run = std::move(run)] {
      Finish();
      listener_.OnTillFinished(run);
    });
  });
}

void CycleWorker::UseMerchant(const MerchantSettings& merchant) { nextMerchant_ = merchant; }

void CycleWorker::Abort() { abort_->Abort(); }

void CycleWorker::Shutdown() {
  *shutDown_ = true;
  abort_->Abort();
  if (worker_.joinable()) worker_.join();
}

bool CycleWorker::Launch(std::function<void()> job) {
  if (busy_ || *shutDown_) return false;
  busy_ = true;
  // The previous worker has posted its last result, so it has ended or is just ending.
  if (worker_.joinable()) worker_.join();
  abort_->Reset();
  if (nextMerchant_) {
    // No worker runs now, so the operations may be replaced: the settings they were given,
    // with the new merchant's.
    Install(ops_->settings().WithMerchant(*nextMerchant_));
    nextMerchant_.reset();
  }
  if (nextNotifyUrl_) {
    CQuillmarkOps::Settings settings = ops_->settings();
    settings.merchant.notifyUrl = *nextNotifyUrl_;
    Install(std::move(settings));
    nextNotifyUrl_.reset();
  }
  if (nextTradeType_) {
    CQuillmarkOps::Settings settings = ops_->settings();
    quillmark::UseTradeType(settings, *nextTradeType_);
    Install(std::move(settings));
    nextTradeType_.reset();
  }
  if (nextScenario_) {
    scenario_ = *nextScenario_;
    nextScenario_.reset();
  }
  worker_ = std::thread(std::move(job));
  return true;
}

void CycleWorker::Post(std::function<void()> event) {
  // Dropped on arrival if the worker was shut down meanwhile: the listener may be gone.
  post_([shutDown = shutDown_, event = std::move(event)] {
    if (!*shutDown) event();
  });
}

void CycleWorker::Finish() {
  if (worker_.joinable()) worker_.join();
  busy_ = false;
}

}  // namespace quillmark::shell
