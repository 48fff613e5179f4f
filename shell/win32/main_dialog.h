// The main dialog of Quillmark.exe on the Win32 dialog manager: the template
// IDD_QUILLMARK_DIALOG (OK and Cancel end the program, Button1 runs one order cycle), the
// About and settings entries on the system menu, icon 128 as the big and small icon, and
// the minimised window's painting. The first click grows it the panel that shell/core
// describes and rules (shell/core/panel.h), as the Qt program draws it too; this file only
// makes its controls and draws. The cycle runs on the panel's worker thread; its events
// come back as posted WM_APP messages.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "client/quillmark_ops.h"
#include "qr/qr_bitmap.h"
#include "shell/core/panel.h"

namespace quillmark::win32 {

class MainDialog : private shell::PanelView {
 public:
  // `settingsFile` is what the 设置 dialog edits; `profile` the section the cycles talk
  // as (empty: [merchant]), which the section the dialog saves replaces.
  // `scenario`, a name of protocol/scenarios.h (--scenario NAME), is the scenario row's
  // first choice; empty: the row's first entry.
  MainDialog(CQuillmarkOps ops, std::string settingsFile, std::string profile = {},
             std::string scenario = {});
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
  // The window's icons at `dpi`, set on the window once it exists.
  void LoadIcons(UINT dpi);
  void OnDpiChanged(UINT dpi, const RECT& suggested);
  void OnSystemCommand(WPARAM id, LPARAM param);
  bool OnPaintDialog();
  // `notification`: the control's notification code (a drop-down list's change).
  void OnCommand(int id, int notification);
  void OnPayButton();
  void End(int result);

  void BuildPanel();
  HWND Item(shell::PanelItem item) const;
  void DrawQr(const DRAWITEMSTRUCT& item) const;

  // What the panel draws (shell::PanelView).
  void ShowPanel() override;
  void SetText(shell::PanelItem item, const std::string& utf8) override;
  void SetToolTip(shell::PanelItem item, const std::string& utf8) override;
  void SetEnabled(shell::PanelItem item, bool enabled) override;
  void SetChoice(shell::PanelItem item, int index) override;
  void SetBusy(bool busy, shell::PanelItem starter) override;
  void AppendLog(const std::string& utf8) override;
  void ClearLog() override;
  void ShowSymbol(const std::optional<qr::Symbol>& symbol) override;
  void CopyText(const std::string& utf8) override;
  void OpenFolder(const std::string& path) override;

  HWND dialog_ = nullptr;
  HWND tooltip_ = nullptr;
  HICON windowIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
  HFONT font_ = nullptr;  // the dialog's, for the controls made at run time
  std::string settingsFile_;
  std::string profile_;
  std::string scenario_;
  // Every control BuildPanel() made; hidden until ShowPanel() but the scenario row.
  std::vector<HWND> panel_;
  bool panelShown_ = false;
  HWND refocus_ = nullptr;  // the button to give the focus back to after a job
  std::optional<qr::Symbol> symbol_;
  shell::Panel panelRules_;  // last: joined before anything it reports to goes
};

}  // namespace quillmark::win32
