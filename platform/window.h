// What a dialog needs from the native window system beyond its toolkit. Windows gives
// every dialog a system menu that the program may extend, reports its commands as
// WM_SYSCOMMAND messages and decides taskbar buttons by window style;
// window_win.cpp does that, for the Win32 front end and for Qt on Windows alike.
// Elsewhere the window manager's menu is its own, and window_posix.cpp does
// nothing, so the Qt dialog offers a popup of its own instead.
//
// Toolkit-free: a window is its native handle (an HWND on Windows, Qt's winId()).
#pragma once

#include <cstdint>
#include <string>

namespace quillmark::platform {

using WindowHandle = std::uintptr_t;

// True where the window has a native system menu that AppendToSystemMenu() extends.
bool HasNativeSystemMenu();

// Appends a separator and an entry `utf8` with command id `command` to the native system
// menu of `window`. Does nothing where there is none.
void AppendToSystemMenu(WindowHandle window, const std::string& utf8, unsigned command);

// Makes `window` a task-list window with a taskbar button of its own even if it is a
// dialog; where the window manager already does so for an unowned dialog, nothing.
void GiveOwnTaskbarButton(WindowHandle window);

// Shows the folder `utf8Path` (UTF-8, as every path in the programs) in the system's file
// manager and returns at once: on Windows the shell's "open" on the folder, owned by
// `window`; elsewhere xdg-open, left to run on its own.
void OpenFolder(WindowHandle window, const std::string& utf8Path);

// When `message` (a native message of the kind `eventType` names, as Qt's nativeEvent()
// receives it) is a system-menu command, sets `id` and `param` from it and returns true;
// otherwise (and always where commands do not arrive as native messages) returns false
// and leaves both alone.
bool ReadSystemCommand(const char* eventType, const void* message, unsigned& id, long& param);

}  // namespace quillmark::platform
