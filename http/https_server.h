// The product's HTTP/1.1 server, over TLS or plain: the sandbox serves with it, and the
// clients' notification listener listens with it. A few threads serve every connection, so
// idle, slow or half-open connections cost a socket and a little memory but never a
// thread, and kept-alive connections are answered without a new handshake.
//
// What one connection can hold is bounded whatever the peer sends: a request's head may
// be 8 KiB (400 beyond), it is read into a buffer of at most 16 KiB that a chunk's size
// line with its extensions and the trailer section must each fit (413 beyond), and a
// request of more than 1 MiB as it arrives (head, chunk framing and extensions, trailers
// and body together) gets 413. A transfer coding other than a lone `chunked` gets 400.
// After any of these the connection is closed.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quillmark {

// What a client presented at the handshake, for a server told to ask for one
// (HttpsServerOptions::clientCaPem).
struct PeerCertificate {
  bool presented = false;
  // It chains to one of the CAs the server trusts for client certificates, and is within
  // its validity.
  bool trusted = false;
  std::string commonName;  // its subject's CN, as it is: the merchant number it names
};

struct HttpRequest {
  std::string method;  // "GET", "POST", ...; empty when the request could not be read
  std::string path;    // the target up to '?', percent-decoded
  std::string query;   // what follows the '?', as it came
  std::string body;
  // The few headers the console and the payer page need (empty when absent), and whether the peer's
  // address is a loopback one (127.0.0.0/8, ::1, or such an IPv4 address mapped into IPv6).
  std::string host;
  std::string origin;
  std::string secFetchSite;
  std::string cookie;
  std::string contentType;
  std::string acceptLanguage;  // which language the pages are written in
  std::string referer;         // the page a link was followed from (MWEB's page checks it)
  bool fromLoopback = false;
  PeerCertificate peerCertificate;  // nothing presented where the server asks for none
};

// The bytes of a reply that is written its own way (HttpReply::wire) rather than as the
// server would write it.
struct HttpWire {
  std::vector<std::string> pieces;  // written in order, each with a write of its own
  // False: the connection then goes on as after any reply (kept alive when the request
  // asked for it, else closed cleanly). True: it is dropped without a TLS close, and no
  // further request is read from it.
  bool drop = false;
};

struct HttpReply;
// Makes the bytes of `reply` from it, its status line ("HTTP/1.1 200 OK\r\n") and whether
// the connection is to stay open for another request. Nothing checks that they are HTTP.
using HttpWireMaker =
    std::function<HttpWire(const HttpReply& reply, const std::string& statusLine, bool keepAlive)>;

struct HttpReply {
  int status = 200;
  std::string contentType;
  std::string location;                                      // sent as Location when not empty
  std::vector<std::pair<std::string, std::string>> headers;  // further headers, as they are
  std::string body;
  // Optional. Writes the reply its own way: for testing clients against a server that
  // misbehaves. Called on a server thread, once, when the reply goes out; a reply to HEAD
  // is then written as it says too.
  HttpWireMaker wire;
  // Optional. Called once on a server thread when the reply is off: true once it was
  // written whole to the connection, false when that failed or never began (the peer went,
  // a timeout, or Stop() came first). Whoever must know the peer got its answer waits for
  // this, not for having made the reply.
  std::function<void(bool written)> written;
};

struct HttpsServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0 picks a free port
  // False: plain HTTP, for the one page a phone must open before it trusts the CA; every
  // bound below holds all the same. The certificate is then not used.
  bool tls = true;
  // The certificate chain and its key as PEM files, or as PEM text (used when not empty):
  // a certificate issued at start never touches the disk.
  std::string certFile;
  std::string keyFile;
  std::string certPem;
  std::string keyPem;
  // Not empty: the CAs (PEM) a client certificate is judged by, apart from the server's own
  // chain. The server then asks each client for a certificate at the handshake but finishes
  // it whatever is presented, and tells the handler what was (HttpRequest::peerCertificate):
  // which paths need one is the handler's to decide. Empty: no client is asked.
  std::string clientCaPem;
  std::size_t bodyLimit = 64 * 1024;  // larger bodies get 413
  // Serve at most this many connections at once; one past it is closed as soon as it is
  // accepted. 0: no bound but the descriptors.
  std::size_t maxConnections = 0;
  int threads = 0;  // 0: one per core, at least two
  std::chrono::milliseconds handshakeTimeout{10'000};
  // From the moment the server waits for a request until it has all of it: bounds an idle
  // kept-alive connection as well as one that sends a byte now and then.
  std::chrono::milliseconds requestTimeout{30'000};
  // Optional tighter bounds on the wait for a request, counted from the same moment: for
  // its first byte, and for its whole head (zero: requestTimeout alone). A connection that
  // is opened and left idle then gives its place back within a moment.
  std::chrono::milliseconds firstByteTimeout{0};
  std::chrono::milliseconds headTimeout{0};
  // With maxConnections reached, a new connection takes the place of the oldest one that
  // has not sent a whole request head (idle, or trickling it) rather than being closed:
  // connections left idle cannot shut out one that comes to send a request.
  bool evictIdle = false;
  std::chrono::milliseconds writeTimeout{30'000};
  // How long Stop() waits for the threads to run out of work before it ends what is left.
  std::chrono::milliseconds stopGrace{1'000};

  // Answers a request that was read whole, by calling `answer` with the reply, at once or
  // later from any thread; the request stays valid until then. Called on a server thread;
  // may be called on several at once. Until it answers, its connection reads nothing more.
  using Answer = std::function<void(HttpReply reply)>;
  std::function<void(const HttpRequest&, Answer answer)> handle;
  // Answers a request that could not be read: `status` is 400 or 413, `reason` says why in
  // one line of printable ASCII, and `request` holds what was read of it. The connection is
  // closed after the reply.
  std::function<void(int status, const std::string& reason, const HttpRequest&, HttpReply&)> refuse;
  // Optional. How long to hold a request before handling it (zero: not at all). A request
  // held when the server stops is not handled: `abandoned` is called for it instead.
  std::function<std::chrono::milliseconds(const HttpRequest&)> holdFor;
  std::function<void(const HttpRequest&)> abandoned;
  // Optional. Called on a server thread once the open connections have fallen to a quarter
  // of a peak of at least 256 since the last call: when what those connections used has
  // just been freed, and could be given back to the system.
  std::function<void()> afterConnectionBurst;
};

class HttpsServer {
 public:
  explicit HttpsServer(HttpsServerOptions options);
  ~HttpsServer();  // Stop()
  HttpsServer(const HttpsServer&) = delete;
  HttpsServer& operator=(const HttpsServer&) = delete;

  // Loads the certificate, binds and starts the server threads; returns once connections
  // are accepted. False, with `error` saying why in one line, when the certificate is
  // unusable, the host cannot be resolved or is not an address of this machine, or the
  // port is in use.
  bool Start(std::string& error);
  // Closes the listening socket and every connection, calls `abandoned` for held requests
  // and joins the threads; a reply being written is cut off. Returns within about
  // `stopGrace` whatever the clients do. Safe to call more than once, and before Start().
  void Stop();

  int port() const;

  struct Impl;  // public only so that the connections in the .cpp can name it

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillmark
