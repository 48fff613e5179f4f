// The server of https_server.h: one Beast session per connection, each on a strand of its
// own; the sessions and the server's state are this file's alone.
#include "http/https_server.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "text/codecs.h"
#include "text/printable.h"
#include "text/url_parts.h"

#include <algorithm>
#include <atomic>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quillmark {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using boost::system::error_code;

// A request is read whole up to this many bytes as they arrive (head, chunk framing and
// extensions, trailers, body), even when its body is over the limit, so that the 413
// reaches a client that sends its body before it reads; past it the request is refused at
// once and its connection closed.
constexpr std::size_t kRequestAtMost = 1024 * 1024;
// What the read buffer may hold: any one piece the parser needs whole (the head, which the
// parser itself bounds to 8 KiB, a chunk's size line with its extensions, the trailer
// section) must fit. Body bytes pass through.
constexpr std::size_t kBufferAtMost = 16 * 1024;
constexpr std::size_t kShownCodingBytes = 60;
constexpr std::size_t kBurstConnections = 256;
constexpr std::chrono::seconds kCloseTimeout{2};
constexpr std::chrono::milliseconds kAcceptRetry{50};
// What the wait for a request's first byte reads at once.
constexpr std::size_t kFirstReadBytes = 1024;

bool IsParseError(const error_code& ec) {
  return ec.category() == http::make_error_code(http::error::bad_target).category() &&
         ec != http::error::end_of_stream && ec != http::error::partial_message;
}

std::string StatusLine(int status) {
  const auto reason = http::obsolete_reason(http::int_to_status(static_cast<unsigned>(status)));
  return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason.data(), reason.size()) +
         "\r\n";
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

// Empty when the request's transfer coding is one this server reads, none or a lone
// "chunked"; otherwise why not. Any other coding would leave the body's end unknown, and
// reading such a body as empty would serve it as the next request.
std::string CodingProblem(const http::request<http::string_body>& message) {
  std::string codings;
  int fields = 0;
  for (auto [it, end] = message.equal_range(http::field::transfer_encoding); it != end; ++it) {
    const beast::string_view value = it->value();
    codings += (fields++ == 0 ? "" : ", ") + std::string(value.data(), value.size());
  }
  if (fields == 0) return "";
  std::size_t from = 0;
  std::size_t to = codings.size();
  while (from < to && IsSpace(codings[from])) ++from;
  while (to > from && IsSpace(codings[to - 1])) --to;
  if (fields == 1 &&
      beast::iequals(beast::string_view(codings).substr(from, to - from), "chunked")) {
    return "";
  }
  if (codings.size() > kShownCodingBytes) codings = codings.substr(0, kShownCodingBytes) + "...";
  return "unsupported Transfer-Encoding \"" + PrintableAscii(codings) + "\"; only chunked is read";
}

// Whatever a client presents, the handshake goes on: a path that needs no certificate is
// served as before, and one that needs it answers with a page that says what was wrong,
// which a refused handshake could not. The chain's verdict stays in the connection
// (SSL_get_verify_result) for the request to read.
int AcceptAnyPeer(int /*preverified*/, X509_STORE_CTX* /*chain*/) { return 1; }

// Asks clients for a certificate, judged by the CAs in `pem` alone: they go into the
// context's verification store, which the server's own chain does not use, and are named to
// the client as the CAs it may choose a certificate of.
bool AskForClientCertificates(ssl::context& tls, const std::string& pem) {
  SSL_CTX* context = tls.native_handle();
  X509_STORE* store = SSL_CTX_get_cert_store(context);
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  if (!bio) return false;
  int added = 0;
  while (X509* ca = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    const bool kept =
        X509_STORE_add_cert(store, ca) == 1 && SSL_CTX_add_client_CA(context, ca) == 1;
    X509_free(ca);
    if (!kept) return false;
    ++added;
  }
  if (added == 0) return false;
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, &AcceptAnyPeer);
  return true;
}

// What the client of `ssl` presented at its handshake.
PeerCertificate PeerOf(SSL* ssl) {
  PeerCertificate peer;
  std::unique_ptr<X509, decltype(&X509_free)> cert(SSL_get1_peer_certificate(ssl), &X509_free);
  if (!cert) return peer;
  peer.presented = true;
  peer.trusted = SSL_get_verify_result(ssl) == X509_V_OK;
  X509_NAME* subject = X509_get_subject_name(cert.get());
  const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  ASN1_STRING* value =
      at < 0 ? nullptr : X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
  if (value != nullptr) {
    peer.commonName.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                           static_cast<std::size_t>(ASN1_STRING_length(value)));
  }
  return peer;
}

// Loads the certificate chain and key of `options` into `tls`. False, with `error` set, when
// they cannot be used.
bool UseCertificate(ssl::context& tls, const HttpsServerOptions& options, std::string& error) {
  error_code ec;
  tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                  ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
  if (!options.certPem.empty()) {
    tls.use_certificate_chain(net::buffer(options.certPem), ec);
    if (!ec) tls.use_private_key(net::buffer(options.keyPem), ssl::context::pem, ec);
  } else {
    tls.use_certificate_chain_file(options.certFile, ec);
    if (!ec) tls.use_private_key_file(options.keyFile, ssl::context::pem, ec);
  }
  if (ec || SSL_CTX_check_private_key(tls.native_handle()) != 1) {
    error = options.certPem.empty()
                ? "cannot use the certificate " + options.certFile + " with the key " +
                      options.keyFile + " (not PEM, or they do not match)"
                : "cannot use the certificate issued at start (OpenSSL refused it)";
    return false;
  }
  if (!options.clientCaPem.empty() && !AskForClientCertificates(tls, options.clientCaPem)) {
    error = "cannot use the CA for client certificates (not PEM)";
    return false;
  }
  // Lets a client that reconnects resume its TLS session instead of a full handshake.
  static constexpr unsigned char kSessionContext[] = "quillmark-sandbox";
  SSL_CTX_set_session_id_context(tls.native_handle(), kSessionContext, sizeof kSessionContext - 1);
  return true;
}

}  // namespace

// What the server needs of a connection of either kind.
class SessionBase {
 public:
  virtual ~SessionBase() = default;
  // The server is stopping: end whatever the connection waits for.
  virtual void Shutdown() = 0;
  // Another connection needs the place: close this one, which holds no request.
  virtual void Evict() = 0;

  // Whether the connection waits for (the rest of) a request's head: it holds no request,
  // and may give its place up. Set on its strand, read by the acceptor.
  std::atomic<bool> awaitingHead{true};
};

namespace {

// A reply's `written`, called once: with false when it goes unused, as when a reply posted
// to a connection is dropped because the server stopped first.
class WriteReport {
 public:
  WriteReport() = default;
  explicit WriteReport(std::function<void(bool)> report) : report_(std::move(report)) {}
  WriteReport(WriteReport&& other) noexcept : report_(std::exchange(other.report_, nullptr)) {}
  WriteReport& operator=(WriteReport&& other) noexcept {
    if (this != &other) {
      Done(false);
      report_ = std::exchange(other.report_, nullptr);
    }
    return *this;
  }
  WriteReport(const WriteReport&) = delete;
  WriteReport& operator=(const WriteReport&) = delete;
  ~WriteReport() { Done(false); }

  void Done(bool written) {
    if (auto report = std::exchange(report_, nullptr)) report(written);
  }

 private:
  std::function<void(bool)> report_;
};

}  // namespace

struct HttpsServer::Impl {
  explicit Impl(HttpsServerOptions o) : options(std::move(o)) {}

  void Accept();
  void OnAccept(const error_code& ec, tcp::socket socket);
  // False when the server is stopping or serves as many connections as it may: the session
  // must not start, and its connection is closed when it is destroyed.
  bool Register(SessionBase* session, const std::shared_ptr<SessionBase>& shared);
  // Under `mutex`, with the server full: takes the oldest connection that holds no request
  // out of `sessions`, into `taken` (null when it is already going); false when every one
  // holds a request.
  bool TakeIdlest(std::shared_ptr<SessionBase>& taken);
  void Unregister(SessionBase* session);

  HttpsServerOptions options;
  ssl::context tls{ssl::context::tls_server};

  std::mutex mutex;  // guards what follows
  bool started = false;
  bool stopping = false;
  struct Registered {
    std::weak_ptr<SessionBase> session;
    std::uint64_t order = 0;  // of registration: the smallest is the oldest
  };
  std::unordered_map<SessionBase*, Registered> sessions;
  std::uint64_t registered = 0;
  std::size_t peak = 0;  // the most sessions at once since afterConnectionBurst was called

  std::atomic<int> port{0};
  // Destroyed before the members above: destroying it destroys the sessions its pending
  // handlers still hold, and they unregister themselves.
  net::io_context io;
  std::optional<tcp::acceptor> acceptor;
  std::optional<net::steady_timer> acceptRetry;
  std::vector<std::thread> threads;
};

using TlsStream = beast::ssl_stream<beast::tcp_stream>;
using PlainStream = beast::tcp_stream;

// One connection: the TLS handshake (over TlsStream), then requests one after another for
// as long as the client keeps the connection and sends within the time limits. Every
// member runs on the connection's strand.
template <class Stream>
class Session : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
  static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

 public:
  // `streamArgs` make the stream: the socket, and for TLS the server's context.
  template <class... StreamArgs>
  explicit Session(HttpsServer::Impl& server, StreamArgs&&... streamArgs)
      : server_(server),
        stream_(std::forward<StreamArgs>(streamArgs)...),
        hold_(stream_.get_executor()),
        buffer_(kBufferAtMost) {}
  ~Session() override { server_.Unregister(this); }

  void Start() {
    net::dispatch(stream_.get_executor(),
                  beast::bind_front_handler(&Session::Begin, this->shared_from_this()));
  }

  void Shutdown() override {
    net::dispatch(stream_.get_executor(), [self = this->shared_from_this()] {
      self->stopping_ = true;
      self->hold_.cancel();
      self->Close();
    });
  }

  void Evict() override {
    net::dispatch(stream_.get_executor(), [self = this->shared_from_this()] { self->Close(); });
  }

 private:
  const HttpsServerOptions& options() const { return server_.options; }
  tcp::socket& socket() { return beast::get_lowest_layer(stream_).socket(); }

  void Begin() {
    if constexpr (kTls) {
      Handshake();
    } else {
      Read();
    }
  }

  void Handshake() {
    beast::get_lowest_layer(stream_).expires_after(options().handshakeTimeout);
    stream_.async_handshake(
        ssl::stream_base::server,
        beast::bind_front_handler(&Session::OnHandshake, this->shared_from_this()));
  }

  void OnHandshake(const error_code& ec) {
    if (ec) return Close();
    error_code ignored;
    net::ip::address peer = socket().remote_endpoint(ignored).address();
    if (peer.is_v6() && peer.to_v6().is_v4_mapped()) {
      peer = net::ip::make_address_v4(net::ip::v4_mapped, peer.to_v6());
    }
    fromLoopback_ = !ignored && peer.is_loopback();
    if constexpr (kTls) {
      if (!options().clientCaPem.empty()) peerCertificate_ = PeerOf(stream_.native_handle());
    }
    Read();
  }

  void Read() {
    parser_.emplace();
    parser_->body_limit(kRequestAtMost);
    requestBytes_ = 0;
    codingChecked_ = false;
    awaitingHead.store(true);
    readFrom_ = std::chrono::steady_clock::now();
    const auto firstByte = options().firstByteTimeout;
    if (firstByte.count() > 0 && buffer_.size() == 0) {
      // The parser's read returns only once it has a whole head; a bare read of the socket
      // sees the first byte.
      beast::get_lowest_layer(stream_).expires_at(readFrom_ +
                                                  std::min(firstByte, options().requestTimeout));
      return stream_.async_read_some(
          buffer_.prepare(kFirstReadBytes),
          beast::bind_front_handler(&Session::OnFirstBytes, this->shared_from_this()));
    }
    WaitForHead();
  }

  void OnFirstBytes(const error_code& ec, std::size_t bytes) {
    if (ec) return Close();  // closed, reset, silent past the first byte's bound, stopping
    buffer_.commit(bytes);
    WaitForHead();
  }

  void WaitForHead() {
    const auto head = options().headTimeout;
    beast::get_lowest_layer(stream_).expires_at(
        readFrom_ +
        (head.count() > 0 ? std::min(head, options().requestTimeout) : options().requestTimeout));
    ReadSome();
  }

  // A piece at a time (the head, a chunk's size line, some body, ...), so that every byte
  // the parser takes is counted against the request's bound.
  void ReadSome() {
    http::async_read_some(
        stream_, buffer_, *parser_,
        beast::bind_front_handler(&Session::OnReadSome, this->shared_from_this()));
  }

  void OnReadSome(const error_code& ec, std::size_t used) {
    if (ec && !IsParseError(ec)) return Close();  // closed, reset, timed out or stopping
    requestBytes_ += used;
    if (ec == http::error::body_limit || requestBytes_ > kRequestAtMost) {
      return Refuse(
          413, "request larger than " + std::to_string(kRequestAtMost) + " bytes with its framing");
    }
    if (ec == http::error::buffer_overflow) {
      return Refuse(
          413, "chunk header or trailer larger than " + std::to_string(kBufferAtMost) + " bytes");
    }
    if (ec) return Refuse(400, "bad HTTP request (" + ec.message() + ")");
    if (!codingChecked_ && parser_->is_header_done()) {
      codingChecked_ = true;
      awaitingHead.store(false);
      // The body has what is left of the request's bound.
      if (options().headTimeout.count() > 0) {
        beast::get_lowest_layer(stream_).expires_at(readFrom_ + options().requestTimeout);
      }
      const std::string problem = CodingProblem(parser_->get());
      if (!problem.empty()) return Refuse(400, problem);
    }
    if (!parser_->is_done()) return ReadSome();
    OnRead();
  }

  // What was read of the request (its start line, when it got that far) goes to `refuse`.
  void Refuse(int status, const std::string& reason) {
    ReadStartLine();
    keepAlive_ = false;
    parser_.reset();
    HttpReply reply;
    options().refuse(status, reason, request_, reply);
    Send(std::move(reply));
  }

  void ReadStartLine() {
    request_ = HttpRequest{};
    const auto& message = parser_->get();
    request_.method = std::string(message.method_string());
    const beast::string_view target = message.target();
    const std::size_t question = target.find('?');
    request_.path = PercentDecode(std::string(target.substr(0, question)));
    if (question != beast::string_view::npos)
      request_.query = std::string(target.substr(question + 1));
    const auto header = [&message](http::field field) {
      const beast::string_view value = message[field];
      return std::string(value.data(), value.size());
    };
    request_.host = header(http::field::host);
    request_.origin = header(http::field::origin);
    request_.cookie = header(http::field::cookie);
    request_.contentType = header(http::field::content_type);
    request_.acceptLanguage = header(http::field::accept_language);
    request_.referer = header(http::field::referer);
    const beast::string_view site = message["Sec-Fetch-Site"];
    request_.secFetchSite = std::string(site.data(), site.size());
    request_.fromLoopback = fromLoopback_;
    request_.peerCertificate = peerCertificate_;
  }

  void OnRead() {
    if (parser_->get().body().size() > options().bodyLimit) {
      return Refuse(413,
                    "request body larger than " + std::to_string(options().bodyLimit) + " bytes");
    }
    ReadStartLine();
    keepAlive_ = parser_->get().keep_alive();
    request_.body = std::move(parser_->get().body());
    parser_.reset();

    const auto hold = options().holdFor ? options().holdFor(request_) : std::chrono::milliseconds{};
    if (hold.count() <= 0) return Handle();
    beast::get_lowest_layer(stream_).expires_never();
    hold_.expires_after(hold);
    hold_.async_wait(beast::bind_front_handler(&Session::OnHeld, this->shared_from_this()));
  }

  void OnHeld(const error_code& ec) {
    if (ec || stopping_) {
      if (options().abandoned) options().abandoned(request_);
      return Close();
    }
    Handle();
  }

  void Handle() {
    // The answer may come from another thread (the sandbox's state writer): it is sent
    // from the connection's strand, like everything else of the connection.
    options().handle(request_, [self = this->shared_from_this()](HttpReply reply) {
      WriteReport report(std::move(reply.written));
      net::post(self->stream_.get_executor(),
                [self, report = std::move(report), reply = std::move(reply)]() mutable {
                  self->written_ = std::move(report);
                  self->Send(std::move(reply));
                });
    });
  }

  void Send(HttpReply reply) {
    if (reply.written) written_ = WriteReport(std::move(reply.written));
    beast::get_lowest_layer(stream_).expires_after(options().writeTimeout);
    if (reply.wire) {
      HttpWire wire = reply.wire(reply, StatusLine(reply.status), keepAlive_);
      pieces_ = std::move(wire.pieces);
      if (wire.drop) {
        keepAlive_ = false;
        dropAfterWrite_ = true;
      }
      if (pieces_.empty()) return OnWritten(error_code{}, 0);
      return WritePiece();
    }
    response_.emplace(static_cast<http::status>(reply.status), 11);
    if (!reply.contentType.empty()) response_->set(http::field::content_type, reply.contentType);
    if (!reply.location.empty()) response_->set(http::field::location, reply.location);
    for (const auto& [name, value] : reply.headers) response_->insert(name, value);
    response_->body() = std::move(reply.body);
    response_->keep_alive(keepAlive_);
    response_->prepare_payload();
    if (request_.method == "HEAD") {
      // The head alone, Content-Length as for a GET: the client reads no body after a
      // reply to HEAD, so one sent would be read as the start of the next reply.
      std::ostringstream head;
      head << response_->base();
      pieces_ = {head.str()};
      return WritePiece();
    }
    http::async_write(stream_, *response_,
                      beast::bind_front_handler(&Session::OnWritten, this->shared_from_this()));
  }

  // Writes pieces_ in order, each with a write of its own.
  void WritePiece() {
    net::async_write(stream_, net::buffer(pieces_.front()),
                     [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                       self->pieces_.erase(self->pieces_.begin());
                       if (ec || self->pieces_.empty()) return self->OnWritten(ec, 0);
                       self->WritePiece();
                     });
  }

  void OnWritten(const error_code& ec, std::size_t) {
    response_.reset();
    written_.Done(!ec);
    if (ec || stopping_ || dropAfterWrite_) return Close();
    if (keepAlive_) return Read();
    if constexpr (kTls) {
      beast::get_lowest_layer(stream_).expires_after(kCloseTimeout);
      stream_.async_shutdown(
          [self = this->shared_from_this()](const error_code&) { self->Close(); });
    } else {
      Close();
    }
  }

  void Close() {
    error_code ignored;
    socket().shutdown(tcp::socket::shutdown_both, ignored);
    socket().close(ignored);
  }

  HttpsServer::Impl& server_;
  Stream stream_;
  net::steady_timer hold_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<http::response<http::string_body>> response_;
  std::vector<std::string> pieces_;
  WriteReport written_;  // of the reply being written
  HttpRequest request_;
  std::chrono::steady_clock::time_point readFrom_;  // when the wait for the request began
  std::size_t requestBytes_ = 0;  // taken by the parser for the request being read
  bool codingChecked_ = false;
  bool keepAlive_ = false;
  bool dropAfterWrite_ = false;
  bool stopping_ = false;
  bool fromLoopback_ = false;
  PeerCertificate peerCertificate_;  // what the client presented at the handshake
};

bool HttpsServer::Impl::Register(SessionBase* session, const std::shared_ptr<SessionBase>& shared) {
  std::shared_ptr<SessionBase> evicted;  // closed, and perhaps destroyed, outside the lock
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) return false;
    if (options.maxConnections > 0 && sessions.size() >= options.maxConnections) {
      if (!options.evictIdle || !TakeIdlest(evicted)) return false;
    }
    sessions.emplace(session, Registered{shared, ++registered});
    peak = std::max(peak, sessions.size());
  }
  if (evicted) evicted->Evict();
  return true;
}

bool HttpsServer::Impl::TakeIdlest(std::shared_ptr<SessionBase>& taken) {
  auto oldest = sessions.end();
  for (auto it = sessions.begin(); it != sessions.end(); ++it) {
    if (it->first->awaitingHead.load() &&
        (oldest == sessions.end() || it->second.order < oldest->second.order)) {
      oldest = it;
    }
  }
  if (oldest == sessions.end()) return false;
  taken = oldest->second.session.lock();
  sessions.erase(oldest);
  return true;
}

void HttpsServer::Impl::Unregister(SessionBase* session) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (sessions.erase(session) == 0 || !options.afterConnectionBurst || peak < kBurstConnections ||
        sessions.size() > peak / 4) {
      return;
    }
    peak = sessions.size();
  }
  options.afterConnectionBurst();
}

void HttpsServer::Impl::Accept() {
  acceptor->async_accept(net::make_strand(io), [this](const error_code& ec, tcp::socket socket) {
    OnAccept(ec, std::move(socket));
  });
}

void HttpsServer::Impl::OnAccept(const error_code& ec, tcp::socket socket) {
  if (ec == net::error::operation_aborted || !acceptor->is_open()) return;
  if (ec) {
    // Out of descriptors, most likely: try again shortly rather than spin or give up.
    acceptRetry->expires_after(kAcceptRetry);
    acceptRetry->async_wait([this](const error_code& waited) {
      if (!waited && acceptor->is_open()) Accept();
    });
    return;
  }
  // Replies go out in several writes (head, body, TLS records): without this, Nagle's
  // algorithm and the client's delayed acknowledgement cost each request ~40 ms.
  error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  if (options.tls) {
    auto session = std::make_shared<Session<TlsStream>>(*this, std::move(socket), tls);
    if (Register(session.get(), session)) session->Start();
  } else {
    auto session = std::make_shared<Session<PlainStream>>(*this, std::move(socket));
    if (Register(session.get(), session)) session->Start();
  }
  Accept();
}

HttpsServer::HttpsServer(HttpsServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

HttpsServer::~HttpsServer() { Stop(); }

bool HttpsServer::Start(std::string& error) {
  Impl& impl = *impl_;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    if (impl.started || impl.stopping) {
      error = "the server is already started";
      return false;
    }
  }
  const HttpsServerOptions& options = impl.options;
  error_code ec;
  if (options.tls && !UseCertificate(impl.tls, options, error)) return false;

  const std::string where = UrlHost(options.host) + ":" + std::to_string(options.port);
  tcp::resolver resolver(impl.io);
  const auto endpoints =
      resolver.resolve(options.host, std::to_string(options.port),
                       tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  if (ec || endpoints.empty()) {
    error = "cannot listen on " + where + ": the host cannot be resolved" +
            (ec ? " (" + ec.message() + ")" : std::string());
    return false;
  }
  const tcp::endpoint endpoint = endpoints.begin()->endpoint();
  impl.acceptor.emplace(net::make_strand(impl.io));
  impl.acceptor->open(endpoint.protocol(), ec);
  // SO_REUSEADDR only: SO_REUSEPORT would let a second sandbox share the port silently and
  // split the requests between the two.
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
  impl.acceptRetry.emplace(impl.acceptor->get_executor());
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    impl.started = true;
  }
  impl.Accept();
  const int count = options.threads > 0
                        ? options.threads
                        : std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
  for (int i = 0; i < count; ++i) impl.threads.emplace_back([&impl] { impl.io.run(); });
  return true;
}

void HttpsServer::Stop() {
  Impl& impl = *impl_;
  std::vector<std::shared_ptr<SessionBase>> open;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    if (impl.stopping) return;
    impl.stopping = true;
    if (!impl.started) return;
    for (const auto& [raw, registered] : impl.sessions) {
      if (auto session = registered.session.lock()) open.push_back(std::move(session));
    }
  }
  net::post(impl.acceptor->get_executor(), [&impl] {
    error_code ignored;
    impl.acceptor->close(ignored);
    impl.acceptRetry->cancel();
  });
  for (const auto& session : open) session->Shutdown();
  open.clear();
  // With the listener and every connection closed the threads run out of work and return;
  // a peer that keeps a write from failing at once is not waited for beyond the grace.
  const auto deadline = std::chrono::steady_clock::now() + impl.options.stopGrace;
  while (!impl.io.stopped() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  impl.io.stop();
  for (auto& thread : impl.threads) thread.join();
  impl.threads.clear();
}

int HttpsServer::port() const { return impl_->port; }

}  // namespace quillmark
