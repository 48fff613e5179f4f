// check-notify against two handlers on loopback: the clients' own listener, which must
// answer every case right, and one that acknowledges whatever it is sent, which must be
// caught case by case. The genuine case is the known-answer notification.
#include "sandbox/check_notify.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <sstream>
#include <string>
#include <thread>

#include "payment/notify_listener.h"
#include "tests/support/known_answers.h"

namespace quillmark::sandbox {
namespace {

using known::SandboxMerchant;

TEST(CheckNotify, TheGenuineCaseIsTheKnownAnswer) {
  const std::vector<NotifyCase> cases =
      NotifyCases(MadeUpPaidOrder(""), SandboxMerchant(), known::kNonce);
  ASSERT_EQ(cases.size(), 8u);
  EXPECT_EQ(cases[0].body, known::kNotificationDocument);
  EXPECT_EQ(cases[1].body, cases[0].body);
}

TEST(CheckNotify, TheClientsListenerAnswersEveryCaseRight) {
  NotifyListener listener(SandboxMerchant(), nullptr);
  std::string error;
  ASSERT_TRUE(listener.Start({"127.0.0.1", 0, "/quillmark/notify"}, error)) << error;
  listener.ExpectOrder(known::kOrderNo);
  std::ostringstream out;
  const std::string url =
      "http://127.0.0.1:" + std::to_string(listener.port()) + "/quillmark/notify";
  EXPECT_EQ(CheckNotify({url, SandboxMerchant(), "", ""}, out), 0) << out.str();
  EXPECT_NE(out.str().find("\n8 of 8 answers right.\n"), std::string::npos) << out.str();
  // The genuine one was taken once and its repeat acknowledged without being taken again.
  const std::vector<ReceivedNotification> received = listener.received();
  ASSERT_GE(received.size(), 2u);
  EXPECT_EQ(received[0].check.verdict, NotificationCheck::Verdict::kAccepted);
  EXPECT_EQ(received[1].check.verdict, NotificationCheck::Verdict::kRepeat);
}

TEST(CheckNotify, AHandlerThatAcknowledgesEverythingIsCaughtCaseByCase) {
  httplib::Server server;
  server.Post("/notify", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("<xml><return_code><![CDATA[SUCCESS]]></return_code></xml>", "text/xml");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&server] { server.listen_after_bind(); });
  std::ostringstream out;
  const int status = CheckNotify(
      {"http://127.0.0.1:" + std::to_string(port) + "/notify", SandboxMerchant(), "", ""}, out);
  server.stop();
  serving.join();
  EXPECT_EQ(status, 1);
  const std::string text = out.str();
  EXPECT_NE(text.find("\n2 of 8 answers right:"), std::string::npos) << text;
  for (const char* wrong :
       {"sign forged", "amount changed after signing", "no sign",
        "another merchant's appid and mch_id", "malformed document", "oversized document"}) {
    const std::size_t line = text.find(std::string("  ") + wrong);
    ASSERT_NE(line, std::string::npos) << wrong;
    EXPECT_NE(text.find("WRONG: must be refused", line), std::string::npos) << wrong;
    EXPECT_LT(text.find("WRONG: must be refused", line), text.find('\n', line)) << wrong;
  }
}

}  // namespace
}  // namespace quillmark::sandbox
