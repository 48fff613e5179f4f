// quillmark-sandbox as a library: a local HTTPS server that stands in for the payment
// platform. The quillmark-sandbox program wraps it; tests start it in-process on a free
// port and read back what it received.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/merchant_settings.h"
#include "sandbox/faults.h"

namespace quillmark::sandbox {

// 15 s, 30 s, 1 min, 5 min, 15 min, 30 min, 1 h.
std::vector<std::chrono::milliseconds> DefaultNotifyDelays();

// The program's state file when none is named: under the build folder when the sandbox
// runs from its build tree, otherwise "state.db" in the per-user data folder
// (config/local_sandbox.h), which is made when missing; ":memory:" when the environment
// names no such folder.
std::string DefaultStateFile(const std::map<std::string, std::string>& environment);

inline constexpr char kMemoryCertificates[] = ":memory:";

struct Options {
  std::string host = "127.0.0.1";
  int port = 8443;  // 0 picks a free port; see Sandbox::port()
  // PEM certificate chain and private key; both empty: the build's generated ones, or,
  // where the build tree is gone, a pair of its own (sandbox/certificates.h).
  std::string certFile;
  std::string keyFile;
  // The certificate chain and its key as PEM text, served instead of any file when not
  // empty: the LAN mode's, issued at every start (sandbox/certificates.h).
  std::string certPem;
  std::string keyPem;
  // > 0: an order becomes paid once its N-th query has been answered (so with 1, the
  // first query sees NOTPAY and the second SUCCESS); 0: only the payer page pays.
  int payAfterQueries = 0;
  Fault fault = Fault::kNone;
  std::chrono::milliseconds stallFor{40'000};  // Fault::kStall: beyond the client's 30 s
  std::ostream* log = nullptr;                 // one line per request; null: standard output
  // The merchant it knows: whose requests it accepts and whose key signs its replies.
  MerchantSettings merchant = MerchantSettings::Defaults();
  // Keep every request for requests(). The program turns it off: a sandbox left running
  // would otherwise grow by each request it has ever served.
  bool recordRequests = true;

  // The base of each order's code_url, e.g. "https://192.168.1.20:8443" so that a phone on
  // the LAN can open the payer page; empty: the address it listens on.
  std::string publicUrl;
  // Where publicUrl is empty: the host of each code_url, with the port it listens on (the
  // LAN mode's address, for a server listening on every interface); empty: the address it
  // listens on.
  std::string publicHost;

  // The merchant's registered domain: MWEB's page is shown only to a payer whose Referer is
  // this host or a name below it (sandbox/payer/mweb_referer.h). Empty: a loopback or LAN
  // address, or the host the sandbox is reached by.
  std::string mwebDomain;

  // Payment notifications: when an order becomes paid, its notify_url is sent the result,
  // at once and then again after each of these delays until the merchant acknowledges.
  bool notify = true;
  std::vector<std::chrono::milliseconds> notifyDelays = DefaultNotifyDelays();
  std::string notifyCaFile;  // trusted CAs for https notify URLs; empty: the system's store
  // The `notify-late` scenario's: its first notification goes out this long after a query
  // first says SUCCESS.
  std::chrono::milliseconds lateNotifyDelay{5000};
  // The day's bill is fetched from 10:00 the next day, platform time; true: as soon as the
  // day has begun, so that a test fetches today's.
  bool billReadyNow = false;
  // The sandbox's clock ahead of the machine's (negative: behind), so that an order can be
  // made days old at once (reverse's 7 days, a bill's day): see SetClockOffsetMs(). Start()
  // sets it for the whole process; the console can move it later.
  std::chrono::milliseconds clockOffset{0};

  // Bounded memory: an order is forgotten this long after it was placed, and the oldest
  // are forgotten first once this many are kept. A forgotten order is an unknown order.
  std::chrono::seconds orderTtl{2 * 60 * 60};
  std::size_t maxOrders = 1'000'000;
  // At most this many connections are served at once; one more is closed as soon as it is
  // accepted. 0: no bound but the process's descriptors.
  std::size_t maxConnections = 0;
  // Optional: called once the open connections have fallen to a quarter of a peak of at
  // least 256, on a server thread. The program gives the memory they used back there.
  std::function<void()> afterConnectionBurst;

  // Where the orders, the request journal and the notification attempts are kept
  // (sandbox/store/state_store.h): an SQLite file, which a sandbox started again on it takes up
  // where this one stopped, or ":memory:" for nothing beyond the process. The program's
  // default is a file (DefaultStateFile()).
  std::string stateFile = ":memory:";
  std::size_t journalMax = 10'000;  // requests the journal keeps, the oldest dropped first
  std::int64_t stateMaxPages = 0;   // for tests: the state file is full at this many pages
  // What a console client off loopback must show; empty: a fresh random one at each start.
  std::string consoleToken;

  // The merchants' API client certificates (sandbox/merchant_ca.h), which its /secapi/ paths
  // want: the merchant CA is kept in this folder and each merchant's three files in a folder
  // of its number below it (config/local_sandbox.h), issued at start. Empty: the per-user
  // folder (LocalSandboxFolder), where the clients look for them; kMemoryCertificates, or no
  // per-user folder: a CA held in memory only, and no files.
  std::string clientCertFolder;
  // Merchant numbers issued a certificate besides `merchant`'s: the settings file's
  // profiles', so that one of them presented for `merchant` is told apart from a stranger's.
  std::vector<std::string> certifiedMerchants;
};

// A request as the server received it, for tests.
struct RecordedRequest {
  std::string method;
  std::string path;
  std::string body;
  std::map<std::string, std::string> fields;  // parsed fields, empty if unparsable
};

class Sandbox {
 public:
  explicit Sandbox(Options options);
  ~Sandbox();  // stops and joins
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Binds and starts serving on a background thread; returns once the server accepts
  // connections. False (with `error` set) when the certificate cannot be loaded or the
  // address cannot be bound.
  bool Start(std::string* error = nullptr);
  // Serves until Stop() is called from another thread; returns then (true), or at once
  // when Start() fails (false).
  bool Run(std::string* error = nullptr);
  // Stops serving, wakes stalled requests and joins every server thread. Safe to call
  // more than once, and before Start().
  void Stop();

  int port() const;
  std::string baseUrl() const;  // "https://<host>:<port>", as QUILLMARK_API_BASE expects
  // The CA that issued its certificate when it chose the certificate itself (the build's,
  // or one of its own made in the per-user data folder); empty with Options::certFile.
  std::string caFile() const;

  // The certificate it serves (the one given, the build's, or one of its own).
  std::string certFile() const;
  // Where the merchants' client certificates are (Options::clientCertFolder); empty when
  // they are held in memory only.
  std::string clientCertFolder() const;

  // How many orders it keeps now.
  std::size_t orderCount() const;

  // The console: its address ("https://<host>:<port>/console", the host as for the
  // payer pages), and the token a client off loopback must add as ?token=.
  std::string consoleUrl() const;
  std::string consoleToken() const;
  // In the LAN mode, once the phone's first page serves: the console's orders page shows
  // its QR code and the CA's fingerprint. Safe from any thread.
  void ShowPhonePage(const std::string& url, const std::string& caFingerprint);
  // Where its state is kept (Options::stateFile), and what it took up from there at
  // start: the orders still within their time, and the notifications still due.
  std::string stateFile() const;
  std::size_t restoredOrders() const;
  std::size_t resumedNotifications() const;

  // Every request served so far, oldest first (empty unless Options::recordRequests).
  std::vector<RecordedRequest> requests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillmark::sandbox
