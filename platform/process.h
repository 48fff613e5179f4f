// What a long-running server needs from the operating system, behind the seam: a stop that
// a person asks for (Ctrl+C, SIGTERM, closing the console window), the number of files it
// may hold open, and memory given back after a burst. POSIX in process_posix.cpp, Windows
// in process_win.cpp.
#pragma once

#include <cstdint>
#include <string>

namespace quillmark::platform {

// From this call on, Ctrl+C and SIGTERM (POSIX), or Ctrl+C, Ctrl+Break and closing the
// console window (Windows), ask the program to stop instead of ending it at once: the main
// loop polls StopRequested(). Before it they end the program as by default, so that a
// start-up that hangs can still be interrupted.
void CatchStopRequests();
// The request's number (the signal, or the console event plus one), or 0 while none came.
int StopRequested();
// What the request was, for a log line: "signal 15", or on Windows "Ctrl+C", "Ctrl+Break",
// "the console window closing", "log-off", "shutdown".
std::string StopRequestName(int request);
// The program has stopped cleanly: a console window being closed may take it now.
void Stopped();

// Raises the number of files (and sockets) the process may hold open to the most it may,
// and returns that number; 0 when the system sets no such number or it cannot be read.
std::uint64_t RaiseOpenFileLimit();

// Hands the memory the allocator keeps from freed blocks back to the system, where the
// allocator keeps it for the life of the process otherwise.
void ReleaseFreedMemory();

}  // namespace quillmark::platform
