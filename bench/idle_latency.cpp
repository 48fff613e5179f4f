// quillmark-idle-bench: how fast a new client is answered while many connections to the
// sandbox sit idle. A server with a thread per connection lends its threads to whoever
// connects first, so idle and slow connections can starve everyone else.
//
//   quillmark-idle-bench --url https://127.0.0.1:PORT [--cacert FILE] [--idle N]
//                        [--requests M] [--timeout S] [--settle S]
//                        [--sandbox-pid PID [--tls-only]]
//
// It places one order, then times M queries of it, each from a fresh libcurl handle on a
// new connection: first with nothing else connected, then with N idle connections open.
// The idle connections come in three kinds, a third each: plain TCP that never starts
// TLS; a completed TLS handshake, then silence; a completed TLS handshake, then an order
// query sent one byte a second (it would take minutes to finish). They are set up for at
// most --settle seconds (handshakes the server has not taken up by then carry on in the
// background) and stay open until the end; the report says how many the server closed.
//
// With --sandbox-pid it also reads that process's resident set before the idle connections
// are opened, once they are set up, and a second after they are closed: what a connection
// costs the server, and what it keeps of that. --tls-only makes every idle connection of
// the second kind (handshake, then silence), the usual kept-alive connection.
//
// A request counts as answered when a reply with result_code SUCCESS arrives within
// --timeout seconds. Exit status 0 when the figures were measured (answered or not), 1
// when the sandbox could not be used at all, 2 for a usage error.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "config/merchant_config.h"
#include "protocol/operation.h"

namespace {

using quillmark::bench::Clock;
using quillmark::bench::Milliseconds;

struct Options {
  std::string url;
  std::string caFile = quillmark::kCaFile;
  int idle = 500;
  int requests = 20;
  int timeoutSeconds = 5;
  int settleSeconds = 3;
  int sandboxPid = 0;  // > 0: report this process's VmRSS around the idle connections
  bool tlsOnly = false;
};

enum Kind { kPlain, kSilentTls, kTrickle, kKinds };
constexpr const char* kKindNames[kKinds] = {"plain TCP", "TLS then silent",
                                            "a request a byte a second"};

enum class State { kConnecting, kHandshaking, kOpen, kClosed };

struct Connection {
  Kind kind = kPlain;
  int fd = -1;
  SSL* ssl = nullptr;
  State state = State::kConnecting;
  short events = POLLOUT;
  bool handshaken = false;
  std::size_t sent = 0;  // bytes of the trickled request
};

struct Counts {
  std::array<int, kKinds> total{};
  std::array<int, kKinds> handshaken{};  // TLS kinds: handshakes completed
  std::array<int, kKinds> closed{};      // by the server, or never connected
  long trickled = 0;                     // bytes sent one at a time, over all connections
  bool settled = true;                   // none still connecting or in its handshake
};

// The idle connections and the thread that keeps them as they are: it completes their
// handshakes, notices when the server closes one, and sends the next byte of each
// trickled request once a second.
class IdleConnections {
 public:
  IdleConnections(int port, std::string request, bool tlsOnly)
      : port_(port), request_(std::move(request)), tlsOnly_(tlsOnly) {
    context_ = SSL_CTX_new(TLS_client_method());
    // Only the load matters here, not who answers: the measured requests verify the peer.
    if (context_) SSL_CTX_set_verify(context_, SSL_VERIFY_NONE, nullptr);
  }

  ~IdleConnections() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (Connection& c : connections_) Close(c);
    if (context_) SSL_CTX_free(context_);
  }

  IdleConnections(const IdleConnections&) = delete;
  IdleConnections& operator=(const IdleConnections&) = delete;

  // Starts connecting `count` sockets, the kinds taking turns, and the thread that tends
  // them. False when there is no TLS context.
  bool Open(int count) {
    if (!context_) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connections_.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      Connection& c = connections_[static_cast<std::size_t>(i)];
      c.kind = tlsOnly_ ? kSilentTls : static_cast<Kind>(i % kKinds);
      c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (c.fd < 0) {
        std::perror("quillmark-idle-bench: socket");
        c.state = State::kClosed;
        continue;
      }
      const int rc = connect(c.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
      if (rc == 0) {
        Connected(c);
      } else if (errno != EINPROGRESS) {
        Close(c);
      }
    }
    thread_ = std::thread([this] { Loop(); });
    return true;
  }

  Counts counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Counts counts;
    for (const Connection& c : connections_) {
      ++counts.total[c.kind];
      if (c.handshaken) ++counts.handshaken[c.kind];
      if (c.state == State::kClosed) ++counts.closed[c.kind];
      if (c.state == State::kConnecting || c.state == State::kHandshaking) counts.settled = false;
      counts.trickled += static_cast<long>(c.sent);
    }
    return counts;
  }

 private:
  void Loop() {
    std::vector<pollfd> polled;
    std::vector<std::size_t> owners;
    auto nextByte = Clock::now();
    while (!stop_) {
      polled.clear();
      owners.clear();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < connections_.size(); ++i) {
          const Connection& c = connections_[i];
          if (c.state == State::kClosed) continue;
          polled.push_back({c.fd, c.events, 0});
          owners.push_back(i);
        }
      }
      poll(polled.data(), polled.size(), 100);
      std::lock_guard<std::mutex> lock(mutex_);
      for (std::size_t i = 0; i < polled.size(); ++i) {
        if (polled[i].revents != 0) Step(connections_[owners[i]], polled[i].revents);
      }
      if (Clock::now() >= nextByte) {
        nextByte += std::chrono::seconds(1);
        for (Connection& c : connections_) {
          if (c.kind == kTrickle && c.state == State::kOpen) SendByte(c);
        }
      }
    }
  }

  void Step(Connection& c, short revents) {
    switch (c.state) {
      case State::kConnecting: {
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
          Close(c);
        } else {
          Connected(c);
        }
        break;
      }
      case State::kHandshaking:
        Handshake(c);
        break;
      case State::kOpen:
        if (revents & (POLLIN | POLLHUP | POLLERR)) Drain(c);
        break;
      case State::kClosed:
        break;
    }
  }

  void Connected(Connection& c) {
    if (c.kind == kPlain) {
      c.state = State::kOpen;
      c.events = POLLIN;
      return;
    }
    c.ssl = SSL_new(context_);
    if (!c.ssl || SSL_set_fd(c.ssl, c.fd) != 1) {
      Close(c);
      return;
    }
    SSL_set_connect_state(c.ssl);
    c.state = State::kHandshaking;
    Handshake(c);
  }

  void Handshake(Connection& c) {
    const int rc = SSL_do_handshake(c.ssl);
    if (rc == 1) {
      c.handshaken = true;
      c.state = State::kOpen;
      c.events = POLLIN;
      return;
    }
    switch (SSL_get_error(c.ssl, rc)) {
      case SSL_ERROR_WANT_READ:
        c.events = POLLIN;
        break;
      case SSL_ERROR_WANT_WRITE:
        c.events = POLLOUT;
        break;
      default:
        Close(c);  // the server gave up on it
    }
  }

  // Reads and drops whatever arrives (session tickets, an error page); a closed
  // connection is marked as such.
  void Drain(Connection& c) {
    char buffer[4096];
    if (!c.ssl) {
      const ssize_t got = recv(c.fd, buffer, sizeof buffer, 0);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) Close(c);
      return;
    }
    for (;;) {
      const int got = SSL_read(c.ssl, buffer, sizeof buffer);
      if (got > 0) continue;
      const int error = SSL_get_error(c.ssl, got);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) Close(c);
      return;
    }
  }

  void SendByte(Connection& c) {
    if (c.sent >= request_.size()) return;
    const int rc = SSL_write(c.ssl, request_.data() + c.sent, 1);
    if (rc == 1) {
      ++c.sent;
      return;
    }
    const int error = SSL_get_error(c.ssl, rc);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) Close(c);
  }

  static void Close(Connection& c) {
    if (c.ssl) SSL_free(c.ssl);
    if (c.fd >= 0) close(c.fd);
    c.ssl = nullptr;
    c.fd = -1;
    c.state = State::kClosed;
  }

  const int port_;
  const std::string request_;
  const bool tlsOnly_;
  SSL_CTX* context_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<Connection> connections_;
};

std::size_t Append(char* data, std::size_t size, std::size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// One POST from a new easy handle, so on a new connection; the reply, or empty when no
// reply with a 200 status came within the timeout.
std::string FreshPost(const Options& options, const std::string& path, const std::string& body) {
  CURL* h = curl_easy_init();
  if (!h) return {};
  std::string reply;
  const std::string url = options.url + path;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(h, CURLOPT_CAINFO, options.caFile.c_str());
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 1000L * options.timeoutSeconds);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Append);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply);
  const CURLcode rc = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(h);
  return rc == CURLE_OK && status == 200 ? reply : std::string();
}

struct Latency {
  int answered = 0;
  double median = 0;
  double max = 0;
};

// Times options.requests fresh-client queries of `orderNo`, one after the other.
Latency Measure(const Options& options, const std::string& orderNo) {
  std::vector<double> times;
  for (int i = 0; i < options.requests; ++i) {
    const std::string body = quillmark::bench::SignedOrderQuery(orderNo);
    const auto start = Clock::now();
    const std::string reply = FreshPost(options, quillmark::kOrderQueryOperation.path, body);
    const double ms = Milliseconds(Clock::now() - start);
    if (quillmark::CdataField(reply, quillmark::kFieldResultCode) == "SUCCESS" &&
        quillmark::CdataField(reply, quillmark::kFieldOutTradeNo) == orderNo) {
      times.push_back(ms);
    }
  }
  Latency latency;
  latency.answered = static_cast<int>(times.size());
  if (!times.empty()) {
    latency.median = quillmark::bench::Summarize(times).median;
    latency.max = *std::max_element(times.begin(), times.end());
  }
  return latency;
}

std::string Describe(const Options& options, const Latency& latency) {
  char text[160];
  if (latency.answered == 0) {
    std::snprintf(text, sizeof text, "0 of %d answered within %d s", options.requests,
                  options.timeoutSeconds);
  } else {
    std::snprintf(text, sizeof text, "%d of %d answered: median %.2f ms, max %.2f ms",
                  latency.answered, options.requests, latency.median, latency.max);
  }
  return text;
}

std::string Figure(const Latency& latency, double value) {
  if (latency.answered == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

// The soft limit on open files raised to the hard one: each idle connection is a file.
void RaiseFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  std::printf("open files  soft limit %llu (hard %llu)\n",
              static_cast<unsigned long long>(limit.rlim_cur),
              static_cast<unsigned long long>(limit.rlim_max));
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app("A new client's latency while many idle connections are open to the sandbox.",
               "quillmark-idle-bench");
  app.add_option("--url", options.url, "the sandbox, https://127.0.0.1:PORT")
      ->required()
      ->check([](const std::string& url) {
        return quillmark::bench::LoopbackPort(url) > 0 ? "" : "not https://127.0.0.1:PORT";
      });
  app.add_option("--cacert", options.caFile, "CA file to trust")->check(CLI::ExistingFile);
  app.add_option("--idle", options.idle, "idle connections to open")
      ->capture_default_str()
      ->check(CLI::Range(0, 100'000));
  app.add_option("--requests", options.requests, "requests from a fresh client")
      ->capture_default_str()
      ->check(CLI::Range(1, 10'000));
  app.add_option("--timeout", options.timeoutSeconds, "seconds each request may take")
      ->capture_default_str()
      ->check(CLI::Range(1, 600));
  app.add_option("--settle", options.settleSeconds, "seconds to wait for the idle handshakes")
      ->capture_default_str()
      ->check(CLI::Range(0, 600));
  app.add_option("--sandbox-pid", options.sandboxPid,
                 "report this process's VmRSS around the idle connections")
      ->check(CLI::Range(1, 99'999'999));
  app.add_flag("--tls-only", options.tlsOnly,
               "every idle connection completes its handshake, then says nothing");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : 2;
  }

  // A write to a connection the server has closed must fail, not end the program.
  std::signal(SIGPIPE, SIG_IGN);
  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
    std::cerr << "quillmark-idle-bench: curl_global_init failed\n";
    return 1;
  }
  std::printf(
      "quillmark-idle-bench: %d idle connections to %s; %d requests from a fresh client, "
      "timeout %d s each\n",
      options.idle, options.url.c_str(), options.requests, options.timeoutSeconds);
  RaiseFileLimit();

  const std::string orderNo = quillmark::bench::UniqueOrderNo(3001, 0);
  const std::string placed = FreshPost(options, quillmark::kUnifiedOrderOperation.path,
                                       quillmark::bench::SignedUnifiedOrder(orderNo));
  if (quillmark::CdataField(placed, quillmark::kFieldResultCode) != "SUCCESS") {
    std::cerr << "quillmark-idle-bench: cannot place an order at " << options.url << '\n';
    curl_global_cleanup();
    return 1;
  }
  const Latency alone = Measure(options, orderNo);
  std::printf("no idle     %s\n", Describe(options, alone).c_str());

  // The trickled request is a real one, so that a server that waited for all of it would
  // have something to answer.
  const std::string body = quillmark::bench::SignedOrderQuery(orderNo);
  const int port = quillmark::bench::LoopbackPort(options.url);
  const std::string request =
      "POST /pay/orderquery HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
      "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  Latency busy;
  Counts before;
  Counts after;
  double settled = 0;
  long rssBefore = 0;
  long rssOpen = 0;
  if (options.sandboxPid > 0) rssBefore = quillmark::bench::ResidentKib(options.sandboxPid);
  {
    IdleConnections idle(port, request, options.tlsOnly);
    if (!idle.Open(options.idle)) {
      std::cerr << "quillmark-idle-bench: no TLS context\n";
      curl_global_cleanup();
      return 1;
    }
    const auto start = Clock::now();
    const auto limit = start + std::chrono::seconds(options.settleSeconds);
    while (!idle.counts().settled && Clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    settled = Milliseconds(Clock::now() - start) / 1000.0;
    before = idle.counts();
    if (options.sandboxPid > 0) rssOpen = quillmark::bench::ResidentKib(options.sandboxPid);
    busy = Measure(options, orderNo);
    after = idle.counts();
  }
  if (options.sandboxPid > 0) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long rssClosed = quillmark::bench::ResidentKib(options.sandboxPid);
    int open = 0;
    for (std::size_t kind = 0; kind < kKinds; ++kind) {
      open += before.total[kind] - before.closed[kind];
    }
    const auto perConnection = [open](long kib) {
      return open > 0 ? static_cast<double>(kib) / open : 0.0;
    };
    std::printf(
        "sandbox     VmRSS of process %d: %ld KiB before, %ld KiB with %d open "
        "(%.1f KiB each), %ld KiB a second after they closed (%.1f KiB each kept)\n",
        options.sandboxPid, rssBefore, rssOpen, open, perConnection(rssOpen - rssBefore), rssClosed,
        perConnection(rssClosed - rssBefore));
    std::printf(
        "connections-figures open=%d before_kib=%ld open_kib=%ld kib_each=%.1f "
        "closed_kib=%ld kept_kib_each=%.1f\n",
        open, rssBefore, rssOpen, perConnection(rssOpen - rssBefore), rssClosed,
        perConnection(rssClosed - rssBefore));
  }

  std::printf("idle        after %.1f s%s:\n", settled,
              before.settled ? "" : " (some still connecting or in their handshake)");
  for (std::size_t kind = 0; kind < kKinds; ++kind) {
    std::printf("            %3d %s: ", before.total[kind], kKindNames[kind]);
    if (kind != kPlain) {
      std::printf("%d handshakes done (%d by the end), ", before.handshaken[kind],
                  after.handshaken[kind]);
    }
    std::printf("%d closed by the server (%d by the end)\n", before.closed[kind],
                after.closed[kind]);
  }
  std::printf("with idle   %s\n", Describe(options, busy).c_str());
  std::printf(
      "idle-figures idle=%d answered=%d/%d median_ms=%s max_ms=%s alone_median_ms=%s "
      "alone_max_ms=%s\n",
      options.idle, busy.answered, options.requests, Figure(busy, busy.median).c_str(),
      Figure(busy, busy.max).c_str(), Figure(alone, alone.median).c_str(),
      Figure(alone, alone.max).c_str());
  std::printf("result      %s\n", busy.answered == options.requests ? "every request answered"
                                                                    : "NOT every request answered");
  curl_global_cleanup();
  return 0;
}
