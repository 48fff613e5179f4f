// X11 and Wayland window managers draw and run the window menu themselves and give a
// program no way to add entries; an unowned dialog already gets a task-list entry.
#include "shell/platform/native_window.h"

namespace quillmark::shell::native {

bool HasNativeSystemMenu() { return false; }

void AppendToSystemMenu(QWidget&, const QString&, unsigned) {}

void GiveOwnTaskbarButton(QWidget&) {}

bool ReadSystemCommand(const QByteArray&, const void*, unsigned&, long&) { return false; }

}  // namespace quillmark::shell::native
