// The Qt face of shell::CycleWorker (shell/core/cycle_worker.h): runs the order cycle and
// single queries off the GUI thread and reports through signals, emitted on the thread
// that owns the runner (the GUI thread) in the order the worker produced them. Lines come
// as UTF-8 QStrings.
#pragma once

#include <QObject>
#include <QString>

#include <string>

#include "payment/cycle_result.h"
#include "payment/merchant_settings.h"
#include "payment/quillmark_ops.h"
#include "shell/core/cycle_worker.h"

namespace quillmark::shell {

class CycleRunner : public QObject, private CycleListener {
  Q_OBJECT

 public:
  explicit CycleRunner(CQuillmarkOps ops, QObject* parent = nullptr);
  ~CycleRunner() override;  // Shutdown()
  CycleRunner(const CycleRunner&) = delete;
  CycleRunner& operator=(const CycleRunner&) = delete;

  // True from a Start call until its finished signal has been emitted.
  bool busy() const { return worker_.busy(); }

  // One order cycle (CQuillmarkOps::RunOrderCycle); false, and nothing started, while busy.
  bool StartCycle();
  // One more order query of `orderNo`; false, and nothing started, while busy.
  bool StartQuery(const std::string& orderNo);
  // Closes the order `orderNo`; false, and nothing started, while busy.
  bool StartClose(const std::string& orderNo);

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
  void closeFinished(const quillmark::StepOutcome& outcome);

 private:
  void OnStepStarted(CycleStep step) override { emit stepStarted(step); }
  void OnLine(const std::string& gbk) override;
  void OnCycleFinished(const CycleResult& result) override { emit cycleFinished(result); }
  void OnQueryFinished(const StepOutcome& outcome) override { emit queryFinished(outcome); }
  void OnCloseFinished(const StepOutcome& outcome) override { emit closeFinished(outcome); }

  CycleWorker worker_;
};

}  // namespace quillmark::shell
