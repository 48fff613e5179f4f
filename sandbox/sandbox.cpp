// The sandbox's assembly: it starts the state file, the notifier and the HTTPS server,
// routes each request to its handler (sandbox/api/, sandbox/payer/, sandbox/console/), and
// keeps what each changed before its reply goes out, with the request's log line. What an
// order may become is decided in sandbox/order/order_life.h, not here.
#include "sandbox/sandbox.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "config/local_sandbox.h"
#include "config/merchant_settings.h"
#include "http/client_certificate.h"
#include "http/https_server.h"
#include "platform/platform.h"
#include "protocol/auth_code.h"
#include "protocol/field_rules.h"
#include "protocol/flat_document.h"
#include "sandbox/api/api_handler.h"
#include "sandbox/api/exchange.h"
#include "sandbox/api/order_desk.h"
#include "sandbox/api/page_verify.h"
#include "sandbox/api/replies.h"
#include "sandbox/api/request_check.h"
#include "sandbox/certificates.h"
#include "sandbox/console/console.h"
#include "sandbox/faults.h"
#include "sandbox/merchant_ca.h"
#include "sandbox/notify/notifier.h"
#include "sandbox/order/order_book.h"
#include "sandbox/order/order_life.h"
#include "sandbox/payer/bridge_script.h"
#include "sandbox/payer/code_page.h"
#include "sandbox/payer/payer_actions.h"
#include "sandbox/payer/payer_page.h"
#include "sandbox/payer/payer_visit.h"
#include "sandbox/scenarios/pay.h"
#include "sandbox/store/state_store.h"
#include "text/codecs.h"
#include "text/url_parts.h"

#include <openssl/rand.h>

namespace quillmark::sandbox {
namespace {

constexpr std::size_t kMaxRequestBodyBytes = 64 * 1024;
// The order numbers whose first placement was failed that are remembered.
constexpr std::size_t kMaxFailedOnce = 10'000;

// UTC as 2026-01-31T12:34:56.789Z. Requests are logged from the server's worker threads,
// hence the seam's thread-safe calendar.
std::string UtcTimestamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::tm parts = platform::UtcCalendar(seconds);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(ms));
  return text;
}

// 32 hexadecimal digits from OpenSSL's generator: the console's tokens guard merchant data.
std::string RandomToken() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    // Not expected on any supported system; a generator seeded from the system's entropy
    // still makes a token no one can guess from outside.
    std::mt19937_64 random = SeededRandom();
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
  }
  return HexEncode(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes),
                   HexCase::kLower);
}

// The handler of a POST to one of its operations' paths that the run's fault applies to
// (the stall holds it before it is read); null for any other request.
const ApiHandler* FaultedHandler(const HttpRequest& request) {
  if (request.method != "POST") return nullptr;
  for (const Operation* operation : kOperations) {
    if (request.path != operation->path) continue;
    const ApiHandler* handler = FindApiHandler(operation);
    return handler && handler->faulted ? handler : nullptr;
  }
  return nullptr;
}

// The journal's verdict for a request the front refused for its client certificate.
constexpr char kVerdictCertificate[] = "certificate-refused";

// The front's page for a client certificate it refuses: HTML, as the platform's front
// answers before any API sees the request, and not the API's XML.
void CertificatePage(const std::string& words, HttpReply& reply) {
  reply.status = 400;
  reply.contentType = "text/html";
  reply.body = "<html>\r\n<head><title>400 " + words +
               "</title></head>\r\n<body>\r\n<center><h1>400 Bad "
               "Request</h1></center>\r\n<center>" +
               words + "</center>\r\n</body>\r\n</html>\r\n";
}

bool IsConsolePath(const std::string& path) {
  return path == kConsolePath || path.rfind(std::string(kConsolePath) + "/", 0) == 0;
}

// An action's result in the console's own words, which its order page can show again.
ConsoleActions::Result Said(ConsoleActions::Result::Kind kind, const char* key,
                            const std::string& shownOrderNo) {
  return {kind, ConsoleMessage(key, shownOrderNo), key};
}

}  // namespace

struct Sandbox::Impl : ConsoleActions, OrderDesk {
  explicit Impl(Options o)
      : options(std::move(o)),
        merchant(options.merchant),
        book(options.orderTtl, options.maxOrders,
             [this](const std::string& number) { forgotten.push_back(number); }) {
    if (!options.certPem.empty()) return;  // issued for it, nothing to choose
    ServedCertificate served = ChooseCertificate(options.certFile, options.keyFile);
    options.certFile = std::move(served.certFile);
    options.keyFile = std::move(served.keyFile);
    caFile = std::move(served.caFile);
    certificateError = std::move(served.error);
  }

  // Start(), in its steps: the files it is to read, the state, the console's settings,
  // the notifier, the server, and the notifications left due by the last run.
  bool Start(std::string* error);
  std::string ReadStartFiles(std::string& notifyCas);
  bool LoadState(std::string& error);
  bool IssueClientCertificates(std::string& error);
  void SetUpConsole();
  void MakeNotifier(std::string notifyCas);
  HttpsServerOptions ServerOptions();
  void ResumeNotifications();

  // The server's hooks.
  void Handle(const HttpRequest& request, HttpsServerOptions::Answer answer);
  void Refuse(int status, const std::string& reason, const HttpRequest& request, HttpReply& reply);
  std::chrono::milliseconds HoldFor(const HttpRequest& request);
  void Abandoned(const HttpRequest& request);

  // Routing: the platform's operations by their declarations, then the payer's pages,
  // then what is no endpoint. Each of the first two is false for a path not its own.
  void Route(Exchange& ex);
  bool RouteOperation(Exchange& ex);
  bool RoutePayer(Exchange& ex);
  bool RoutePageVerify(Exchange& ex);
  // True when the request is under /secapi/ without a certificate of the merchant CA: its
  // reply is then the front's page.
  bool RefusedCertificate(Exchange& ex);
  void NoEndpoint(Exchange& ex);

  // Writes what the exchange changed and its journal entry, then hands its reply to
  // `answer` and sends the notification it made due: only once both are kept, so that a
  // sandbox stopped in between has given no answer it cannot stand by.
  void Commit(const std::shared_ptr<Exchange>& exchange, HttpsServerOptions::Answer answer);
  // Submits `change` with the orders forgotten meanwhile; the caller holds the lock. A
  // failure is logged: the request has its answer all the same.
  void Persist(StateChange change, StateStore::Written done = {});
  // Persist(), and waits until it is written, without the lock.
  void PersistAndWait(StateChange change);
  // The notifier's hooks.
  void OnAttempt(const AttemptEntry& attempt);
  bool StillWanted(const std::string& orderNo, const std::string& outRefundNo);
  void NotifyPaid(PaidOrder paid);

  // The console's actions (ConsoleActions).
  Result Pay(const std::string& orderNo) override;
  Result Close(const std::string& orderNo) override;
  Result Notify(const std::string& orderNo) override;
  Result NotifyRefund(const std::string& orderNo, const std::string& outRefundNo) override;
  void ForgetExpired() override;
  std::size_t OrderCount() override;
  void MoveClock(std::int64_t offsetMs) override;
  Arming Arm(const Scenario& scenario, const std::string& outTradeNo, std::int64_t at) override;
  bool Disarm(std::int64_t id) override;
  std::size_t DisarmAll() override;
  std::vector<ArmedScenario> ArmedList() override;
  // Calls `change` under the lock, where it changes what the lock guards and says what to
  // write of it (nothing: it changed nothing), then waits, without the lock, until that is
  // written.
  void ChangeAndWait(const std::function<std::optional<StateChange>()>& change);

  // What the handlers may ask (OrderDesk).
  Fault fault() const override { return options.fault; }
  int payAfterQueries() const override { return options.payAfterQueries; }
  bool billReadyNow() const override { return options.billReadyNow; }
  std::chrono::milliseconds lateNotifyDelay() const override { return options.lateNotifyDelay; }
  std::optional<ArmedScenario> TakeArmed(const std::string& number) override;
  bool FirstPlacementOf(const std::string& number) override;
  bool Place(const std::string& number, const Order& order) override;
  bool WithOrder(const std::string& number, const OrderUse& use) override;
  std::string FindOrderNumber(const std::function<bool(const Order&)>& matches) override;
  std::vector<std::pair<std::string, Order>> AllOrders() override;
  std::string CodeUrl(const std::string& orderNo) const override;
  void SendSuccess(ReplyFields fields, Exchange& ex, Fault fault) override;
  void SendResultFail(const std::string& orderNo, const std::string& errCode,
                      const std::string& description, Exchange& ex) override;
  void SendFail(const std::string& message, HttpReply& reply) override;
  void Log(Exchange& ex, const std::string& orderNo, int status,
           const std::string& outcome) override;

  void Record(const HttpRequest& request, const Fields& fields);
  // Records a page's request: a payer's or a page's, journaled as `operation`, no API call.
  void RecordPage(Exchange& ex, const char* operation);
  void LogLine(const std::string& line);
  std::string NewNonce();

  Options options;
  const MerchantSettings merchant;
  std::string caFile;  // the CA that issued the certificate, where known
  std::string certificateError;
  MerchantCa merchantCa;  // issues the merchants' client certificates; set in Start()
  std::unique_ptr<HttpsServer> server;
  std::unique_ptr<Notifier> notifier;
  std::unique_ptr<StateStore> store;
  ConsoleSettings console;            // set in Start(), before the server serves
  std::mutex phonePageMutex;          // guards console's phone page, set while it serves
  std::vector<StoredOrder> restored;  // what Start() took up from the state file
  std::size_t restoredCount = 0;
  std::size_t resumedCount = 0;
  std::atomic<int> port{0};  // read by port() from any thread, e.g. while Run() starts
  std::mutex stopCall;       // serialises Start() and Stop()

  mutable std::mutex mutex;  // guards what follows, and every write of the state
  OrderBook book;
  // Changed and written under the lock together, so that the file's armed scenarios change
  // in the order the list's do.
  ArmedScenarios armed;
  OrderLife life;
  std::vector<std::string> forgotten;  // by the book, not yet deleted from the state
  // The numbers whose first placement a scenario failed (FirstPlacementOf), the oldest
  // dropped first beyond a bound: kept in memory only.
  std::set<std::string> failedOnce;
  std::deque<std::string> failedOnceByAge;
  std::vector<RecordedRequest> records;
  std::mt19937_64 random = SeededRandom();  // for nonces
  bool stopping = false;
  std::condition_variable stopped;

  std::mutex logMutex;
};

// --- Start ---

bool Sandbox::Impl::Start(std::string* error) {
  auto fail = [error](std::string message) {
    if (error) *error = std::move(message);
    return false;
  };
  if (!certificateError.empty()) return fail(certificateError);
  std::string notifyCas;
  if (std::string problem = ReadStartFiles(notifyCas); !problem.empty()) return fail(problem);
  std::string problem;
  if (!IssueClientCertificates(problem)) return fail(problem);
  // Before the state is taken up: its orders' ages are counted on this clock.
  SetClockOffsetMs(options.clockOffset.count());
  if (!LoadState(problem)) return fail(problem);
  SetUpConsole();
  // Made before the server serves, so that a request that pays an order finds it.
  if (options.notify) MakeNotifier(std::move(notifyCas));
  // Set before it starts: the handlers read it for the port.
  server = std::make_unique<HttpsServer>(ServerOptions());
  if (!server->Start(problem)) {
    server.reset();
    if (notifier) notifier->Stop();
    return fail(problem);
  }
  port = server->port();
  ResumeNotifications();
  return true;
}

// Each file is looked at before it is opened: the open of a pipe would wait for ever. ""
// when all can be read; the notification CAs are read once, here: an attempt that opened
// the file itself could find a pipe there later and wait beyond its time limit, where
// Stop() cannot end it.
std::string Sandbox::Impl::ReadStartFiles(std::string& notifyCas) {
  const std::pair<const char*, const std::string*> files[] = {
      {"certificate file", &options.certFile}, {"key file", &options.keyFile}};
  for (const auto& [what, path] : files) {
    if (!options.certPem.empty()) break;
    const std::string unusable = NotARegularFile(*path, kMaxCaFileBytes);
    if (!unusable.empty())
      return std::string("cannot read the ") + what + " " + *path + " (" + unusable + ")";
  }
  if (options.notify && !options.notifyCaFile.empty()) {
    const std::string unusable = NotARegularFile(options.notifyCaFile, kMaxCaFileBytes);
    if (!unusable.empty() || !ReadDiskFile(options.notifyCaFile, kMaxCaFileBytes, notifyCas)) {
      return "cannot read the notification CA file " + options.notifyCaFile + " (" +
             (unusable.empty() ? "it cannot be read" : unusable) + ")";
    }
  }
  return "";
}

bool Sandbox::Impl::LoadState(std::string& error) {
  StateStore::Limits limits;
  limits.journalMax = options.journalMax;
  limits.maxPages = options.stateMaxPages;
  store = StateStore::Open(options.stateFile, limits, error);
  if (!store) return false;
  const std::int64_t now = NowMs();
  const std::int64_t ttlMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(options.orderTtl).count();
  std::string problem;
  if (!store->LoadOrders(now - ttlMs, options.maxOrders, restored, problem)) {
    error = "the state file " + options.stateFile + " cannot be read (" + problem + ")";
    store.reset();
    return false;
  }
  std::vector<ArmedScenario> armedBefore;
  if (!store->LoadArmed(armedBefore, problem)) {
    error = "the state file " + options.stateFile + " cannot be read (" + problem + ")";
    store.reset();
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex);
  armed.Restore(std::move(armedBefore));
  // Each order comes back as old as it is, so that it is forgotten when it would have been.
  const auto steadyNow = OrderBook::Clock::now();
  for (const StoredOrder& stored : restored) {
    const std::int64_t age = std::clamp<std::int64_t>(now - stored.order.placedAt, 0, ttlMs);
    book.Place(stored.number, stored.order, steadyNow - std::chrono::milliseconds(age));
  }
  restoredCount = book.size();
  // The file was pruned by the same rules already.
  forgotten.clear();
  return true;
}

// The merchant CA, and the files of the merchant and of every profile's, each reused while
// it is still good, so that a merchant's code configured with them keeps working.
bool Sandbox::Impl::IssueClientCertificates(std::string& error) {
  if (options.clientCertFolder.empty()) {
    options.clientCertFolder = LocalSandboxFolder(ProcessEnvironment());
  } else if (options.clientCertFolder == kMemoryCertificates) {
    options.clientCertFolder.clear();
  }
  if (!TakeMerchantCa(options.clientCertFolder, merchantCa, error)) return false;
  if (options.clientCertFolder.empty()) return true;
  std::vector<std::string> numbers = {merchant.mchId};
  for (const std::string& number : options.certifiedMerchants) {
    if (std::find(numbers.begin(), numbers.end(), number) == numbers.end())
      numbers.push_back(number);
  }
  for (const std::string& number : numbers) {
    if (!IssueClientFiles(merchantCa, number, ClientCertFolder(options.clientCertFolder, number),
                          error)) {
      return false;
    }
  }
  console.clientCertFolder = options.clientCertFolder;
  console.clientCertMerchants = std::move(numbers);
  return true;
}

void Sandbox::Impl::SetUpConsole() {
  console.token = options.consoleToken.empty() ? RandomToken() : options.consoleToken;
  console.formToken = RandomToken();
  console.statePath = options.stateFile;
  console.journalMax = options.journalMax;
  console.orderTtl = options.orderTtl;
  console.maxOrders = options.maxOrders;
  console.notify = options.notify;
  console.apiKey = merchant.apiKey;
  console.billReadyNow = options.billReadyNow;
  console.appId = merchant.appId;
  console.mchId = merchant.mchId;
}

void Sandbox::Impl::MakeNotifier(std::string notifyCas) {
  NotifierOptions notify;
  notify.merchant = merchant;
  notify.delays = options.notifyDelays;
  notify.caFile = options.notifyCaFile;
  notify.caPem = std::move(notifyCas);
  notify.log = [this](const std::string& line) { LogLine("NOTIFY " + line); };
  notify.report = [this](const AttemptEntry& attempt) { OnAttempt(attempt); };
  notify.stillWanted = [this](const std::string& orderNo, const std::string& outRefundNo) {
    return StillWanted(orderNo, outRefundNo);
  };
  notify.changeAmountAfterSigning = options.fault == Fault::kBadNotifySign;
  notifier = std::make_unique<Notifier>(std::move(notify));
}

HttpsServerOptions Sandbox::Impl::ServerOptions() {
  HttpsServerOptions http;
  http.host = options.host;
  http.port = options.port;
  http.certFile = options.certFile;
  http.keyFile = options.keyFile;
  http.certPem = options.certPem;
  http.keyPem = options.keyPem;
  http.bodyLimit = kMaxRequestBodyBytes;
  http.clientCaPem = merchantCa.certPem;
  http.handle = [this](const HttpRequest& q, HttpsServerOptions::Answer a) {
    Handle(q, std::move(a));
  };
  http.maxConnections = options.maxConnections;
  http.afterConnectionBurst = options.afterConnectionBurst;
  http.refuse = [this](int status, const std::string& why, const HttpRequest& q, HttpReply& r) {
    Refuse(status, why, q, r);
  };
  http.holdFor = [this](const HttpRequest& q) { return HoldFor(q); };
  http.abandoned = [this](const HttpRequest& q) { Abandoned(q); };
  return http;
}

// The notifications that were due when the sandbox last stopped, each at its time.
void Sandbox::Impl::ResumeNotifications() {
  if (notifier) {
    const std::int64_t now = NowMs();
    for (const StoredOrder& stored : restored) {
      const Order& order = stored.order;
      const OrderState state = StateOf(order);
      if ((state != OrderState::kPaid && state != OrderState::kRefunded) ||
          order.notifyAcknowledged || stored.notifyNext == 0 || order.notifyUrl.empty()) {
        continue;
      }
      notifier->Resume(
          PaidOrderOf(stored.number, order), stored.notifyNext,
          std::chrono::milliseconds(std::max<std::int64_t>(0, stored.notifyDueAt - now)));
      ++resumedCount;
    }
    for (const StoredOrder& stored : restored) {
      for (std::size_t i = 0; i < stored.refunds.size(); ++i) {
        const StoredRefund& refund = stored.refunds[i];
        if (refund.refund.notifyAcknowledged || refund.notifyNext == 0 || !refund.refund.final()) {
          continue;
        }
        PaidOrder notice = RefundNoticeOf(stored.number, stored.order, i);
        if (notice.notifyUrl.empty()) continue;
        notifier->Resume(
            std::move(notice), refund.notifyNext,
            std::chrono::milliseconds(std::max<std::int64_t>(0, refund.notifyDueAt - now)));
        ++resumedCount;
      }
    }
  }
  restored.clear();
  restored.shrink_to_fit();
}

// --- The server's hooks, and routing ---

std::chrono::milliseconds Sandbox::Impl::HoldFor(const HttpRequest& request) {
  const ApiHandler* handler = FaultedHandler(request);
  if (options.fault != Fault::kStall || !handler) return {};
  // Recorded on arrival, so that a test can see what the stalled client sent.
  Record(request, CheckRequest(*handler->operation, request.body, merchant).fields);
  return options.stallFor;
}

void Sandbox::Impl::Abandoned(const HttpRequest& request) {
  const auto exchange = std::make_shared<Exchange>(request);
  Exchange& ex = *exchange;
  const ApiHandler* handler = FaultedHandler(request);
  ex.Check(handler ? *handler->operation : kUnifiedOrderOperation, merchant);
  const auto number = ex.check.fields.find(kFieldOutTradeNo);
  Log(ex, number == ex.check.fields.end() ? "" : number->second, 503,
      "FAIL stalled until the server stopped");
  Commit(exchange, nullptr);
}

void Sandbox::Impl::Handle(const HttpRequest& request, HttpsServerOptions::Answer answer) {
  if (IsConsolePath(request.path)) {
    // The console's own requests are neither journaled nor logged: an open page asks every
    // two seconds, and would soon push the merchant's requests out of the journal.
    ConsoleSettings settings;
    {
      std::lock_guard<std::mutex> lock(phonePageMutex);
      settings = console;
    }
    settings.port = server->port();
    HttpReply reply;
    ServeConsole(request, reply, *store, *this, settings);
    return answer(std::move(reply));
  }
  const auto exchange = std::make_shared<Exchange>(request);
  Route(*exchange);
  Commit(exchange, std::move(answer));
}

void Sandbox::Impl::Route(Exchange& ex) {
  if (RefusedCertificate(ex) || RouteOperation(ex) || RoutePayer(ex) || RoutePageVerify(ex)) {
    return;
  }
  const HttpRequest& request = ex.request;
  if (request.method == "GET" && request.path == "/favicon.ico") {
    // Browsers ask for it with every page: "none" rather than a failure in the log.
    ex.journal = false;
    ex.reply.status = 204;
    Log(ex, "-", 204, "no icon");
    return;
  }
  NoEndpoint(ex);
}

bool Sandbox::Impl::RefusedCertificate(Exchange& ex) {
  const HttpRequest& request = ex.request;
  if (!NeedsClientCertificate(request.path)) return false;
  const PeerCertificate& peer = request.peerCertificate;
  if (peer.presented && peer.trusted) return false;
  Record(request, {});
  ex.entry.verdict = kVerdictCertificate;
  CertificatePage(
      peer.presented ? "The SSL certificate error" : "No required SSL certificate was sent",
      ex.reply);
  Log(ex, "-", 400,
      peer.presented ? "FAIL a client certificate the merchant CA did not issue"
                     : "FAIL no client certificate");
  return true;
}

// The platform's operations, by the same declarations the client sends them by.
bool Sandbox::Impl::RouteOperation(Exchange& ex) {
  const HttpRequest& request = ex.request;
  const auto declared =
      std::find_if(kOperations.begin(), kOperations.end(), [&request](const Operation* o) {
        return request.method == "POST" && request.path == o->path;
      });
  if (declared == kOperations.end()) return false;
  const Operation& operation = **declared;
  const ApiHandler* handler = FindApiHandler(&operation);
  if (!handler) {
    Record(request, {});
    ex.entry.operation = operation.name;
    ex.entry.verdict = kVerdictNotServed;
    const std::string message = std::string("the ") + operation.name + " is not served here";
    SendFail(message, ex.reply);
    Log(ex, "-", 200, "FAIL " + message);
    return true;
  }
  ex.Check(operation, merchant);
  const CheckResult& check = ex.check;
  const bool faulted = handler->faulted;
  // A stalled request was recorded when it arrived.
  if (!(faulted && options.fault == Fault::kStall)) Record(request, check.fields);
  const auto number = check.fields.find(kFieldOutTradeNo);
  const std::string orderNo = number == check.fields.end() ? "" : number->second;
  if (faulted && options.fault == Fault::kHttp500) {
    Http500Reply(ex.reply);
    Log(ex, orderNo, 500, "FAULT http500, no order placed");
  } else if (NeedsClientCertificate(request.path) && check.fields.count(kFieldMchId) != 0 &&
             check.fields.at(kFieldMchId) != request.peerCertificate.commonName) {
    // Issued by the merchant CA, but to another merchant: the API itself refuses it.
    SendFail("certificate not match", ex.reply);
    Log(ex, orderNo, 200,
        "FAIL certificate not match (issued to " +
            PrintableAscii(request.peerCertificate.commonName) + ")");
  } else if (!check.ok) {
    SendFail(check.message, ex.reply);
    Log(ex, orderNo, 200, "FAIL " + check.message);
  } else {
    handler->serve(ex, *this);
  }
  return true;
}

bool Sandbox::Impl::RoutePayer(Exchange& ex) {
  const HttpRequest& request = ex.request;
  std::string orderNo;
  bool pay = false;
  PayerAction action = PayerAction::kDecline;
  if (request.method == "POST" && ParsePayerActionPath(request.path, orderNo, action)) {
    RecordPage(ex, kOperationPayment);
    ServePayerAction(ex, *this, orderNo, action);
    return true;
  }
  if (request.method == "GET" && request.path == kPaymentCodePath) {
    // A fresh code at each showing, as a phone makes one; the journal keeps each with the
    // second it was made, and micropay's line names the code it was paid with.
    RecordPage(ex, kOperationPaymentCode);
    std::uint32_t digits = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      digits = static_cast<std::uint32_t>(random() % 1'000'000);
    }
    const std::int64_t madeAt = ex.entry.at / 1000;
    const std::string code = MakeAuthCode(madeAt, 3, digits);
    // The payer page that led here, kept as the journal's order so that the console can say
    // whose page a code came from; anything that is no order number is left out.
    std::string from = FormValue(request.query, "from");
    if (!rules::IsOrderNumber(from)) from.clear();
    ex.reply.contentType = "text/html; charset=utf-8";
    ex.reply.body = PaymentCodeHtml(code, madeAt, from);
    Log(ex, from.empty() ? "-" : from, 200, kCodeShownLead + code + " shown, good for 60 s");
    return true;
  }
  if (request.method == "GET" && request.path == kBridgeScriptPath) {
    // Loaded by a merchant's page of another origin, as any script is: no CORS needed.
    RecordPage(ex, kOperationPayerPage);
    ex.reply.contentType = "text/javascript; charset=utf-8";
    ex.reply.body = BridgeScript();
    Log(ex, "-", 200, "bridge script served");
    return true;
  }
  if (request.method == "GET" && request.path == kBridgeDonePath) {
    RecordPage(ex, kOperationPayerPage);
    const std::string outcome = FormValue(request.query, "outcome");
    ex.reply.body = BridgeDoneHtml(outcome);
    ex.reply.status = ex.reply.body.empty() ? 404 : 200;
    ex.reply.contentType = "text/html; charset=utf-8";
    Log(ex, "-", ex.reply.status,
        ex.reply.body.empty() ? "FAIL no such outcome " + PrintableAscii(outcome)
                              : "bridge told " + outcome);
    return true;
  }
  if (!ParsePayerPath(request.path, orderNo, pay)) return false;
  if (request.method == "GET" && !pay) {
    RecordPage(ex, kOperationPayerPage);
    PayerContext payer;
    payer.mwebDomain = options.mwebDomain;
    payer.openId = OpenIdFromCookie(request.cookie);
    if (payer.openId.empty()) {
      std::lock_guard<std::mutex> lock(mutex);
      payer.openId = MakeUpOpenId(random);
      payer.newOpenId = true;
    }
    ServePayerPage(ex, *this, orderNo, payer);
    return true;
  }
  if (request.method == "POST" && pay) {
    RecordPage(ex, kOperationPayment);
    ServePayerPay(ex, *this, orderNo);
    return true;
  }
  return false;
}

// A JSAPI page's parameters, checked against the merchant's key and the order they name:
// answered in JSON, 200 whatever the verdict, which the body carries.
bool Sandbox::Impl::RoutePageVerify(Exchange& ex) {
  const HttpRequest& request = ex.request;
  if (request.path != kPageVerifyPath ||
      (request.method != "POST" && request.method != "OPTIONS")) {
    return false;
  }
  // A merchant's page of another origin asks, through the bridge script: its JSON body
  // makes the browser ask first (OPTIONS). No cookie is sent or needed, so any origin may.
  ex.reply.headers.emplace_back("Access-Control-Allow-Origin", "*");
  if (request.method == "OPTIONS") {
    ex.journal = false;
    ex.reply.status = 204;
    ex.reply.headers.emplace_back("Access-Control-Allow-Methods", "POST");
    ex.reply.headers.emplace_back("Access-Control-Allow-Headers", "Content-Type");
    ex.reply.headers.emplace_back("Access-Control-Max-Age", "600");
    Log(ex, "-", 204, "page check's preflight");
    return true;
  }
  RecordPage(ex, kOperationPageVerify);
  PageVerdict verdict;
  std::string orderNo;
  if (const std::optional<PageParameters> page = ReadPageParameters(request.body, verdict)) {
    std::optional<Order> found;
    if (page->package.rfind(kPackagePrefix, 0) == 0) {
      const std::string prepayId = page->prepayId();
      orderNo = FindOrderNumber([&prepayId](const Order& order) {
        return !prepayId.empty() && order.prepayId == prepayId;
      });
      if (!orderNo.empty()) {
        WithOrder(orderNo, [&found](Order& order, OrderLife&) { found = order; });
      }
    }
    verdict = CheckPageParameters(*page, merchant, found, NowMs());
  }
  ex.reply.contentType = "application/json";
  ex.reply.body = PageVerdictJson(verdict, orderNo);
  Log(ex, orderNo.empty() ? "-" : orderNo, 200,
      verdict.ok ? "page parameters pass" : "page parameters refused: " + verdict.rule);
  return true;
}

void Sandbox::Impl::NoEndpoint(Exchange& ex) {
  const HttpRequest& request = ex.request;
  Record(request, {});
  std::string endpoints = "POST";
  for (const Operation* operation : kOperations) {
    endpoints += std::string(endpoints.size() == 4 ? " " : ", ") + operation->path;
  }
  // Besides the platform's operations, the two a merchant's JSAPI page under test uses.
  endpoints += std::string(", ") + kPageVerifyPath + " or GET " + kBridgeScriptPath;
  std::string message = "no such endpoint: " + request.method + " " + PrintableAscii(request.path) +
                        " (" + endpoints + ")";
  // An operation asked for at the path it has without its guard, as merchants who move from
  // plain TLS do: the message names where it is.
  for (const Operation* operation : kOperations) {
    const std::string path = operation->path;
    const std::string prefix = std::string(kCertificatePathPrefix)
                                   .substr(0, std::string(kCertificatePathPrefix).size() - 1);
    if (path.rfind(prefix, 0) == 0 && request.path == path.substr(prefix.size())) {
      message = "no such endpoint: " + request.method + " " + request.path + ": the " +
                operation->name + " is at " + path + ", with the merchant's client certificate";
    }
  }
  ex.reply.status = 404;
  SendFail(message, ex.reply);
  Log(ex, "-", 404, "FAIL " + message);
}

void Sandbox::Impl::Refuse(int status, const std::string& reason, const HttpRequest& request,
                           HttpReply& reply) {
  if (IsConsolePath(request.path)) {
    // In the console's own format, and, as its other requests, neither journaled nor logged.
    return RefuseConsoleRequest(status, reason, request, reply);
  }
  Record(request, {});
  const auto exchange = std::make_shared<Exchange>(request);
  Exchange& ex = *exchange;
  ex.entry.verdict = kVerdictHttp;
  ex.reply.status = status;
  SendFail(reason, ex.reply);
  Log(ex, "-", status, "FAIL " + reason);
  // Refused before it was read whole, it changed nothing: its answer need not wait.
  reply = ex.reply;
  Commit(exchange, nullptr);
}

// --- Persistence ---

void Sandbox::Impl::Commit(const std::shared_ptr<Exchange>& exchange,
                           HttpsServerOptions::Answer answer) {
  Exchange& ex = *exchange;
  StateChange change;
  if (ex.changed) {
    change.orderNo = ex.entry.orderNo;
    change.order = std::move(ex.changed);
    change.notificationDue = ex.notify.has_value();
    for (const PaidOrder& notice : ex.notifyRefunds) {
      change.refundNotificationsDue.push_back(notice.outRefundNo());
    }
  }
  if (ex.journal) change.request = std::move(ex.entry);
  if (ex.tookArmed) change.disarmed.push_back(*ex.tookArmed);
  // Submitted in the order the book changed, under its lock.
  std::lock_guard<std::mutex> lock(mutex);
  Persist(std::move(change),
          [this, exchange, answer = std::move(answer)](bool, const std::string&) {
            if (answer) answer(std::move(exchange->reply));
            if (exchange->notify) NotifyPaid(std::move(*exchange->notify));
            for (PaidOrder& notice : exchange->notifyRefunds) NotifyPaid(std::move(notice));
          });
}

void Sandbox::Impl::PersistAndWait(StateChange change) {
  ChangeAndWait([&change] { return std::optional<StateChange>(std::move(change)); });
}

void Sandbox::Impl::ChangeAndWait(const std::function<std::optional<StateChange>()>& change) {
  std::promise<void> written;
  std::future<void> done = written.get_future();
  {
    std::lock_guard<std::mutex> lock(mutex);
    std::optional<StateChange> made = change();
    if (!made) return;
    Persist(std::move(*made), [&written](bool, const std::string&) { written.set_value(); });
  }
  done.wait();
}

void Sandbox::Impl::Persist(StateChange change, StateStore::Written done) {
  // An order forgotten since its copy was taken stays forgotten.
  if (change.order && !book.Find(change.orderNo, OrderBook::Clock::now())) {
    change.order.reset();
    change.notificationDue = false;
    change.refundNotificationsDue.clear();
  }
  change.forgotten = std::move(forgotten);
  forgotten.clear();
  const bool ordered = change.order.has_value();
  store->Submit(std::move(change), [this, ordered, done = std::move(done)](
                                       bool written, const std::string& error) {
    if (!written) {
      LogLine("STATE cannot write to " + PrintableAscii(options.stateFile) + " (" +
              PrintableAscii(error) + "): the request was answered, but " +
              (ordered ? "its order's change and " : "") + "its journal entry are not kept");
    }
    if (done) done(written, error);
  });
}

void Sandbox::Impl::OnAttempt(const AttemptEntry& attempt) {
  std::lock_guard<std::mutex> lock(mutex);
  if (attempt.acknowledged) {
    if (Order* order = book.Find(attempt.orderNo, OrderBook::Clock::now())) {
      if (attempt.outRefundNo.empty()) {
        OrderLife::Acknowledged(*order);
      } else {
        OrderLife::RefundAcknowledged(*order, attempt.outRefundNo);
      }
    }
  }
  std::string error;
  if (!store->RecordAttempt(attempt, error)) {
    LogLine("STATE cannot write to " + PrintableAscii(options.stateFile) + " (" +
            PrintableAscii(error) + "): the attempt for order " + PrintableAscii(attempt.orderNo) +
            " is not kept");
  }
  // What the lookup forgot goes with the next change.
}

bool Sandbox::Impl::StillWanted(const std::string& orderNo, const std::string& outRefundNo) {
  std::lock_guard<std::mutex> lock(mutex);
  const Order* order = book.Find(orderNo, OrderBook::Clock::now());
  if (order == nullptr) return true;
  if (outRefundNo.empty()) return !order->notifyAcknowledged;
  const Refund* refund = OrderLife::FindRefund(*order, outRefundNo);
  return refund == nullptr || !refund->notifyAcknowledged;
}

void Sandbox::Impl::NotifyPaid(PaidOrder paid) {
  if (notifier && !paid.notifyUrl.empty()) notifier->Notify(std::move(paid));
}

// --- The console's actions ---

ConsoleActions::Result Sandbox::Impl::Pay(const std::string& orderNo) {
  StateChange change;
  std::optional<PaidOrder> paidNow;
  Step step;
  const bool found = WithOrder(orderNo, [&](Order& order, OrderLife& orders) {
    step = PayOrder(orders, order, orderNo, Transition::kPay, Cause{Actor::kConsole, NowMs(), {}},
                    paidNow);
    if (step.moved()) change.order = order;
  });
  const std::string shown = PrintableAscii(orderNo);
  if (!found) return {Result::Kind::kNoSuchOrder, "there is no order " + shown, ""};
  if (step.refused()) return Said(Result::Kind::kRefused, step.refusal, shown);
  change.orderNo = orderNo;
  change.notificationDue = paidNow.has_value();
  PersistAndWait(std::move(change));
  LogLine("CONSOLE order " + shown + " paid");
  if (paidNow) NotifyPaid(std::move(*paidNow));
  return Said(Result::Kind::kDone, "paid", shown);
}

ConsoleActions::Result Sandbox::Impl::Close(const std::string& orderNo) {
  StateChange change;
  Step step;
  const bool found = WithOrder(orderNo, [&](Order& order, OrderLife& orders) {
    step = orders.Apply(order, Transition::kClose, Cause{Actor::kConsole, NowMs(), {}});
    if (step.moved()) change.order = order;
  });
  const std::string shown = PrintableAscii(orderNo);
  if (!found) return {Result::Kind::kNoSuchOrder, "there is no order " + shown, ""};
  if (step.refused()) return Said(Result::Kind::kRefused, step.refusal, shown);
  change.orderNo = orderNo;
  PersistAndWait(std::move(change));
  LogLine("CONSOLE order " + shown + " closed");
  return Said(Result::Kind::kDone, "closed", shown);
}

ConsoleActions::Result Sandbox::Impl::Notify(const std::string& orderNo) {
  std::optional<PaidOrder> paid;
  Step step;
  const bool found = WithOrder(orderNo, [&](Order& order, OrderLife&) {
    step = OrderLife::Check(order, Transition::kResend, Actor::kConsole);
    if (!step.refused()) paid = PaidOrderOf(orderNo, order);
  });
  const std::string shown = PrintableAscii(orderNo);
  if (!found) return {Result::Kind::kNoSuchOrder, "there is no order " + shown, ""};
  if (!notifier) return Said(Result::Kind::kRefused, "notify-off", shown);
  if (step.refused()) return Said(Result::Kind::kRefused, step.refusal, shown);
  LogLine("CONSOLE order " + shown + " notification sent again");
  notifier->Resend(std::move(*paid));
  return Said(Result::Kind::kDone, "notified", shown);
}

ConsoleActions::Result Sandbox::Impl::NotifyRefund(const std::string& orderNo,
                                                   const std::string& outRefundNo) {
  std::optional<PaidOrder> notice;
  const bool found = WithOrder(orderNo, [&](Order& order, OrderLife&) {
    for (std::size_t i = 0; i < order.refunds.size(); ++i) {
      if (order.refunds[i].outRefundNo == outRefundNo && order.refunds[i].final()) {
        notice = RefundNoticeOf(orderNo, order, i);
      }
    }
  });
  const std::string shown = PrintableAscii(orderNo);
  if (!found) return {Result::Kind::kNoSuchOrder, "there is no order " + shown, ""};
  if (!notifier) return Said(Result::Kind::kRefused, "notify-off", shown);
  if (!notice) return Said(Result::Kind::kRefused, "no-final-refund", shown);
  LogLine("CONSOLE order " + shown + " refund " + PrintableAscii(outRefundNo) +
          " notification sent again");
  notifier->Resend(std::move(*notice));
  return Said(Result::Kind::kDone, "refund-notified", shown);
}

void Sandbox::Impl::ForgetExpired() {
  std::lock_guard<std::mutex> lock(mutex);
  book.ForgetExpired(OrderBook::Clock::now());
  if (!forgotten.empty()) Persist(StateChange{});
}

void Sandbox::Impl::MoveClock(std::int64_t offsetMs) {
  SetClockOffsetMs(offsetMs);
  LogLine("CONSOLE clock moved to " + ClockOffsetText(ClockOffsetMs()) +
          " from the machine's: platform time now " + PlatformTime(NowMs(), kSuccessTimeFormat) +
          " " + kPlatformZoneName);
}

std::size_t Sandbox::Impl::OrderCount() {
  std::lock_guard<std::mutex> lock(mutex);
  return book.size();
}

ConsoleActions::Arming Sandbox::Impl::Arm(const Scenario& scenario, const std::string& outTradeNo,
                                          std::int64_t at) {
  Arming arming;
  ChangeAndWait([&]() -> std::optional<StateChange> {
    // Checked under the lock that placing takes too: no order can come in between.
    if (!outTradeNo.empty() && book.Find(outTradeNo, OrderBook::Clock::now())) {
      arming.kind = Arming::Kind::kPlaced;
      return std::nullopt;
    }
    std::optional<std::int64_t> replaced;
    const std::optional<ArmedScenario> entry = armed.Arm(scenario, outTradeNo, at, replaced);
    if (!entry) {
      arming.kind = Arming::Kind::kFull;
      return std::nullopt;
    }
    arming.armed = *entry;
    StateChange change;
    if (replaced) change.disarmed.push_back(*replaced);
    change.armed.push_back(*entry);
    return change;
  });
  return arming;
}

bool Sandbox::Impl::Disarm(std::int64_t id) {
  bool removed = false;
  ChangeAndWait([&]() -> std::optional<StateChange> {
    removed = armed.Remove(id);
    if (!removed) return std::nullopt;
    StateChange change;
    change.disarmed.push_back(id);
    return change;
  });
  return removed;
}

std::size_t Sandbox::Impl::DisarmAll() {
  std::size_t count = 0;
  ChangeAndWait([&]() -> std::optional<StateChange> {
    count = armed.Clear();
    StateChange change;
    change.disarmAll = true;
    return change;
  });
  return count;
}

std::vector<ArmedScenario> Sandbox::Impl::ArmedList() {
  std::lock_guard<std::mutex> lock(mutex);
  return armed.List();
}

// --- What the handlers may ask ---

bool Sandbox::Impl::Place(const std::string& number, const Order& order) {
  std::lock_guard<std::mutex> lock(mutex);
  return book.Place(number, order, OrderBook::Clock::now());
}

std::optional<ArmedScenario> Sandbox::Impl::TakeArmed(const std::string& number) {
  std::lock_guard<std::mutex> lock(mutex);
  return armed.Take(number);
}

bool Sandbox::Impl::FirstPlacementOf(const std::string& number) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!failedOnce.insert(number).second) return false;
  failedOnceByAge.push_back(number);
  if (failedOnceByAge.size() > kMaxFailedOnce) {
    failedOnce.erase(failedOnceByAge.front());
    failedOnceByAge.pop_front();
  }
  return true;
}

bool Sandbox::Impl::WithOrder(const std::string& number, const OrderUse& use) {
  std::lock_guard<std::mutex> lock(mutex);
  Order* order = book.Find(number, OrderBook::Clock::now());
  if (!order) return false;
  // Whoever looks at an order whose time_expire has come finds it closed, by the platform.
  life.CloseIfExpired(*order, NowMs());
  use(*order, life);
  return true;
}

std::string Sandbox::Impl::FindOrderNumber(const std::function<bool(const Order&)>& matches) {
  std::lock_guard<std::mutex> lock(mutex);
  return book.FindNumber(matches, OrderBook::Clock::now());
}

std::vector<std::pair<std::string, Order>> Sandbox::Impl::AllOrders() {
  std::lock_guard<std::mutex> lock(mutex);
  return book.All(OrderBook::Clock::now());
}

std::string Sandbox::Impl::CodeUrl(const std::string& orderNo) const {
  const std::string& host = options.publicHost.empty() ? options.host : options.publicHost;
  const std::string base = options.publicUrl.empty()
                               ? "https://" + UrlHost(host) + ":" + std::to_string(server->port())
                               : options.publicUrl;
  return base + PayerPagePath(orderNo);
}

void Sandbox::Impl::SendSuccess(ReplyFields fields, Exchange& ex, Fault fault) {
  SuccessReply(std::move(fields), merchant, NewNonce(), fault, ex.reply, ex.check.signTypeValue);
}

void Sandbox::Impl::SendResultFail(const std::string& orderNo, const std::string& errCode,
                                   const std::string& description, Exchange& ex) {
  ResultFailReply(orderNo, errCode, description, merchant, NewNonce(), ex.reply,
                  ex.check.signTypeValue);
}

void Sandbox::Impl::SendFail(const std::string& message, HttpReply& reply) {
  FailReply(message, reply);
}

// --- Logging ---

void Sandbox::Impl::RecordPage(Exchange& ex, const char* operation) {
  Record(ex.request, {});
  ex.entry.operation = operation;
  ex.entry.verdict = kVerdictPage;
}

void Sandbox::Impl::Record(const HttpRequest& request, const Fields& fields) {
  if (!options.recordRequests) return;
  std::lock_guard<std::mutex> lock(mutex);
  records.push_back(RecordedRequest{request.method, request.path, request.body, fields});
}

void Sandbox::Impl::Log(Exchange& ex, const std::string& orderNo, int status,
                        const std::string& outcome) {
  const HttpRequest& request = ex.request;
  ex.Conclude(orderNo, status, outcome);
  // MD5, the type of a request that names none, goes unsaid, as it always did.
  const std::string& signType = ex.entry.signType;
  const bool md5 = signType.empty() || signType == SignTypeName(SignType::kMd5);
  const std::string signedAs = md5 ? "" : " (sign_type " + signType + ")";
  LogLine((request.method.empty() ? "-" : request.method) + ' ' +
          (request.path.empty() ? "-" : PrintableAscii(request.path)) + ' ' +
          (orderNo.empty() ? "-" : PrintableAscii(orderNo)) + ' ' + std::to_string(status) + ' ' +
          outcome + signedAs);
}

void Sandbox::Impl::LogLine(const std::string& line) {
  std::ostream& out = options.log ? *options.log : std::cout;
  std::lock_guard<std::mutex> lock(logMutex);
  out << UtcTimestamp() << ' ' << line << std::endl;
}

std::string Sandbox::Impl::NewNonce() {
  std::lock_guard<std::mutex> lock(mutex);
  return RandomNonce(random);
}

// --- The public face ---

Sandbox::Sandbox(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Sandbox::~Sandbox() { Stop(); }

bool Sandbox::Start(std::string* error) {
  std::lock_guard<std::mutex> serial(impl_->stopCall);
  if (impl_->server) {
    if (error) *error = "the sandbox is already started";
    return false;
  }
  return impl_->Start(error);
}

bool Sandbox::Run(std::string* error) {
  if (!Start(error)) return false;
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->stopped.wait(lock, [this] { return impl_->stopping; });
  return true;
}

void Sandbox::Stop() {
  std::lock_guard<std::mutex> serial(impl_->stopCall);
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->stopped.notify_all();
  if (impl_->server) impl_->server->Stop();
  // What the last requests changed is written before the notifier goes.
  if (impl_->store) impl_->store->Drain();
  if (impl_->notifier) impl_->notifier->Stop();
}

int Sandbox::port() const { return impl_->port; }

std::string Sandbox::baseUrl() const {
  return "https://" + UrlHost(impl_->options.host) + ":" + std::to_string(port());
}

std::string Sandbox::caFile() const { return impl_->caFile; }

std::string Sandbox::certFile() const { return impl_->options.certFile; }

std::string Sandbox::clientCertFolder() const { return impl_->options.clientCertFolder; }

std::vector<RecordedRequest> Sandbox::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->records;
}

std::size_t Sandbox::orderCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->book.size();
}

std::string Sandbox::consoleUrl() const {
  const Options& options = impl_->options;
  return (options.publicUrl.empty() ? baseUrl() : options.publicUrl) + kConsolePath;
}

std::string Sandbox::consoleToken() const { return impl_->console.token; }

void Sandbox::ShowPhonePage(const std::string& url, const std::string& caFingerprint) {
  std::lock_guard<std::mutex> lock(impl_->phonePageMutex);
  impl_->console.phonePageUrl = url;
  impl_->console.caFingerprint = caFingerprint;
}

std::string Sandbox::stateFile() const { return impl_->options.stateFile; }

std::size_t Sandbox::restoredOrders() const { return impl_->restoredCount; }

std::size_t Sandbox::resumedNotifications() const { return impl_->resumedCount; }

std::string DefaultStateFile(const std::map<std::string, std::string>& environment) {
  std::error_code ignored;
  // A build tree keeps its state with the rest of what it made; an installed sandbox, or
  // one whose build tree has gone, in the user's data folder beside its certificates.
  // (A Windows build names no build folder: one of the build machine means nothing there.)
  constexpr char kBuildDir[] = QUILLMARK_SANDBOX_BUILD_DIR;
  if (kBuildDir[0] != '\0' &&
      std::filesystem::exists(platform::FilePath(std::string(kBuildDir) + "/CMakeCache.txt"),
                              ignored)) {
    return std::string(kBuildDir) + "/sandbox/state.db";
  }
  const std::string folder = LocalSandboxFolder(environment);
  if (folder.empty()) return kMemoryState;
  std::filesystem::create_directories(platform::FilePath(folder), ignored);
  return folder + "/state.db";
}

}  // namespace quillmark::sandbox
