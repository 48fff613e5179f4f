#include "http/transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/local_https_server.h"

namespace quillmark {
namespace {

using testsupport::CertPath;
using testsupport::LocalHttpsServer;

TransportOptions TestOptions() {
  TransportOptions options;
  options.caFile = CertPath("ca.pem");
  return options;
}

TEST(PostXml, SendsTheBodyAndReturnsTheReply) {
  LocalHttpsServer server;
  server.Reply("/pay/unifiedorder", "<xml><code_url><![CDATA[x]]></code_url></xml>");
  server.Start();
  ASSERT_TRUE(server.ok());

  std::ostringstream log;
  const std::string reply = PostXml(server.Url("/pay/unifiedorder").c_str(),
                                    "<xml><a>\xe4\xb8\xad</a></xml>", log, TestOptions());
  EXPECT_EQ(reply, "<xml><code_url><![CDATA[x]]></code_url></xml>");
  EXPECT_EQ(log.str(), "curl_easy_perform passed.\n");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/pay/unifiedorder");
  EXPECT_EQ(requests[0].body, "<xml><a>\xe4\xb8\xad</a></xml>");
}

TEST(PostXml, ReassemblesAReplySentInManyChunks) {
  LocalHttpsServer server;
  std::string expected;
  for (int i = 0; i < 200; ++i) expected += "<chunk>" + std::to_string(i) + "</chunk>";
  server.Handle("/", [](const httplib::Request&, httplib::Response& res) {
    auto next = std::make_shared<int>(0);
    res.set_chunked_content_provider("text/xml", [next](size_t, httplib::DataSink& sink) {
      if (*next == 200) {
        sink.done();
        return true;
      }
      const std::string part = "<chunk>" + std::to_string((*next)++) + "</chunk>";
      sink.write(part.data(), part.size());
      return true;
    });
  });
  server.Start();
  std::ostringstream log;
  EXPECT_EQ(PostXml(server.Url("/").c_str(), "<xml/>", log, TestOptions()), expected);
  EXPECT_EQ(log.str(), "curl_easy_perform passed.\n");
}

TEST(PostXml, CutsTheReplyAtItsFirstZeroByte) {
  LocalHttpsServer server;
  server.Reply("/", std::string("<xml>before\0after</xml>", 23));
  server.Start();
  std::ostringstream log;
  EXPECT_EQ(PostXml(server.Url("/").c_str(), "<xml/>", log, TestOptions()), "<xml>before");
}

// The reply-size limit, with a small limit so that the rows stay fast: a reply that fits
// passes whole; one that announces a larger size, or is chunked past the limit, or never
// ends, fails with its own line and keeps at most the limit in memory.
TEST(PostXml, RefusesRepliesLargerThanTheLimit) {
  constexpr std::size_t kLimit = 4096;
  enum class Body { kFixed, kChunked, kEndless };
  const struct {
    const char* name;
    Body body;
    std::size_t size;
    bool ok;
  } rows[] = {
      {"exactly the limit", Body::kFixed, kLimit, true},
      {"chunked, exactly the limit", Body::kChunked, kLimit, true},
      {"announced one byte over", Body::kFixed, kLimit + 1, false},
      {"chunked one byte over", Body::kChunked, kLimit + 1, false},
      {"chunked without end", Body::kEndless, 0, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    LocalHttpsServer server;
    server.Handle("/", [&row](const httplib::Request&, httplib::Response& res) {
      if (row.body == Body::kFixed) {
        res.set_content(std::string(row.size, 'x'), "text/xml");
        return;
      }
      auto sent = std::make_shared<std::size_t>(0);
      res.set_chunked_content_provider("text/xml", [&row, sent](size_t, httplib::DataSink& sink) {
        if (row.body == Body::kChunked && *sent >= row.size) {
          sink.done();
          return true;
        }
        const std::size_t part =
            row.body == Body::kEndless ? 1000 : std::min<std::size_t>(1000, row.size - *sent);
        *sent += part;
        return sink.write(std::string(part, 'x').data(), part);
      });
    });
    server.Start();
    TransportOptions options = TestOptions();
    options.maxReplyBytes = kLimit;
    std::ostringstream log;
    TransferStatus status;
    const std::string reply = PostXml(server.Url("/").c_str(), "<xml/>", log, options, &status);
    if (row.ok) {
      EXPECT_EQ(reply.size(), kLimit);
      EXPECT_EQ(log.str(), "curl_easy_perform passed.\n");
    } else {
      EXPECT_LE(reply.size(), kLimit);
      EXPECT_EQ(status.code, kReplyTooLargeCode);
      EXPECT_EQ(log.str(),
                "curl_easy_perform failed. RetCode:63 ErrMsg:Maximum file size exceeded\n");
    }
  }
}

// A port that was free a moment ago: bind, read the port, close.
int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t size = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  close(fd);
  return ntohs(addr.sin_port);
}

TEST(PostXml, UnreachableHostGivesOneFailureLineAndAnEmptyReply) {
  const std::string url = "https://127.0.0.1:" + std::to_string(UnusedPort()) + "/pay/orderquery";
  std::ostringstream log;
  EXPECT_EQ(PostXml(url.c_str(), "<xml/>", log, TestOptions()), "");
  EXPECT_EQ(log.str(), "curl_easy_perform failed. RetCode:7 ErrMsg:Couldn't connect to server\n");
}

// Each server below is refused before the body goes out. "wrongname" is issued by the
// trusted CA but for another host: the chain alone is not enough. "weak" is issued by it
// for this host, over a 1024-bit RSA key: below the transport's own security level. The
// test runs with an OpenSSL configuration at level 1 (CMake sets OPENSSL_CONF), as the
// Windows build's OpenSSL has it, so that only the transport's level can refuse it.
TEST(PostXml, RefusesServersItCannotVerifyOrThatAreTooWeak) {
  for (const char* certificate : {"untrusted", "wrongname", "weak"}) {
    SCOPED_TRACE(certificate);
    LocalHttpsServer server(certificate);
    server.Reply("/", "<xml><code_url><![CDATA[https://attacker.example/]]></code_url></xml>");
    server.Start();
    ASSERT_TRUE(server.ok());
    std::ostringstream log;
    EXPECT_EQ(PostXml(server.Url("/").c_str(), "<xml/>", log, TestOptions()), "");
    EXPECT_EQ(log.str().rfind("curl_easy_perform failed. RetCode:60 ErrMsg:", 0), 0u) << log.str();
    EXPECT_TRUE(server.requests().empty()) << "the body must not reach an unverified peer";
  }
}

// The weak server is one that a client at the configured level takes: what refuses it
// above is the transport's own level, not the machine's.
TEST(PostXml, TheWeakServerIsTakenAtTheConfiguredLevel) {
  LocalHttpsServer server("weak");
  server.Reply("/", "<xml/>");
  server.Start();
  ASSERT_TRUE(server.ok());
  httplib::SSLClient client("127.0.0.1", server.port());
  client.set_ca_cert_path(CertPath("ca.pem").c_str());
  client.enable_server_certificate_verification(true);
  const httplib::Result result = client.Post("/", "<xml/>", "text/xml");
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(result->status, 200);
}

TEST(PostXml, AServerThatNeverAnswersTimesOut) {
  // Listens but never accepts: the TCP handshake completes in the kernel, the TLS one
  // never does.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  socklen_t size = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  const std::string url = "https://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";

  // The TLS handshake is part of connecting, so the connect limit must end the attempt.
  // The total limit is far beyond it: had the connect limit not been set, the attempt
  // would have lasted the whole 20 s.
  TransportOptions options = TestOptions();
  options.connectTimeoutMs = 300;
  options.totalTimeoutMs = 20'000;
  std::ostringstream log;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(PostXml(url.c_str(), "<xml/>", log, options), "");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(log.str().rfind("curl_easy_perform failed. RetCode:28 ErrMsg:Timeout was reached", 0),
            0u)
      << log.str();
  EXPECT_LT(elapsed, std::chrono::seconds(10)) << "the total limit fired, not the connect limit";
  close(fd);
}

TEST(PostXml, AnAbortEndsATransferThatWouldWaitForItsTimeout) {
  LocalHttpsServer server;
  std::promise<void> requestArrived;
  server.Handle("/stall", [&](const httplib::Request&, httplib::Response& res) {
    requestArrived.set_value();
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the client is gone by then
    res.set_content("<xml/>", "text/xml");
  });
  server.Start();
  TransportOptions options = TestOptions();
  options.totalTimeoutMs = 60'000;
  options.abort = std::make_shared<TransferAbort>();

  std::thread aborter([&] {
    requestArrived.get_future().wait();
    options.abort->Abort();
  });
  std::ostringstream log;
  TransferStatus status;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(PostXml(server.Url("/stall").c_str(), "<xml/>", log, options, &status), "");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  aborter.join();
  EXPECT_TRUE(status.aborted());
  EXPECT_EQ(status.httpStatus, 0);
  EXPECT_EQ(log.str(),
            "curl_easy_perform failed. RetCode:42 ErrMsg:Operation was aborted by an application "
            "callback\n");
  // Not a timing figure: the handler answers after 3 s, so a transfer that missed the
  // abort would have received that answer instead.
  EXPECT_LT(elapsed, std::chrono::seconds(2));

  // The abort holds for later transfers until Reset(): none of them is sent.
  log.str("");
  EXPECT_EQ(PostXml(server.Url("/stall").c_str(), "<xml/>", log, options, &status), "");
  EXPECT_TRUE(status.aborted());
  EXPECT_EQ(server.requests().size(), 1u);
  options.abort->Reset();
  server.Reply("/ok", "<xml>ok</xml>");
  EXPECT_EQ(PostXml(server.Url("/ok").c_str(), "<xml/>", log, options, &status), "<xml>ok</xml>");
  EXPECT_TRUE(status.ok());
  EXPECT_EQ(status.httpStatus, 200);
}

TEST(WriteToStream, AppendsEveryByteAndReportsThemAll) {
  std::ostringstream sink;
  char data[] = {'a', '\0', 'b', 'c'};
  EXPECT_EQ(WriteToStream(data, 2, 2, &sink), 4u);
  EXPECT_EQ(WriteToStream(data, 1, 0, &sink), 0u);
  EXPECT_EQ(sink.str(), std::string("a\0bc", 4));
}

}  // namespace
}  // namespace quillmark
