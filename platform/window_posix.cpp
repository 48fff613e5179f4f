// X11 and Wayland window managers draw and run the window menu themselves and give a
// program no way to add entries; an unowned dialog already gets a task-list entry.
#include "platform/window.h"

namespace quillmark::platform {

bool HasNativeSystemMenu() { return false; }

void AppendToSystemMenu(WindowHandle, const std::string&, unsigned) {}

void GiveOwnTaskbarButton(WindowHandle) {}

bool ReadSystemCommand(const char*, const void*, unsigned&, long&) { return false; }

}  // namespace quillmark::platform
