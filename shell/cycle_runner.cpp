#include "shell/cycle_runner.h"

#include <QMetaObject>

#include <utility>

#include "payment/encoding.h"
#include "shell/outcome_text.h"

namespace quillmark::shell {

CycleRunner::CycleRunner(CQuillmarkOps ops, QObject* parent) : QObject(parent) {
  CQuillmarkOps::Settings settings = ops.settings();
  // The lines keep going where they always went, byte for byte; the window gets a copy of
  // each with the control bytes a reply may carry shown escaped.
  tee_ = std::make_unique<LineTee>(*settings.out, [this](const std::string& gbk) {
    Post([this, line = FromGbk(EscapeControls(gbk))] { emit lineWritten(line); });
  });
  teeStream_ = std::make_unique<std::ostream>(tee_.get());
  Install(std::move(settings));
}

void CycleRunner::Install(CQuillmarkOps::Settings settings) {
  settings.out = teeStream_.get();
  settings.transport.abort = abort_;
  ops_ = std::make_unique<CQuillmarkOps>(std::move(settings));
}

CycleRunner::~CycleRunner() { Shutdown(); }

bool CycleRunner::StartCycle() {
  return Launch([this] {
    CycleResult result = ops_->RunOrderCycle(
        [this](CycleStep step) { Post([this, step] { emit stepStarted(step); }); });
    tee_->FlushPartialLine();
    Post([this, result = std::move(result)] {
      Finish();
      emit cycleFinished(result);
    });
  });
}

bool CycleRunner::StartQuery(const std::string& orderNo) {
  return Launch([this, orderNo] {
    Post([this] { emit stepStarted(CycleStep::kQueryAgain); });
    StepOutcome outcome = ops_->QueryOrderOutcome(orderNo);
    tee_->FlushPartialLine();
    Post([this, outcome = std::move(outcome)] {
      Finish();
      emit queryFinished(outcome);
    });
  });
}

void CycleRunner::UseMerchant(const MerchantSettings& merchant) { nextMerchant_ = merchant; }

void CycleRunner::Abort() { abort_->Abort(); }

void CycleRunner::Shutdown() {
  shutDown_ = true;
  abort_->Abort();
  if (worker_.joinable()) worker_.join();
}

bool CycleRunner::Launch(std::function<void()> job) {
  if (busy_ || shutDown_) return false;
  busy_ = true;
  // The previous worker has posted its last result, so it has ended or is just ending.
  if (worker_.joinable()) worker_.join();
  abort_->Reset();
  if (nextMerchant_) {
    // No worker runs now, so the operations may be replaced.
    CQuillmarkOps::Settings settings = CQuillmarkOps::Settings::FromMerchant(*nextMerchant_);
    settings.transport.connectTimeoutMs = ops_->settings().transport.connectTimeoutMs;
    settings.transport.totalTimeoutMs = ops_->settings().transport.totalTimeoutMs;
    Install(std::move(settings));
    nextMerchant_.reset();
  }
  worker_ = std::thread(std::move(job));
  return true;
}

template <typename F>
void CycleRunner::Post(F emitter) {
  // Queued to this object: run on its thread, after everything posted before, and
  // dropped if the object is destroyed first (Shutdown() has joined the worker by then).
  QMetaObject::invokeMethod(
      this,
      [this, emitter = std::move(emitter)] {
        if (!shutDown_) emitter();
      },
      Qt::QueuedConnection);
}

void CycleRunner::Finish() {
  if (worker_.joinable()) worker_.join();
  busy_ = false;
}

}  // namespace quillmark::shell
