// The Windows system menu and taskbar style of the main dialog. Not built or tested on
// the Linux machines this project is developed on; kept to the few calls the behaviour
// needs.
//
// The minimised-dialog painting and drag-icon query of old dialog programs are left out:
// this dialog has no minimise box, and since Windows 95 a minimised window shows the icon
// given with WM_SETICON (Qt's setWindowIcon) rather than painting itself or answering
// WM_QUERYDRAGICON.
#include "shell/platform/native_window.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

#include <string>

#include <windows.h>

namespace quillmark::shell::native {

bool HasNativeSystemMenu() { return true; }

void AppendToSystemMenu(QWidget& window, const QString& text, unsigned command) {
  HMENU menu = ::GetSystemMenu(reinterpret_cast<HWND>(window.winId()), FALSE);
  if (menu == nullptr) return;
  const std::wstring wide = text.toStdWString();
  ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(menu, MF_STRING, command, wide.c_str());
}

void GiveOwnTaskbarButton(QWidget& window) {
  const HWND hwnd = reinterpret_cast<HWND>(window.winId());
  const LONG_PTR style = ::GetWindowLongPtrW(hwnd, GWL_EXSTYLE);
  ::SetWindowLongPtrW(hwnd, GWL_EXSTYLE, style | WS_EX_APPWINDOW);
}

bool ReadSystemCommand(const QByteArray& eventType, const void* message, unsigned& id,
                       long& param) {
  if (eventType != "windows_generic_MSG") return false;
  const MSG* msg = static_cast<const MSG*>(message);
  if (msg->message != WM_SYSCOMMAND) return false;
  id = static_cast<unsigned>(msg->wParam);
  param = static_cast<long>(msg->lParam);
  return true;
}

}  // namespace quillmark::shell::native
