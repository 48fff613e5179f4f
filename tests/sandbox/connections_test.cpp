// What clients cannot do to the sandbox by holding connections open or framing requests
// oddly, what it keeps of its orders, and how kept-alive connections end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "http/https_server.h"
#include "sandbox/certificates.h"
#include "sandbox/order/order_book.h"
#include "sandbox/sandbox.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;
using std::chrono::seconds;

// A connection that does as little as a client can: a TCP connection and, as asked, a TLS
// handshake and the first bytes of a request, and then nothing.
class IdleConnection {
 public:
  enum class Stage { kTcp, kHandshake, kPartialRequest };

  IdleConnection(int port, Stage stage, SSL_CTX* tls) {
    // A write to a connection the server has closed must fail, not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!ok_ || stage == Stage::kTcp) return;
    ssl_ = SSL_new(tls);
    SSL_set_fd(ssl_, fd_);
    ok_ = SSL_connect(ssl_) == 1;
    if (ok_ && stage == Stage::kPartialRequest) {
      static constexpr char kStart[] = "POST /pay/orderquery HTTP/1.1\r\nHost: 127";
      ok_ = SSL_write(ssl_, kStart, sizeof kStart - 1) > 0;
    }
  }
  ~IdleConnection() {
    if (ssl_) SSL_free(ssl_);
    close(fd_);
  }
  IdleConnection(const IdleConnection&) = delete;
  IdleConnection& operator=(const IdleConnection&) = delete;

  bool ok() const { return ok_; }

  bool Send(const std::string& bytes) {
    return ok_ && SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) > 0;
  }
  // Everything the server sends until it closes the connection; false in `closed` when it
  // was still open after `limit`. `closeNotify`, when given, says whether the server closed
  // TLS first rather than dropping the connection.
  std::string ReadToClose(bool& closed, seconds limit = seconds(5), bool* closeNotify = nullptr) {
    timeval timeout{static_cast<time_t>(limit.count()), 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string text;
    char buffer[4096];
    int got = 0;
    while ((got = SSL_read(ssl_, buffer, sizeof buffer)) > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    const int error = SSL_get_error(ssl_, got);
    closed = error != SSL_ERROR_WANT_READ && !(error == SSL_ERROR_SYSCALL && errno == EAGAIN);
    if (closeNotify) *closeNotify = error == SSL_ERROR_ZERO_RETURN;
    return text;
  }

 private:
  int fd_ = -1;
  SSL* ssl_ = nullptr;
  bool ok_ = false;
};

using SandboxConnections = SandboxTest;

TEST_F(SandboxConnections, IdleAndSlowConnectionsDelayNoOtherClient) {
  StartSandbox();
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls(SSL_CTX_new(TLS_client_method()),
                                                        SSL_CTX_free);
  // Far more than the server has threads: each would have held one for its read timeout.
  std::vector<std::unique_ptr<IdleConnection>> idle;
  const IdleConnection::Stage stages[] = {IdleConnection::Stage::kTcp,
                                          IdleConnection::Stage::kHandshake,
                                          IdleConnection::Stage::kPartialRequest};
  for (int i = 0; i < 150; ++i) {
    idle.push_back(std::make_unique<IdleConnection>(sandbox_->port(), stages[i % 3], tls.get()));
    ASSERT_TRUE(idle.back()->ok()) << "connection " << i;
  }
  // Answered at all within 5 s, where a thread per connection would keep it waiting for 30.
  for (int i = 0; i < 3; ++i) {
    const Reply reply = Query("nosuchorder", 5'000);
    EXPECT_EQ(reply.diagnostic, "curl_easy_perform passed.");
    EXPECT_EQ(CdataField(reply.body, "return_msg"), "order nosuchorder does not exist");
  }
}

TEST_F(SandboxConnections, OnlyAPlainOrChunkedBodyOfBoundedSizeIsRead) {
  StartSandbox();
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls(SSL_CTX_new(TLS_client_method()),
                                                        SSL_CTX_free);
  const std::string head =
      "POST /pay/orderquery HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  // Served as a request of its own if the body around it were taken for empty.
  const std::string smuggled = "GET /pay/qr/x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  const std::string query = SignedDocument(QueryFields("x"));
  const auto chunk = [](const std::string& data) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx", data.size());
    return size + ("\r\n" + data + "\r\n");
  };
  std::string manyExtensions;  // 130 one-byte chunks, 1.07 MB of extensions
  for (int i = 0; i < 130; ++i) manyExtensions += "1;x=" + std::string(8200, 'e') + "\r\na\r\n";
  const std::string pad(20'000, 'p');
  const struct {
    const char* name;
    std::string request;
    const char* status;
    std::string reason;
  } rows[] = {
      {"chunked", head + "Transfer-Encoding: chunked\r\n\r\n" + chunk(query) + "0\r\n\r\n",
       "200 OK", "order x does not exist"},
      {"Chunked", head + "Transfer-Encoding: Chunked\r\n\r\n" + chunk(query) + "0\r\n\r\n",
       "200 OK", "order x does not exist"},
      {"xchunked", head + "Transfer-Encoding: xchunked\r\n\r\n" + smuggled, "400 Bad Request",
       "unsupported Transfer-Encoding \"xchunked\"; only chunked is read"},
      {"gzip", head + "Transfer-Encoding: gzip\r\n\r\n" + smuggled, "400", "\"gzip\""},
      {"identity", head + "Transfer-Encoding: identity\r\n\r\n" + smuggled, "400", "identity"},
      {"chunked, identity", head + "Transfer-Encoding: chunked, identity\r\n\r\n" + smuggled,
       "400", "\"chunked, identity\""},
      {"gzip, chunked", head + "Transfer-Encoding: gzip, chunked\r\n\r\n" + chunk(smuggled),
       "400", "\"gzip, chunked\""},
      {"two fields", head + "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" +
                         chunk(smuggled),
       "400", "\"gzip, chunked\""},
      {"long chunk extension", head + "Transfer-Encoding: chunked\r\n\r\n1;x=" + pad + "\r\na",
       "413", "chunk header or trailer larger than 16384 bytes"},
      {"zero-padded chunk size", head + "Transfer-Encoding: chunked\r\n\r\n" + pad + "1\r\na",
       "413", "larger than 16384 bytes"},
      {"long header", head + "X-Pad: " + pad + "\r\n\r\n", "400",
       "bad HTTP request (header limit exceeded)"},
      {"long trailer", head + "Transfer-Encoding: chunked\r\n\r\n0\r\nX-Pad: " + pad,
       "413", "larger than 16384 bytes"},
      {"chunk extensions past the request bound",
       head + "Transfer-Encoding: chunked\r\n\r\n" + manyExtensions + "0\r\n\r\n", "413",
       "request larger than 1048576 bytes with its framing"},
  };
  for (const auto& row : rows) {
    IdleConnection connection(sandbox_->port(), IdleConnection::Stage::kHandshake, tls.get());
    ASSERT_TRUE(connection.Send(row.request)) << row.name;
    bool closed = false;
    const std::string reply = connection.ReadToClose(closed);
    EXPECT_TRUE(closed) << row.name;
    EXPECT_EQ(reply.rfind(std::string("HTTP/1.1 ") + row.status, 0), 0u)
        << row.name << ": " << reply;
    const std::size_t body = reply.find("\r\n\r\n");
    EXPECT_NE(reply.find(row.reason, body), std::string::npos) << row.name << ": " << reply;
    EXPECT_EQ(reply.find("HTTP/1.1", 1), std::string::npos) << row.name << ": a second reply";
  }
  // Nothing smuggled reached the handler: two orderqueries were served, no payer page.
  EXPECT_EQ(log_.str().find("/pay/qr/"), std::string::npos) << log_.str();
}

// A reply to HEAD is a head alone: the client reads nothing after it, so a body sent would
// be read as the start of the next reply on the connection.
TEST_F(SandboxConnections, AHeadRequestGetsTheHeadAlone) {
  StartSandbox();
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls(SSL_CTX_new(TLS_client_method()),
                                                        SSL_CTX_free);
  const std::string next = "GET /pay/qr/x HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  for (const char* target : {"/pay/qr/x", "/pay/unifiedorder", "/", "/pay/qr/x?y=1"}) {
    SCOPED_TRACE(target);
    IdleConnection connection(sandbox_->port(), IdleConnection::Stage::kHandshake, tls.get());
    ASSERT_TRUE(connection.Send(std::string("HEAD ") + target +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" + next));
    bool closed = false;
    const std::string replies = connection.ReadToClose(closed);
    const std::size_t end = replies.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << replies;
    const std::string head = replies.substr(0, end);
    EXPECT_EQ(head.find("Content-Length: 0"), std::string::npos) << "as for a GET: " << head;
    EXPECT_NE(head.find("Content-Length: "), std::string::npos) << head;
    EXPECT_EQ(replies.compare(end + 4, 9, "HTTP/1.1 "), 0) << "a body after the head: " << replies;
  }
}
TEST_F(SandboxConnections, ConnectionsPastTheBoundAreClosedAtOnce) {
  Options options;
  options.maxConnections = 3;
  StartSandbox(options);
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls(SSL_CTX_new(TLS_client_method()),
                                                        SSL_CTX_free);
  std::vector<std::unique_ptr<IdleConnection>> idle;
  for (int i = 0; i < 3; ++i) {
    idle.push_back(std::make_unique<IdleConnection>(sandbox_->port(),
                                                    IdleConnection::Stage::kHandshake, tls.get()));
    ASSERT_TRUE(idle.back()->ok()) << "connection " << i;
  }
  EXPECT_FALSE(IdleConnection(sandbox_->port(), IdleConnection::Stage::kHandshake, tls.get()).ok());
  const Reply refused = Query("x", 2'000);
  EXPECT_NE(refused.diagnostic, "curl_easy_perform passed.");

  idle.pop_back();  // its place is free once the server sees it closed
  std::string answer;
  for (int i = 0; i < 100 && answer.empty(); ++i) {
    answer = CdataField(Query("x", 2'000).body, "return_msg");
    if (answer.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(answer, "order x does not exist");
}

TEST_F(SandboxConnections, TheEndOfABurstOfConnectionsIsReported) {
  std::atomic<int> bursts{0};
  Options options;
  options.afterConnectionBurst = [&bursts] { ++bursts; };
  StartSandbox(options);
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls(SSL_CTX_new(TLS_client_method()),
                                                        SSL_CTX_free);
  std::vector<std::unique_ptr<IdleConnection>> idle;
  for (int i = 0; i < 300; ++i) {
    idle.push_back(std::make_unique<IdleConnection>(sandbox_->port(),
                                                    IdleConnection::Stage::kHandshake, tls.get()));
    ASSERT_TRUE(idle.back()->ok()) << "connection " << i;
  }
  idle.resize(100);  // not yet a quarter of the peak
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(bursts, 0);
  idle.clear();
  for (int i = 0; i < 200 && bursts == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(bursts, 1);
}

TEST_F(SandboxConnections, KeptAliveConnectionsServeManyRequestsAndEndWithStop) {
  StartSandbox();
  std::vector<std::unique_ptr<httplib::SSLClient>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(Client(sandbox_->port()));
    clients.back()->set_keep_alive(true);
    for (int request = 0; request < 3; ++request) {
      const auto reply = clients.back()->Post("/pay/orderquery",
                                              SignedDocument(QueryFields("x")), "text/xml");
      ASSERT_TRUE(reply) << httplib::to_string(reply.error());
      EXPECT_NE(reply->get_header_value("Connection"), "close");
    }
  }
  // Every client's connection is open and idle now.
  const auto before = std::chrono::steady_clock::now();
  sandbox_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, seconds(2));
}

// A reply's own wire (HttpReply::wire): its pieces go out as they are, the maker learns
// whether the connection stays open, and the connection then goes on, closes cleanly or is
// dropped as the wire says. The fault modes' bytes are checked in fault_reply_test.cpp.
TEST(HttpsServerWire, PiecesGoOutAsMadeAndTheConnectionEndsAsTheWireSays) {
  const ServedCertificate certificate = ChooseCertificate("", "");
  ASSERT_TRUE(certificate.error.empty()) << certificate.error;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls(SSL_CTX_new(TLS_client_method()),
                                                        SSL_CTX_free);
  const std::string open = "GET /a HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  const std::string last = "GET /b HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  // What the maker below writes for a connection that stays open, and for one that does not.
  const std::string keptReply = "HTTP/1.1 202 Accepted\r\nContent-Length: 4\r\n\r\nkept";
  const std::string lastReply = "HTTP/1.1 202 Accepted\r\nContent-Length: 4\r\n\r\nlast";
  struct Row {
    const char* name;
    std::string requests;
    bool drop;
    std::string expected;  // every byte read until the connection ended
    bool closeNotify;
    int written;  // replies reported written whole
  };
  const Row rows[] = {
      {"kept alive, then closed", open + last, false, keptReply + lastReply, true, 2},
      {"closed cleanly", last, false, lastReply, true, 1},
      {"dropped, the next request unread", open + last, true, keptReply, false, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::atomic<int> written{0};
    HttpsServerOptions options;
    options.certFile = certificate.certFile;
    options.keyFile = certificate.keyFile;
    options.refuse = [](int, const std::string&, const HttpRequest&, HttpReply&) {};
    options.handle = [&](const HttpRequest&, HttpsServerOptions::Answer answer) {
      HttpReply reply;
      reply.status = 202;
      reply.body = "ignored: the wire makes the bytes";
      reply.written = [&written](bool whole) { written += whole ? 1 : 0; };
      reply.wire = [drop = row.drop](const HttpReply&, const std::string& statusLine,
                                     bool keepAlive) {
        HttpWire wire;
        wire.pieces = {statusLine, "Content-Length: 4\r\n\r\n", keepAlive ? "kept" : "last"};
        wire.drop = drop;
        return wire;
      };
      answer(std::move(reply));
    };
    HttpsServer server(options);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    IdleConnection connection(server.port(), IdleConnection::Stage::kHandshake, tls.get());
    ASSERT_TRUE(connection.Send(row.requests));
    bool closed = false;
    bool closeNotify = false;
    EXPECT_EQ(connection.ReadToClose(closed, seconds(5), &closeNotify), row.expected);
    EXPECT_TRUE(closed);
    EXPECT_EQ(closeNotify, row.closeNotify);
    server.Stop();
    EXPECT_EQ(written, row.written);
  }
}

TEST(OrderBook, ForgetsOrdersByAgeAndByCount) {
  using Clock = OrderBook::Clock;
  const Clock::time_point t0{};
  struct Step {
    char op;  // 'p': place, 'f': find
    const char* number;
    int atSecond;
    bool expected;  // placed / found
  };
  const struct {
    const char* name;
    int ttlSeconds;
    std::size_t cap;
    std::vector<Step> steps;
  } rows[] = {
      {"cap drops the oldest first", 3600, 2,
       {{'p', "a", 0, true}, {'p', "b", 1, true}, {'p', "c", 2, true},
        {'f', "a", 3, false}, {'f', "b", 3, true}, {'f', "c", 3, true}}},
      {"expired at the limit, not before", 10, 100,
       {{'p', "a", 0, true}, {'p', "b", 5, true}, {'f', "a", 9, true},
        {'f', "a", 10, false}, {'f', "b", 10, true}, {'f', "b", 15, false}}},
      {"a kept number is refused, a forgotten one is free", 10, 100,
       {{'p', "a", 0, true}, {'p', "a", 9, false}, {'p', "a", 10, true}, {'f', "a", 19, true}}},
  };
  for (const auto& row : rows) {
    OrderBook book(seconds(row.ttlSeconds), row.cap);
    for (const Step& step : row.steps) {
      const Clock::time_point at = t0 + seconds(step.atSecond);
      const bool result = step.op == 'p' ? book.Place(step.number, Order{}, at)
                                         : book.Find(step.number, at) != nullptr;
      EXPECT_EQ(result, step.expected)
          << row.name << ": " << step.op << ' ' << step.number << " at " << step.atSecond;
    }
    EXPECT_LE(book.size(), row.cap) << row.name;
  }
}

TEST_F(SandboxConnections, ForgottenOrdersAreUnknownOrders) {
  Options options;
  options.maxOrders = 2;
  options.orderTtl = seconds(1);
  StartSandbox(options);
  for (const char* number : {"order1", "order2", "order3"}) {
    ASSERT_EQ(CdataField(PlaceOrder(number).body, "return_code"), "SUCCESS") << number;
  }
  EXPECT_EQ(sandbox_->orderCount(), 2u);
  EXPECT_EQ(CdataField(Query("order1").body, "return_msg"), "order order1 does not exist");
  EXPECT_EQ(CdataField(Query("order3").body, "trade_state"), "NOTPAY");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(CdataField(Query("order3").body, "return_msg"), "order order3 does not exist");
  EXPECT_EQ(sandbox_->orderCount(), 0u);
}

}  // namespace
}  // namespace quillmark::sandbox
