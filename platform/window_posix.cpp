// X11 and Wayland window managers draw and run the window menu themselves and give a
// program no way to add entries; an unowned dialog already gets a task-list entry. A
// folder is opened by the desktop's own xdg-open.
#include "platform/window.h"

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace quillmark::platform {

bool HasNativeSystemMenu() { return false; }

void AppendToSystemMenu(WindowHandle, const std::string&, unsigned) {}

void GiveOwnTaskbarButton(WindowHandle) {}

void OpenFolder(WindowHandle, const std::string& utf8Path) {
  // A shell that starts xdg-open in the background and ends at once, so that nothing is
  // left to reap: the path is its $0, never part of the command's text.
  char shell[] = "sh";
  char dashC[] = "-c";
  char command[] = "xdg-open \"$0\" >/dev/null 2>&1 &";
  std::string path = utf8Path;
  char* argv[] = {shell, dashC, command, path.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "sh", nullptr, nullptr, argv, environ) == 0) waitpid(pid, nullptr, 0);
}

bool ReadSystemCommand(const char*, const void*, unsigned&, long&) { return false; }

}  // namespace quillmark::platform
