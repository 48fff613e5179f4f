// quillmark-bench: what an order cycle costs and where its time goes, measured side by side
// in one run against a sandbox started in this process on the build's API port, so that
// quillmark-cycle, which takes no options, reaches it.
//
//   quillmark-bench [--reps N] [--requests N] [--only cycle|qr|requests]
//
// Prints one table per measurement: median, 10th and 90th percentile in milliseconds and
// ratios of medians. Exit status 1 when a run failed or the port is taken.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <curl/curl.h>

#include "bench/bench_sections.h"
#include "config/merchant_config.h"
#include "sandbox/sandbox.h"

namespace quillmark::bench {

void PrintTable(const std::string& title, const std::vector<Row>& rows) {
  std::printf("\n%s\n", title.c_str());
  std::printf("  %-52s %10s %10s %10s %8s\n", "", "median ms", "p10 ms", "p90 ms", "ratio");
  for (const Row& row : rows) {
    std::printf("  %-52s %10.3f %10.3f %10.3f", row.name.c_str(), row.ms.median, row.ms.p10,
                row.ms.p90);
    for (const Row& base : rows) {
      if (!row.ratioTo.empty() && base.name == row.ratioTo && base.ms.median > 0) {
        std::printf(" %7.2fx", row.ms.median / base.ms.median);
      }
    }
    std::printf("\n");
  }
  std::fflush(stdout);
}

}  // namespace quillmark::bench

namespace {

int Usage(const std::string& problem) {
  std::cerr << "quillmark-bench: " << problem << "\n"
            << "usage: quillmark-bench [--reps N] [--requests N] [--only cycle|qr|requests]\n";
  return 2;
}

bool ParseCount(const std::string& text, int& value) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  value = std::atoi(text.c_str());
  return value >= 1;
}

}  // namespace

int main(int argc, char** argv) {
  quillmark::bench::Context context;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage(arg + " needs a value");
    const std::string value = argv[++i];
    if (arg == "--reps") {
      if (!ParseCount(value, context.reps)) return Usage("bad --reps " + value);
    } else if (arg == "--requests") {
      if (!ParseCount(value, context.requests)) return Usage("bad --requests " + value);
    } else if (arg == "--only" && (value == "cycle" || value == "qr" || value == "requests")) {
      only = value;
    } else {
      return Usage("unknown option " + arg + " " + value);
    }
  }

  const int port = quillmark::bench::LoopbackPort(quillmark::kApiBase);
  if (port < 0) {
    std::cerr << "quillmark-bench: this build's API base " << quillmark::kApiBase
              << " is not https://127.0.0.1:PORT; the benchmark talks to loopback only.\n";
    return 1;
  }
  quillmark::bench::TempDir scratch;
  if (scratch.path().empty()) {
    std::cerr << "quillmark-bench: cannot create a scratch directory\n";
    return 1;
  }
  context.baseUrl = quillmark::kApiBase;
  context.caFile = quillmark::kCaFile;
  context.cycleProgram = QUILLMARK_BENCH_CYCLE_PROGRAM;
  context.workDir = scratch.path();

  quillmark::bench::NullStream quiet;
  quillmark::sandbox::Options options;
  options.port = port;
  options.payAfterQueries = 1;
  options.log = &quiet;
  quillmark::sandbox::Sandbox sandbox(options);
  std::string error;
  if (!sandbox.Start(&error)) {
    std::cerr << "quillmark-bench: cannot start the sandbox: " << error << '\n';
    return 1;
  }
  std::printf("quillmark-bench: sandbox on %s, %d repetitions, %d requests per mode\n",
              sandbox.baseUrl().c_str(), context.reps, context.requests);
  std::printf("libcurl %s\n", curl_version());

  bool ok = true;
  if (only.empty() || only == "cycle") ok = quillmark::bench::BenchCycle(context) && ok;
  if (only.empty() || only == "qr") ok = quillmark::bench::BenchQr(context) && ok;
  if (only.empty() || only == "requests") ok = quillmark::bench::BenchRequests(context) && ok;
  sandbox.Stop();
  if (!ok) std::printf("\nA run failed: the figures above are not to be trusted.\n");
  return ok ? 0 : 1;
}
