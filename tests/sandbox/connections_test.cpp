// What clients cannot do to the sandbox by holding connections open, what it keeps of its
// orders, and how kept-alive connections end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "sandbox/order_book.h"
#include "sandbox/sandbox.h"
#include "sandbox_test_support.h"

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
    EXPECT_EQ(ReplyField(reply.body, "return_msg"), "order nosuchorder does not exist");
  }
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
    ASSERT_EQ(ReplyField(PlaceOrder(number).body, "return_code"), "SUCCESS") << number;
  }
  EXPECT_EQ(sandbox_->orderCount(), 2u);
  EXPECT_EQ(ReplyField(Query("order1").body, "return_msg"), "order order1 does not exist");
  EXPECT_EQ(ReplyField(Query("order3").body, "trade_state"), "NOTPAY");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(ReplyField(Query("order3").body, "return_msg"), "order order3 does not exist");
  EXPECT_EQ(sandbox_->orderCount(), 0u);
}

}  // namespace
}  // namespace quillmark::sandbox
