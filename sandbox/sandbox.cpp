#include "sandbox/sandbox.h"

#include "payment/merchant_settings.h"
#include "sandbox/certificates.h"

#include <httplib.h>
#include <sys/socket.h>

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

#include "sandbox/request_check.h"

namespace quillmark::sandbox {
namespace {

constexpr std::size_t kMaxBodyBytes = 64 * 1024;
constexpr std::size_t kTinyChunkBytes = 3;
constexpr std::size_t kHugePaddingBytes = 5 * 1024 * 1024;
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

struct Order {
  std::string description;  // the request's body field, UTF-8
  long long totalFee = 0;   // in cents
  int queries = 0;
  bool paid = false;
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
  explicit Impl(Options o) : options(std::move(o)), merchant(options.merchant) {
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
    std::random_device seed;
    random.seed((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
  }

  bool Bind(std::string* error);
  void Install();

  void UnifiedOrder(const httplib::Request& request, httplib::Response& response);
  void OrderQuery(const httplib::Request& request, httplib::Response& response);
  void PayerPage(const httplib::Request& request, httplib::Response& response);
  void Pay(const httplib::Request& request, httplib::Response& response);
  httplib::Server::HandlerResponse Error(const httplib::Request& request,
                                         httplib::Response& response);

  // Sends `fields` (plus a fresh nonce and the sign) as the reply, spoilt by the fault when
  // `fault` is set.
  void SendSuccess(ReplyFields fields, httplib::Response& response, Fault fault);
  void SendFail(const std::string& message, httplib::Response& response);

  void Record(const httplib::Request& request, const Fields& fields);
  void Log(const httplib::Request& request, const std::string& orderNo, int status,
           const std::string& outcome);
  std::string NewNonce();
  std::string CodeUrl(const std::string& orderNo) const;
  // Waits for the stall to pass; false when the server is stopping.
  bool Stall();

  Options options;
  const Merchant merchant;
  std::string caFile;  // the CA that issued the certificate, where known
  std::string certificateError;
  std::unique_ptr<httplib::SSLServer> server;
  std::atomic<int> port{0};  // read by port() from any thread, e.g. while Run() starts

  std::thread listener;
  std::atomic<bool> listenerDone{false};
  std::mutex stopCall;  // serialises Stop()

  mutable std::mutex mutex;  // guards what follows
  std::map<std::string, Order> orders;
  std::vector<RecordedRequest> records;
  std::mt19937_64 random;
  bool stopping = false;
  std::condition_variable stopped;

  std::mutex logMutex;
};

bool Sandbox::Impl::Bind(std::string* error) {
  auto fail = [error](std::string message) {
    if (error) *error = std::move(message);
    return false;
  };
  if (!certificateError.empty()) return fail(certificateError);
  if (!Readable(options.certFile)) {
    return fail("cannot read the certificate file " + options.certFile);
  }
  if (!Readable(options.keyFile)) return fail("cannot read the key file " + options.keyFile);
  server = std::make_unique<httplib::SSLServer>(options.certFile.c_str(), options.keyFile.c_str());
  if (!server->is_valid()) {
    server.reset();
    return fail("cannot use the certificate " + options.certFile + " with the key " +
                options.keyFile + " (not PEM, or they do not match)");
  }
  // The library's default also sets SO_REUSEPORT, which would let a second sandbox share
  // the port silently and split the requests between the two.
  server->set_socket_options([](socket_t socket) {
    int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  Install();

  errno = 0;
  if (options.port == 0) {
    port = server->bind_to_any_port(options.host);
  } else {
    port = server->bind_to_port(options.host, options.port) ? options.port : -1;
  }
  if (port <= 0) {
    const int cause = errno;
    server.reset();
    return fail("cannot listen on " + options.host + ":" + std::to_string(options.port) + " (" +
                (cause ? std::strerror(cause) : "address not usable") + ")");
  }
  return true;
}

void Sandbox::Impl::Install() {
  server->set_payload_max_length(kMaxBodyBytes);
  // One request per connection: an idle keep-alive connection would otherwise hold Stop()
  // for the library's keep-alive timeout.
  server->set_keep_alive_max_count(1);
  server->Post("/pay/unifiedorder",
               [this](const httplib::Request& q, httplib::Response& r) { UnifiedOrder(q, r); });
  server->Post("/pay/orderquery",
               [this](const httplib::Request& q, httplib::Response& r) { OrderQuery(q, r); });
  server->Get("/pay/qr/([^/]+)",
              [this](const httplib::Request& q, httplib::Response& r) { PayerPage(q, r); });
  server->Post("/pay/qr/([^/]+)/pay",
               [this](const httplib::Request& q, httplib::Response& r) { Pay(q, r); });
  // Browsers ask for it with every page: "none" rather than a failure in the log.
  server->Get("/favicon.ico", [this](const httplib::Request& q, httplib::Response& r) {
    r.status = 204;
    Log(q, "-", 204, "no icon");
  });
  server->set_error_handler(httplib::Server::HandlerWithResponse(
      [this](const httplib::Request& q, httplib::Response& r) { return Error(q, r); }));
  server->set_exception_handler(
      [this](const httplib::Request& q, httplib::Response& r, std::exception_ptr) {
        r.status = 500;
        SendFail("internal error in the sandbox", r);
        Log(q, "-", 500, "FAIL internal error");
      });
}

void Sandbox::Impl::Record(const httplib::Request& request, const Fields& fields) {
  if (!options.recordRequests) return;
  std::lock_guard<std::mutex> lock(mutex);
  records.push_back(RecordedRequest{request.method, request.path, request.body, fields});
}

void Sandbox::Impl::Log(const httplib::Request& request, const std::string& orderNo, int status,
                        const std::string& outcome) {
  std::ostream& out = options.log ? *options.log : std::cout;
  std::lock_guard<std::mutex> lock(logMutex);
  out << UtcTimestamp() << ' ' << request.method << ' ' << PrintableAscii(request.path) << ' '
      << (orderNo.empty() ? "-" : PrintableAscii(orderNo)) << ' ' << status << ' ' << outcome
      << std::endl;
}

std::string Sandbox::Impl::NewNonce() {
  std::lock_guard<std::mutex> lock(mutex);
  std::string nonce(32, '0');
  constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
  for (char& c : nonce) c = kAlphabet[pick(random)];
  return nonce;
}

std::string Sandbox::Impl::CodeUrl(const std::string& orderNo) const {
  const bool ipv6 = options.host.find(':') != std::string::npos;
  const std::string host = ipv6 ? "[" + options.host + "]" : options.host;
  return "https://" + host + ":" + std::to_string(port) + "/pay/qr/" + PercentEncode(orderNo);
}

bool Sandbox::Impl::Stall() {
  std::unique_lock<std::mutex> lock(mutex);
  return !stopped.wait_for(lock, options.stallFor, [this] { return stopping; });
}

void Sandbox::Impl::SendFail(const std::string& message, httplib::Response& response) {
  response.set_content(ReplyDocument({{"return_code", "FAIL"}, {"return_msg", message}}), kXmlType);
}

void Sandbox::Impl::SendSuccess(ReplyFields fields, httplib::Response& response, Fault fault) {
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
  auto document = std::make_shared<std::string>(ReplyDocument(fields));

  switch (fault) {
    case Fault::kDropMidReply: {
      // Cut inside the payment link: a client that used what arrived would encode half
      // a URL.
      const std::size_t link = document->find("<code_url><![CDATA[");
      const std::size_t cut = link == std::string::npos ? document->size() / 2 : link + 30;
      response.set_content_provider(
          document->size(), kXmlType,
          [document, cut](std::size_t, std::size_t, httplib::DataSink& sink) {
            sink.write(document->data(), cut);
            return false;  // the library then closes the connection without a TLS close
          });
      break;
    }
    case Fault::kTinyChunks:
      response.set_chunked_content_provider(
          kXmlType, [document](std::size_t offset, httplib::DataSink& sink) {
            if (offset >= document->size()) {
              sink.done();
            } else {
              sink.write(document->data() + offset,
                         std::min(kTinyChunkBytes, document->size() - offset));
            }
            return true;
          });
      break;
    default:
      response.set_content(*document, kXmlType);
  }
}

void Sandbox::Impl::UnifiedOrder(const httplib::Request& request, httplib::Response& response) {
  const Fault fault = options.fault;
  CheckResult check = CheckRequest(RequestKind::kUnifiedOrder, request.body, merchant);
  Record(request, check.fields);
  const auto number = check.fields.find("out_trade_no");
  const std::string orderNo = number == check.fields.end() ? "" : number->second;

  if (fault == Fault::kStall && !Stall()) {
    response.status = 503;
    SendFail("the sandbox is stopping", response);
    Log(request, orderNo, 503, "FAIL stalled until the server stopped");
    return;
  }
  if (fault == Fault::kHttp500) {
    response.status = 500;
    response.set_content(
        "<html><head><title>500 Internal Server Error</title></head><body>"
        "<h1>Internal Server Error</h1><p>quillmark-sandbox fault mode http500.</p>"
        "</body></html>",
        kHtmlType);
    Log(request, orderNo, 500, "FAULT http500, no order placed");
    return;
  }
  if (!check.ok) {
    SendFail(check.message, response);
    Log(request, orderNo, 200, "FAIL " + check.message);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    Order order;
    order.description = check.fields["body"];
    order.totalFee = std::stoll(check.fields["total_fee"]);  // checked: 1..2^31-1
    if (!orders.emplace(orderNo, std::move(order)).second) {
      const std::string message = "out_trade_no " + orderNo + " has already been used";
      SendFail(message, response);
      Log(request, orderNo, 200, "FAIL " + message);
      return;
    }
  }
  SendSuccess({{"appid", merchant.appId},
               {"mch_id", merchant.mchId},
               {"out_trade_no", orderNo},
               {"trade_type", "NATIVE"},
               {"code_url", CodeUrl(orderNo)}},
              response, fault);
  Log(request, orderNo, 200,
      std::string("SUCCESS order placed") +
          (fault == Fault::kNone ? ""
                                 : std::string(", reply spoilt by fault ") + FaultName(fault)));
}

void Sandbox::Impl::OrderQuery(const httplib::Request& request, httplib::Response& response) {
  CheckResult check = CheckRequest(RequestKind::kOrderQuery, request.body, merchant);
  Record(request, check.fields);
  const auto number = check.fields.find("out_trade_no");
  const std::string orderNo = number == check.fields.end() ? "" : number->second;
  if (!check.ok) {
    SendFail(check.message, response);
    Log(request, orderNo, 200, "FAIL " + check.message);
    return;
  }
  std::string state;
  long long totalFee = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = orders.find(orderNo);
    if (it == orders.end()) {
      const std::string message = "order " + orderNo + " does not exist";
      SendFail(message, response);
      Log(request, orderNo, 200, "FAIL " + message);
      return;
    }
    Order& order = it->second;
    state = order.paid ? "SUCCESS" : "NOTPAY";
    totalFee = order.totalFee;
    ++order.queries;
    if (options.payAfterQueries > 0 && order.queries >= options.payAfterQueries) {
      order.paid = true;
    }
  }
  SendSuccess({{"appid", merchant.appId},
               {"mch_id", merchant.mchId},
               {"out_trade_no", orderNo},
               {"total_fee", std::to_string(totalFee)},
               {"trade_state", state},
               {"trade_state_desc", state == "SUCCESS" ? kPaidDesc : kNotPaidDesc}},
              response, Fault::kNone);
  Log(request, orderNo, 200, "SUCCESS trade_state=" + state);
}

void Sandbox::Impl::PayerPage(const httplib::Request& request, httplib::Response& response) {
  Record(request, {});
  const std::string orderNo = request.matches[1];
  Order order;
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = orders.find(orderNo);
    if (it != orders.end()) order = it->second, found = true;
  }
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width\">"
      "<title>Quillmark sandbox payment</title><style>"
      "body{font-family:sans-serif;max-width:34em;margin:2em auto;padding:0 1em}"
      "th{text-align:left;padding-right:1em}button{font-size:1.2em;margin-top:1em}"
      "</style></head><body><h1>Quillmark sandbox payment</h1>";
  if (!found) {
    response.status = 404;
    page += "<p>There is no order <code>" + HtmlEscape(orderNo) + "</code>.</p></body></html>";
    response.set_content(page, kHtmlType);
    Log(request, orderNo, 404, "FAIL no such order");
    return;
  }
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
  response.set_content(page, kHtmlType);
  Log(request, orderNo, 200, std::string("page shown, trade_state=") + state);
}

void Sandbox::Impl::Pay(const httplib::Request& request, httplib::Response& response) {
  Record(request, {});
  const std::string orderNo = request.matches[1];
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = orders.find(orderNo);
    if (it == orders.end()) {
      response.status = 404;
      response.set_content(
          "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"></head><body>"
          "<p>There is no order <code>" +
              HtmlEscape(orderNo) + "</code>.</p></body></html>",
          kHtmlType);
      Log(request, orderNo, 404, "FAIL no such order");
      return;
    }
    it->second.paid = true;
  }
  // Post/Redirect/Get: reloading the page shows the state instead of paying again.
  response.set_redirect("/pay/qr/" + PercentEncode(orderNo), 303);
  Log(request, orderNo, 303, "paid");
}

httplib::Server::HandlerResponse Sandbox::Impl::Error(const httplib::Request& request,
                                                      httplib::Response& response) {
  // Also called for the statuses our own handlers set; those already carry their body.
  if (!response.body.empty() || response.content_provider_) {
    return httplib::Server::HandlerResponse::Unhandled;
  }
  Record(request, {});
  std::string message;
  if (response.status == 404) {
    message = "no such endpoint: " + request.method + " " + PrintableAscii(request.path) +
              " (POST /pay/unifiedorder or /pay/orderquery)";
  } else if (response.status == 400) {
    message = "bad HTTP request (a POST needs a Content-Length or a chunked body)";
  } else if (response.status == 413) {
    message = "request body larger than " + std::to_string(kMaxBodyBytes) + " bytes";
  } else {
    message = "HTTP error " + std::to_string(response.status);
  }
  SendFail(message, response);
  Log(request, "-", response.status, "FAIL " + message);
  return httplib::Server::HandlerResponse::Handled;
}

Sandbox::Sandbox(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Sandbox::~Sandbox() { Stop(); }

bool Sandbox::Start(std::string* error) {
  if (impl_->server) {
    if (error) *error = "the sandbox is already started";
    return false;
  }
  if (!impl_->Bind(error)) return false;
  impl_->listenerDone = false;
  impl_->listener = std::thread([impl = impl_.get()] {
    impl->server->listen_after_bind();
    impl->listenerDone = true;
  });
  // The socket already listens (connections queue up), but stop() is ignored until the
  // accept loop runs: wait for it so that a Stop() right after Start() cannot be lost.
  while (!impl_->server->is_running() && !impl_->listenerDone) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
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
  if (impl_->server) impl_->server->stop();
  if (impl_->listener.joinable()) impl_->listener.join();
}

int Sandbox::port() const { return impl_->port; }

std::string Sandbox::baseUrl() const {
  const std::string& host = impl_->options.host;
  const bool ipv6 = host.find(':') != std::string::npos;
  return "https://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(impl_->port);
}

std::string Sandbox::caFile() const { return impl_->caFile; }

std::vector<RecordedRequest> Sandbox::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->records;
}

}  // namespace quillmark::sandbox
