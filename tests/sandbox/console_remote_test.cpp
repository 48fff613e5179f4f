// The console as a client off loopback meets it, without leaving the machine: the test
// moves itself into a network namespace of its own (root only; skipped otherwise), gives
// the namespace's loopback interface a second address, 198.18.0.1 from the range kept for
// such tests, and reaches the sandbox there, so that the sandbox sees a peer whose address
// is not a loopback one. Nothing is sent beyond the namespace.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;

constexpr char kAddress[] = "198.18.0.1";
constexpr char kToken[] = "5f0c1b2a39d84e6f8a7b6c5d4e3f2a1b";

std::string g_skip;  // why the namespace could not be had, if it could not

class RemoteConsoleTest : public SandboxTest {
 protected:
  static void SetUpTestSuite() {
    // Only this thread moves, and the threads it starts after: the sandbox's among them.
    if (unshare(CLONE_NEWNET) != 0) {
      g_skip = std::string("no network namespace of its own: ") + std::strerror(errno);
    } else if (std::system("ip link set lo up && ip addr add 198.18.0.1/32 dev lo") != 0) {
      g_skip = "ip could not set up the namespace's loopback interface";
    }
  }

  void SetUp() override {
    if (!g_skip.empty()) GTEST_SKIP() << g_skip;
    Options options;
    options.host = "0.0.0.0";
    options.consoleToken = kToken;
    StartSandbox(options);
    const std::string local = "https://127.0.0.1:" + std::to_string(sandbox_->port());
    ASSERT_TRUE(
        CdataField(Post(local + "/pay/unifiedorder", SignedDocument(OrderFields("lan1"))).body,
                   "result_code") == "SUCCESS");
  }

  // A client that reaches the sandbox at 198.18.0.1 and so from it. The certificate names
  // the loopback addresses only: the test checks who gets in, not the certificate.
  std::unique_ptr<httplib::SSLClient> Remote() {
    auto client = std::make_unique<httplib::SSLClient>(kAddress, sandbox_->port());
    client->enable_server_certificate_verification(false);
    client->set_read_timeout(10, 0);
    return client;
  }
};

TEST_F(RemoteConsoleTest, WithoutTheTokenGets403AndNothingElse) {
  for (const char* path :
       {"/console", "/console/requests", "/console/orders/lan1", "/console/api/orders",
        "/console/api/orders/lan1", "/console/api/requests?limit=5", "/console/api/about",
        "/console/console.js", "/console/api/orders?token=wrong"}) {
    auto result = Remote()->Get(path);
    ASSERT_TRUE(result) << path;
    EXPECT_EQ(result->status, 403) << path;
    EXPECT_EQ(result->body.find("lan1"), std::string::npos) << path << ": " << result->body;
  }
  auto pay = Remote()->Post("/console/api/orders/lan1/pay", "", "text/plain");
  ASSERT_TRUE(pay);
  EXPECT_EQ(pay->status, 403);
  const std::string local = "https://127.0.0.1:" + std::to_string(sandbox_->port());
  EXPECT_EQ(CdataField(Post(local + "/pay/orderquery", SignedDocument(QueryFields("lan1"))).body,
                       "trade_state"),
            "NOTPAY");
  // The payer page stays open to a phone, as it was.
  auto payer = Remote()->Get("/pay/qr/lan1");
  ASSERT_TRUE(payer);
  EXPECT_EQ(payer->status, 200);
  // From loopback in the same namespace, the console is open.
  auto loopback = Client(sandbox_->port())->Get("/console/api/orders");
  ASSERT_TRUE(loopback);
  EXPECT_EQ(loopback->status, 200);
}

TEST_F(RemoteConsoleTest, WithTheTokenInTheAddressOrItsCookieGetsIn) {
  auto json = Remote()->Get(std::string("/console/api/orders?token=") + kToken);
  ASSERT_TRUE(json);
  EXPECT_EQ(json->status, 200);
  EXPECT_NE(json->body.find("\"out_trade_no\":\"lan1\""), std::string::npos) << json->body;

  auto first = Remote()->Get(std::string("/console?token=") + kToken);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 303);
  const std::string cookie = first->get_header_value("Set-Cookie");
  const std::string pair = cookie.substr(0, cookie.find(';'));
  EXPECT_EQ(pair, "quillmark_console_" + std::to_string(sandbox_->port()) + "=" + kToken);
  // The cookie opens the page, and the API the page draws itself from.
  auto page = Remote()->Get("/console", {{"Cookie", pair}});
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  for (const char* path : {"/console/api/orders", "/console/api/orders/lan1"}) {
    auto data = Remote()->Get(path, {{"Cookie", pair}});
    ASSERT_TRUE(data) << path;
    EXPECT_EQ(data->status, 200) << path;
    EXPECT_NE(data->body.find("\"out_trade_no\":\"lan1\""), std::string::npos) << data->body;
  }
}

}  // namespace
}  // namespace quillmark::sandbox
