// quillmark-load: many order cycles at once against the sandbox, over loopback only, to
// see that it loses, duplicates or mixes up nothing under concurrency and that memory
// stays flat. Each worker thread runs whole cycles (a unified order, then two queries of
// that order), with its own libcurl handle and the project's own request builders.
//
//   quillmark-load [--workers N] [--cycles N] [--seconds S] [--url https://127.0.0.1:PORT]
//
// Without --url it starts a sandbox in this process on a free port (orders paid after one
// query, so the two queries must see NOTPAY then SUCCESS) and also checks the sandbox's own
// record of every request. It always stops: at the end of its cycles, or at the time limit,
// which counts as a failure. Exit status 0 when every check passed, 1 otherwise, 2 for a
// usage error.
#include <curl/curl.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "payment/merchant_config.h"
#include "sandbox/sandbox.h"

namespace {

using quillmark::bench::Clock;
using quillmark::bench::Milliseconds;
using quillmark::bench::ReplyField;

struct Options {
  int workers = 8;
  int cycles = 500;  // per worker
  int seconds = 60;
  std::string url;  // empty: an in-process sandbox
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
class Client {
 public:
  explicit Client(const std::string& caFile) : handle_(curl_easy_init()) {
    CURL* h = handle_.get();
    if (!h) return;
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

 private:
  static std::size_t Append(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
  }

  std::unique_ptr<CURL, EasyCleanup> handle_;
  std::string reply_;
};

struct WorkerResult {
  std::vector<std::string> acknowledged;  // orders the sandbox accepted with a payment link
  std::vector<double> unifiedMs;
  std::vector<double> queryMs;
  long requests = 0;
  long failures = 0;
  std::vector<std::string> problems;  // the first few, for the report
};

class Run {
 public:
  // `idBase` keeps the order numbers of successive runs in one process apart.
  Run(const Options& options, std::string base, bool knownPayRule, unsigned idBase)
      : options_(options), base_(std::move(base)), knownPayRule_(knownPayRule), idBase_(idBase) {}

  void Worker(unsigned id, WorkerResult& result) {
    Client client(quillmark::kCaFile);
    for (int cycle = 0; cycle < options_.cycles && !g_abort; ++cycle) {
      const std::string orderNo =
          quillmark::bench::UniqueOrderNo(idBase_ + id, static_cast<unsigned>(cycle));
      if (Cycle(client, orderNo, result)) ++completed_;
    }
  }

  int completed() const { return completed_.load(); }

 private:
  bool Cycle(Client& client, const std::string& orderNo, WorkerResult& result) {
    std::string reply;
    if (!Request(client, "/pay/unifiedorder", quillmark::bench::SignedUnifiedOrder(orderNo),
                 orderNo, result.unifiedMs, reply, result)) {
      return false;
    }
    if (ReplyField(reply, "code_url").find(orderNo) == std::string::npos) {
      return Fail(result, orderNo, "unified order: code_url does not name the order");
    }
    result.acknowledged.push_back(orderNo);
    std::string previous;
    for (int query = 1; query <= 2; ++query) {
      if (!Request(client, "/pay/orderquery", quillmark::bench::SignedOrderQuery(orderNo), orderNo,
                   result.queryMs, reply, result)) {
        return false;
      }
      const std::string state = ReplyField(reply, "trade_state");
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
    if (ReplyField(reply, "return_code") != "SUCCESS" ||
        ReplyField(reply, "result_code") != "SUCCESS") {
      return Fail(result, orderNo, path + ": " + ReplyField(reply, "return_msg"));
    }
    const std::string answered = ReplyField(reply, "out_trade_no");
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

int Usage(const std::string& problem) {
  std::cerr << "quillmark-load: " << problem << "\n"
            << "usage: quillmark-load [--workers N] [--cycles N] [--seconds S]"
            << " [--url https://127.0.0.1:PORT]\n";
  return 2;
}

bool ParseCount(const std::string& text, int low, int high, int& value) {
  if (text.empty() || text.size() > 7 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  value = std::atoi(text.c_str());
  return value >= low && value <= high;
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
  long failures = 0;
  std::vector<double> unifiedMs;
  std::vector<double> queryMs;
  std::set<std::string> acknowledged;
  long acknowledgements = 0;
  for (const WorkerResult& r : results) {
    requests += r.requests;
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
      const auto number = record.fields.find("out_trade_no");
      if (record.path == "/pay/unifiedorder" && number != record.fields.end()) {
        ++placed[number->second];
      } else if (record.path == "/pay/orderquery") {
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
  } else if (!outcome.pass) {
    std::printf("warm-up     failed: %d of %ld cycles, %ld failed requests; %s\n",
                outcome.completed, total, failures, sandboxView.c_str());
  }
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return Usage("a load test of the sandbox over loopback");
    if (i + 1 >= argc) return Usage(arg + " needs a value");
    const std::string value = argv[++i];
    bool ok = true;
    if (arg == "--workers") {
      ok = ParseCount(value, 1, 64, options.workers);
    } else if (arg == "--cycles") {
      ok = ParseCount(value, 1, 100'000, options.cycles);
    } else if (arg == "--seconds") {
      ok = ParseCount(value, 1, 600, options.seconds);
    } else if (arg == "--url") {
      options.url = value;
      ok = quillmark::bench::LoopbackPort(value) > 0;
    } else {
      return Usage("unknown option " + arg);
    }
    if (!ok) return Usage("bad value for " + arg + ": " + value);
  }

  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
    std::cerr << "quillmark-load: curl_global_init failed\n";
    return 1;
  }
  std::cout << "quillmark-load: " << options.workers << " workers x " << options.cycles
            << " cycles against "
            << (options.url.empty() ? "a sandbox in this process (orders paid after 1 query)"
                                    : options.url)
            << ", time limit " << options.seconds << " s" << std::endl;
  const auto deadline = Clock::now() + std::chrono::seconds(options.seconds);

  // A short warm-up first, torn down like the real run: what libcurl, OpenSSL and the
  // allocator set up once is then in place before the heap's baseline is read.
  const PhaseOutcome warmUp =
      RunPhase(options, std::max(1, options.cycles / 10), 0, deadline, false);
  if (!warmUp.pass) {
    if (warmUp.timedOut)
      std::printf("time        the warm-up hit the %d s limit\n", options.seconds);
    std::printf("result      FAIL\n");
    curl_global_cleanup();
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
  curl_global_cleanup();
  return pass ? 0 : 1;
}
