// The listener of notify_listener.h, on the product's server (http/https_server.h); its
// bounds and its received list are this file's alone.
#include "client/notify_listener.h"

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "http/https_server.h"
#include "platform/platform.h"
#include "protocol/fields.h"
#include "protocol/flat_document.h"
#include "text/encoding.h"
#include "text/printable.h"
#include "text/url_parts.h"

namespace quillmark {
namespace {

// A notification is a few hundred bytes that the platform sends whole at once, as soon as
// it has connected, and it comes now and then: one thread serves them. Any local program can
// open connections and leave them idle; each gets a moment for its request's head (the
// platform retries after 15 s at the soonest), and when they fill every place, a new
// connection takes that of the oldest idle one, so that they cannot shut the platform out.
constexpr std::chrono::seconds kRequestTimeout{10};
constexpr std::chrono::milliseconds kFirstByteTimeout{1'000};
constexpr std::chrono::milliseconds kHeadTimeout{2'000};
constexpr std::size_t kConnectionsAtMost = 64;
// A window that closes does not wait longer than a moment for an answer still being written
// (nor for a cancellation Wine delivers late).
constexpr std::chrono::milliseconds kStopGrace{100};

std::string Now() {
  const platform::LocalTime t = platform::CurrentLocalTime();
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

// A refund's notification, told from a payment's: it carries req_info, or, failing, it
// has neither the sign nor the result_code that every payment notification has.
bool IsRefundNotification(const std::string& body) {
  SignedFields fields;
  std::string error;
  if (!ReadFlatDocument(body, fields, error)) return false;
  return fields.count(kFieldReqInfo) != 0 ||
         (fields.count(kFieldSign) == 0 && fields.count(kFieldResultCode) == 0);
}

}  // namespace

ListenAddress ListenAddressOf(const MerchantSettings& merchant) {
  ListenAddress address;
  // notify_url passed its rule: http://, a host, an optional :port, an optional path.
  UrlParts url;
  if (SplitUrl(merchant.notifyUrl, url)) {
    address.host = url.host;
    address.port = url.port;
    address.path = url.rest.substr(0, url.rest.find_first_of("?#"));
  }
  if (address.path.empty()) address.path = "/";
  UrlParts listen;
  if (!merchant.notifyListen.empty() && SplitAuthority(merchant.notifyListen, listen) &&
      listen.portGiven) {
    address.host = listen.host;
    address.port = listen.port;
  }
  return address;
}

struct NotifyListener::Impl {
  Impl(MerchantSettings m, Listener l) : listener(std::move(l)), merchant(std::move(m)) {}

  void Handle(const HttpRequest& request, HttpsServerOptions::Answer answer);
  // Judges and records a notification; its answer, and its place in `received`.
  std::string Take(const std::string& body, std::size_t& index);
  // Judges a refund notification, under `mutex`.
  void TakeRefund(const std::string& body, ReceivedNotification& notification);
  void Answered(std::size_t index, bool written);

  const Listener listener;
  std::string path;
  std::unique_ptr<HttpsServer> server;  // set while it runs

  mutable std::mutex mutex;  // guards what follows
  MerchantSettings merchant;
  mutable std::condition_variable arrived;
  std::map<std::string, SignType> orders;  // with the type each was signed with
  std::set<std::string> taken;             // transaction ids accepted
  std::set<std::string> refunds;           // out_refund_no of the refunds asked for
  std::set<std::string> refundsTaken;      // refund_id and status of those accepted
  std::vector<ReceivedNotification> received;
};

namespace {

HttpReply AnswerReply(int status, std::string body) {
  HttpReply reply;
  reply.status = status;
  reply.contentType = "text/xml; charset=utf-8";
  reply.body = std::move(body);
  return reply;
}

}  // namespace

void NotifyListener::Impl::Handle(const HttpRequest& request, HttpsServerOptions::Answer answer) {
  if (request.method != "POST" || request.path != path) {
    NotificationCheck refused;
    refused.reason = "notifications are POSTed to " + path;
    return answer(AnswerReply(404, NotificationAnswer(refused)));
  }
  std::size_t index = 0;
  HttpReply reply = AnswerReply(200, Take(request.body, index));
  reply.written = [this, index](bool written) { Answered(index, written); };
  answer(std::move(reply));
}

std::string NotifyListener::Impl::Take(const std::string& body, std::size_t& index) {
  ReceivedNotification notification;
  notification.time = Now();
  std::lock_guard<std::mutex> lock(mutex);
  NotificationContext context;
  context.merchant = merchant.Account();
  context.knownOrder = [this](const std::string& order) { return orders.count(order) != 0; };
  context.signTypeOf = [this](const std::string& order) {
    const auto known = orders.find(order);
    return known == orders.end() ? merchant.Signing() : known->second;
  };
  context.taken = [this](const std::string& payment) { return taken.count(payment) != 0; };
  if (IsRefundNotification(body)) {
    TakeRefund(body, notification);
  } else {
    notification.check = CheckNotification(body, context);
    if (notification.check.verdict == NotificationCheck::Verdict::kAccepted) {
      taken.insert(notification.check.Field(kFieldTransactionId));
    }
  }
  index = received.size();
  received.push_back(std::move(notification));
  return NotificationAnswer(received.back().check);
}

void NotifyListener::Impl::TakeRefund(const std::string& body, ReceivedNotification& notification) {
  using Verdict = NotificationCheck::Verdict;
  notification.refund = true;
  NotificationCheck& check = notification.check;
  const auto refuse = [&check](NotificationCheck::Refusal refusal, std::string why) {
    // Nothing of a refused one is shown or acted on as the refund's.
    check.fields.clear();
    check.verdict = Verdict::kRefused;
    check.refusal = refusal;
    check.reason = std::move(why);
  };
  if (body.size() > kMaxNotificationBytes) {
    return refuse(NotificationCheck::Refusal::kTooLarge, "the notification is too large");
  }
  const ReadRefund read = ReadRefundNotification(body, merchant.apiKey);
  notification.refundFault = read.fault;
  if (read.fault != RefundFault::kNone) {
    return refuse(NotificationCheck::Refusal::kUnreadable, read.why);
  }
  for (const auto& [name, value] : read.info) {
    std::string text;
    Utf8ToAnsi(value, text);
    check.fields.emplace(name, std::move(text));
  }
  const auto outer = [&read](const char* name) {
    const auto it = read.outer.find(name);
    return it == read.outer.end() ? std::string() : it->second;
  };
  // Only the platform could encrypt under this merchant's key; but a key shared by two
  // merchant numbers (a sub-merchant's) would decrypt the other's too.
  if (outer(kFieldAppId) != merchant.appId || outer(kFieldMchId) != merchant.mchId) {
    return refuse(NotificationCheck::Refusal::kOtherMerchant,
                  "appid or mch_id is another merchant's");
  }
  const std::string status = check.Field(kFieldRefundStatus);
  if (status != kRefundSuccess && status != kRefundChange && status != kRefundClosed) {
    return refuse(NotificationCheck::Refusal::kNotPaid,
                  "refund_status \"" + PrintableAscii(status) +
                      "\" is none of SUCCESS, CHANGE and REFUNDCLOSE");
  }
  const std::string refundId = check.Field(kFieldRefundId);
  if (refundId.empty() || check.Field(kFieldOutRefundNo).empty()) {
    return refuse(NotificationCheck::Refusal::kNoPayment, "req_info names no refund");
  }
  if (refunds.count(check.Field(kFieldOutRefundNo)) == 0 &&
      orders.count(check.Field(kFieldOutTradeNo)) == 0) {
    return refuse(NotificationCheck::Refusal::kUnknownOrder,
                  "neither the refund nor its order is one of ours");
  }
  // A status the refund reached is acted on once; the same one again is acknowledged.
  check.verdict =
      refundsTaken.insert(refundId + " " + status).second ? Verdict::kAccepted : Verdict::kRepeat;
}

void NotifyListener::Impl::Answered(std::size_t index, bool written) {
  ReceivedNotification notification;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ReceivedNotification& answered = received.at(index);
    answered.answer =
        written ? ReceivedNotification::Answer::kWritten : ReceivedNotification::Answer::kLost;
    notification = answered;
  }
  arrived.notify_all();
  if (listener) listener(notification);
}

NotifyListener::NotifyListener(MerchantSettings merchant, Listener listener)
    : impl_(std::make_unique<Impl>(std::move(merchant), std::move(listener))) {}

NotifyListener::~NotifyListener() { Stop(); }

bool NotifyListener::Start(const ListenAddress& address, std::string& error) {
  Impl& impl = *impl_;
  if (impl.server) {
    error = "the listener is already started";
    return false;
  }
  HttpsServerOptions options;
  options.host = address.host;
  options.port = address.port;
  options.tls = false;
  options.bodyLimit = kMaxNotificationBytes;
  options.maxConnections = kConnectionsAtMost;
  options.threads = 1;
  options.requestTimeout = kRequestTimeout;
  options.firstByteTimeout = kFirstByteTimeout;
  options.headTimeout = kHeadTimeout;
  options.evictIdle = true;
  options.writeTimeout = kRequestTimeout;
  options.stopGrace = kStopGrace;
  options.handle = [&impl](const HttpRequest& request, HttpsServerOptions::Answer answer) {
    impl.Handle(request, std::move(answer));
  };
  options.refuse = [](int status, const std::string& reason, const HttpRequest&, HttpReply& reply) {
    NotificationCheck refused;
    refused.reason = reason;
    reply = AnswerReply(status, NotificationAnswer(refused));
  };
  impl.path = address.path;
  auto server = std::make_unique<HttpsServer>(std::move(options));
  if (!server->Start(error)) return false;
  impl.server = std::move(server);
  return true;
}

void NotifyListener::Stop() {
  if (!impl_->server) return;
  impl_->server->Stop();
  impl_->server.reset();
}

std::string NotifyListener::BoundNotifyUrl(const std::string& notifyUrl) const {
  if (!impl_->server) return notifyUrl;
  // "http://host:0/path" becomes "http://host:<port>/path"; any other is sent as it is.
  UrlParts url;
  if (!SplitUrl(notifyUrl, url) || !url.portGiven || url.port != 0) return notifyUrl;
  return url.scheme + "://" + UrlHost(url.host) + ":" + std::to_string(port()) + url.rest;
}

int NotifyListener::port() const { return impl_->server ? impl_->server->port() : 0; }

void NotifyListener::UseMerchant(MerchantSettings merchant) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->merchant = std::move(merchant);
}

void NotifyListener::ExpectOrder(const std::string& outTradeNo) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->orders[outTradeNo] = impl_->merchant.Signing();
}

void NotifyListener::ExpectOrder(const std::string& outTradeNo, SignType signType) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->orders[outTradeNo] = signType;
}

void NotifyListener::ExpectRefund(const std::string& outRefundNo) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->refunds.insert(outRefundNo);
}

std::vector<ReceivedNotification> NotifyListener::received() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->received;
}

bool NotifyListener::WaitFor(
    const std::function<bool(const std::vector<ReceivedNotification>&)>& done,
    std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->arrived.wait_for(lock, limit, [&] { return done(impl_->received); });
}

}  // namespace quillmark
