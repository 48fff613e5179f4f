// quillmark-load: many order cycles at once against the sandbox, over loopback only, to
// see that it loses, duplicates or mixes up nothing under concurrency and that memory
// stays flat. Each worker thread runs whole cycles (a unified order, then two queries of
// that order), with its own libcurl handle and the project's own request builders.
//
//   quillmark-load [--workers N] [--cycles N] [--seconds S] [--keep-alive]
//                  [--url https://127.0.0.1:PORT [--cacert FILE]]
//   quillmark-load --url URL --sandbox-pid PID --orders N [--cap N] [--longest-fields]
//                  [--keep-alive] ...
//   quillmark-load --url URL --wrk-body FILE
//
// Without --url it starts a sandbox in this process on a free port (orders paid after one
// query, so the two queries must see NOTPAY then SUCCESS) and also checks the sandbox's own
// record of every request. It always stops: at the end of its cycles, or at the time limit,
// which counts as a failure. Exit status 0 when every check passed, 1 otherwise, 2 for a
// usage error.
//
// By default every request goes out on a new connection; with --keep-alive each worker
// keeps its connection for all its requests, as far as the server lets it. The number of
// connections libcurl had to open is printed either way.
//
// --orders N places N orders and nothing else, reading the resident set of the sandbox
// process PID as it goes: what an order costs the server, and (with a server that forgets
// orders beyond a cap, --cap naming it) whether that stops once the cap is reached. With
// --longest-fields each order's body and notify_url are as long as the sandbox takes, so
// that the figure is the most an order can cost.
// --wrk-body places one order and writes a signed query of it to FILE, for
// bench/wrk/orderquery.lua.
#include <curl/curl.h>
#include <malloc.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_support.h"
#include "config/default_requests.h"
#include "config/merchant_config.h"
#include "protocol/requests.h"
#include "protocol/sign.h"
#include "sandbox/api/request_check.h"
#include "sandbox/sandbox.h"

namespace {

using quillmark::CdataField;
using quillmark::bench::Clock;
using quillmark::bench::Milliseconds;

struct Options {
  int workers = 8;
  int cycles = 500;  // per worker
  int seconds = 60;
  std::string url;     // empty: an in-process sandbox
  std::string caFile;  // empty: the build's CA
  bool keepAlive = false;
  int orders = 0;      // > 0: place this many orders and watch the sandbox's memory
  int sandboxPid = 0;  // the process whose VmRSS --orders reads
  int cap = 0;         // the sandbox's order cap, for the report only
  bool longestFields = false;
  std::string wrkBody;

  const std::string& CaFile() const {
    static const std::string build = quillmark::kCaFile;
    return caFile.empty() ? build : caFile;
  }
};

// Leak margins. A leaked TLS connection costs tens of KiB and even a leaked reply buffer
// hundreds of bytes per request, so both stand far above these after a few hundred
// cycles; the fixed part absorbs what varies from run to run (measured: under 20 KiB).
constexpr double kHeapBytesPerCycle = 32;
constexpr long kHeapFixedKib = 128;
constexpr double kRssKibPerCycle = 0.5;  // client-only runs (--url), where RSS must be flat
constexpr long kRssFixedKib = 2048;

std::atomic<bool> g_abort{false};

// Lets libcurl give up a transfer in flight as soon as the run's time is up.
int AbortWhenTimeIsUp(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return g_abort.load() ? 1 : 0;
}

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

// One worker's connection settings, kept across its requests as a real client would.
// Without `keepAlive` libcurl closes each connection after its transfer, whatever the
// server offers; with it, the connection stays open for the next request unless the
// server closes it.
class Client {
 public:
  Client(const std::string& caFile, bool keepAlive) : handle_(curl_easy_init()) {
    CURL* h = handle_.get();
    if (!h) return;
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, keepAlive ? 0L : 1L);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, 10'000L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 30'000L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &AbortWhenTimeIsUp);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Append);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply_);
  }

  // POSTs `body`; the reply, or an empty string with `error` set.
  std::string Post(const std::string& url, const std::string& body, std::string& error) {
    reply_.clear();
    CURL* h = handle_.get();
    if (!h) {
      error = "curl_easy_init failed";
      return {};
    }
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    const CURLcode rc = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    long connects = 0;
    curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
    connections_ += connects;
    if (rc != CURLE_OK) {
      error = std::string("transfer failed: ") + curl_easy_strerror(rc);
      return {};
    }
    if (status != 200) {
      error = "HTTP status " + std::to_string(status);
      return {};
    }
    return reply_;
  }

  // Connections opened so far: one per request unless they were kept.
  long connections() const { return connections_; }

 private:
  static std::size_t Append(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
  }

  std::unique_ptr<CURL, EasyCleanup> handle_;
  std::string reply_;
  long connections_ = 0;
};

struct WorkerResult {
  std::vector<std::string> acknowledged;  // orders the sandbox accepted with a payment link
  std::vector<double> unifiedMs;
  std::vector<double> queryMs;
  long requests = 0;
  long connections = 0;
  long failures = 0;
  std::vector<std::string> problems;  // the first few, for the report
};

class Run {
 public:
  // `idBase` keeps the order numbers of successive runs in one process apart.
  Run(const Options& options, std::string base, bool knownPayRule, unsigned idBase)
      : options_(options), base_(std::move(base)), knownPayRule_(knownPayRule), idBase_(idBase) {}

  void Worker(unsigned id, WorkerResult& result) {
    Client client(options_.CaFile(), options_.keepAlive);
    for (int cycle = 0; cycle < options_.cycles && !g_abort; ++cycle) {
      const std::string orderNo =
          quillmark::bench::UniqueOrderNo(idBase_ + id, static_cast<unsigned>(cycle));
      if (Cycle(client, orderNo, result)) ++completed_;
    }
    result.connections = client.connections();
  }

  int completed() const { return completed_.load(); }

 private:
  bool Cycle(Client& client, const std::string& orderNo, WorkerResult& result) {
    std::string reply;
    if (!Request(client, quillmark::kUnifiedOrderOperation.path,
                 quillmark::bench::SignedUnifiedOrder(orderNo), orderNo, result.unifiedMs, reply,
                 result)) {
      return false;
    }
    if (CdataField(reply, quillmark::kFieldCodeUrl).find(orderNo) == std::string::npos) {
      return Fail(result, orderNo, "unified order: code_url does not name the order");
    }
    result.acknowledged.push_back(orderNo);
    std::string previous;
    for (int query = 1; query <= 2; ++query) {
      if (!Request(client, quillmark::kOrderQueryOperation.path,
                   quillmark::bench::SignedOrderQuery(orderNo), orderNo, result.queryMs, reply,
                   result)) {
        return false;
      }
      const std::string state = CdataField(reply, quillmark::kFieldTradeState);
      const bool expected = knownPayRule_ ? state == (query == 1 ? "NOTPAY" : "SUCCESS")
                                          : (state == "NOTPAY" || state == "SUCCESS") &&
                                                !(previous == "SUCCESS" && state != "SUCCESS");
      if (!expected) {
        return Fail(result, orderNo,
                    "query " + std::to_string(query) + ": trade_state \"" + state + "\"");
      }
      previous = state;
    }
    return true;
  }

  // One request and the checks every reply must pass: a success that names our order.
  bool Request(Client& client, const std::string& path, const std::string& body,
               const std::string& orderNo, std::vector<double>& times, std::string& reply,
               WorkerResult& result) {
    if (g_abort) return false;
    ++result.requests;
    std::string error;
    const auto start = Clock::now();
    reply = client.Post(base_ + path, body, error);
    times.push_back(Milliseconds(Clock::now() - start));
    if (!error.empty()) return Fail(result, orderNo, path + ": " + error);
    if (CdataField(reply, quillmark::kFieldReturnCode) != "SUCCESS" ||
        CdataField(reply, quillmark::kFieldResultCode) != "SUCCESS") {
      return Fail(result, orderNo, path + ": " + CdataField(reply, quillmark::kFieldReturnMsg));
    }
    const std::string answered = CdataField(reply, quillmark::kFieldOutTradeNo);
    if (answered != orderNo) {
      return Fail(result, orderNo, path + ": reply for order " + answered);
    }
    return true;
  }

  bool Fail(WorkerResult& result, const std::string& orderNo, const std::string& what) {
    if (g_abort) return false;  // cut short by the time limit, reported as such
    ++result.failures;
    if (result.problems.size() < 5) result.problems.push_back(orderNo + " " + what);
    return false;
  }

  const Options& options_;
  const std::string base_;
  const bool knownPayRule_;
  const unsigned idBase_;
  std::atomic<int> completed_{0};
};

// The connection mode and how many connections the requests took.
void PrintMode(bool keepAlive, long requests, long connections) {
  std::printf(
      "mode        %s: %ld requests over %ld connections%s\n",
      keepAlive ? "keep-alive (one connection per worker, kept)" : "a new connection per request",
      requests, connections,
      keepAlive && requests > 1 && connections >= requests
          ? " (the server closed every connection after one request)"
          : "");
}

// Bytes the allocator has handed out and not had back, over all arenas.
long LiveHeapKib() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

struct PhaseOutcome {
  bool pass = true;
  bool timedOut = false;
  int completed = 0;
  long rssStart = 0;  // once a tenth of the cycles were done
  long rssPeak = 0;
  long rssEnd = 0;
};

// One batch of cycles against a sandbox of its own (or the one at --url), checked in full
// and torn down before it returns, so that what is left on the heap afterwards is what the
// batch leaked.
PhaseOutcome RunPhase(const Options& options, int cycles, unsigned idBase,
                      Clock::time_point deadline, bool report) {
  PhaseOutcome outcome;
  quillmark::bench::NullStream quiet;
  std::unique_ptr<quillmark::sandbox::Sandbox> sandbox;
  std::string base = options.url;
  if (base.empty()) {
    quillmark::sandbox::Options sandboxOptions;
    sandboxOptions.port = 0;
    sandboxOptions.payAfterQueries = 1;
    sandboxOptions.log = &quiet;
    sandbox = std::make_unique<quillmark::sandbox::Sandbox>(sandboxOptions);
    std::string error;
    if (!sandbox->Start(&error)) {
      std::cerr << "quillmark-load: cannot start the sandbox: " << error << '\n';
      outcome.pass = false;
      return outcome;
    }
    base = sandbox->baseUrl();
  }

  Options phaseOptions = options;
  phaseOptions.cycles = cycles;
  const long total = static_cast<long>(options.workers) * cycles;
  Run run(phaseOptions, base, sandbox != nullptr, idBase);
  std::vector<WorkerResult> results(static_cast<std::size_t>(options.workers));
  std::vector<std::thread> threads;
  std::atomic<int> running{options.workers};
  const auto start = Clock::now();
  for (int w = 0; w < options.workers; ++w) {
    threads.emplace_back([&run, &results, &running, w] {
      run.Worker(static_cast<unsigned>(w), results[static_cast<std::size_t>(w)]);
      --running;
    });
  }
  // The resident set is read while the workers run; its first figure is taken once a
  // tenth of the cycles are done, when thread stacks, arenas and TLS state all exist.
  while (running > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const long rss = quillmark::bench::ResidentKib();
    outcome.rssPeak = std::max(outcome.rssPeak, rss);
    if (outcome.rssStart == 0 && run.completed() >= total / 10) outcome.rssStart = rss;
    if (!outcome.timedOut && Clock::now() >= deadline) {
      outcome.timedOut = true;
      g_abort = true;
      std::cout << "time limit reached: stopping the workers" << std::endl;
    }
    if (outcome.timedOut && Clock::now() >= deadline + std::chrono::seconds(15)) {
      std::cerr << "quillmark-load: workers did not stop 15 s after the time limit\n";
      std::_Exit(1);
    }
  }
  for (std::thread& t : threads) t.join();
  const double elapsed = Milliseconds(Clock::now() - start) / 1000.0;
  outcome.rssEnd = quillmark::bench::ResidentKib();
  outcome.completed = run.completed();

  long requests = 0;
  long connections = 0;
  long failures = 0;
  std::vector<double> unifiedMs;
  std::vector<double> queryMs;
  std::set<std::string> acknowledged;
  long acknowledgements = 0;
  for (const WorkerResult& r : results) {
    requests += r.requests;
    connections += r.connections;
    failures += r.failures;
    unifiedMs.insert(unifiedMs.end(), r.unifiedMs.begin(), r.unifiedMs.end());
    queryMs.insert(queryMs.end(), r.queryMs.begin(), r.queryMs.end());
    acknowledged.insert(r.acknowledged.begin(), r.acknowledged.end());
    acknowledgements += static_cast<long>(r.acknowledged.size());
    for (const std::string& p : r.problems) std::cout << "  failure: " << p << '\n';
  }
  outcome.pass = !outcome.timedOut && failures == 0 && outcome.completed == total &&
                 acknowledgements == static_cast<long>(acknowledged.size());

  std::string sandboxView = "a running sandbox: its own records are not checked";
  if (sandbox) {
    // The sandbox's own view: every unified order it received is one of ours, once.
    std::map<std::string, int> placed;
    long queries = 0;
    for (const auto& record : sandbox->requests()) {
      const auto number = record.fields.find(quillmark::kFieldOutTradeNo);
      if (record.path == quillmark::kUnifiedOrderOperation.path && number != record.fields.end()) {
        ++placed[number->second];
      } else if (record.path == quillmark::kOrderQueryOperation.path) {
        ++queries;
      }
    }
    long duplicates = 0;
    long unknown = 0;
    for (const auto& [number, count] : placed) {
      duplicates += count - 1;
      if (!acknowledged.count(number)) ++unknown;
    }
    const long missing =
        static_cast<long>(acknowledged.size()) - (static_cast<long>(placed.size()) - unknown);
    outcome.pass = outcome.pass && duplicates == 0 && unknown == 0 && missing == 0 &&
                   queries == 2L * outcome.completed;
    sandboxView = "the sandbox recorded " + std::to_string(placed.size()) + " distinct (" +
                  std::to_string(duplicates) + " more than once, " + std::to_string(unknown) +
                  " not acknowledged, " + std::to_string(missing) + " missing) and " +
                  std::to_string(queries) + " queries";
    sandbox->Stop();
  }

  if (report) {
    PrintMode(options.keepAlive, requests, connections);
    std::printf("cycles      %d of %ld in %.1f s: %.0f cycles/s, %.0f requests/s\n",
                outcome.completed, total, elapsed, outcome.completed / elapsed,
                static_cast<double>(requests) / elapsed);
    std::printf(
        "requests    %ld sent, %ld failed; median latency %.2f ms (unified order), "
        "%.2f ms (query)\n",
        requests, failures, quillmark::bench::Summarize(unifiedMs).median,
        quillmark::bench::Summarize(queryMs).median);
    std::printf("orders      %zu acknowledged, each once; %s\n", acknowledged.size(),
                sandboxView.c_str());
    std::vector<double> allMs = unifiedMs;
    allMs.insert(allMs.end(), queryMs.begin(), queryMs.end());
    std::printf(
        "load-figures mode=%s requests=%ld connections=%ld requests_per_s=%.0f "
        "failed=%ld median_ms=%.2f\n",
        options.keepAlive ? "keep-alive" : "new-connection", requests, connections,
        static_cast<double>(requests) / elapsed, failures,
        quillmark::bench::Summarize(std::move(allMs)).median);
  } else if (!outcome.pass) {
    std::printf("warm-up     failed: %d of %ld cycles, %ld failed requests; %s\n",
                outcome.completed, total, failures, sandboxView.c_str());
  }
  return outcome;
}

// A unified order for `orderNo` and the checks every reply must pass; false with `problem`
// set.
// A signed unified order whose body and notify_url are as long as the sandbox takes.
std::string SignedLongestUnifiedOrder(const std::string& orderNo) {
  const std::string nonce = "LongestFields0000000000000000000";
  quillmark::RequestFields fields =
      quillmark::DefaultRequestFields(quillmark::kUnifiedOrderOperation, nonce, orderNo);
  for (auto& [name, value] : fields) {
    if (std::string(name) == "body") value.assign(quillmark::sandbox::kMaxBodyFieldBytes, 'b');
    if (std::string(name) == "notify_url") {
      value = "http://127.0.0.1/";
      value.resize(quillmark::sandbox::kMaxNotifyUrlFieldBytes, 'n');
    }
  }
  const std::string signString = quillmark::RequestSignString(fields, quillmark::kApiKey);
  return quillmark::RequestDocument(fields,
                                    quillmark::SignFields(signString.data(), signString.size()));
}

bool PlaceOrder(Client& client, const std::string& base, const std::string& orderNo,
                bool longestFields, std::string& problem) {
  std::string error;
  const std::string reply =
      client.Post(base + quillmark::kUnifiedOrderOperation.path,
                  longestFields ? SignedLongestUnifiedOrder(orderNo)
                                : quillmark::bench::SignedUnifiedOrder(orderNo),
                  error);
  if (!error.empty()) {
    problem = "/pay/unifiedorder: " + error;
    return false;
  }
  if (CdataField(reply, quillmark::kFieldReturnCode) != "SUCCESS" ||
      CdataField(reply, quillmark::kFieldResultCode) != "SUCCESS") {
    problem = "/pay/unifiedorder: " + CdataField(reply, quillmark::kFieldReturnMsg);
    return false;
  }
  if (CdataField(reply, quillmark::kFieldOutTradeNo) != orderNo ||
      CdataField(reply, quillmark::kFieldCodeUrl).find(orderNo) == std::string::npos) {
    problem = "/pay/unifiedorder: the reply names another order";
    return false;
  }
  return true;
}

// Bytes per order from a growth in KiB over `orders` orders.
double BytesPerOrder(long kib, long orders) {
  return orders > 0 ? static_cast<double>(kib) * 1024.0 / static_cast<double>(orders) : 0.0;
}

// --orders: places the orders with every worker drawing the next number from one counter,
// and reads the sandbox's VmRSS before, once each tenth of the orders is placed, and after.
int PlaceOrders(const Options& options, Clock::time_point deadline) {
  const int pid = options.sandboxPid;
  const long before = quillmark::bench::ResidentKib(pid);
  if (before == 0) {
    std::cerr << "quillmark-load: cannot read the resident set of process " << pid << '\n';
    return 1;
  }
  std::atomic<int> next{0};
  std::atomic<int> placed{0};
  std::atomic<long> attempts{0};
  std::atomic<long> failures{0};
  std::atomic<long> connections{0};
  std::atomic<int> running{options.workers};
  std::mutex problemMutex;
  std::vector<std::string> problems;
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  for (int w = 0; w < options.workers; ++w) {
    threads.emplace_back([&, w] {
      Client client(options.CaFile(), options.keepAlive);
      for (int i = next++; i < options.orders && !g_abort; i = next++) {
        // Worker numbers above the cycle runs' keep the two kinds of order apart.
        const std::string orderNo = quillmark::bench::UniqueOrderNo(2000 + static_cast<unsigned>(w),
                                                                    static_cast<unsigned>(i));
        std::string problem;
        ++attempts;
        if (PlaceOrder(client, options.url, orderNo, options.longestFields, problem)) {
          ++placed;
        } else if (!g_abort) {
          ++failures;
          std::lock_guard<std::mutex> lock(problemMutex);
          if (problems.size() < 5) problems.push_back(orderNo + " " + problem);
        }
      }
      connections += client.connections();
      --running;
    });
  }

  struct Sample {
    long orders;
    long kib;
  };
  std::vector<Sample> samples;
  bool timedOut = false;
  long tenth = 1;
  while (running > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const long done = placed.load();
    if (tenth <= 10 && done >= options.orders * tenth / 10) {
      samples.push_back({done, quillmark::bench::ResidentKib(pid)});
      while (tenth <= 10 && done >= options.orders * tenth / 10) ++tenth;
    }
    if (!timedOut && Clock::now() >= deadline) {
      timedOut = true;
      g_abort = true;
      std::cout << "time limit reached: stopping the workers" << std::endl;
    }
    if (timedOut && Clock::now() >= deadline + std::chrono::seconds(15)) {
      std::cerr << "quillmark-load: workers did not stop 15 s after the time limit\n";
      std::_Exit(1);
    }
  }
  for (std::thread& t : threads) t.join();
  const double elapsed = Milliseconds(Clock::now() - start) / 1000.0;
  // The last replies are out before the server's bookkeeping after them is done.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long after = quillmark::bench::ResidentKib(pid);
  const long total = placed.load();

  for (const std::string& p : problems) std::cout << "  failure: " << p << '\n';
  PrintMode(options.keepAlive, attempts.load(), connections.load());
  std::printf("orders      %ld of %d placed in %.1f s: %.0f orders/s, %ld failed\n", total,
              options.orders, elapsed, static_cast<double>(total) / elapsed, failures.load());
  std::printf("sandbox     VmRSS of process %d, KiB:\n", pid);
  std::printf("            %-20s %8ld\n", "before", before);
  for (const Sample& sample : samples) {
    std::printf("            %-20s %8ld\n", (std::to_string(sample.orders) + " orders").c_str(),
                sample.kib);
  }
  std::printf("            %-20s %8ld\n", "after", after);
  std::printf("growth      %+ld KiB over %ld orders: %.0f bytes per order", after - before, total,
              BytesPerOrder(after - before, total));
  if (!samples.empty() && total > samples.front().orders) {
    std::printf(" (%.0f from the first tenth on)",
                BytesPerOrder(after - samples.front().kib, total - samples.front().orders));
  }
  std::printf("\n");
  std::string capFigure = "-";
  if (options.cap > 0) {
    // The first reading at or past the cap: from there on the server should forget an
    // order for each one placed.
    const auto reached = std::find_if(samples.begin(), samples.end(),
                                      [&](const Sample& s) { return s.orders >= options.cap; });
    if (reached == samples.end() || total <= reached->orders) {
      std::printf("cap         %d orders: not reached with readings to spare\n", options.cap);
    } else {
      std::printf(
          "cap         %d orders: %+ld KiB from %ld orders to the end, %.0f bytes per order "
          "placed beyond the cap\n",
          options.cap, after - reached->kib, reached->orders,
          BytesPerOrder(after - reached->kib, total - reached->orders));
      char text[32];
      std::snprintf(text, sizeof text, "%.0f",
                    BytesPerOrder(after - reached->kib, total - reached->orders));
      capFigure = text;
    }
  }
  const bool pass = !timedOut && failures == 0 && total == options.orders;
  if (timedOut) std::printf("time        the run hit its %d s limit\n", options.seconds);
  std::printf(
      "orders-figures orders=%ld seconds=%.1f before_kib=%ld after_kib=%ld "
      "bytes_per_order=%.0f cap_bytes_per_order=%s\n",
      total, elapsed, before, after, BytesPerOrder(after - before, total), capFigure.c_str());
  std::printf("result      %s\n", pass ? "PASS" : "FAIL");
  return pass ? 0 : 1;
}

// --wrk-body: one order, queried once to see that the sandbox knows it, and the signed
// query written to the file for wrk to send again and again.
int WriteWrkBody(const Options& options) {
  Client client(options.CaFile(), true);
  const std::string orderNo = quillmark::bench::UniqueOrderNo(3000, 0);
  std::string problem;
  if (!PlaceOrder(client, options.url, orderNo, false, problem)) {
    std::cerr << "quillmark-load: " << orderNo << ' ' << problem << '\n';
    return 1;
  }
  const std::string query = quillmark::bench::SignedOrderQuery(orderNo);
  std::string error;
  const std::string reply =
      client.Post(options.url + quillmark::kOrderQueryOperation.path, query, error);
  if (!error.empty() || CdataField(reply, quillmark::kFieldResultCode) != "SUCCESS" ||
      CdataField(reply, quillmark::kFieldOutTradeNo) != orderNo) {
    std::cerr << "quillmark-load: the query of " << orderNo << " failed: "
              << (error.empty() ? CdataField(reply, quillmark::kFieldReturnMsg) : error) << '\n';
    return 1;
  }
  std::ofstream out(options.wrkBody, std::ios::binary | std::ios::trunc);
  out << query;
  out.close();
  if (!out) {
    std::cerr << "quillmark-load: cannot write " << options.wrkBody << '\n';
    return 1;
  }
  std::printf("wrk body    order %s placed and queried; its signed query (%zu bytes) is in %s\n",
              orderNo.c_str(), query.size(), options.wrkBody.c_str());
  return 0;
}

// The default: warm-up, then the cycles, checked in full.
int RunCycles(const Options& options, Clock::time_point deadline) {
  // A short warm-up first, torn down like the real run: what libcurl, OpenSSL and the
  // allocator set up once is then in place before the heap's baseline is read.
  const PhaseOutcome warmUp =
      RunPhase(options, std::max(1, options.cycles / 10), 0, deadline, false);
  if (!warmUp.pass) {
    if (warmUp.timedOut)
      std::printf("time        the warm-up hit the %d s limit\n", options.seconds);
    std::printf("result      FAIL\n");
    return 1;
  }
  const long heapBefore = LiveHeapKib();
  const PhaseOutcome main = RunPhase(options, options.cycles, 64, deadline, true);
  const long heapAfter = LiveHeapKib();

  bool pass = main.pass;
  const double cycles = main.completed;
  const long heapLimit = kHeapFixedKib + static_cast<long>(kHeapBytesPerCycle * cycles / 1024);
  const long heapGrowth = heapAfter - heapBefore;
  const bool heapKnown = heapBefore > 0;
  std::printf(
      "heap        %ld KiB in use after the warm-up, %ld KiB after the run and its "
      "sandbox were torn down: %+ld KiB (limit %+ld)\n",
      heapBefore, heapAfter, heapGrowth, heapLimit);
  if (heapKnown && heapGrowth > heapLimit) {
    std::printf("memory      the heap kept growing: a leak\n");
    pass = false;
  }
  const long rssGrowth = main.rssEnd - main.rssStart;
  std::printf(
      "VmRSS       %ld KiB after a tenth of the cycles, %ld KiB at the end (peak %ld): "
      "%+ld KiB, %.2f KiB per cycle",
      main.rssStart, main.rssEnd, main.rssPeak, rssGrowth,
      cycles > 0 ? static_cast<double>(rssGrowth) / (0.9 * cycles) : 0.0);
  if (options.url.empty()) {
    // The in-process sandbox keeps every request it received, for tests: its resident set
    // grows by that on purpose, and the heap figure above is the leak check.
    std::printf(" (includes the sandbox's record of every request)\n");
  } else {
    const long rssLimit = kRssFixedKib + static_cast<long>(kRssKibPerCycle * cycles);
    std::printf(" (limit %+ld)\n", rssLimit);
    if (main.rssStart > 0 && rssGrowth > rssLimit) {
      std::printf("memory      the resident set kept growing\n");
      pass = false;
    }
  }
  if (main.timedOut) std::printf("time        the run hit its %d s limit\n", options.seconds);
  std::printf("result      %s\n", pass ? "PASS" : "FAIL");
  return pass ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app("A load test of the sandbox over loopback.", "quillmark-load");
  app.add_option("--workers", options.workers, "concurrent workers")->check(CLI::Range(1, 64));
  app.add_option("--cycles", options.cycles, "order cycles per worker")
      ->check(CLI::Range(1, 100'000));
  app.add_option("--seconds", options.seconds, "time limit")->check(CLI::Range(1, 600));
  app.add_flag("--keep-alive", options.keepAlive, "one kept-alive connection per worker");
  app.add_option("--url", options.url, "a sandbox already running, https://127.0.0.1:PORT")
      ->check([](const std::string& url) {
        return quillmark::bench::LoopbackPort(url) > 0 ? "" : "not https://127.0.0.1:PORT";
      });
  app.add_option("--cacert", options.caFile, "the CA that sandbox's certificate is from")
      ->check(CLI::ExistingFile);
  CLI::Option* orders =
      app.add_option("--orders", options.orders, "place N orders and read the sandbox's memory")
          ->check(CLI::Range(1, 5'000'000));
  CLI::Option* pid = app.add_option("--sandbox-pid", options.sandboxPid, "the sandbox's process")
                         ->check(CLI::Range(1, 9'999'999));
  app.add_option("--cap", options.cap, "the sandbox's --max-orders, with --orders")
      ->check(CLI::Range(1, 5'000'000));
  app.add_flag("--longest-fields", options.longestFields,
               "orders with the longest body and notify_url the sandbox takes");
  CLI::Option* wrk = app.add_option("--wrk-body", options.wrkBody,
                                    "write a signed query of one new order to FILE, for wrk");
  CLI::Option* url = app.get_option("--url");
  orders->needs(url)->needs(pid);
  wrk->needs(url)->excludes(orders);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
    std::cerr << "quillmark-load: curl_global_init failed\n";
    return 1;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(options.seconds);
  int status = 0;
  if (!options.wrkBody.empty()) {
    status = WriteWrkBody(options);
  } else if (options.orders > 0) {
    std::cout << "quillmark-load: " << options.orders << " orders from " << options.workers
              << " workers against " << options.url << " (process " << options.sandboxPid
              << "), time limit " << options.seconds << " s" << std::endl;
    status = PlaceOrders(options, deadline);
  } else {
    std::cout << "quillmark-load: " << options.workers << " workers x " << options.cycles
              << " cycles against "
              << (options.url.empty() ? "a sandbox in this process (orders paid after 1 query)"
                                      : options.url)
              << ", time limit " << options.seconds << " s" << std::endl;
    status = RunCycles(options, deadline);
  }
  curl_global_cleanup();
  return status;
}
