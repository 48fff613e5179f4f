// POSIX side of process.h: SIGINT and SIGTERM caught, the open-file limit raised, freed
// memory handed back with malloc_trim; the stop flag is this file's alone.
#include "platform/process.h"

#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>

#include <csignal>

namespace quillmark::platform {
namespace {

// Written by the handler, read by the main loop: stopping a server joins threads, which a
// handler may not do.
volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int signal) { g_stop = signal; }

}  // namespace

void CatchStopRequests() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int StopRequested() { return g_stop; }

std::string StopRequestName(int request) { return "signal " + std::to_string(request); }

void Stopped() {}

std::uint64_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = before;
  }
  return limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<std::uint64_t>(limit.rlim_cur);
}

// glibc keeps freed memory for later allocations; malloc_trim hands it back.
void ReleaseFreedMemory() { malloc_trim(0); }

}  // namespace quillmark::platform
