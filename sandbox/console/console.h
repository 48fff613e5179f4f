// The console at /console: the sandbox's orders, its request journal and its notification
// attempts, as a JSON API under /console/api and static pages (pages/, built in) that draw
// themselves from it, with buttons and POSTs that pay, close and notify an order. Open from
// loopback; from any other address only with the token printed at start.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "http/https_server.h"
#include "sandbox/scenarios/armed.h"
#include "sandbox/store/state_store.h"

namespace quillmark::sandbox {

inline constexpr char kConsolePath[] = "/console";
// No JSON reply of the console is larger than this: a list stops before it would be,
// and says so ("truncated" in JSON).
inline constexpr std::size_t kMaxConsoleReplyBytes = 4 * 1024 * 1024;
// Rows a page asks for, and what ?limit= may ask of the JSON lists (default, most).
inline constexpr std::size_t kConsolePageOrders = 100;
inline constexpr std::size_t kConsolePageRequests = 200;
inline constexpr std::size_t kConsoleDefaultLimit = 100;
inline constexpr std::size_t kConsoleMaxLimit = 1000;
inline constexpr int kConsoleRefreshMs = 2000;

// What the console asks of the sandbox; each answers with what became of the order.
class ConsoleActions {
 public:
  struct Result {
    enum class Kind { kDone, kNoSuchOrder, kRefused } kind = Kind::kDone;
    std::string message;  // what was done, or why not: one line of English
    std::string key;      // the message's key for ConsoleMessage(); "" when it has none
  };
  virtual ~ConsoleActions() = default;
  virtual Result Pay(const std::string& orderNo) = 0;
  virtual Result Close(const std::string& orderNo) = 0;
  virtual Result Notify(const std::string& orderNo) = 0;
  // Sends the notification of the order's refund `outRefundNo` again, once it is final.
  virtual Result NotifyRefund(const std::string& orderNo, const std::string& outRefundNo) = 0;
  // Forgets the orders whose time is up, so that the console shows no order a query would
  // no longer find.
  virtual void ForgetExpired() = 0;
  virtual std::size_t OrderCount() = 0;
  // Moves the sandbox's clock to `offsetMs` from the machine's (SetClockOffsetMs), saying so
  // in the log.
  virtual void MoveClock(std::int64_t offsetMs) = 0;

  // The scenarios armed for orders to come (POST/GET/DELETE /console/api/scenarios), each
  // change kept before it returns.
  struct Arming {
    enum class Kind {
      kArmed,
      kPlaced,  // its order is placed already: a scenario is chosen as an order is placed
      kFull,    // kMaxArmedScenarios are armed, and it replaces none of them
    } kind = Kind::kArmed;
    ArmedScenario armed;  // kArmed's
  };
  virtual Arming Arm(const Scenario& scenario, const std::string& outTradeNo, std::int64_t at) = 0;
  // False when none is armed under `id`.
  virtual bool Disarm(std::int64_t id) = 0;
  // How many there were.
  virtual std::size_t DisarmAll() = 0;
  // Oldest first.
  virtual std::vector<ArmedScenario> ArmedList() = 0;
};

// What the console says of an order after an action, each message under a key; "" for a
// key that is not one of them. A form's answer leads to the order's page with ?done=KEY,
// and the page asks the API for the message, worded for its own order: a link can make a
// genuine console page say only what the console itself would.
std::string ConsoleMessage(std::string_view key, std::string_view shownOrderNo);

struct ConsoleSettings {
  std::string token;      // what a client off loopback must show
  std::string formToken;  // what the console's own forms carry against cross-site posts
  int port = 0;           // names the cookie: browsers share cookies between ports
  std::string statePath;
  std::size_t journalMax = kDefaultJournalMax;
  std::chrono::seconds orderTtl{0};
  std::size_t maxOrders = 0;
  bool notify = true;
  // Options::billReadyNow, and whose bills the console lists.
  bool billReadyNow = false;
  std::string appId;
  std::string mchId;
  // The merchant's API key: the refund notifications the console shows are encrypted under
  // the key made from it, as they are sent.
  std::string apiKey;
  // In the LAN mode, the page a phone opens first and the CA's fingerprint: the orders
  // page then shows that page's QR code, for a phone that did not scan the terminal's.
  // Empty otherwise.
  std::string phonePageUrl;
  std::string caFingerprint;
  // Where the merchants' client certificates are kept, and whose they are: the console
  // offers each merchant's three files at /console/api/client-cert/<mch_id>/<file>. Empty:
  // none is offered.
  std::string clientCertFolder;
  std::vector<std::string> clientCertMerchants;
};

// Whether the peer may use the console: from a loopback address that it reached by a
// loopback name (so that a page of another site, its name pointed at 127.0.0.1, cannot
// read it), or with the token in ?token= or in the console's cookie. `byQueryToken` tells
// whether ?token= was what let it in.
bool ConsoleAllows(const HttpRequest& request, const ConsoleSettings& settings,
                   bool* byQueryToken = nullptr);
// Why a POST must be refused as cross-site, or "" when it may go on: it carries the form
// token, or its Origin is the sandbox's own, or (no Origin, no Sec-Fetch-Site) it does
// not come from a browser at all, since every browser sends one of them on a cross-site
// POST.
std::string CrossSiteProblem(const HttpRequest& request, const std::string& formToken);

// Answers a request whose path is /console or below it. Never throws.
void ServeConsole(const HttpRequest& request, HttpReply& reply, StateStore& store,
                  ConsoleActions& actions, const ConsoleSettings& settings);
// The console's answer to a request to it that the server refused before it was read whole
// (`status` 400 or 413, `reason` one line): in JSON under /console/api/, as the API answers
// every error, and as a line of text elsewhere.
void RefuseConsoleRequest(int status, const std::string& reason, const HttpRequest& request,
                          HttpReply& reply);

// Milliseconds since 1970 UTC as "2026-01-31T12:34:56.789Z" (0: "").
std::string IsoTime(std::int64_t ms);

}  // namespace quillmark::sandbox
