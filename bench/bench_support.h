// What the benchmark and load programs share: signed request bodies built by the
// project's own functions, order numbers that cannot collide between threads, child
// processes, timing summaries and the process's resident memory.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "protocol/reply_fields.h"

namespace quillmark::bench {

using Clock = std::chrono::steady_clock;

inline double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Runs `step` (which returns whether it succeeded) and gives its wall time in
// milliseconds; a failure clears `ok`.
template <typename Step>
double Time(Step step, bool& ok) {
  const auto start = Clock::now();
  ok = step() && ok;
  return Milliseconds(Clock::now() - start);
}

// The middle and the spread of a set of samples (nearest-rank percentiles).
struct Summary {
  double median = 0;
  double p10 = 0;
  double p90 = 0;
  std::size_t count = 0;
};
Summary Summarize(std::vector<double> samples);

// Discards everything: for the sandbox's request log and the bitmap writer's diagnostics,
// which would otherwise cost terminal time inside the measurements.
class NullStream : public std::ostream {
 public:
  NullStream() : std::ostream(&buffer_) {}

 private:
  struct Discard : std::streambuf {
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
  };
  Discard buffer_;
};

// An order number in the project's format (17 digits of local time, then 15 letters or
// digits) whose last 15 characters are a per-run tag, the worker and a counter instead of
// MakeOutTradeNo's random draw: that draw is seeded from the millisecond tick, so threads
// starting orders within one millisecond would otherwise share a number.
std::string UniqueOrderNo(unsigned worker, std::uint64_t counter);

// Request documents exactly as CQuillmarkOps sends them (UTF-8, signed over the UTF-8 sign
// string, with a nonce from MakeNonceStr). Safe to call from several threads.
std::string SignedUnifiedOrder(const std::string& orderNo);
std::string SignedOrderQuery(const std::string& orderNo);

// Runs `argv` (the program looked up in PATH) in `directory` with standard output and
// error sent to `output` (/dev/null when empty) and waits for it. The exit status, or -1
// when it could not be started or was killed.
int RunProcess(const std::vector<std::string>& argv, const std::string& directory,
               const std::string& output = {});

// The resident set (VmRSS) in KiB of process `pid`, or of this process when `pid` is 0;
// 0 when /proc cannot tell (the process has gone).
long ResidentKib(int pid = 0);

// The port of an https base URL on 127.0.0.1 ("https://127.0.0.1:8443"); -1 for anything
// else, so that no load ever leaves the machine.
int LoopbackPort(const std::string& baseUrl);

// A fresh directory under TMPDIR, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace quillmark::bench
