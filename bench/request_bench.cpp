// Where one request's time goes. "Fresh" repeats what the transport does for every request
// (curl_global_init, a new easy handle, a new TLS connection, cleanup of both); "reused"
// keeps one handle, and with it libcurl's TLS session and CA caches, for all requests.
// The sandbox closes every connection after one request, so both modes connect anew each
// time: a kept-alive connection would save the connect and the handshake too, leaving the
// "send, wait, receive" row.
#include <curl/curl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_sections.h"
#include "protocol/operation.h"

namespace quillmark::bench {
namespace {

std::size_t Discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

// The transport's options (http/transport.cpp), so that the handshake does the same
// verification work.
void SetOptions(CURL* h, const Context& context) {
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_CAINFO, context.caFile.c_str());
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, 10'000L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 30'000L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Discard);
}

struct Phases {
  std::vector<double> globalInit, easyInit, connect, handshake, exchange, waitForReply, performRest,
      easyCleanup, globalCleanup, total;
  long newConnections = 0;
  long failures = 0;
};

double Seconds(CURL* h, CURLINFO info) {
  curl_off_t microseconds = 0;
  curl_easy_getinfo(h, info, &microseconds);
  return static_cast<double>(microseconds) / 1000.0;
}

// One request on `h`, its libcurl timings split into phases.
void Perform(CURL* h, const Context& context, std::uint64_t n, Phases& phases) {
  const std::string body = SignedUnifiedOrder(UniqueOrderNo(3, n));
  const std::string url = context.baseUrl + quillmark::kUnifiedOrderOperation.path;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
  const auto start = Clock::now();
  const CURLcode rc = curl_easy_perform(h);
  const double wall = Milliseconds(Clock::now() - start);
  long status = 0;
  long connects = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
  if (rc != CURLE_OK || status != 200) ++phases.failures;
  phases.newConnections += connects;
  const double connect = Seconds(h, CURLINFO_CONNECT_TIME_T);
  const double appConnect = Seconds(h, CURLINFO_APPCONNECT_TIME_T);
  const double preTransfer = Seconds(h, CURLINFO_PRETRANSFER_TIME_T);
  const double startTransfer = Seconds(h, CURLINFO_STARTTRANSFER_TIME_T);
  const double total = Seconds(h, CURLINFO_TOTAL_TIME_T);
  phases.connect.push_back(connect);
  phases.handshake.push_back(appConnect - connect);
  phases.exchange.push_back(total - preTransfer);
  phases.waitForReply.push_back(startTransfer - preTransfer);
  phases.performRest.push_back(wall - total);
}

Row Line(const std::string& name, const std::vector<double>& samples) {
  return Row{name, Summarize(samples), {}};
}

}  // namespace

bool BenchRequests(const Context& context) {
  Phases fresh;
  Phases reused;
  std::uint64_t n = 0;
  // One request before measuring, as in every other section.
  for (int i = -1; i < context.requests; ++i) {
    const auto t0 = Clock::now();
    curl_global_init(CURL_GLOBAL_ALL);
    const auto t1 = Clock::now();
    CURL* h = curl_easy_init();
    if (h == nullptr) return false;
    SetOptions(h, context);
    const auto t2 = Clock::now();
    Phases& sink = fresh;
    Perform(h, context, n++, sink);
    const auto t3 = Clock::now();
    curl_easy_cleanup(h);
    const auto t4 = Clock::now();
    curl_global_cleanup();
    const auto t5 = Clock::now();
    if (i < 0) {
      fresh = Phases{};
      continue;
    }
    fresh.globalInit.push_back(Milliseconds(t1 - t0));
    fresh.easyInit.push_back(Milliseconds(t2 - t1));
    fresh.easyCleanup.push_back(Milliseconds(t4 - t3));
    fresh.globalCleanup.push_back(Milliseconds(t5 - t4));
    fresh.total.push_back(Milliseconds(t5 - t0));
  }

  curl_global_init(CURL_GLOBAL_ALL);
  CURL* h = curl_easy_init();
  if (h == nullptr) return false;
  SetOptions(h, context);
  for (int i = -1; i < context.requests; ++i) {
    const auto t0 = Clock::now();
    Perform(h, context, n++, reused);
    const auto t1 = Clock::now();
    if (i < 0) {
      reused = Phases{};
      continue;
    }
    reused.total.push_back(Milliseconds(t1 - t0));
  }
  curl_easy_cleanup(h);
  curl_global_cleanup();

  const auto table = [&context](const std::string& mode, const Phases& p, bool perRequestSetup) {
    std::vector<Row> rows;
    if (perRequestSetup) {
      rows.push_back(Line("curl_global_init", p.globalInit));
      rows.push_back(Line("curl_easy_init + options", p.easyInit));
    }
    rows.push_back(Line("TCP connect (CONNECT_TIME)", p.connect));
    rows.push_back(Line("TLS handshake (APPCONNECT - CONNECT)", p.handshake));
    rows.push_back(Line("send, wait, receive (TOTAL - PRETRANSFER)", p.exchange));
    rows.push_back(Line("  of which waiting for the reply (STARTTRANSFER)", p.waitForReply));
    rows.push_back(Line("rest of curl_easy_perform (close, bookkeeping)", p.performRest));
    if (perRequestSetup) {
      rows.push_back(Line("curl_easy_cleanup", p.easyCleanup));
      rows.push_back(Line("curl_global_cleanup", p.globalCleanup));
    }
    rows.push_back(Line("whole request", p.total));
    PrintTable(
        "One unified order, " + mode + " (" + std::to_string(context.requests) +
            " requests; new connections per request: " +
            std::to_string(static_cast<double>(p.newConnections) / context.requests).substr(0, 4) +
            ", failed: " + std::to_string(p.failures) + ")",
        rows);
  };
  table("fresh libcurl per request, as http/transport.cpp does", fresh, true);
  table("one reused easy handle (global init once)", reused, false);
  const double freshMedian = Summarize(fresh.total).median;
  const double reusedMedian = Summarize(reused.total).median;
  if (reusedMedian > 0) {
    std::printf("  reused / fresh, whole request: %.2fx\n", reusedMedian / freshMedian);
  }
  return fresh.failures == 0 && reused.failures == 0;
}

}  // namespace quillmark::bench
