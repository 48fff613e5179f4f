#include "sandbox/sandbox.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "payment/flat_document.h"
#include "payment/merchant_config.h"
#include "payment/merchant_settings.h"
#include "platform/platform.h"
#include "sandbox/certificates.h"
#include "sandbox/faults.h"
#include "sandbox/https_server.h"
#include "sandbox/notifier.h"
#include "sandbox/order_book.h"
#include "sandbox/payer_page.h"
#include "sandbox/request_check.h"

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

}  // namespace

struct Sandbox::Impl {
  explicit Impl(Options o)
      : options(std::move(o)), merchant(options.merchant), book(options.orderTtl, options.maxOrders) {
    if (!options.certPem.empty()) return;  // issued for it, nothing to choose
    ServedCertificate served = ChooseCertificate(options.certFile, options.keyFile);
    options.certFile = std::move(served.certFile);
    options.keyFile = std::move(served.keyFile);
    caFile = std::move(served.caFile);
    certificateError = std::move(served.error);
  }

  bool Start(std::string* error);

  void Handle(const HttpRequest& request, HttpReply& reply);
  void Refuse(int status, const std::string& reason, const HttpRequest& request,
              HttpReply& reply);
  std::chrono::milliseconds HoldFor(const HttpRequest& request);
  void Abandoned(const HttpRequest& request);

  // The platform's operations, each checked against its declaration first.
  using Handler = void (Impl::*)(const HttpRequest&, const CheckResult&, HttpReply&);
  struct Served {
    const Operation* operation;
    Handler handler;
  };
  // What the sandbox serves, by declaration: a declared operation without a handler here
  // is refused, never served as another.
  static const std::vector<Served>& Handlers();
  void UnifiedOrder(const HttpRequest& request, const CheckResult& check, HttpReply& reply);
  void OrderQuery(const HttpRequest& request, const CheckResult& check, HttpReply& reply);
  void CloseOrder(const HttpRequest& request, const CheckResult& check, HttpReply& reply);
  void Refund(const HttpRequest& request, const CheckResult& check, HttpReply& reply);
  void RefundQuery(const HttpRequest& request, const CheckResult& check, HttpReply& reply);
  void PayerPage(const HttpRequest& request, const std::string& orderNo, HttpReply& reply);
  void Pay(const HttpRequest& request, const std::string& orderNo, HttpReply& reply);
  void NoSuchOrder(const HttpRequest& request, const std::string& orderNo, HttpReply& reply);

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
  // Marks `order` paid (the caller holds the lock) and returns what its notification says.
  PaidOrder MarkPaid(const std::string& orderNo, Order& order);
  // A fresh platform id (transaction_id, refund_id): the day, then random digits, 28 in
  // all; the caller holds the lock.
  std::string NewPlatformId(const std::string& day);
  void NotifyPaid(PaidOrder paid);

  void Record(const HttpRequest& request, const Fields& fields);
  void Log(const HttpRequest& request, const std::string& orderNo, int status,
           const std::string& outcome);
  void LogLine(const std::string& line);
  std::string NewNonce();
  std::string CodeUrl(const std::string& orderNo) const;

  Options options;
  const MerchantSettings merchant;
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

  HttpsServerOptions http;
  http.host = options.host;
  http.port = options.port;
  http.certFile = options.certFile;
  http.keyFile = options.keyFile;
  http.certPem = options.certPem;
  http.keyPem = options.keyPem;
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
    notify.caPem = std::move(notifyCas);
    notify.log = [this](const std::string& line) { LogLine("NOTIFY " + line); };
    notify.changeAmountAfterSigning = options.fault == Fault::kBadNotifySign;
    notifier = std::make_unique<Notifier>(std::move(notify));
  }
  return true;
}

std::chrono::milliseconds Sandbox::Impl::HoldFor(const HttpRequest& request) {
  if (options.fault != Fault::kStall || !Stalls(request)) return {};
  // Recorded on arrival, so that a test can see what the stalled client sent.
  Record(request, CheckRequest(kUnifiedOrderOperation, request.body, merchant).fields);
  return options.stallFor;
}

void Sandbox::Impl::Abandoned(const HttpRequest& request) {
  Fields fields = CheckRequest(kUnifiedOrderOperation, request.body, merchant).fields;
  Log(request, fields[kFieldOutTradeNo], 503, "FAIL stalled until the server stopped");
}

const std::vector<Sandbox::Impl::Served>& Sandbox::Impl::Handlers() {
  static const std::vector<Served> handlers = {
      {&kUnifiedOrderOperation, &Impl::UnifiedOrder}, {&kOrderQueryOperation, &Impl::OrderQuery},
      {&kCloseOrderOperation, &Impl::CloseOrder},     {&kRefundOperation, &Impl::Refund},
      {&kRefundQueryOperation, &Impl::RefundQuery},
  };
  return handlers;
}

void Sandbox::Impl::Handle(const HttpRequest& request, HttpReply& reply) {
  // The platform's operations, by the same declarations the client sends them by.
  for (const Operation* operation : kOperations) {
    if (request.method != "POST" || request.path != operation->path) continue;
    const auto served =
        std::find_if(Handlers().begin(), Handlers().end(),
                     [operation](const Served& s) { return s.operation == operation; });
    if (served == Handlers().end()) {
      Record(request, {});
      const std::string message = std::string("the ") + operation->name + " is not served here";
      SendFail(message, reply);
      Log(request, "-", 200, "FAIL " + message);
      return;
    }
    const CheckResult check = CheckRequest(*operation, request.body, merchant);
    // A stalled unified order was recorded when it arrived.
    if (!(options.fault == Fault::kStall && Stalls(request))) Record(request, check.fields);
    const auto number = check.fields.find(kFieldOutTradeNo);
    const std::string orderNo = number == check.fields.end() ? "" : number->second;
    if (operation == &kUnifiedOrderOperation && options.fault == Fault::kHttp500) {
      Http500Reply(reply);
      Log(request, orderNo, 500, "FAULT http500, no order placed");
      return;
    }
    if (!check.ok) {
      SendFail(check.message, reply);
      Log(request, orderNo, 200, "FAIL " + check.message);
      return;
    }
    return (this->*served->handler)(request, check, reply);
  }
  std::string orderNo;
  bool pay = false;
  if (ParsePayerPath(request.path, orderNo, pay)) {
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
  std::string endpoints = "POST";
  for (std::size_t i = 0; i < kOperations.size(); ++i) {
    endpoints += (i == 0 ? " " : i + 1 == kOperations.size() ? " or " : ", ");
    endpoints += kOperations[i]->path;
  }
  const std::string message = "no such endpoint: " + request.method + " " +
                              PrintableAscii(request.path) + " (" + endpoints + ")";
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

PaidOrder Sandbox::Impl::MarkPaid(const std::string& orderNo, Order& order) {
  order.paid = true;
  order.timeEnd = LocalTimeEnd();
  order.transactionId = NewPlatformId(order.timeEnd);
  return PaidOrder{order.notifyUrl, orderNo, order.transactionId, kTradeType, order.totalFee,
                   order.timeEnd};
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

void Sandbox::Impl::UnifiedOrder(const HttpRequest& request, const CheckResult& check,
                                 HttpReply& reply) {
  const Fault fault = options.fault;
  const std::string& orderNo = check.fields.at(kFieldOutTradeNo);
  {
    std::lock_guard<std::mutex> lock(mutex);
    Order order;
    order.description = check.fields.at(kFieldBody);
    order.totalFee = std::stoll(check.fields.at(kFieldTotalFee));  // checked: 1..2^31-1
    order.notifyUrl = check.fields.at(kFieldNotifyUrl);
    if (!book.Place(orderNo, std::move(order), OrderBook::Clock::now())) {
      const std::string message = "out_trade_no " + orderNo + " has already been used";
      SendFail(message, reply);
      Log(request, orderNo, 200, "FAIL " + message);
      return;
    }
  }
  SendSuccess({{kFieldOutTradeNo, orderNo},
               {kFieldTradeType, kTradeType},
               {kFieldCodeUrl, CodeUrl(orderNo)}},
              reply, fault);
  // The notification fault spoils no reply.
  const bool spoilt = fault != Fault::kNone && fault != Fault::kBadNotifySign;
  Log(request, orderNo, 200,
      std::string("SUCCESS order placed") +
          (spoilt ? std::string(", reply spoilt by fault ") + FaultName(fault) : ""));
}

void Sandbox::Impl::OrderQuery(const HttpRequest& request, const CheckResult& check,
                               HttpReply& reply) {
  const std::string& orderNo = check.fields.at(kFieldOutTradeNo);
  Order seen;  // as it was when this query was answered
  PaidOrder paidNow;
  const bool found = WithOrder(orderNo, [&](Order& order) {
    seen = order;
    ++order.queries;
    if (!order.paid && !order.closed && options.payAfterQueries > 0 &&
        order.queries >= options.payAfterQueries) {
      paidNow = MarkPaid(orderNo, order);
    }
  });
  if (!found) {
    const std::string message = "order " + orderNo + " does not exist";
    SendFail(message, reply);
    Log(request, orderNo, 200, "FAIL " + message);
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
  Log(request, orderNo, 200, "SUCCESS trade_state=" + state);
  if (!paidNow.outTradeNo.empty()) NotifyPaid(std::move(paidNow));
}

void Sandbox::Impl::CloseOrder(const HttpRequest& request, const CheckResult& check,
                               HttpReply& reply) {
  const std::string& orderNo = check.fields.at(kFieldOutTradeNo);
  bool paid = false;
  const bool found = WithOrder(orderNo, [&](Order& order) {
    paid = order.paid;
    if (!paid) order.closed = true;
  });
  // Refusals are business failures of a request that was itself in order: signed replies
  // with result_code FAIL and a code that says why, as the platform answers them.
  if (!found) {
    SendResultFail(orderNo, "ORDERNOTEXIST", "order " + orderNo + " does not exist", reply);
    Log(request, orderNo, 200, "FAIL ORDERNOTEXIST, nothing to close");
  } else if (paid) {
    SendResultFail(orderNo, "ORDERPAID", "order " + orderNo + " has been paid and cannot be closed",
                   reply);
    Log(request, orderNo, 200, "FAIL ORDERPAID, not closed");
  } else {
    SendSuccess({{kFieldOutTradeNo, orderNo}}, reply);
    Log(request, orderNo, 200, "SUCCESS order closed");
  }
}

void Sandbox::Impl::Refund(const HttpRequest& request, const CheckResult& check, HttpReply& reply) {
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
      refunded = order;
    }
  });
  if (!found) {
    SendResultFail(orderNo, "ORDERNOTEXIST", "order " + orderNo + " does not exist", reply);
    Log(request, orderNo, 200, "FAIL ORDERNOTEXIST, nothing to refund");
  } else if (!errCode.empty()) {
    SendResultFail(orderNo, errCode, "order " + orderNo + " " + why, reply);
    Log(request, orderNo, 200, "FAIL " + errCode + ", not refunded");
  } else {
    SendSuccess({{kFieldOutTradeNo, orderNo},
                 {kFieldTransactionId, refunded.transactionId},
                 {kFieldOutRefundNo, refundNo},
                 {kFieldRefundId, refunded.refundId},
                 {kFieldRefundFee, std::to_string(refunded.totalFee)},
                 {kFieldTotalFee, std::to_string(refunded.totalFee)}},
                reply);
    Log(request, orderNo, 200, "SUCCESS refunded as " + PrintableAscii(refundNo));
  }
}

void Sandbox::Impl::RefundQuery(const HttpRequest& request, const CheckResult& check,
                                HttpReply& reply) {
  const std::string& orderNo = check.fields.at(kFieldOutTradeNo);
  Order seen;
  if (!WithOrder(orderNo, [&seen](Order& order) { seen = order; })) {
    SendResultFail(orderNo, "ORDERNOTEXIST", "order " + orderNo + " does not exist", reply);
    Log(request, orderNo, 200, "FAIL ORDERNOTEXIST");
  } else if (!seen.refunded) {
    SendResultFail(orderNo, "REFUNDNOTEXIST", "order " + orderNo + " has no refund", reply);
    Log(request, orderNo, 200, "FAIL REFUNDNOTEXIST");
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
    Log(request, orderNo, 200, "SUCCESS refund_status_0=SUCCESS");
  }
}

void Sandbox::Impl::NoSuchOrder(const HttpRequest& request, const std::string& orderNo,
                                HttpReply& reply) {
  reply.status = 404;
  reply.contentType = kHtmlType;
  reply.body = NoSuchOrderHtml(orderNo);
  Log(request, orderNo, 404, "FAIL no such order");
}

void Sandbox::Impl::PayerPage(const HttpRequest& request, const std::string& orderNo,
                              HttpReply& reply) {
  Record(request, {});
  Order order;
  if (!WithOrder(orderNo, [&order](Order& kept) { order = kept; })) {
    return NoSuchOrder(request, orderNo, reply);
  }
  reply.contentType = kHtmlType;
  reply.body = PayerPageHtml(orderNo, order);
  Log(request, orderNo, 200, std::string("page shown, trade_state=") + TradeState(order));
}

void Sandbox::Impl::Pay(const HttpRequest& request, const std::string& orderNo, HttpReply& reply) {
  Record(request, {});
  PaidOrder paidNow;
  bool closed = false;
  const bool found = WithOrder(orderNo, [&](Order& order) {
    closed = order.closed;
    if (!order.paid && !closed) paidNow = MarkPaid(orderNo, order);
  });
  if (!found) return NoSuchOrder(request, orderNo, reply);
  // Post/Redirect/Get: reloading the page shows the state instead of paying again.
  reply.status = 303;
  reply.location = PayerPagePath(orderNo);
  Log(request, orderNo, 303,
      closed ? "refused: the order is closed"
             : paidNow.outTradeNo.empty() ? "already paid" : "paid");
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
