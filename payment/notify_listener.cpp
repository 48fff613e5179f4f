#include "payment/notify_listener.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

#include "payment/fields.h"
#include "platform/platform.h"

namespace quillmark {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using boost::system::error_code;

// A notification's head is a few hundred bytes and the platform sends it whole at once.
constexpr std::uint32_t kHeadAtMost = 8 * 1024;
constexpr std::chrono::seconds kRequestTimeout{10};
// More at once than the platform ever sends; one past it is closed as soon as it connects.
constexpr std::size_t kConnectionsAtMost = 32;

std::string Now() {
  const platform::LocalTime t = platform::CurrentLocalTime();
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

// "host:port" or "[v6]:port", split; false when there is no port.
bool SplitHostPort(const std::string& text, std::string& host, int& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return false;
  host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  port = 0;
  for (std::size_t i = colon + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9' || port > 65535) return false;
    port = port * 10 + (text[i] - '0');
  }
  return port <= 65535;
}

}  // namespace

ListenAddress ListenAddressOf(const MerchantSettings& merchant) {
  ListenAddress address;
  // notify_url passed its rule: http://, a host, an optional :port, an optional path.
  std::string rest = merchant.notifyUrl.substr(merchant.notifyUrl.find("//") + 2);
  const std::size_t slash = rest.find('/');
  address.path = slash == std::string::npos ? "/" : rest.substr(slash);
  const std::size_t query = address.path.find('?');
  if (query != std::string::npos) address.path.erase(query);
  const std::string authority = rest.substr(0, slash);
  if (!SplitHostPort(authority, address.host, address.port)) {
    address.host = authority;
    address.port = 80;
  }
  if (!merchant.notifyListen.empty())
    SplitHostPort(merchant.notifyListen, address.host, address.port);
  return address;
}

class ListenerSession;

struct NotifyListener::Impl {
  Impl(MerchantSettings m, Listener l) : merchant(std::move(m)), listener(std::move(l)) {}

  void Accept();
  void Take(const std::string& body, http::response<http::string_body>& reply);
  bool Register(ListenerSession* session, const std::shared_ptr<ListenerSession>& shared);
  void Unregister(ListenerSession* session);

  const MerchantSettings merchant;
  const Listener listener;
  std::string path;

  mutable std::mutex mutex;  // guards what follows
  mutable std::condition_variable arrived;
  std::set<std::string> orders;
  std::set<std::string> taken;  // transaction ids accepted
  std::vector<ReceivedNotification> received;
  std::unordered_map<ListenerSession*, std::weak_ptr<ListenerSession>> sessions;
  bool stopping = false;

  int port = 0;
  net::io_context io{1};
  std::optional<tcp::acceptor> acceptor;
  std::thread thread;
};

// One connection: one request, its answer, then the connection is closed.
class ListenerSession : public std::enable_shared_from_this<ListenerSession> {
 public:
  ListenerSession(tcp::socket&& socket, NotifyListener::Impl& owner)
      : owner_(owner), stream_(std::move(socket)) {}
  ~ListenerSession() { owner_.Unregister(this); }

  void Start() {
    parser_.header_limit(kHeadAtMost);
    parser_.body_limit(kMaxNotificationBytes);
    stream_.expires_after(kRequestTimeout);
    http::async_read(stream_, buffer_, parser_,
                     beast::bind_front_handler(&ListenerSession::OnRead, shared_from_this()));
  }

  void Close() {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
      error_code ignored;
      self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
      self->stream_.socket().close(ignored);
    });
  }

 private:
  void OnRead(const error_code& ec, std::size_t) {
    reply_.version(11);
    reply_.keep_alive(false);
    reply_.set(http::field::content_type, "text/xml; charset=utf-8");
    if (ec == http::error::body_limit) {
      NotificationCheck refused;
      refused.reason =
          "the notification is larger than " + std::to_string(kMaxNotificationBytes) + " bytes";
      Answer(http::status::payload_too_large, NotificationAnswer(refused));
      return;
    }
    if (ec) return Close();  // cut off, timed out, not HTTP, or the listener stops
    const auto& request = parser_.get();
    const beast::string_view target = request.target();
    if (request.method() != http::verb::post ||
        target.substr(0, target.find('?')) != beast::string_view(owner_.path)) {
      NotificationCheck refused;
      refused.reason = "notifications are POSTed to " + owner_.path;
      Answer(http::status::not_found, NotificationAnswer(refused));
      return;
    }
    owner_.Take(request.body(), reply_);
    Send();
  }

  void Answer(http::status status, std::string body) {
    reply_.result(status);
    reply_.body() = std::move(body);
    Send();
  }

  void Send() {
    reply_.prepare_payload();
    stream_.expires_after(kRequestTimeout);
    http::async_write(stream_, reply_, [self = shared_from_this()](const error_code&, std::size_t) {
      error_code ignored;
      self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
      self->stream_.socket().close(ignored);
    });
  }

  NotifyListener::Impl& owner_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  http::request_parser<http::string_body> parser_;
  http::response<http::string_body> reply_;
};

void NotifyListener::Impl::Take(const std::string& body, http::response<http::string_body>& reply) {
  ReceivedNotification notification{Now(), {}};
  {
    std::lock_guard<std::mutex> lock(mutex);
    NotificationContext context;
    context.merchant = merchant;
    context.knownOrder = [this](const std::string& order) { return orders.count(order) != 0; };
    context.taken = [this](const std::string& payment) { return taken.count(payment) != 0; };
    notification.check = CheckNotification(body, context);
    if (notification.check.verdict == NotificationCheck::Verdict::kAccepted) {
      taken.insert(notification.check.Field(kFieldTransactionId));
    }
    received.push_back(notification);
  }
  arrived.notify_all();
  reply.result(http::status::ok);
  reply.body() = NotificationAnswer(notification.check);
  if (listener) listener(notification);
}

bool NotifyListener::Impl::Register(ListenerSession* session,
                                    const std::shared_ptr<ListenerSession>& shared) {
  std::lock_guard<std::mutex> lock(mutex);
  if (stopping || sessions.size() >= kConnectionsAtMost) return false;
  sessions.emplace(session, shared);
  return true;
}

void NotifyListener::Impl::Unregister(ListenerSession* session) {
  std::lock_guard<std::mutex> lock(mutex);
  sessions.erase(session);
}

void NotifyListener::Impl::Accept() {
  acceptor->async_accept(net::make_strand(io), [this](const error_code& ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor->is_open()) return;
    if (!ec) {
      auto session = std::make_shared<ListenerSession>(std::move(socket), *this);
      if (Register(session.get(), session)) session->Start();
    }
    Accept();
  });
}

NotifyListener::NotifyListener(MerchantSettings merchant, Listener listener)
    : impl_(std::make_unique<Impl>(std::move(merchant), std::move(listener))) {}

NotifyListener::~NotifyListener() { Stop(); }

bool NotifyListener::Start(const ListenAddress& address, std::string& error) {
  Impl& impl = *impl_;
  const std::string where =
      (address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host) +
      ":" + std::to_string(address.port);
  error_code ec;
  tcp::resolver resolver(impl.io);
  const auto endpoints = resolver.resolve(address.host, std::to_string(address.port),
                                          tcp::resolver::numeric_service, ec);
  if (ec || endpoints.empty()) {
    error = "cannot listen on " + where + ": the host cannot be resolved" +
            (ec ? " (" + ec.message() + ")" : std::string());
    return false;
  }
  const tcp::endpoint endpoint = endpoints.begin()->endpoint();
  impl.acceptor.emplace(net::make_strand(impl.io));
  impl.acceptor->open(endpoint.protocol(), ec);
  if (!ec) impl.acceptor->set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) impl.acceptor->bind(endpoint, ec);
  if (!ec) impl.acceptor->listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    impl.acceptor.reset();
    if (ec == net::error::address_in_use) {
      error = "cannot listen on " + where + ": the port is in use";
    } else if (ec == boost::system::errc::address_not_available) {
      error = "cannot listen on " + where + ": it is not an address of this machine";
    } else {
      error = "cannot listen on " + where + " (" + ec.message() + ")";
    }
    return false;
  }
  impl.port = impl.acceptor->local_endpoint().port();
  impl.path = address.path;
  impl.Accept();
  impl.thread = std::thread([&impl] { impl.io.run(); });
  return true;
}

void NotifyListener::Stop() {
  Impl& impl = *impl_;
  std::vector<std::shared_ptr<ListenerSession>> open;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    if (impl.stopping) return;
    impl.stopping = true;
    for (const auto& [raw, weak] : impl.sessions) {
      if (auto session = weak.lock()) open.push_back(std::move(session));
    }
  }
  if (!impl.thread.joinable()) return;
  net::post(impl.acceptor->get_executor(), [&impl] {
    error_code ignored;
    impl.acceptor->close(ignored);
  });
  for (const auto& session : open) session->Close();
  open.clear();
  // With the acceptor and every connection closed the thread runs out of work at once; a
  // window that closes does not wait longer than a moment for an answer still being written
  // (nor for a cancellation Wine delivers late).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  while (!impl.io.stopped() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  impl.io.stop();
  impl.thread.join();
}

std::string NotifyListener::BoundNotifyUrl(const std::string& notifyUrl) const {
  if (!impl_->thread.joinable()) return notifyUrl;
  // "http://host:0/path" becomes "http://host:<port>/path"; any other is sent as it is.
  const std::size_t authority = notifyUrl.find("//") + 2;
  const std::size_t end = notifyUrl.find('/', authority);
  const std::string hostPort = notifyUrl.substr(authority, end - authority);
  if (hostPort.size() < 2 || hostPort.compare(hostPort.size() - 2, 2, ":0") != 0) return notifyUrl;
  return notifyUrl.substr(0, authority) + hostPort.substr(0, hostPort.size() - 1) +
         std::to_string(impl_->port) + (end == std::string::npos ? "" : notifyUrl.substr(end));
}

int NotifyListener::port() const { return impl_->port; }

void NotifyListener::ExpectOrder(const std::string& outTradeNo) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->orders.insert(outTradeNo);
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
