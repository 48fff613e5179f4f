// The main dialog of Quillmark.exe on the Win32 dialog manager: the template
// IDD_QUILLMARK_DIALOG (OK and Cancel end the program, Button1 runs one order cycle), the
// About and settings entries on the system menu, icon 128 as the big and small icon, and
// the minimised window's painting. The first click grows it the panel the Qt program
// shows: the QR code, the order number, each step's verdict, the bitmap's path, query
// again, abort and the log. The cycle runs on shell::CycleWorker's thread; its events come
// back as posted WM_APP messages.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "payment/cycle_result.h"
#include "payment/quillmark_ops.h"
#include "qr/qr_bitmap.h"
#include "shell/core/cycle_worker.h"

namespace quillmark::win32 {

class MainDialog : private shell::CycleListener {
 public:
  // `settingsFile` is what the 设置 dialog edits.
  MainDialog(CQuillmarkOps ops, std::string settingsFile);
  ~MainDialog() override;
  MainDialog(const MainDialog&) = delete;
  MainDialog& operator=(const MainDialog&) = delete;

  // Runs the dialog modally until OK, Cancel, Enter, Esc or the close box ends it; a
  // cycle still running is aborted and its thread joined before this returns.
  void Run();

 private:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);

  void SetUpMainDialog();
  void OnSystemCommand(WPARAM id, LPARAM param);
  bool OnPaintDialog();
  void OnCommand(int id);
  void OnPayButton();
  void OnQueryAgain();
  void OnCloseOrder();
  void End(int result);

  void BuildPanel();
  void ShowPanel();
  void SetBusy(bool busy);
  void SetText(int id, const std::string& utf8);
  void DrawQr(const DRAWITEMSTRUCT& item) const;
  void CopyLog();
  void OpenBitmapFolder();

  void OnStepStarted(CycleStep step) override;
  void OnLine(const std::string& gbk) override;
  void OnCycleFinished(const CycleResult& result) override;
  void OnQueryFinished(const StepOutcome& outcome) override;
  void OnCloseFinished(const StepOutcome& outcome) override;

  HWND dialog_ = nullptr;
  HICON windowIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
  HFONT font_ = nullptr;  // the dialog's, for the controls made at run time
  std::string settingsFile_;
  std::vector<HWND> panel_;
  bool panelShown_ = false;
  HWND refocus_ = nullptr;             // the button to give the focus back to after a job
  std::vector<std::string> logLines_;  // UTF-8, every line whole, for copy-all
  std::string lastOrderNo_;
  std::string bitmapFolder_;
  std::optional<qr::Symbol> symbol_;
  shell::CycleWorker worker_;  // last: joined before anything it reports to goes
};

}  // namespace quillmark::win32
