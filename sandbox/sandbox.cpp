#include "sandbox/sandbox.h"

#include "payment/merchant_settings.h"
#include "sandbox/certificates.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "sandbox/https_server.h"
#include "sandbox/notifier.h"
#include "sandbox/order_book.h"
#include "sandbox/request_check.h"

namespace quillmark::sandbox {
namespace {

constexpr std::size_t kMaxRequestBodyBytes = 64 * 1024;
// Nearly a megabyte, yet the whole reply stays within the clients' reply-size limit.
constexpr std::size_t kHugePaddingBytes = 960 * 1024;
constexpr char kXmlType[] = "text/xml; charset=utf-8";
constexpr char kHtmlType[] = "text/html; charset=utf-8";
// "成功" ("success") in GBK: what a server that forgot to convert its text would send.
constexpr char kGbkSuccess[] = "\xb3\xc9\xb9\xa6";
// trade_state_desc, UTF-8 like every reply: "支付成功" and "订单未支付".
constexpr char kPaidDesc[] = "\xe6\x94\xaf\xe4\xbb\x98\xe6\x88\x90\xe5\x8a\x9f";
constexpr char kNotPaidDesc[] = "\xe8\xae\xa2\xe5\x8d\x95\xe6\x9c\xaa\xe6\x94\xaf\xe4\xbb\x98";

using ReplyFields = std::vector<std::pair<std::string, std::string>>;

struct FaultNameEntry {
  Fault fault;
  const char* name;
};
constexpr FaultNameEntry kFaultNames[] = {
    {Fault::kNone, "none"},          {Fault::kStall, "stall"},
    {Fault::kDropMidReply, "drop"},  {Fault::kTinyChunks, "tiny-chunks"},
    {Fault::kZeroByte, "zero-byte"}, {Fault::kNotUtf8, "not-utf8"},
    {Fault::kHttp500, "http500"},    {Fault::kNoCodeUrl, "no-code-url"},
    {Fault::kHugeReply, "huge"},     {Fault::kBadSign, "bad-sign"},
};

// UTC as 2026-01-31T12:34:56.789Z. gmtime_r, not gmtime: requests are logged from the
// server's worker threads.
std::string UtcTimestamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(ms));
  return text;
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Order numbers may hold '|' and '*', which do not belong in a path as they are.
std::string PercentEncode(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       c == '-' || c == '_' || c == '.' || c == '~';
    if (plain) {
      out += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      out += escaped;
    }
  }
  return out;
}

std::string Amount(long long cents) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%02lld", cents / 100, cents % 100);
  return text;
}

bool Readable(const std::string& path) { return std::ifstream(path).good(); }

}  // namespace

const char* FaultName(Fault fault) {
  for (const auto& entry : kFaultNames) {
    if (entry.fault == fault) return entry.name;
  }
  return "none";
}

bool ParseFault(const std::string& name, Fault& fault) {
  for (const auto& entry : kFaultNames) {
    if (name == entry.name) {
      fault = entry.fault;
      return true;
    }
  }
  return false;
}

struct Sandbox::Impl {
  explicit Impl(Options o)
      : options(std::move(o)), merchant(options.merchant), book(options.orderTtl, options.maxOrders) {
    const bool chooseOwn = options.certFile.empty() && options.keyFile.empty();
    if (options.certFile.empty()) options.certFile = QUILLMARK_SANDBOX_DEFAULT_CERT;
    if (options.keyFile.empty()) options.keyFile = QUILLMARK_SANDBOX_DEFAULT_KEY;
    if (chooseOwn) {
      caFile = QUILLMARK_SANDBOX_DEFAULT_CA;
      if (!Readable(options.certFile) || !Readable(options.keyFile)) {
        // Without its build tree (installed, or the build moved away): a CA and a
        // certificate of its own, made once in the per-user data folder.
        SandboxCertificates own;
        const std::string folder = SandboxCertificateFolder(ProcessEnvironment());
        if (!folder.empty() && EnsureCertificates(folder, own, certificateError)) {
          options.certFile = own.certFile;
          options.keyFile = own.keyFile;
          caFile = own.caFile;
        }
      }
    }
  }

  bool Start(std::string* error);

  void Handle(const HttpRequest& request, HttpReply& reply);
  void Refuse(int status, const std::string& reason, const HttpRequest& request,
              HttpReply& reply);
  std::chrono::milliseconds HoldFor(const HttpRequest& request);
  void Abandoned(const HttpRequest& request);

  void UnifiedOrder(const HttpRequest& request, HttpReply& reply);
  void OrderQuery(const HttpRequest& request, HttpReply& reply);
  void PayerPage(const HttpRequest& request, const std::string& orderNo, HttpReply& reply);
  void Pay(const HttpRequest& request, const std::string& orderNo, HttpReply& reply);
  void NoSuchOrder(const HttpRequest& request, const std::string& orderNo, HttpReply& reply);

  // Sends `fields` (plus a fresh nonce and the sign) as the reply, spoilt by the fault when
  // `fault` is set.
  void SendSuccess(ReplyFields fields, HttpReply& reply, Fault fault);
  void SendFail(const std::string& message, HttpReply& reply);

  // Calls `use` with the order under the lock; false when there is no such order.
  template <typename Use>
  bool WithOrder(const std::string& orderNo, Use use);
  // Marks `order` paid (the caller holds the lock) and returns what its notification says.
  PaidOrder MarkPaid(const std::string& orderNo, Order& order);
  void NotifyPaid(PaidOrder paid);

  void Record(const HttpRequest& request, const Fields& fields);
  void Log(const HttpRequest& request, const std::string& orderNo, int status,
           const std::string& outcome);
  void LogLine(const std::string& line);
  std::string NewNonce();
  std::string CodeUrl(const std::string& orderNo) const;

  Options options;
  const Merchant merchant;
  std::string caFile;  // the CA that issued the certificate, where known
  std::string certificateError;
  std::unique_ptr<HttpsServer> server;
  std::unique_ptr<Notifier> notifier;
  std::atomic<int> port{0};  // read by port() from any thread, e.g. while Run() starts
  std::mutex stopCall;  // serialises Start() and Stop()

  mutable std::mutex mutex;  // guards what follows
  OrderBook book;
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

// "/pay/qr/<order>" (page) or "/pay/qr/<order>/pay" (its button): the order number, and
// whether it is the button.
bool PayerPath(const std::string& path, std::string& orderNo, bool& pay) {
  constexpr char kPrefix[] = "/pay/qr/";
  constexpr char kPaySuffix[] = "/pay";
  if (path.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return false;
  std::string rest = path.substr(sizeof kPrefix - 1);
  pay = rest.size() > sizeof kPaySuffix - 1 &&
        rest.compare(rest.size() - (sizeof kPaySuffix - 1), std::string::npos, kPaySuffix) == 0;
  if (pay) rest.resize(rest.size() - (sizeof kPaySuffix - 1));
  if (rest.empty() || rest.find('/') != std::string::npos) return false;
  orderNo = std::move(rest);
  return true;
}

std::string LocalTimeEnd() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
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
  if (!Readable(options.certFile)) {
    return fail("cannot read the certificate file " + options.certFile);
  }
  if (!Readable(options.keyFile)) return fail("cannot read the key file " + options.keyFile);

  HttpsServerOptions http;
  http.host = options.host;
  http.port = options.port;
  http.certFile = options.certFile;
  http.keyFile = options.keyFile;
  http.bodyLimit = kMaxRequestBodyBytes;
  http.handle = [this](const HttpRequest& q, HttpReply& r) { Handle(q, r); };
  http.maxConnections = options.maxConnections;
  http.afterConnectionBurst = options.afterConnectionBurst;
  http.refuse = [this](int status, const std::string& why, const HttpRequest& q, HttpReply& r) {
    Refuse(status, why, q, r);
  };
  http.holdFor = [this](const HttpRequest& q) { return HoldFor(q); };
  http.abandoned = [this](const HttpRequest& q) { Abandoned(q); };
  // Set before it starts: the handlers read it for the port.
  server = std::make_unique<HttpsServer>(std::move(http));
  std::string problem;
  if (!server->Start(problem)) {
    server.reset();
    return fail(problem);
  }
  port = server->port();

  if (options.notify) {
    NotifierOptions notify;
    notify.merchant = merchant;
    notify.delays = options.notifyDelays;
    notify.caFile = options.notifyCaFile;
    notify.log = [this](const std::string& line) { LogLine("NOTIFY " + line); };
    notifier = std::make_unique<Notifier>(std::move(notify));
  }
  return true;
}

std::chrono::milliseconds Sandbox::Impl::HoldFor(const HttpRequest& request) {
  if (options.fault != Fault::kStall || request.method != "POST" ||
      request.path != "/pay/unifiedorder") {
    return {};
  }
  // Recorded on arrival, so that a test can see what the stalled client sent.
  Record(request, CheckRequest(RequestKind::kUnifiedOrder, request.body, merchant).fields);
  return options.stallFor;
}

void Sandbox::Impl::Abandoned(const HttpRequest& request) {
  Fields fields = CheckRequest(RequestKind::kUnifiedOrder, request.body, merchant).fields;
  Log(request, fields["out_trade_no"], 503, "FAIL stalled until the server stopped");
}

void Sandbox::Impl::Handle(const HttpRequest& request, HttpReply& reply) {
  if (request.method == "POST" && request.path == "/pay/unifiedorder") {
    return UnifiedOrder(request, reply);
  }
  if (request.method == "POST" && request.path == "/pay/orderquery") {
    return OrderQuery(request, reply);
  }
  std::string orderNo;
  bool pay = false;
  if (PayerPath(request.path, orderNo, pay)) {
    if (request.method == "GET" && !pay) return PayerPage(request, orderNo, reply);
    if (request.method == "POST" && pay) return Pay(request, orderNo, reply);
  }
  if (request.method == "GET" && request.path == "/favicon.ico") {
    // Browsers ask for it with every page: "none" rather than a failure in the log.
    reply.status = 204;
    Log(request, "-", 204, "no icon");
    return;
  }
  Record(request, {});
  const std::string message = "no such endpoint: " + request.method + " " +
                              PrintableAscii(request.path) +
                              " (POST /pay/unifiedorder or /pay/orderquery)";
  reply.status = 404;
  SendFail(message, reply);
  Log(request, "-", 404, "FAIL " + message);
}

void Sandbox::Impl::Refuse(int status, const std::string& reason, const HttpRequest& request,
                           HttpReply& reply) {
  Record(request, {});
  reply.status = status;
  SendFail(reason, reply);
  Log(request, "-", status, "FAIL " + reason);
}

void Sandbox::Impl::Record(const HttpRequest& request, const Fields& fields) {
  if (!options.recordRequests) return;
  std::lock_guard<std::mutex> lock(mutex);
  records.push_back(RecordedRequest{request.method, request.path, request.body, fields});
}

void Sandbox::Impl::Log(const HttpRequest& request, const std::string& orderNo, int status,
                        const std::string& outcome) {
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
  const std::string base = options.publicUrl.empty()
                               ? "https://" + UrlHost(options.host) + ":" +
                                     std::to_string(server->port())
                               : options.publicUrl;
  return base + "/pay/qr/" + PercentEncode(orderNo);
}

template <typename Use>
bool Sandbox::Impl::WithOrder(const std::string& orderNo, Use use) {
  std::lock_guard<std::mutex> lock(mutex);
  Order* order = book.Find(orderNo, OrderBook::Clock::now());
  if (!order) return false;
  use(*order);
  return true;
}

PaidOrder Sandbox::Impl::MarkPaid(const std::string& orderNo, Order& order) {
  order.paid = true;
  std::uniform_int_distribution<int> digit(0, 9);
  order.timeEnd = LocalTimeEnd();
  // The payment day, then random digits: 28 digits in all.
  order.transactionId = order.timeEnd.substr(0, 8);
  while (order.transactionId.size() < 28) order.transactionId += char('0' + digit(random));
  return PaidOrder{order.notifyUrl, orderNo, order.transactionId, "NATIVE", order.totalFee,
                   order.timeEnd};
}

void Sandbox::Impl::NotifyPaid(PaidOrder paid) {
  if (notifier && !paid.notifyUrl.empty()) notifier->Notify(std::move(paid));
}

void Sandbox::Impl::SendFail(const std::string& message, HttpReply& reply) {
  reply.contentType = kXmlType;
  reply.body = ReplyDocument({{"return_code", "FAIL"}, {"return_msg", message}});
}

void Sandbox::Impl::SendSuccess(ReplyFields fields, HttpReply& reply, Fault fault) {
  std::string message = "OK";
  if (fault == Fault::kZeroByte) message += std::string(1, '\0') + " (after a zero byte)";
  if (fault == Fault::kNotUtf8) message += std::string(" ") + kGbkSuccess;
  fields.insert(fields.begin(), {{"return_code", "SUCCESS"}, {"return_msg", message}});
  fields.emplace_back("nonce_str", NewNonce());
  fields.emplace_back("result_code", "SUCCESS");
  if (fault == Fault::kNoCodeUrl) {
    fields.erase(std::remove_if(fields.begin(), fields.end(),
                                [](const auto& field) { return field.first == "code_url"; }),
                 fields.end());
  }
  if (fault == Fault::kHugeReply) {
    fields.emplace_back("padding", std::string(kHugePaddingBytes, 'x'));
  }
  fields.emplace_back("sign", SignOf(Fields(fields.begin(), fields.end()), merchant.apiKey));
  if (fault == Fault::kBadSign) {
    for (auto& [name, value] : fields) {
      if (name == "code_url") value += "?tampered=1";
    }
  }
  reply.contentType = kXmlType;
  reply.body = ReplyDocument(fields);
  if (fault == Fault::kDropMidReply) {
    // Cut inside the payment link: a client that used what arrived would encode half a URL.
    const std::size_t link = reply.body.find("<code_url><![CDATA[");
    reply.delivery = HttpReply::Delivery::kCut;
    reply.cutAt = link == std::string::npos ? reply.body.size() / 2 : link + 30;
  } else if (fault == Fault::kTinyChunks) {
    reply.delivery = HttpReply::Delivery::kTinyChunks;
  }
}

void Sandbox::Impl::UnifiedOrder(const HttpRequest& request, HttpReply& reply) {
  const Fault fault = options.fault;
  CheckResult check = CheckRequest(RequestKind::kUnifiedOrder, request.body, merchant);
  if (fault != Fault::kStall) Record(request, check.fields);  // stalled: recorded on arrival
  const auto number = check.fields.find("out_trade_no");
  const std::string orderNo = number == check.fields.end() ? "" : number->second;

  if (fault == Fault::kHttp500) {
    reply.status = 500;
    reply.contentType = kHtmlType;
    reply.body =
        "<html><head><title>500 Internal Server Error</title></head><body>"
        "<h1>Internal Server Error</h1><p>quillmark-sandbox fault mode http500.</p>"
        "</body></html>";
    Log(request, orderNo, 500, "FAULT http500, no order placed");
    return;
  }
  if (!check.ok) {
    SendFail(check.message, reply);
    Log(request, orderNo, 200, "FAIL " + check.message);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    Order order;
    order.description = check.fields["body"];
    order.totalFee = std::stoll(check.fields["total_fee"]);  // checked: 1..2^31-1
    order.notifyUrl = check.fields["notify_url"];
    if (!book.Place(orderNo, std::move(order), OrderBook::Clock::now())) {
      const std::string message = "out_trade_no " + orderNo + " has already been used";
      SendFail(message, reply);
      Log(request, orderNo, 200, "FAIL " + message);
      return;
    }
  }
  SendSuccess({{"appid", merchant.appId},
               {"mch_id", merchant.mchId},
               {"out_trade_no", orderNo},
               {"trade_type", "NATIVE"},
               {"code_url", CodeUrl(orderNo)}},
              reply, fault);
  Log(request, orderNo, 200,
      std::string("SUCCESS order placed") +
          (fault == Fault::kNone ? ""
                                 : std::string(", reply spoilt by fault ") + FaultName(fault)));
}

void Sandbox::Impl::OrderQuery(const HttpRequest& request, HttpReply& reply) {
  CheckResult check = CheckRequest(RequestKind::kOrderQuery, request.body, merchant);
  Record(request, check.fields);
  const auto number = check.fields.find("out_trade_no");
  const std::string orderNo = number == check.fields.end() ? "" : number->second;
  if (!check.ok) {
    SendFail(check.message, reply);
    Log(request, orderNo, 200, "FAIL " + check.message);
    return;
  }
  Order seen;  // as it was when this query was answered
  PaidOrder paidNow;
  const bool found = WithOrder(orderNo, [&](Order& order) {
    seen = order;
    ++order.queries;
    if (!order.paid && options.payAfterQueries > 0 && order.queries >= options.payAfterQueries) {
      paidNow = MarkPaid(orderNo, order);
    }
  });
  if (!found) {
    const std::string message = "order " + orderNo + " does not exist";
    SendFail(message, reply);
    Log(request, orderNo, 200, "FAIL " + message);
    return;
  }
  const std::string state = seen.paid ? "SUCCESS" : "NOTPAY";
  ReplyFields fields = {{"appid", merchant.appId},
                        {"mch_id", merchant.mchId},
                        {"out_trade_no", orderNo},
                        {"total_fee", std::to_string(seen.totalFee)},
                        {"trade_state", state},
                        {"trade_state_desc", seen.paid ? kPaidDesc : kNotPaidDesc}};
  if (seen.paid) {
    fields.emplace_back("transaction_id", seen.transactionId);
    fields.emplace_back("time_end", seen.timeEnd);
  }
  SendSuccess(std::move(fields), reply, Fault::kNone);
  Log(request, orderNo, 200, "SUCCESS trade_state=" + state);
  if (!paidNow.outTradeNo.empty()) NotifyPaid(std::move(paidNow));
}

void Sandbox::Impl::NoSuchOrder(const HttpRequest& request, const std::string& orderNo,
                                HttpReply& reply) {
  reply.status = 404;
  reply.contentType = kHtmlType;
  reply.body =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<title>Quillmark sandbox payment</title></head><body>"
      "<h1>Quillmark sandbox payment</h1><p>There is no order <code>" +
      HtmlEscape(orderNo) + "</code>.</p></body></html>\n";
  Log(request, orderNo, 404, "FAIL no such order");
}

void Sandbox::Impl::PayerPage(const HttpRequest& request, const std::string& orderNo,
                              HttpReply& reply) {
  Record(request, {});
  Order order;
  if (!WithOrder(orderNo, [&order](Order& kept) { order = kept; })) {
    return NoSuchOrder(request, orderNo, reply);
  }
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width\">"
      "<title>Quillmark sandbox payment</title><style>"
      "body{font-family:sans-serif;max-width:34em;margin:2em auto;padding:0 1em}"
      "th{text-align:left;padding-right:1em}button{font-size:1.2em;margin-top:1em}"
      "</style></head><body><h1>Quillmark sandbox payment</h1>";
  const char* state = order.paid ? "SUCCESS" : "NOTPAY";
  page += "<table><tr><th>Order</th><td id=\"order\">" + HtmlEscape(orderNo) +
          "</td></tr><tr><th>Description</th><td id=\"description\">" +
          HtmlEscape(order.description) + "</td></tr><tr><th>Amount</th><td id=\"amount\">" +
          Amount(order.totalFee) + "</td></tr><tr><th>State</th><td id=\"state\">" + state +
          "</td></tr></table>";
  if (order.paid) {
    page += "<p>This order has been paid.</p>";
  } else {
    page += "<form method=\"post\" action=\"" +
            HtmlEscape("/pay/qr/" + PercentEncode(orderNo) + "/pay") +
            "\"><button type=\"submit\">Pay " + Amount(order.totalFee) + "</button></form>";
  }
  page += "</body></html>\n";
  reply.contentType = kHtmlType;
  reply.body = std::move(page);
  Log(request, orderNo, 200, std::string("page shown, trade_state=") + state);
}

void Sandbox::Impl::Pay(const HttpRequest& request, const std::string& orderNo, HttpReply& reply) {
  Record(request, {});
  PaidOrder paidNow;
  const bool found = WithOrder(orderNo, [&](Order& order) {
    if (!order.paid) paidNow = MarkPaid(orderNo, order);
  });
  if (!found) return NoSuchOrder(request, orderNo, reply);
  // Post/Redirect/Get: reloading the page shows the state instead of paying again.
  reply.status = 303;
  reply.location = "/pay/qr/" + PercentEncode(orderNo);
  Log(request, orderNo, 303, paidNow.outTradeNo.empty() ? "already paid" : "paid");
  if (!paidNow.outTradeNo.empty()) NotifyPaid(std::move(paidNow));
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

}  // namespace quillmark::sandbox
