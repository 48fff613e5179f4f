// Runs the order cycle and single queries off the GUI thread, so that the window keeps
// answering while the platform takes its time, and can abort what it started.
//
// The operations are used by one thread at a time: the worker while a job runs, nobody
// otherwise. Every line the operations write still goes to their output stream (standard
// output by default) and is also reported, as UTF-8, through lineWritten(). All signals
// are emitted on the thread that owns the runner (the GUI thread), in the order the
// worker produced them.
#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "payment/cycle_result.h"
#include "payment/quillmark_ops.h"
#include "payment/transport.h"
#include "shell/line_tee.h"

namespace quillmark::shell {

class CycleRunner : public QObject {
  Q_OBJECT

 public:
  explicit CycleRunner(CQuillmarkOps ops, QObject* parent = nullptr);
  ~CycleRunner() override;  // Shutdown()
  CycleRunner(const CycleRunner&) = delete;
  CycleRunner& operator=(const CycleRunner&) = delete;

  // True from a Start call until its finished signal has been emitted.
  bool busy() const { return busy_; }

  // One order cycle (CQuillmarkOps::RunOrderCycle); false, and nothing started, while busy.
  bool StartCycle();
  // One more order query of `orderNo`; false, and nothing started, while busy.
  bool StartQuery(const std::string& orderNo);

  // The merchant and endpoint of the next job; a job already running keeps its own.
  void UseMerchant(const MerchantSettings& merchant);

  // Ends the transfer in progress at once and skips the rest of the job, which then
  // finishes as aborted. Returns without waiting.
  void Abort();
  // Abort(), then waits for the worker thread. Nothing is emitted afterwards.
  void Shutdown();

 signals:
  void stepStarted(quillmark::CycleStep step);
  void lineWritten(const QString& line);
  void cycleFinished(const quillmark::CycleResult& result);
  void queryFinished(const quillmark::StepOutcome& outcome);

 private:
  // Runs `job` on a new worker thread; `job` posts its own result.
  bool Launch(std::function<void()> job);
  // From the worker: runs `emitter` on this object's thread.
  template <typename F>
  void Post(F emitter);
  // On this object's thread, once the worker has posted its last result.
  void Finish();
  // Makes the operations that jobs run from `settings`, writing through the tee and
  // ended by abort_. Only while no worker runs.
  void Install(CQuillmarkOps::Settings settings);

  std::shared_ptr<TransferAbort> abort_ = std::make_shared<TransferAbort>();
  std::unique_ptr<LineTee> tee_;
  std::unique_ptr<std::ostream> teeStream_;
  std::unique_ptr<CQuillmarkOps> ops_;
  std::optional<MerchantSettings> nextMerchant_;  // applied when the next job starts
  std::thread worker_;
  bool busy_ = false;
  bool shutDown_ = false;
};

}  // namespace quillmark::shell
