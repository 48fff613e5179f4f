// The three measurements quillmark-bench runs, each printing its own table.
#pragma once

#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace quillmark::bench {

struct Context {
  std::string baseUrl;  // the sandbox, on the build's API port
  std::string caFile;   // what both clients trust
  std::string cycleProgram;
  std::string workDir;  // scratch space, removed afterwards
  int reps = 31;        // repetitions of each process-level measurement
  int requests = 200;   // requests per mode in the per-request breakdown
};

// A row of figures in milliseconds. `ratioTo` names the row whose median the ratio column
// divides by; empty for no ratio.
struct Row {
  std::string name;
  Summary ms;
  std::string ratioTo;
};
void PrintTable(const std::string& title, const std::vector<Row>& rows);

// quillmark-cycle against the same three requests sent by the curl program. False when a
// run failed (a child's exit status, or a reply without the expected fields).
bool BenchCycle(const Context& context);
// SaveQrBitmapFile against the qrencode program for a text that needs version 40.
bool BenchQr(const Context& context);
// Where one request's time goes, with a fresh libcurl per request and with one reused
// handle.
bool BenchRequests(const Context& context);

}  // namespace quillmark::bench
