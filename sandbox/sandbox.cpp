#include "sandbox/sandbox.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <utility>

#include "payment/flat_document.h"
#include "payment/local_sandbox.h"
#include "payment/merchant_config.h"
#include "payment/merchant_settings.h"
#include "platform/platform.h"
#include "sandbox/certificates.h"
#include "sandbox/console/console.h"
#include "sandbox/faults.h"
#include "http/https_server.h"
#include "sandbox/notify/notifier.h"
#include "sandbox/order/order_book.h"
#include "sandbox/payer/payer_page.h"
#include "sandbox/api/request_check.h"
#include "sandbox/store/state_store.h"

#include <openssl/rand.h>

namespace quillmark::sandbox {
namespace {

constexpr std::size_t kMaxRequestBodyBytes = 64 * 1024;
constexpr char kXmlType[] = "text/xml; charset=utf-8";
constexpr char kHtmlType[] = "text/html; charset=utf-8";
// trade_state_desc, UTF-8 like every reply: "支付成功", "已转入退款", "订单已关闭" and
// "订单未支付".
constexpr char kPaidDesc[] = "\xe6\x94\xaf\xe4\xbb\x98\xe6\x88\x90\xe5\x8a\x9f";
constexpr char kRefundedDesc[] = "\xe5\xb7\xb2\xe8\xbd\xac\xe5\x85\xa5\xe9\x80\x80\xe6\xac\xbe";
constexpr char kClosedDesc[] = "\xe8\xae\xa2\xe5\x8d\x95\xe5\xb7\xb2\xe5\x85\xb3\xe9\x97\xad";
constexpr char kNotPaidDesc[] = "\xe8\xae\xa2\xe5\x8d\x95\xe6\x9c\xaa\xe6\x94\xaf\xe4\xbb\x98";

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

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
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
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char byte : bytes) {
    token += kDigits[byte >> 4];
    token += kDigits[byte & 15];
  }
  return token;
}

PaidOrder PaidOrderOf(const std::string& orderNo, const Order& order) {
  return PaidOrder{order.notifyUrl, orderNo,        order.transactionId,
                   kTradeType,      order.totalFee, order.timeEnd};
}


}  // namespace

// One request on its way through the sandbox: what it was, how it was judged and answered,
// and what it changed, for the journal and the state file once it has been handled.
struct Exchange {
  explicit Exchange(const HttpRequest& q) : request(q) {}
  const HttpRequest& request;  // valid until the reply has been handed over
  HttpReply reply;
  std::int64_t at = NowMs();
  CheckResult check;  // of a request to an operation's path
  bool journal = true;
  std::string operation = kOperationOther;
  std::string verdict = kVerdictNoEndpoint;
  // From the log line.
  std::string orderNo;
  int status = 0;
  std::string outcome;
  // The order as the request left it, when it changed it; and the notification it is to
  // send once that is kept.
  std::optional<Order> changed;
  std::optional<PaidOrder> notify;
};

struct Sandbox::Impl : ConsoleActions {
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

  bool Start(std::string* error);

  void Handle(const HttpRequest& request, HttpsServerOptions::Answer answer);
  void Refuse(int status, const std::string& reason, const HttpRequest& request,
              HttpReply& reply);
  std::chrono::milliseconds HoldFor(const HttpRequest& request);
  void Abandoned(const HttpRequest& request);

  // Writes what the exchange changed and its journal entry, then hands its reply to
  // `answer` and sends the notification it made due: only once both are kept, so that a
  // sandbox stopped in between has given no answer it cannot stand by.
  void Commit(const std::shared_ptr<Exchange>& exchange, HttpsServerOptions::Answer answer);
  // Submits `change` with the orders forgotten meanwhile; the caller holds the lock. A
  // failure is logged: the request has its answer all the same.
  void Persist(StateChange change, StateStore::Written done = {});
  // Persist(), and waits until it is written, without the lock.
  void PersistAndWait(StateChange change);
  bool LoadState(std::string& error);
  void OnAttempt(const AttemptReport& report);
  bool StillWanted(const std::string& orderNo);

  // The console's actions (ConsoleActions).
  Result Pay(const std::string& orderNo) override;
  Result Close(const std::string& orderNo) override;
  Result Notify(const std::string& orderNo) override;
  void ForgetExpired() override;
  std::size_t OrderCount() override;

  // The platform's operations, each checked against its declaration first.
  using Handler = void (Impl::*)(Exchange&);
  struct Served {
    const Operation* operation;
    Handler handler;
  };
  // What the sandbox serves, by declaration: a declared operation without a handler here
  // is refused, never served as another.
  static const std::vector<Served>& Handlers();
  void UnifiedOrder(Exchange& ex);
  void OrderQuery(Exchange& ex);
  void CloseOrder(Exchange& ex);
  void Refund(Exchange& ex);
  void RefundQuery(Exchange& ex);
  void Route(Exchange& ex);
  void PayerPage(Exchange& ex, const std::string& orderNo);
  void PayerPay(Exchange& ex, const std::string& orderNo);
  void NoSuchOrder(Exchange& ex, const std::string& orderNo);

  // Sends `fields` (after return_code SUCCESS, with the merchant's ids, a fresh nonce,
  // result_code SUCCESS and the sign) as the reply, spoilt by the fault when `fault` is set.
  void SendSuccess(ReplyFields fields, HttpReply& reply, Fault fault = Fault::kNone);
  // A business failure: return_code SUCCESS, result_code FAIL with `errCode` and its
  // description, signed like any SUCCESS reply.
  void SendResultFail(const std::string& orderNo, const std::string& errCode,
                      const std::string& description, HttpReply& reply);
  void SendFail(const std::string& message, HttpReply& reply);

  // Calls `use` with the order under the lock; false when there is no such order.
  template <typename Use>
  bool WithOrder(const std::string& orderNo, Use use);
  // Marks `order` paid by `by` (the caller holds the lock) and returns what its
  // notification says.
  PaidOrder MarkPaid(const std::string& orderNo, Order& order, Actor by);
  // A fresh platform id (transaction_id, refund_id): the day, then random digits, 28 in
  // all; the caller holds the lock.
  std::string NewPlatformId(const std::string& day);
  void NotifyPaid(PaidOrder paid);

  void Record(const HttpRequest& request, const Fields& fields);
  // The request's log line, and what the journal keeps of it.
  void Log(Exchange& ex, const std::string& orderNo, int status, const std::string& outcome);
  void LogLine(const std::string& line);
  std::string NewNonce();
  std::string CodeUrl(const std::string& orderNo) const;

  Options options;
  const MerchantSettings merchant;
  std::string caFile;  // the CA that issued the certificate, where known
  std::string certificateError;
  std::unique_ptr<HttpsServer> server;
  std::unique_ptr<Notifier> notifier;
  std::unique_ptr<StateStore> store;
  ConsoleSettings console;            // set in Start(), before the server serves
  std::mutex phonePageMutex;          // guards console's phone page, set while it serves
  std::vector<StoredOrder> restored;  // what Start() took up from the state file
  std::size_t restoredCount = 0;
  std::size_t resumedCount = 0;
  std::atomic<int> port{0};  // read by port() from any thread, e.g. while Run() starts
  std::mutex stopCall;  // serialises Start() and Stop()

  mutable std::mutex mutex;  // guards what follows, and every write of the state
  OrderBook book;
  std::vector<std::string> forgotten;  // by the book, not yet deleted from the state
  std::vector<RecordedRequest> records;
  std::mt19937_64 random = SeededRandom();
  bool stopping = false;
  std::condition_variable stopped;

  std::mutex logMutex;
};

namespace {

// "[::1]" for an IPv6 address, the host as it is otherwise.
std::string UrlHost(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// Where the stall fault holds a request: the unified order, the step a client waits on.
bool Stalls(const HttpRequest& request) {
  return request.method == "POST" && request.path == kUnifiedOrderOperation.path;
}

std::string LocalTimeEnd() {
  const std::tm parts = platform::LocalCalendar(std::time(nullptr));
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &parts);
  return text;
}

}  // namespace

bool Sandbox::Impl::Start(std::string* error) {
  auto fail = [error](std::string message) {
    if (error) *error = std::move(message);
    return false;
  };
  if (!certificateError.empty()) return fail(certificateError);
  // Each file is looked at before it is opened: the open of a pipe would wait for ever.
  const std::pair<const char*, const std::string*> files[] = {
      {"certificate file", &options.certFile}, {"key file", &options.keyFile}};
  for (const auto& [what, path] : files) {
    if (!options.certPem.empty()) break;
    const std::string unusable = NotARegularFile(*path, kMaxCaFileBytes);
    if (!unusable.empty())
      return fail(std::string("cannot read the ") + what + " " + *path + " (" + unusable + ")");
  }
  // Read once, here: an attempt that opened the file itself could find a pipe there later
  // and wait beyond its time limit, where Stop() cannot end it.
  std::string notifyCas;
  if (options.notify && !options.notifyCaFile.empty()) {
    const std::string unusable = NotARegularFile(options.notifyCaFile, kMaxCaFileBytes);
    if (!unusable.empty() || !ReadDiskFile(options.notifyCaFile, kMaxCaFileBytes, notifyCas)) {
      return fail("cannot read the notification CA file " + options.notifyCaFile + " (" +
                  (unusable.empty() ? "it cannot be read" : unusable) + ")");
    }
  }

  std::string problem;
  if (!LoadState(problem)) return fail(problem);
  console.token = options.consoleToken.empty() ? RandomToken() : options.consoleToken;
  console.formToken = RandomToken();
  console.statePath = options.stateFile;
  console.journalMax = options.journalMax;
  console.orderTtl = options.orderTtl;
  console.maxOrders = options.maxOrders;
  console.notify = options.notify;

  // Made before the server serves, so that a request that pays an order finds it.
  if (options.notify) {
    NotifierOptions notify;
    notify.merchant = merchant;
    notify.delays = options.notifyDelays;
    notify.caFile = options.notifyCaFile;
    notify.caPem = std::move(notifyCas);
    notify.log = [this](const std::string& line) { LogLine("NOTIFY " + line); };
    notify.report = [this](const AttemptReport& report) { OnAttempt(report); };
    notify.stillWanted = [this](const std::string& orderNo) { return StillWanted(orderNo); };
    notify.changeAmountAfterSigning = options.fault == Fault::kBadNotifySign;
    notifier = std::make_unique<Notifier>(std::move(notify));
  }

  HttpsServerOptions http;
  http.host = options.host;
  http.port = options.port;
  http.certFile = options.certFile;
  http.keyFile = options.keyFile;
  http.certPem = options.certPem;
  http.keyPem = options.keyPem;
  http.bodyLimit = kMaxRequestBodyBytes;
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
  // Set before it starts: the handlers read it for the port.
  server = std::make_unique<HttpsServer>(std::move(http));
  if (!server->Start(problem)) {
    server.reset();
    if (notifier) notifier->Stop();
    return fail(problem);
  }
  port = server->port();

  // The notifications that were due when the sandbox last stopped, each at its time.
  if (notifier) {
    const std::int64_t now = NowMs();
    for (const StoredOrder& stored : restored) {
      const Order& order = stored.order;
      if (!order.paid || order.notifyAcknowledged || stored.notifyNext == 0 ||
          order.notifyUrl.empty()) {
        continue;
      }
      notifier->Resume(
          PaidOrderOf(stored.number, order), stored.notifyNext,
          std::chrono::milliseconds(std::max<std::int64_t>(0, stored.notifyDueAt - now)));
      ++resumedCount;
    }
  }
  restored.clear();
  restored.shrink_to_fit();
  return true;
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
  std::lock_guard<std::mutex> lock(mutex);
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

std::chrono::milliseconds Sandbox::Impl::HoldFor(const HttpRequest& request) {
  if (options.fault != Fault::kStall || !Stalls(request)) return {};
  // Recorded on arrival, so that a test can see what the stalled client sent.
  Record(request, CheckRequest(kUnifiedOrderOperation, request.body, merchant).fields);
  return options.stallFor;
}

void Sandbox::Impl::Abandoned(const HttpRequest& request) {
  const auto exchange = std::make_shared<Exchange>(request);
  Exchange& ex = *exchange;
  ex.check = CheckRequest(kUnifiedOrderOperation, request.body, merchant);
  const CheckResult& check = ex.check;
  ex.operation = kUnifiedOrderOperation.name;
  ex.verdict = VerdictName(check.verdict);
  const auto number = check.fields.find(kFieldOutTradeNo);
  Log(ex, number == check.fields.end() ? "" : number->second, 503,
      "FAIL stalled until the server stopped");
  Commit(exchange, nullptr);
}

const std::vector<Sandbox::Impl::Served>& Sandbox::Impl::Handlers() {
  static const std::vector<Served> handlers = {
      {&kUnifiedOrderOperation, &Impl::UnifiedOrder}, {&kOrderQueryOperation, &Impl::OrderQuery},
      {&kCloseOrderOperation, &Impl::CloseOrder},     {&kRefundOperation, &Impl::Refund},
      {&kRefundQueryOperation, &Impl::RefundQuery},
  };
  return handlers;
}

void Sandbox::Impl::Handle(const HttpRequest& request, HttpsServerOptions::Answer answer) {
  if (request.path == kConsolePath || request.path.rfind(std::string(kConsolePath) + "/", 0) == 0) {
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
  const HttpRequest& request = ex.request;
  HttpReply& reply = ex.reply;
  // The platform's operations, by the same declarations the client sends them by.
  for (const Operation* operation : kOperations) {
    if (request.method != "POST" || request.path != operation->path) continue;
    ex.operation = operation->name;
    const auto served =
        std::find_if(Handlers().begin(), Handlers().end(),
                     [operation](const Served& s) { return s.operation == operation; });
    if (served == Handlers().end()) {
      Record(request, {});
      ex.verdict = kVerdictNotServed;
      const std::string message = std::string("the ") + operation->name + " is not served here";
      SendFail(message, reply);
      Log(ex, "-", 200, "FAIL " + message);
      return;
    }
    ex.check = CheckRequest(*operation, request.body, merchant);
    const CheckResult& check = ex.check;
    ex.verdict = VerdictName(check.verdict);
    // A stalled unified order was recorded when it arrived.
    if (!(options.fault == Fault::kStall && Stalls(request))) Record(request, check.fields);
    const auto number = check.fields.find(kFieldOutTradeNo);
    const std::string orderNo = number == check.fields.end() ? "" : number->second;
    if (operation == &kUnifiedOrderOperation && options.fault == Fault::kHttp500) {
      Http500Reply(reply);
      Log(ex, orderNo, 500, "FAULT http500, no order placed");
      return;
    }
    if (!check.ok) {
      SendFail(check.message, reply);
      Log(ex, orderNo, 200, "FAIL " + check.message);
      return;
    }
    return (this->*served->handler)(ex);
  }
  std::string orderNo;
  bool pay = false;
  if (ParsePayerPath(request.path, orderNo, pay)) {
    ex.verdict = kVerdictPage;
    if (request.method == "GET" && !pay) {
      ex.operation = kOperationPayerPage;
      return PayerPage(ex, orderNo);
    }
    if (request.method == "POST" && pay) {
      ex.operation = kOperationPayment;
      return PayerPay(ex, orderNo);
    }
    ex.verdict = kVerdictNoEndpoint;
  }
  if (request.method == "GET" && request.path == "/favicon.ico") {
    // Browsers ask for it with every page: "none" rather than a failure in the log.
    ex.journal = false;
    reply.status = 204;
    Log(ex, "-", 204, "no icon");
    return;
  }
  Record(request, {});
  std::string endpoints = "POST";
  for (std::size_t i = 0; i < kOperations.size(); ++i) {
    endpoints += (i == 0 ? " " : i + 1 == kOperations.size() ? " or " : ", ");
    endpoints += kOperations[i]->path;
  }
  const std::string message = "no such endpoint: " + request.method + " " +
                              PrintableAscii(request.path) + " (" + endpoints + ")";
  reply.status = 404;
  SendFail(message, reply);
  Log(ex, "-", 404, "FAIL " + message);
}

void Sandbox::Impl::Refuse(int status, const std::string& reason, const HttpRequest& request,
                           HttpReply& reply) {
  Record(request, {});
  const auto exchange = std::make_shared<Exchange>(request);
  Exchange& ex = *exchange;
  ex.verdict = kVerdictHttp;
  ex.reply.status = status;
  SendFail(reason, ex.reply);
  Log(ex, "-", status, "FAIL " + reason);
  // Refused before it was read whole, it changed nothing: its answer need not wait.
  reply = ex.reply;
  Commit(exchange, nullptr);
}

void Sandbox::Impl::Commit(const std::shared_ptr<Exchange>& exchange,
                           HttpsServerOptions::Answer answer) {
  Exchange& ex = *exchange;
  StateChange change;
  if (ex.journal) {
    JournalEntry entry;
    const HttpRequest& request = ex.request;
    entry.at = ex.at;
    entry.method = request.method;
    entry.path = request.path;
    entry.operation = ex.operation;
    entry.orderNo = ex.orderNo;
    entry.verdict = ex.verdict;
    entry.status = ex.status;
    entry.outcome = ex.outcome;
    entry.body = request.body.substr(0, kKeptTextBytes);
    entry.bodyBytes = request.body.size();
    entry.reply = ex.reply.body.substr(0, kKeptTextBytes);
    entry.replyBytes = ex.reply.body.size();
    entry.signString = ex.check.signString.substr(0, kKeptTextBytes);
    entry.expectedSign = ex.check.expectedSign;
    entry.receivedSign = ex.check.receivedSign;
    change.request = std::move(entry);
  }
  if (ex.changed) {
    change.orderNo = ex.orderNo;
    change.order = std::move(ex.changed);
    change.notificationDue = ex.notify.has_value();
  }
  // Submitted in the order the book changed, under its lock.
  std::lock_guard<std::mutex> lock(mutex);
  Persist(std::move(change),
          [this, exchange, answer = std::move(answer)](bool, const std::string&) {
            if (answer) answer(std::move(exchange->reply));
            if (exchange->notify) NotifyPaid(std::move(*exchange->notify));
          });
}

void Sandbox::Impl::PersistAndWait(StateChange change) {
  std::promise<void> written;
  std::future<void> done = written.get_future();
  {
    std::lock_guard<std::mutex> lock(mutex);
    Persist(std::move(change), [&written](bool, const std::string&) { written.set_value(); });
  }
  done.wait();
}

void Sandbox::Impl::Persist(StateChange change, StateStore::Written done) {
  // An order forgotten since its copy was taken stays forgotten.
  if (change.order && !book.Find(change.orderNo, OrderBook::Clock::now())) {
    change.order.reset();
    change.notificationDue = false;
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

void Sandbox::Impl::OnAttempt(const AttemptReport& report) {
  AttemptEntry attempt;
  attempt.at =
      std::chrono::duration_cast<std::chrono::milliseconds>(report.startedAt.time_since_epoch())
          .count();
  attempt.orderNo = report.outTradeNo;
  attempt.number = report.attempt;
  attempt.url = report.url;
  attempt.httpStatus = report.httpStatus;
  attempt.error = report.error;
  attempt.answer = report.answer;
  attempt.answerBytes = report.answerBytes;
  attempt.durationMs = report.took.count();
  attempt.acknowledged = report.acknowledged;
  attempt.nextAttempt = report.nextAttempt;
  attempt.nextDueAt = report.nextAttempt == 0 ? 0 : NowMs() + report.nextIn.count();
  std::lock_guard<std::mutex> lock(mutex);
  if (report.acknowledged) {
    if (Order* order = book.Find(report.outTradeNo, OrderBook::Clock::now())) {
      order->notifyAcknowledged = true;
    }
  }
  std::string error;
  if (!store->RecordAttempt(attempt, error)) {
    LogLine("STATE cannot write to " + PrintableAscii(options.stateFile) + " (" +
            PrintableAscii(error) + "): the attempt for order " +
            PrintableAscii(report.outTradeNo) + " is not kept");
  }
  // What the lookup forgot goes with the next change.
}

bool Sandbox::Impl::StillWanted(const std::string& orderNo) {
  std::lock_guard<std::mutex> lock(mutex);
  const Order* order = book.Find(orderNo, OrderBook::Clock::now());
  return order == nullptr || !order->notifyAcknowledged;
}

void Sandbox::Impl::Record(const HttpRequest& request, const Fields& fields) {
  if (!options.recordRequests) return;
  std::lock_guard<std::mutex> lock(mutex);
  records.push_back(RecordedRequest{request.method, request.path, request.body, fields});
}

void Sandbox::Impl::Log(Exchange& ex, const std::string& orderNo, int status,
                        const std::string& outcome) {
  const HttpRequest& request = ex.request;
  ex.orderNo = orderNo == "-" ? "" : orderNo;
  ex.status = status;
  ex.outcome = outcome;
  LogLine((request.method.empty() ? "-" : request.method) + ' ' +
          (request.path.empty() ? "-" : PrintableAscii(request.path)) + ' ' +
          (orderNo.empty() ? "-" : PrintableAscii(orderNo)) + ' ' + std::to_string(status) + ' ' +
          outcome);
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

std::string Sandbox::Impl::CodeUrl(const std::string& orderNo) const {
  const std::string& host = options.publicHost.empty() ? options.host : options.publicHost;
  const std::string base = options.publicUrl.empty()
                               ? "https://" + UrlHost(host) + ":" + std::to_string(server->port())
                               : options.publicUrl;
  return base + PayerPagePath(orderNo);
}

template <typename Use>
bool Sandbox::Impl::WithOrder(const std::string& orderNo, Use use) {
  std::lock_guard<std::mutex> lock(mutex);
  Order* order = book.Find(orderNo, OrderBook::Clock::now());
  if (!order) return false;
  use(*order);
  return true;
}

std::string Sandbox::Impl::NewPlatformId(const std::string& day) {
  std::uniform_int_distribution<int> digit(0, 9);
  std::string id = day.substr(0, 8);
  while (id.size() < 28) id += char('0' + digit(random));
  return id;
}

PaidOrder Sandbox::Impl::MarkPaid(const std::string& orderNo, Order& order, Actor by) {
  order.paid = true;
  order.timeEnd = LocalTimeEnd();
  order.transactionId = NewPlatformId(order.timeEnd);
  order.paidAt = NowMs();
  order.paidBy = by;
  ++order.version;
  return PaidOrderOf(orderNo, order);
}

void Sandbox::Impl::NotifyPaid(PaidOrder paid) {
  if (notifier && !paid.notifyUrl.empty()) notifier->Notify(std::move(paid));
}

void Sandbox::Impl::SendFail(const std::string& message, HttpReply& reply) {
  reply.contentType = kXmlType;
  reply.body = ReplyDocument({{kFieldReturnCode, "FAIL"}, {kFieldReturnMsg, message}});
}

void Sandbox::Impl::SendSuccess(ReplyFields fields, HttpReply& reply, Fault fault) {
  fields.insert(fields.begin(), {{kFieldReturnCode, "SUCCESS"},
                                 {kFieldReturnMsg, FaultyReturnMsg(fault, "OK")},
                                 {kFieldAppId, merchant.appId},
                                 {kFieldMchId, merchant.mchId}});
  fields.emplace_back(kFieldNonceStr, NewNonce());
  if (std::none_of(fields.begin(), fields.end(),
                   [](const auto& field) { return field.first == kFieldResultCode; })) {
    fields.emplace_back(kFieldResultCode, "SUCCESS");
  }
  SpoilBeforeSigning(fault, fields);
  fields.emplace_back(kFieldSign, SignOf(Fields(fields.begin(), fields.end()), merchant.apiKey));
  SpoilAfterSigning(fault, fields);
  reply.contentType = kXmlType;
  reply.body = ReplyDocument(fields);
  SpoilDelivery(fault, reply);
}

void Sandbox::Impl::SendResultFail(const std::string& orderNo, const std::string& errCode,
                                   const std::string& description, HttpReply& reply) {
  SendSuccess({{kFieldOutTradeNo, orderNo},
               {kFieldResultCode, "FAIL"},
               {kFieldErrCode, errCode},
               {kFieldErrCodeDes, description}},
              reply);
}

void Sandbox::Impl::UnifiedOrder(Exchange& ex) {
  const CheckResult& check = ex.check;
  HttpReply& reply = ex.reply;
  const Fault fault = options.fault;
  const std::string& orderNo = check.fields.at(kFieldOutTradeNo);
  {
    std::lock_guard<std::mutex> lock(mutex);
    Order order;
    order.description = check.fields.at(kFieldBody);
    order.totalFee = std::stoll(check.fields.at(kFieldTotalFee));  // checked: 1..2^31-1
    order.notifyUrl = check.fields.at(kFieldNotifyUrl);
    order.placedAt = ex.at;
    order.version = 1;
    ex.changed = order;
    if (!book.Place(orderNo, std::move(order), OrderBook::Clock::now())) {
      ex.changed.reset();
      const std::string message = "out_trade_no " + orderNo + " has already been used";
      SendFail(message, reply);
      Log(ex, orderNo, 200, "FAIL " + message);
      return;
    }
  }
  SendSuccess({{kFieldOutTradeNo, orderNo},
               {kFieldTradeType, kTradeType},
               {kFieldCodeUrl, CodeUrl(orderNo)}},
              reply, fault);
  // The notification fault spoils no reply.
  const bool spoilt = fault != Fault::kNone && fault != Fault::kBadNotifySign;
  Log(ex, orderNo, 200,
      std::string("SUCCESS order placed") +
          (spoilt ? std::string(", reply spoilt by fault ") + FaultName(fault) : ""));
}

void Sandbox::Impl::OrderQuery(Exchange& ex) {
  const CheckResult& check = ex.check;
  HttpReply& reply = ex.reply;
  const std::string& orderNo = check.fields.at(kFieldOutTradeNo);
  Order seen;  // as it was when this query was answered
  const bool found = WithOrder(orderNo, [&](Order& order) {
    seen = order;
    ++order.queries;
    if (order.firstQueryAt == 0) order.firstQueryAt = ex.at;
    order.lastQueryAt = ex.at;
    ++order.version;
    if (!order.paid && !order.closed && options.payAfterQueries > 0 &&
        order.queries >= options.payAfterQueries) {
      ex.notify = MarkPaid(orderNo, order, Actor::kQuery);
    }
    ex.changed = order;
  });
  if (!found) {
    const std::string message = "order " + orderNo + " does not exist";
    SendFail(message, reply);
    Log(ex, orderNo, 200, "FAIL " + message);
    return;
  }
  const std::string state = TradeState(seen);
  ReplyFields fields = {{kFieldOutTradeNo, orderNo},
                        {kFieldTotalFee, std::to_string(seen.totalFee)},
                        {kFieldTradeState, state},
                        {kFieldTradeStateDesc, seen.refunded ? kRefundedDesc
                                               : seen.paid   ? kPaidDesc
                                               : seen.closed ? kClosedDesc
                                                             : kNotPaidDesc}};
  if (seen.paid) {
    fields.emplace_back(kFieldTransactionId, seen.transactionId);
    fields.emplace_back(kFieldTimeEnd, seen.timeEnd);
  }
  SendSuccess(std::move(fields), reply);
  Log(ex, orderNo, 200, "SUCCESS trade_state=" + state);
}

void Sandbox::Impl::CloseOrder(Exchange& ex) {
  const CheckResult& check = ex.check;
  HttpReply& reply = ex.reply;
  const std::string& orderNo = check.fields.at(kFieldOutTradeNo);
  bool paid = false;
  const bool found = WithOrder(orderNo, [&](Order& order) {
    paid = order.paid;
    if (!paid && !order.closed) {
      order.closed = true;
      order.closedAt = ex.at;
      order.closedBy = Actor::kMerchant;
      ++order.version;
      ex.changed = order;
    }
  });
  // Refusals are business failures of a request that was itself in order: signed replies
  // with result_code FAIL and a code that says why, as the platform answers them.
  if (!found) {
    SendResultFail(orderNo, "ORDERNOTEXIST", "order " + orderNo + " does not exist", reply);
    Log(ex, orderNo, 200, "FAIL ORDERNOTEXIST, nothing to close");
  } else if (paid) {
    SendResultFail(orderNo, "ORDERPAID", "order " + orderNo + " has been paid and cannot be closed",
                   reply);
    Log(ex, orderNo, 200, "FAIL ORDERPAID, not closed");
  } else {
    SendSuccess({{kFieldOutTradeNo, orderNo}}, reply);
    Log(ex, orderNo, 200, "SUCCESS order closed");
  }
}

void Sandbox::Impl::Refund(Exchange& ex) {
  const CheckResult& check = ex.check;
  HttpReply& reply = ex.reply;
  const std::string& orderNo = check.fields.at(kFieldOutTradeNo);
  const std::string& refundNo = check.fields.at(kFieldOutRefundNo);
  const long long refundFee = std::stoll(check.fields.at(kFieldRefundFee));  // checked: 1..2^31-1
  const long long totalFee = std::stoll(check.fields.at(kFieldTotalFee));
  // Why the order cannot be refunded, as the code and words of a business failure.
  std::string errCode;
  std::string why;
  Order refunded;
  const bool found = WithOrder(orderNo, [&](Order& order) {
    if (order.closed) {
      errCode = "ORDERCLOSED", why = "has been closed and was never paid";
    } else if (!order.paid) {
      errCode = "ORDERNOTPAID", why = "has not been paid";
    } else if (order.refunded) {
      errCode = "ORDERREFUNDED", why = "has been refunded already (as " + order.outRefundNo + ")";
    } else if (totalFee != order.totalFee || refundFee != order.totalFee) {
      errCode = "INVALIDREFUNDFEE",
      why = "is refunded whole: total_fee and refund_fee must both be " +
            std::to_string(order.totalFee);
    } else {
      order.refunded = true;
      order.outRefundNo = refundNo;
      order.refundId = NewPlatformId(LocalTimeEnd());
      order.refundedAt = ex.at;
      ++order.version;
      refunded = order;
      ex.changed = order;
    }
  });
  if (!found) {
    SendResultFail(orderNo, "ORDERNOTEXIST", "order " + orderNo + " does not exist", reply);
    Log(ex, orderNo, 200, "FAIL ORDERNOTEXIST, nothing to refund");
  } else if (!errCode.empty()) {
    SendResultFail(orderNo, errCode, "order " + orderNo + " " + why, reply);
    Log(ex, orderNo, 200, "FAIL " + errCode + ", not refunded");
  } else {
    SendSuccess({{kFieldOutTradeNo, orderNo},
                 {kFieldTransactionId, refunded.transactionId},
                 {kFieldOutRefundNo, refundNo},
                 {kFieldRefundId, refunded.refundId},
                 {kFieldRefundFee, std::to_string(refunded.totalFee)},
                 {kFieldTotalFee, std::to_string(refunded.totalFee)}},
                reply);
    Log(ex, orderNo, 200, "SUCCESS refunded as " + PrintableAscii(refundNo));
  }
}

void Sandbox::Impl::RefundQuery(Exchange& ex) {
  const CheckResult& check = ex.check;
  HttpReply& reply = ex.reply;
  const std::string& orderNo = check.fields.at(kFieldOutTradeNo);
  Order seen;
  if (!WithOrder(orderNo, [&seen](Order& order) { seen = order; })) {
    SendResultFail(orderNo, "ORDERNOTEXIST", "order " + orderNo + " does not exist", reply);
    Log(ex, orderNo, 200, "FAIL ORDERNOTEXIST");
  } else if (!seen.refunded) {
    SendResultFail(orderNo, "REFUNDNOTEXIST", "order " + orderNo + " has no refund", reply);
    Log(ex, orderNo, 200, "FAIL REFUNDNOTEXIST");
  } else {
    const std::string fee = std::to_string(seen.totalFee);
    SendSuccess({{kFieldOutTradeNo, orderNo},
                 {kFieldTransactionId, seen.transactionId},
                 {kFieldTotalFee, fee},
                 {kFieldRefundCount, "1"},
                 {kFieldOutRefundNo0, seen.outRefundNo},
                 {kFieldRefundId0, seen.refundId},
                 {kFieldRefundFee0, fee},
                 {kFieldRefundStatus0, "SUCCESS"}},
                reply);
    Log(ex, orderNo, 200, "SUCCESS refund_status_0=SUCCESS");
  }
}

void Sandbox::Impl::NoSuchOrder(Exchange& ex, const std::string& orderNo) {
  HttpReply& reply = ex.reply;
  reply.status = 404;
  reply.contentType = kHtmlType;
  reply.body = NoSuchOrderHtml(orderNo);
  Log(ex, orderNo, 404, "FAIL no such order");
}

void Sandbox::Impl::PayerPage(Exchange& ex, const std::string& orderNo) {
  Record(ex.request, {});
  Order order;
  if (!WithOrder(orderNo, [&order](Order& kept) { order = kept; })) {
    return NoSuchOrder(ex, orderNo);
  }
  ex.reply.contentType = kHtmlType;
  ex.reply.body = PayerPageHtml(orderNo, order);
  Log(ex, orderNo, 200, std::string("page shown, trade_state=") + TradeState(order));
}

void Sandbox::Impl::PayerPay(Exchange& ex, const std::string& orderNo) {
  Record(ex.request, {});
  bool closed = false;
  const bool found = WithOrder(orderNo, [&](Order& order) {
    closed = order.closed;
    if (!order.paid && !closed) {
      ex.notify = MarkPaid(orderNo, order, Actor::kPayerPage);
      ex.changed = order;
    }
  });
  if (!found) return NoSuchOrder(ex, orderNo);
  // Post/Redirect/Get: reloading the page shows the state instead of paying again.
  ex.reply.status = 303;
  ex.reply.location = PayerPagePath(orderNo);
  Log(ex, orderNo, 303,
      closed       ? "refused: the order is closed"
      : !ex.notify ? "already paid"
                   : "paid");
}

namespace {
// An action's result in the console's own words, which its order page can show again.
ConsoleActions::Result Said(ConsoleActions::Result::Kind kind, const char* key,
                            const std::string& shownOrderNo) {
  return {kind, ConsoleMessage(key, shownOrderNo), key};
}
}  // namespace

ConsoleActions::Result Sandbox::Impl::Pay(const std::string& orderNo) {
  StateChange change;
  std::optional<PaidOrder> paidNow;
  bool paid = false;
  bool closed = false;
  const bool found = WithOrder(orderNo, [&](Order& order) {
    paid = order.paid;
    closed = order.closed;
    if (!paid && !closed) {
      paidNow = MarkPaid(orderNo, order, Actor::kConsole);
      change.order = order;
    }
  });
  const std::string shown = PrintableAscii(orderNo);
  if (!found) return {Result::Kind::kNoSuchOrder, "there is no order " + shown, ""};
  if (closed) return Said(Result::Kind::kRefused, "closed-unpayable", shown);
  if (paid) return Said(Result::Kind::kRefused, "paid-already", shown);
  change.orderNo = orderNo;
  change.notificationDue = true;
  PersistAndWait(std::move(change));
  LogLine("CONSOLE order " + shown + " paid");
  NotifyPaid(std::move(*paidNow));
  return Said(Result::Kind::kDone, "paid", shown);
}

ConsoleActions::Result Sandbox::Impl::Close(const std::string& orderNo) {
  StateChange change;
  bool paid = false;
  bool closed = false;
  const bool found = WithOrder(orderNo, [&](Order& order) {
    paid = order.paid;
    closed = order.closed;
    if (!paid && !closed) {
      order.closed = true;
      order.closedAt = NowMs();
      order.closedBy = Actor::kConsole;
      ++order.version;
      change.order = order;
    }
  });
  const std::string shown = PrintableAscii(orderNo);
  if (!found) return {Result::Kind::kNoSuchOrder, "there is no order " + shown, ""};
  if (paid) return Said(Result::Kind::kRefused, "paid-unclosable", shown);
  if (closed) return Said(Result::Kind::kRefused, "closed-already", shown);
  change.orderNo = orderNo;
  PersistAndWait(std::move(change));
  LogLine("CONSOLE order " + shown + " closed");
  return Said(Result::Kind::kDone, "closed", shown);
}

ConsoleActions::Result Sandbox::Impl::Notify(const std::string& orderNo) {
  std::optional<PaidOrder> paid;
  const bool found = WithOrder(orderNo, [&](Order& order) {
    if (order.paid) paid = PaidOrderOf(orderNo, order);
  });
  const std::string shown = PrintableAscii(orderNo);
  if (!found) return {Result::Kind::kNoSuchOrder, "there is no order " + shown, ""};
  if (!notifier) return Said(Result::Kind::kRefused, "notify-off", shown);
  if (!paid) return Said(Result::Kind::kRefused, "not-paid", shown);
  LogLine("CONSOLE order " + shown + " notification sent again");
  notifier->Resend(std::move(*paid));
  return Said(Result::Kind::kDone, "notified", shown);
}

void Sandbox::Impl::ForgetExpired() {
  std::lock_guard<std::mutex> lock(mutex);
  book.ForgetExpired(OrderBook::Clock::now());
  if (!forgotten.empty()) Persist(StateChange{});
}

std::size_t Sandbox::Impl::OrderCount() {
  std::lock_guard<std::mutex> lock(mutex);
  return book.size();
}

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
