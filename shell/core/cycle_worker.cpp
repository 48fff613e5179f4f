#include "shell/core/cycle_worker.h"

#include <utility>

#include "payment/encoding.h"

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
    const SignType signType = ops_->settings().merchant.Signing();
    CycleResult result = ops_->RunOrderCycle(
        [this](CycleStep step) { Post([this, step] { listener_.OnCycleStep(step); }); },
        [this, signType](const std::string& orderNo) {
          if (orderPlaced_) orderPlaced_(orderNo, signType);
        });
    tee_->FlushPartialLine();
    Post([this, result = std::move(result)] {
      Finish();
      listener_.OnCycleFinished(result);
    });
  });
}

bool CycleWorker::Start(const Operation& operation, const std::string& orderNo) {
  return Launch([this, &operation, orderNo] {
    StepOutcome outcome = ops_->Run(operation, orderNo);
    tee_->FlushPartialLine();
    Post([this, outcome = std::move(outcome)] {
      Finish();
      listener_.OnStepFinished(outcome);
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
  if (nextTotalFee_) {
    CQuillmarkOps::Settings settings = ops_->settings();
    settings.totalFee = *nextTotalFee_;
    Install(std::move(settings));
    nextTotalFee_.reset();
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
