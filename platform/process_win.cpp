// Windows side of process.h: Ctrl+C and a closing console caught by a console handler;
// the stop flag and the handler's wait are this file's alone.
#include "platform/process.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>

namespace quillmark::platform {
namespace {

std::atomic<int> g_stop{0};
// Set once the program has stopped; a handler of a closing console waits for it, since
// Windows ends the process as soon as that handler returns.
HANDLE g_stopped = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      g_stop = static_cast<int>(event) + 1;
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_stop = static_cast<int>(event) + 1;
      // Windows allows a few seconds; a clean stop takes about one.
      if (g_stopped != nullptr) WaitForSingleObject(g_stopped, 4000);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void CatchStopRequests() {
  if (g_stopped == nullptr) g_stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int StopRequested() { return g_stop; }

std::string StopRequestName(int request) {
  switch (request - 1) {
    case CTRL_C_EVENT:
      return "Ctrl+C";
    case CTRL_BREAK_EVENT:
      return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
      return "the console window closing";
    case CTRL_LOGOFF_EVENT:
      return "log-off";
    case CTRL_SHUTDOWN_EVENT:
      return "shutdown";
    default:
      return "console event " + std::to_string(request - 1);
  }
}

void Stopped() {
  if (g_stopped != nullptr) SetEvent(g_stopped);
}

// Sockets are not C runtime files on Windows and have no such limit.
std::uint64_t RaiseOpenFileLimit() { return 0; }

// The Windows heap gives large freed blocks back by itself.
void ReleaseFreedMemory() {}

}  // namespace quillmark::platform
