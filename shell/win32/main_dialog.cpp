// The main dialog of main_dialog.h on the Win32 dialog manager.
#include "shell/win32/main_dialog.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

#include "platform/window.h"
#include "shell/core/commands.h"
#include "shell/core/outcome_words.h"
#include "shell/core/qr_layout.h"
#include "shell/core/texts.h"
#include "shell/win32/resources/resource.h"
#include "shell/win32/settings_dialog.h"
#include "shell/win32/win_util.h"

namespace quillmark::win32 {
namespace {

// A function from the worker thread, to run on the GUI thread (lParam owns it).
constexpr UINT kRunOnGui = WM_APP + 1;

// Long sign strings wrap in tooltips this wide, in pixels at 96 DPI.
constexpr int kToolTipWidth = 600;

// The About box: OK, Enter, Esc and the close box end it.
INT_PTR CALLBACK AboutProc(HWND about, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    CenterWindow(about, GetWindow(about, GW_OWNER));
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(about, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

RECT ToPixels(HWND dialog, const shell::layout::Rect& du) {
  RECT r{du.x, du.y, du.x + du.cx, du.y + du.cy};
  MapDialogRect(dialog, &r);
  return r;
}

const shell::PanelControl* ControlOfId(int id) {
  for (const shell::PanelControl& control : shell::PanelControls()) {
    if (control.controlId == id) return &control;
  }
  return nullptr;
}

// The window class and style of each kind of control the panel describes.
struct Kind {
  const wchar_t* windowClass;
  DWORD style;
  DWORD exStyle;
};

Kind KindOf(shell::ControlKind kind) {
  switch (kind) {
    case shell::ControlKind::kButton:
      return {L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0};
    case shell::ControlKind::kField:
      return {L"EDIT", ES_READONLY | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 0};
    case shell::ControlKind::kInput:
      return {L"EDIT", ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 0};
    case shell::ControlKind::kVerdict:
      // SS_NOTIFY: the tooltip sees the mouse over it.
      return {L"STATIC", SS_LEFT | SS_NOPREFIX | SS_NOTIFY, 0};
    case shell::ControlKind::kBusyBar:
      return {PROGRESS_CLASSW, PBS_MARQUEE, 0};
    case shell::ControlKind::kText:
      return {L"STATIC", SS_LEFT | SS_NOPREFIX, 0};
    case shell::ControlKind::kQr:
      return {L"STATIC", SS_OWNERDRAW, 0};
    case shell::ControlKind::kChoice:
      return {L"COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0};
    case shell::ControlKind::kLog:
      break;
  }
  return {L"EDIT",
          ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL | WS_VSCROLL | WS_HSCROLL |
              WS_BORDER | WS_TABSTOP,
          WS_EX_CLIENTEDGE};
}

// A drop-down list's window is as tall as its list when dropped down: the closed box's
// rectangle, with room for the entries below it.
shell::layout::Rect DroppedDown(shell::layout::Rect du) {
  du.cy += 120;
  return du;
}

// The entries of a drop-down list, the first one chosen.
void FillChoices(HWND combo, shell::PanelItem item) {
  for (const std::string& entry : shell::PanelChoices(item)) {
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(entry.c_str()).c_str()));
  }
  SendMessageW(combo, CB_SETCURSEL, 0, 0);
}

}  // namespace

MainDialog::MainDialog(CQuillmarkOps ops, std::string settingsFile, std::string profile,
                       std::string scenario)
    : settingsFile_(std::move(settingsFile)),
      profile_(std::move(profile)),
      scenario_(std::move(scenario)),
      panelRules_(
          std::move(ops),
          [this](std::function<void()> event) {
            // The window exists whenever the worker runs: it is started from the dialog and
            // joined before the dialog is gone.
            auto* owned = new std::function<void()>(std::move(event));
            if (!PostMessageW(dialog_, kRunOnGui, 0, reinterpret_cast<LPARAM>(owned))) delete owned;
          },
          *this) {
  LoadIcons(WindowDpi(nullptr));
}

MainDialog::~MainDialog() {
  panelRules_.Shutdown();
  if (windowIcon_ != nullptr) DestroyIcon(windowIcon_);
  if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
}

void MainDialog::LoadIcons(UINT dpi) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  const auto load = [instance, dpi](int width, int height) {
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                         MetricForDpi(width, dpi), MetricForDpi(height, dpi),
                                         LR_DEFAULTCOLOR));
  };
  HICON big = load(SM_CXICON, SM_CYICON);
  HICON small = load(SM_CXSMICON, SM_CYSMICON);
  if (dialog_ != nullptr) {
    SendMessageW(dialog_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    SendMessageW(dialog_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  }
  if (windowIcon_ != nullptr) DestroyIcon(windowIcon_);
  if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
  windowIcon_ = big;
  smallIcon_ = small;
}

void MainDialog::OnDpiChanged(UINT dpi, const RECT& suggested) {
  // The dialog manager scales the dialog's controls and font by itself under per-monitor
  // awareness (v2); what it cannot know of is the window's place, its icons and the
  // tooltip's width, which are in pixels.
  SetWindowPos(dialog_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  LoadIcons(dpi);
  if (tooltip_ != nullptr) {
    SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, ScaledForDpi(kToolTipWidth, dpi));
  }
  InvalidateRect(Item(shell::PanelItem::kQr), nullptr, TRUE);
}

void MainDialog::Run() {
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_QUILLMARK_DIALOG), nullptr,
                  &MainDialog::DialogProc, reinterpret_cast<LPARAM>(this));
  // A job aborted at the close may still be ending: wait for it here, within moments.
  panelRules_.Shutdown();
}

INT_PTR CALLBACK MainDialog::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    reinterpret_cast<MainDialog*>(lParam)->dialog_ = dialog;
  }
  auto* self = reinterpret_cast<MainDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
  return self == nullptr ? FALSE : self->Handle(message, wParam, lParam);
}

INT_PTR MainDialog::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetUpMainDialog();
      return TRUE;  // the dialog manager puts the focus on the default button
    case WM_SYSCOMMAND:
      if (shell::IsAboutCommand(static_cast<unsigned>(wParam)) ||
          shell::IsSettingsCommand(static_cast<unsigned>(wParam))) {
        OnSystemCommand(wParam, lParam);
        return TRUE;
      }
      return FALSE;  // default processing
    case WM_PAINT:
      return OnPaintDialog();
    case WM_QUERYDRAGICON:
      // One of the few messages whose result a dialog procedure returns itself.
      return reinterpret_cast<INT_PTR>(windowIcon_);
    case WM_DRAWITEM:
      if (Item(shell::PanelItem::kQr) ==
          reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)->hwndItem) {
        DrawQr(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
      }
      return FALSE;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_DPICHANGED:
      OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return TRUE;
    case WM_CLOSE:
      End(IDCANCEL);
      return TRUE;
    case kRunOnGui: {
      std::unique_ptr<std::function<void()>> event(
          reinterpret_cast<std::function<void()>*>(lParam));
      (*event)();
      return TRUE;
    }
    default:
      return FALSE;
  }
}

void MainDialog::SetUpMainDialog() {
  font_ = reinterpret_cast<HFONT>(SendMessageW(dialog_, WM_GETFONT, 0, 0));
  const auto window = reinterpret_cast<platform::WindowHandle>(dialog_);
  // String 101; left empty, the menu gets neither the entry nor the separator before it.
  wchar_t about[128] = {};
  LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUTBOX, about, static_cast<int>(std::size(about)));
  platform::AppendToSystemMenu(window, shell::texts::kSettingsEntry, shell::kSettingsCommand);
  if (about[0] != L'\0') {
    platform::AppendToSystemMenu(window, Utf8(about), shell::kAboutCommand);
  }
  // At the monitor's DPI, which the window has only now.
  LoadIcons(WindowDpi(dialog_));
  BuildPanel();
  if (!scenario_.empty()) panelRules_.ChooseScenario(scenario_);
  CenterWindow(dialog_, nullptr);
}

void MainDialog::OnSystemCommand(WPARAM id, LPARAM /*param*/) {
  if (shell::IsSettingsCommand(static_cast<unsigned>(id))) {
    if (!RunSettingsDialog(dialog_, settingsFile_, profile_)) return;
    LoadedSettings loaded;
    std::string problem;
    if (!LoadSettings(settingsFile_, profile_, ProcessEnvironment(), loaded, problem)) {
      // Only an environment variable can still be wrong: the file was checked as written.
      MessageBoxW(dialog_, Wide(problem).c_str(), L"Quillmark", MB_ICONWARNING);
      return;
    }
    panelRules_.UseMerchant(loaded.merchant);
    return;
  }
  // Owned by the main dialog: centred over it, kept above it, no taskbar button.
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), dialog_, &AboutProc,
                  0);
}

bool MainDialog::OnPaintDialog() {
  if (!IsIconic(dialog_)) return false;  // default painting
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(dialog_, &paint);
  SendMessageW(dialog_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const UINT dpi = WindowDpi(dialog_);
  const int cx = MetricForDpi(SM_CXICON, dpi);
  const int cy = MetricForDpi(SM_CYICON, dpi);
  RECT client{};
  GetClientRect(dialog_, &client);
  const int x = (client.right - client.left - cx + 1) / 2;
  const int y = (client.bottom - client.top - cy + 1) / 2;
  DrawIcon(dc, x, y, windowIcon_);
  EndPaint(dialog_, &paint);
  return true;
}

void MainDialog::OnCommand(int id, int notification) {
  switch (id) {
    case IDOK:
    case IDCANCEL:
      End(id);
      return;
    case IDC_BUTTON1:
      OnPayButton();
      return;
    default:
      break;
  }
  const shell::PanelControl* control = ControlOfId(id);
  if (control != nullptr && control->kind == shell::ControlKind::kButton) {
    panelRules_.Click(control->item);
  }
  if (control != nullptr && control->kind == shell::ControlKind::kInput &&
      notification == EN_CHANGE) {
    panelRules_.Edited(control->item, WindowTextUtf8(Item(control->item)));
  }
  if (control != nullptr && control->kind == shell::ControlKind::kChoice &&
      notification == CBN_SELCHANGE) {
    const auto index = SendMessageW(Item(control->item), CB_GETCURSEL, 0, 0);
    panelRules_.Choose(control->item, static_cast<int>(index));
  }
}

void MainDialog::OnPayButton() { panelRules_.StartCycle(); }

void MainDialog::End(int result) {
  // Ends the transfer in progress at once; Run() joins the worker.
  panelRules_.Abort();
  EndDialog(dialog_, result);
}

void MainDialog::BuildPanel() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  const auto make = [&](const Kind& kind, const char* caption, int id,
                        const shell::layout::Rect& du, bool shown) {
    const RECT r = ToPixels(dialog_, du);
    HWND child = CreateWindowExW(
        kind.exStyle, kind.windowClass, caption != nullptr ? Wide(caption).c_str() : L"",
        WS_CHILD | (shown ? WS_VISIBLE : 0) | kind.style, r.left, r.top, r.right - r.left,
        r.bottom - r.top, dialog_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
        nullptr);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    panel_.push_back(child);
    return child;
  };
  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, dialog_, nullptr, instance, nullptr);
  SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, ScaledForDpi(kToolTipWidth, WindowDpi(dialog_)));
  HWND previous = GetDlgItem(dialog_, IDC_BUTTON1);
  int caption = 0;
  for (const shell::PanelControl& control : shell::PanelControls()) {
    const Kind kind = KindOf(control.kind);
    const bool row = shell::HasRowCaption(control.kind);
    const bool input = control.kind == shell::ControlKind::kInput;
    const bool shown = shell::ShownBeforePanel(control.item);
    HWND child = make(
        kind, row || input ? nullptr : control.caption, control.controlId,
        control.kind == shell::ControlKind::kChoice ? DroppedDown(control.du) : control.du, shown);
    if (control.kind == shell::ControlKind::kChoice) FillChoices(child, control.item);
    // An input's caption is the cue it shows while empty (common controls 6, which the
    // manifest asks for), shown even while it has the focus.
    if (input) {
      SendMessageW(child, EM_SETCUEBANNER, TRUE,
                   reinterpret_cast<LPARAM>(Wide(control.caption).c_str()));
    }
    // In tab order after the last one.
    SetWindowPos(child, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    previous = child;
    if (row) {
      make(KindOf(shell::ControlKind::kText), control.caption, shell::kCaptionIdBase + caption++,
           shell::CaptionRect(control), shown);
    }
    if ((control.kind == shell::ControlKind::kVerdict || input) && tooltip_ != nullptr) {
      TOOLINFOW tool{};
      tool.cbSize = TTTOOLINFOW_V2_SIZE;
      tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
      tool.hwnd = dialog_;
      tool.uId = reinterpret_cast<UINT_PTR>(child);
      tool.lpszText = const_cast<wchar_t*>(L"");
      SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
  }
  SendMessageW(Item(shell::PanelItem::kLog), EM_SETLIMITTEXT, 0, 0);  // as much as memory holds
}

HWND MainDialog::Item(shell::PanelItem item) const {
  if (item == shell::PanelItem::kPayButton) return GetDlgItem(dialog_, IDC_BUTTON1);
  for (const shell::PanelControl& control : shell::PanelControls()) {
    if (control.item == item) return GetDlgItem(dialog_, control.controlId);
  }
  return nullptr;
}

void MainDialog::ShowPanel() {
  if (panelShown_) return;
  panelShown_ = true;
  RECT client{0, 0, shell::kPanelSize.cx, shell::kPanelSize.cy};
  MapDialogRect(dialog_, &client);
  RECT frame = client;
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(dialog_, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(dialog_, GWL_EXSTYLE)));
  RECT now{};
  GetWindowRect(dialog_, &now);
  // Grown to the right and downward, kept on the screen's work area.
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const LONG width = frame.right - frame.left;
  const LONG height = frame.bottom - frame.top;
  const LONG left = std::max(work.left, std::min(now.left, work.right - width));
  const LONG top = std::max(work.top, std::min(now.top, work.bottom - height));
  SetWindowPos(dialog_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  for (HWND child : panel_) ShowWindow(child, SW_SHOWNA);
}

void MainDialog::SetText(shell::PanelItem item, const std::string& utf8) {
  SetWindowTextW(Item(item), Wide(utf8).c_str());
}

void MainDialog::SetToolTip(shell::PanelItem item, const std::string& utf8) {
  if (tooltip_ == nullptr) return;
  const std::wstring text = Wide(utf8);
  TOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.hwnd = dialog_;
  tool.uId = reinterpret_cast<UINT_PTR>(Item(item));
  tool.lpszText = const_cast<wchar_t*>(text.c_str());  // copied by the tooltip
  SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

void MainDialog::SetEnabled(shell::PanelItem item, bool enabled) {
  EnableWindow(Item(item), enabled);
}

void MainDialog::SetChoice(shell::PanelItem item, int index) {
  SendMessageW(Item(item), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void MainDialog::SetBusy(bool busy, shell::PanelItem starter) {
  // A disabled control loses the keyboard, and a dialog with the focus nowhere hears no
  // Enter or Esc: the focus goes to 中止 while a job runs, and back to the button that
  // started it once it is over.
  HWND abort = Item(shell::PanelItem::kAbortButton);
  HWND progress = Item(shell::PanelItem::kBusy);
  SendMessageW(progress, PBM_SETMARQUEE, busy, 50);
  ShowWindow(progress, busy ? SW_SHOWNA : SW_HIDE);
  if (busy) {
    HWND focus = GetFocus();
    refocus_ = focus == Item(starter) ? focus : nullptr;
    EnableWindow(abort, TRUE);
    if (refocus_ != nullptr) {
      SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(abort), TRUE);
    }
    return;
  }
  HWND focus = GetFocus();
  if (focus == nullptr || focus == abort || !IsWindowEnabled(focus)) {
    HWND back = refocus_ != nullptr && IsWindowEnabled(refocus_) ? refocus_
                                                                 : GetDlgItem(dialog_, IDC_BUTTON1);
    SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(back), TRUE);
  }
  refocus_ = nullptr;
}

void MainDialog::AppendLog(const std::string& utf8) {
  HWND log = Item(shell::PanelItem::kLog);
  const std::wstring text = Wide((GetWindowTextLengthW(log) == 0 ? "" : "\r\n") + utf8);
  const int end = GetWindowTextLengthW(log);
  SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  // The caret to the start of the new line, so that the view shows lines from their start.
  const LRESULT lines = SendMessageW(log, EM_GETLINECOUNT, 0, 0);
  const LRESULT start = SendMessageW(log, EM_LINEINDEX, static_cast<WPARAM>(lines - 1), 0);
  SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(start), start);
  SendMessageW(log, EM_SCROLLCARET, 0, 0);
}

void MainDialog::ClearLog() { SetWindowTextW(Item(shell::PanelItem::kLog), L""); }

void MainDialog::ShowSymbol(const std::optional<qr::Symbol>& symbol) {
  symbol_ = symbol;
  InvalidateRect(Item(shell::PanelItem::kQr), nullptr, TRUE);
}

void MainDialog::DrawQr(const DRAWITEMSTRUCT& item) const {
  // Modules are whole-pixel squares on white with a quiet zone: nothing is scaled or
  // smoothed, so every edge is sharp for a camera.
  const RECT area = item.rcItem;
  FillRect(item.hDC, &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  if (!symbol_) return;
  const int modules = symbol_->width;
  const auto [scale, left, top] =
      shell::PlaceQr(area.left, area.top, area.right - area.left, area.bottom - area.top, modules);
  HBRUSH black = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  for (int y = 0; y < modules; ++y) {
    for (int x = 0; x < modules; ++x) {
      if (!symbol_->dark[static_cast<std::size_t>(y * modules + x)]) continue;
      const RECT module{left + x * scale, top + y * scale, left + (x + 1) * scale,
                        top + (y + 1) * scale};
      FillRect(item.hDC, &module, black);
    }
  }
}

void MainDialog::CopyText(const std::string& utf8) {
  std::string crlf;
  for (const char c : utf8) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const std::wstring text = Wide(crlf);
  if (!OpenClipboard(dialog_)) return;
  EmptyClipboard();
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    std::memcpy(GlobalLock(memory), text.c_str(), bytes);
    GlobalUnlock(memory);
    if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) GlobalFree(memory);
  }
  CloseClipboard();
}

void MainDialog::OpenFolder(const std::string& path) {
  platform::OpenFolder(reinterpret_cast<platform::WindowHandle>(dialog_), path);
}

}  // namespace quillmark::win32
