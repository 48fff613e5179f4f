#include "shell/win32/main_dialog.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

#include "shell/core/commands.h"
#include "shell/core/outcome_words.h"
#include "platform/window.h"
#include "shell/win32/resources/resource.h"
#include "shell/core/texts.h"
#include "shell/win32/settings_dialog.h"
#include "shell/win32/win_util.h"

namespace quillmark::win32 {
namespace {

// A function from the worker thread, to run on the GUI thread (lParam owns it).
constexpr UINT kRunOnGui = WM_APP + 1;

// The template's size, and the size it grows to for the panel, in dialog units: to the
// right for the QR code, downward for the log. The template's buttons keep their places.
constexpr SIZE kPanelSizeDu{520, 340};
// The quiet zone around the drawn QR code, in modules, as a scanner expects it.
constexpr int kQuietZoneModules = 4;

struct Control {
  int id;
  const wchar_t* windowClass;
  const char* caption;  // UTF-8, or nullptr
  DWORD style;
  RECT du;  // left, top, width, height in dialog units
};

// The panel, in tab order after Button1. Row captions go in the first column.
const Control kPanel[] = {
    {IDC_QUERY_AGAIN,
     L"BUTTON",
     shell::texts::kQueryAgain,
     BS_PUSHBUTTON | WS_TABSTOP,
     {62, 179, 50, 14}},
    {IDC_CLOSE_ORDER,
     L"BUTTON",
     shell::texts::kCloseOrder,
     BS_PUSHBUTTON | WS_TABSTOP,
     {115, 179, 50, 14}},
    {IDC_ABORT, L"BUTTON", shell::texts::kAbort, BS_PUSHBUTTON | WS_TABSTOP, {168, 179, 40, 14}},
    {IDC_BUSY, PROGRESS_CLASSW, nullptr, PBS_MARQUEE, {212, 181, 38, 10}},
    {IDC_STEP, L"STATIC", nullptr, SS_LEFT | SS_NOPREFIX, {254, 181, 64, 10}},
    {IDC_ORDER_NO,
     L"EDIT",
     nullptr,
     ES_READONLY | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP,
     {62, 7, 194, 12}},
    {IDC_ORDER_VERDICT, L"STATIC", nullptr, SS_LEFT | SS_NOPREFIX, {62, 23, 194, 16}},
    {IDC_CODE_URL,
     L"EDIT",
     nullptr,
     ES_READONLY | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP,
     {62, 41, 194, 12}},
    {IDC_QUERY1, L"STATIC", nullptr, SS_LEFT | SS_NOPREFIX, {62, 57, 194, 16}},
    {IDC_QUERY2, L"STATIC", nullptr, SS_LEFT | SS_NOPREFIX, {62, 75, 194, 16}},
    {IDC_QUERY_AGAIN_VERDICT, L"STATIC", nullptr, SS_LEFT | SS_NOPREFIX, {62, 93, 194, 16}},
    {IDC_CLOSE_VERDICT, L"STATIC", nullptr, SS_LEFT | SS_NOPREFIX, {62, 111, 194, 16}},
    {IDC_BITMAP, L"STATIC", nullptr, SS_LEFT | SS_NOPREFIX, {62, 129, 194, 24}},
    {IDC_OPEN_FOLDER,
     L"BUTTON",
     shell::texts::kOpenFolder,
     BS_PUSHBUTTON | WS_TABSTOP,
     {62, 155, 80, 14}},
    {IDC_QR, L"STATIC", nullptr, SS_OWNERDRAW, {320, 7, 193, 193}},
    {IDC_LOG_LABEL, L"STATIC", shell::texts::kLogLabel, SS_LEFT, {7, 206, 60, 8}},
    {IDC_LOG,
     L"EDIT",
     nullptr,
     ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL | WS_VSCROLL | WS_HSCROLL |
         WS_BORDER | WS_TABSTOP,
     {7, 216, 452, 117}},
    {IDC_COPY_LOG,
     L"BUTTON",
     shell::texts::kCopyAll,
     BS_PUSHBUTTON | WS_TABSTOP,
     {463, 216, 50, 14}},
    {IDC_CLEAR_LOG,
     L"BUTTON",
     shell::texts::kClearLog,
     BS_PUSHBUTTON | WS_TABSTOP,
     {463, 233, 50, 14}},
};

const struct {
  const char* caption;
  int top;
} kRowCaptions[] = {
    {shell::texts::kOrderNoLabel, 9},      {shell::texts::kStepUnifiedOrder, 23},
    {shell::texts::kPaymentLinkLabel, 43}, {shell::texts::kStepQuery1, 57},
    {shell::texts::kStepQuery2, 75},       {shell::texts::kStepQueryAgain, 93},
    {shell::texts::kStepCloseOrder, 111},  {shell::texts::kBitmapLabel, 129},
};

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

RECT ToPixels(HWND dialog, RECT du) {
  RECT r{du.left, du.top, du.left + du.right, du.top + du.bottom};
  MapDialogRect(dialog, &r);
  return r;
}

}  // namespace

MainDialog::MainDialog(CQuillmarkOps ops, std::string settingsFile)
    : settingsFile_(std::move(settingsFile)),
      worker_(
          std::move(ops),
          [this](std::function<void()> event) {
            // The window exists whenever the worker runs: it is started from the dialog and
            // joined before the dialog is gone.
            auto* owned = new std::function<void()>(std::move(event));
            if (!PostMessageW(dialog_, kRunOnGui, 0, reinterpret_cast<LPARAM>(owned))) delete owned;
          },
          *this) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  windowIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXICON),
                                              GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  smallIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
}

MainDialog::~MainDialog() {
  worker_.Shutdown();
  if (windowIcon_ != nullptr) DestroyIcon(windowIcon_);
  if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
}

void MainDialog::Run() {
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_QUILLMARK_DIALOG), nullptr,
                  &MainDialog::DialogProc, reinterpret_cast<LPARAM>(this));
  // A job aborted at the close may still be ending: wait for it here, within moments.
  worker_.Shutdown();
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
      if (wParam == IDC_QR) {
        DrawQr(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
      }
      return FALSE;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
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
  SendMessageW(dialog_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(windowIcon_));
  SendMessageW(dialog_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
  BuildPanel();
  CenterWindow(dialog_, nullptr);
}

void MainDialog::OnSystemCommand(WPARAM id, LPARAM /*param*/) {
  if (shell::IsSettingsCommand(static_cast<unsigned>(id))) {
    if (!RunSettingsDialog(dialog_, settingsFile_)) return;
    LoadedSettings loaded;
    std::string problem;
    if (!LoadSettings(settingsFile_, ProcessEnvironment(), loaded, problem)) {
      // Only an environment variable can still be wrong: the file was checked as written.
      MessageBoxW(dialog_, Wide(problem).c_str(), L"Quillmark", MB_ICONWARNING);
      return;
    }
    worker_.UseMerchant(loaded.merchant);
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
  const int cx = GetSystemMetrics(SM_CXICON);
  const int cy = GetSystemMetrics(SM_CYICON);
  RECT client{};
  GetClientRect(dialog_, &client);
  const int x = (client.right - client.left - cx + 1) / 2;
  const int y = (client.bottom - client.top - cy + 1) / 2;
  DrawIcon(dc, x, y, windowIcon_);
  EndPaint(dialog_, &paint);
  return true;
}

void MainDialog::OnCommand(int id) {
  switch (id) {
    case IDOK:
    case IDCANCEL:
      End(id);
      break;
    case IDC_BUTTON1:
      OnPayButton();
      break;
    case IDC_QUERY_AGAIN:
      OnQueryAgain();
      break;
    case IDC_CLOSE_ORDER:
      OnCloseOrder();
      break;
    case IDC_ABORT:
      worker_.Abort();
      break;
    case IDC_OPEN_FOLDER:
      OpenBitmapFolder();
      break;
    case IDC_COPY_LOG:
      CopyLog();
      break;
    case IDC_CLEAR_LOG:
      logLines_.clear();
      SetText(IDC_LOG, "");
      break;
    default:
      break;
  }
}

void MainDialog::End(int result) {
  // Ends the transfer in progress at once; Run() joins the worker.
  worker_.Abort();
  EndDialog(dialog_, result);
}

void MainDialog::BuildPanel() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  HWND previous = GetDlgItem(dialog_, IDC_BUTTON1);
  for (const Control& control : kPanel) {
    const RECT r = ToPixels(dialog_, control.du);
    HWND child = CreateWindowExW(
        control.id == IDC_LOG ? WS_EX_CLIENTEDGE : 0, control.windowClass,
        control.caption != nullptr ? Wide(control.caption).c_str() : L"", WS_CHILD | control.style,
        r.left, r.top, r.right - r.left, r.bottom - r.top, dialog_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), instance, nullptr);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    // In tab order after the last one.
    SetWindowPos(child, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    previous = child;
    panel_.push_back(child);
  }
  int row = 0;
  for (const auto& caption : kRowCaptions) {
    const RECT r = ToPixels(dialog_, {7, caption.top, 52, 8});
    HWND label = CreateWindowExW(
        0, L"STATIC", Wide(caption.caption).c_str(), WS_CHILD | SS_LEFT, r.left, r.top,
        r.right - r.left, r.bottom - r.top, dialog_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PANEL_LABEL + row++)), instance, nullptr);
    SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    panel_.push_back(label);
  }
  SendDlgItemMessageW(dialog_, IDC_LOG, EM_SETLIMITTEXT, 0, 0);  // as much as memory holds
  EnableWindow(GetDlgItem(dialog_, IDC_QUERY_AGAIN), FALSE);
  EnableWindow(GetDlgItem(dialog_, IDC_OPEN_FOLDER), FALSE);
}

void MainDialog::ShowPanel() {
  if (panelShown_) return;
  panelShown_ = true;
  RECT client{0, 0, kPanelSizeDu.cx, kPanelSizeDu.cy};
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

void MainDialog::SetBusy(bool busy) {
  // A disabled control loses the keyboard, and a dialog with the focus nowhere hears no
  // Enter or Esc: the focus goes to 中止 while a job runs, and back to the button that
  // started it once it is over.
  HWND focus = GetFocus();
  EnableWindow(GetDlgItem(dialog_, IDC_ABORT), busy);
  if (busy && (focus == GetDlgItem(dialog_, IDC_BUTTON1) ||
               focus == GetDlgItem(dialog_, IDC_QUERY_AGAIN) ||
               focus == GetDlgItem(dialog_, IDC_CLOSE_ORDER))) {
    refocus_ = focus;
    SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog_, IDC_ABORT)),
                 TRUE);
  }
  EnableWindow(GetDlgItem(dialog_, IDC_BUTTON1), !busy);
  EnableWindow(GetDlgItem(dialog_, IDC_QUERY_AGAIN), !busy && !lastOrderNo_.empty());
  EnableWindow(GetDlgItem(dialog_, IDC_CLOSE_ORDER), !busy && !lastOrderNo_.empty());
  HWND progress = GetDlgItem(dialog_, IDC_BUSY);
  SendMessageW(progress, PBM_SETMARQUEE, busy, 50);
  ShowWindow(progress, busy ? SW_SHOWNA : SW_HIDE);
  if (busy) return;
  SetText(IDC_STEP, "");
  focus = GetFocus();
  if (focus == nullptr || focus == GetDlgItem(dialog_, IDC_ABORT) || !IsWindowEnabled(focus)) {
    HWND back = refocus_ != nullptr && IsWindowEnabled(refocus_) ? refocus_
                                                                 : GetDlgItem(dialog_, IDC_BUTTON1);
    SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(back), TRUE);
  }
  refocus_ = nullptr;
}

void MainDialog::SetText(int id, const std::string& utf8) {
  SetDlgItemTextW(dialog_, id, Wide(utf8).c_str());
}

void MainDialog::DrawQr(const DRAWITEMSTRUCT& item) const {
  // Modules are whole-pixel squares on white with a quiet zone: nothing is scaled or
  // smoothed, so every edge is sharp for a camera.
  const RECT area = item.rcItem;
  FillRect(item.hDC, &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  if (!symbol_) return;
  const int side = std::min(area.right - area.left, area.bottom - area.top);
  const int modules = symbol_->width;
  const int scale = std::max(1, side / (modules + 2 * kQuietZoneModules));
  const int left = area.left + (area.right - area.left - modules * scale) / 2;
  const int top = area.top + (area.bottom - area.top - modules * scale) / 2;
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

void MainDialog::CopyLog() {
  std::string all;
  for (const std::string& line : logLines_) all += (all.empty() ? "" : "\r\n") + line;
  const std::wstring text = Wide(all);
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

void MainDialog::OpenBitmapFolder() {
  if (bitmapFolder_.empty()) return;
  ShellExecuteW(dialog_, L"open", Wide(bitmapFolder_).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void MainDialog::OnPayButton() {
  if (!worker_.StartCycle()) return;
  ShowPanel();
  // The last cycle's results go; its lines stay in the log above the new ones.
  lastOrderNo_.clear();
  for (int id : {IDC_ORDER_NO, IDC_CODE_URL, IDC_ORDER_VERDICT, IDC_QUERY1, IDC_QUERY2,
                 IDC_QUERY_AGAIN_VERDICT, IDC_CLOSE_VERDICT, IDC_BITMAP}) {
    SetText(id, "");
  }
  EnableWindow(GetDlgItem(dialog_, IDC_OPEN_FOLDER), FALSE);
  symbol_.reset();
  InvalidateRect(GetDlgItem(dialog_, IDC_QR), nullptr, TRUE);
  SetBusy(true);
}

void MainDialog::OnQueryAgain() {
  if (lastOrderNo_.empty() || !worker_.StartQuery(lastOrderNo_)) return;
  SetBusy(true);
}

void MainDialog::OnCloseOrder() {
  if (lastOrderNo_.empty() || !worker_.StartClose(lastOrderNo_)) return;
  SetBusy(true);
}

void MainDialog::OnStepStarted(CycleStep step) {
  SetText(IDC_STEP, shell::words::Fill(shell::texts::kRunningStep, {shell::words::StepName(step)}));
}

void MainDialog::OnLine(const std::string& gbk) {
  const std::string line = shell::words::FromGbk(gbk);
  logLines_.push_back(line);
  HWND log = GetDlgItem(dialog_, IDC_LOG);
  const std::wstring text = Wide((GetWindowTextLengthW(log) == 0 ? "" : "\r\n") + line);
  const int end = GetWindowTextLengthW(log);
  SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  // The caret to the start of the new line, so that the view shows lines from their start.
  const LRESULT lines = SendMessageW(log, EM_GETLINECOUNT, 0, 0);
  const LRESULT start = SendMessageW(log, EM_LINEINDEX, static_cast<WPARAM>(lines - 1), 0);
  SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(start), start);
  SendMessageW(log, EM_SCROLLCARET, 0, 0);
}

void MainDialog::OnCycleFinished(const CycleResult& result) {
  lastOrderNo_ = result.orderNo;
  SetText(IDC_ORDER_NO, shell::words::FromGbk(result.orderNo));
  SetText(IDC_ORDER_VERDICT, shell::words::OrderVerdict(result.order));
  SetText(IDC_CODE_URL, shell::words::FromGbk(result.order.codeUrl));
  const int queries[] = {IDC_QUERY1, IDC_QUERY2};
  for (std::size_t i = 0; i < 2; ++i) {
    SetText(queries[i], i < result.queries.size() ? shell::words::QueryVerdict(result.queries[i])
                                                  : std::string(shell::texts::kNotRun));
  }
  SetText(IDC_QUERY_AGAIN_VERDICT, "");
  SetText(IDC_CLOSE_VERDICT, "");
  SetText(IDC_BITMAP, shell::words::BitmapVerdict(result));
  const bool written = result.bitmap == qr::SaveResult::kWritten;
  bitmapFolder_.clear();
  if (written) {
    const std::string path = shell::words::AbsolutePath(result.bitmapPath);
    const std::size_t slash = path.find_last_of("\\/");
    bitmapFolder_ = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  }
  EnableWindow(GetDlgItem(dialog_, IDC_OPEN_FOLDER), written);
  symbol_ = result.symbol;
  InvalidateRect(GetDlgItem(dialog_, IDC_QR), nullptr, TRUE);
  SetBusy(false);
}

void MainDialog::OnQueryFinished(const StepOutcome& outcome) {
  SetText(IDC_QUERY_AGAIN_VERDICT, shell::words::QueryVerdict(outcome));
  SetBusy(false);
}

void MainDialog::OnCloseFinished(const StepOutcome& outcome) {
  SetText(IDC_CLOSE_VERDICT, shell::words::CloseVerdict(outcome));
  SetBusy(false);
}

}  // namespace quillmark::win32
