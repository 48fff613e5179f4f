// The Windows system menu and taskbar style of the main dialog, and the shell's folder view.
#include "platform/window.h"

#include <cstring>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>

#include "platform/wide.h"

namespace quillmark::platform {
namespace {

HWND Hwnd(WindowHandle window) { return reinterpret_cast<HWND>(window); }

}  // namespace

bool HasNativeSystemMenu() { return true; }

void AppendToSystemMenu(WindowHandle window, const std::string& utf8, unsigned command) {
  HMENU menu = GetSystemMenu(Hwnd(window), FALSE);
  if (menu == nullptr) return;
  const std::wstring text = Wide(utf8);
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, command, text.c_str());
}

void GiveOwnTaskbarButton(WindowHandle window) {
  const LONG_PTR style = GetWindowLongPtrW(Hwnd(window), GWL_EXSTYLE);
  SetWindowLongPtrW(Hwnd(window), GWL_EXSTYLE, style | WS_EX_APPWINDOW);
}

void OpenFolder(WindowHandle window, const std::string& utf8Path) {
  ShellExecuteW(Hwnd(window), L"open", Wide(utf8Path).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

bool ReadSystemCommand(const char* eventType, const void* message, unsigned& id, long& param) {
  // Qt's name for a MSG; the Win32 front end passes its messages under the same name.
  if (std::strcmp(eventType, "windows_generic_MSG") != 0) return false;
  const MSG* msg = static_cast<const MSG*>(message);
  if (msg->message != WM_SYSCOMMAND) return false;
  id = static_cast<unsigned>(msg->wParam);
  param = static_cast<long>(msg->lParam);
  return true;
}

}  // namespace quillmark::platform
