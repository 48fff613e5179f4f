// What the main dialog needs from the native window system beyond Qt. Windows gives every
// dialog a system menu that the program may extend, reports its commands as WM_SYSCOMMAND
// messages and decides taskbar buttons by window style; native_window_win.cpp does that.
// Elsewhere the window manager's menu is its own, and native_window_other.cpp does
// nothing, so the dialog offers a popup of its own instead.
#pragma once

class QByteArray;
class QString;
class QWidget;

namespace quillmark::shell::native {

// True where the window has a native system menu that AppendToSystemMenu() extends.
bool HasNativeSystemMenu();

// Appends a separator and an entry `text` with command id `command` to the native system
// menu of `window` (created if it was not yet). Does nothing where there is none.
void AppendToSystemMenu(QWidget& window, const QString& text, unsigned command);

// Makes `window` a task-list window with a taskbar button of its own even if it is a
// dialog; where the window manager already does so for an unowned dialog, nothing.
void GiveOwnTaskbarButton(QWidget& window);

// When `message`, as QWidget::nativeEvent() receives it, is a system-menu command, sets
// `id` and `param` from it and returns true; otherwise (and always where commands do not
// arrive as native messages) returns false and leaves both alone.
bool ReadSystemCommand(const QByteArray& eventType, const void* message, unsigned& id, long& param);

}  // namespace quillmark::shell::native
