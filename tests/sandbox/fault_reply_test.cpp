// The fault modes as they appear on the wire, and what they leave in the sandbox; how the
// real client copes with each is in tests/cli.
#include <gtest/gtest.h>

#include <sstream>

#include "protocol/flat_document.h"
#include "sandbox/api/request_check.h"
#include "sandbox/sandbox.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {

// Names the fault in test output instead of dumping its bytes.
void PrintTo(Fault fault, std::ostream* os) { *os << FaultName(fault); }

namespace {

using namespace testsupport;

TEST(FaultNames, RoundTripAndRejectUnknownNames) {
  for (const Fault fault : AllFaults()) {
    Fault parsed = Fault::kNone;
    EXPECT_TRUE(ParseFault(FaultName(fault), parsed)) << FaultName(fault);
    EXPECT_EQ(parsed, fault) << FaultName(fault);
  }
  Fault untouched = Fault::kHugeReply;
  EXPECT_FALSE(ParseFault("Stall", untouched));
  EXPECT_FALSE(ParseFault("", untouched));
  EXPECT_EQ(untouched, Fault::kHugeReply);
}

class FaultReply : public ::testing::Test {
 protected:
  void StartSandbox(Fault fault, std::chrono::milliseconds stallFor = std::chrono::seconds(40)) {
    Options options;
    options.port = 0;
    options.fault = fault;
    options.stallFor = stallFor;
    options.log = &log_;
    sandbox_ = std::make_unique<Sandbox>(options);
    std::string error;
    ASSERT_TRUE(sandbox_->Start(&error)) << error;
  }
  std::string Url(const std::string& path) const { return sandbox_->baseUrl() + path; }
  std::string CodeUrl(const std::string& orderNo) const { return Url("/pay/qr/" + orderNo); }

  // The raw unified-order reply through the library's client, which keeps zero bytes.
  httplib::Result RawOrder(const std::string& orderNo) {
    return Client(sandbox_->port())
        ->Post("/pay/unifiedorder", SignedDocument(OrderFields(orderNo)), "text/xml");
  }
  Reply ClientOrder(const std::string& orderNo, long timeoutMs = 10'000) {
    return Post(Url("/pay/unifiedorder"), SignedDocument(OrderFields(orderNo)), timeoutMs);
  }
  std::string QueryMessage(const std::string& orderNo) {
    const Reply reply = Post(Url("/pay/orderquery"), SignedDocument(QueryFields(orderNo)));
    const std::string state = CdataField(reply.body, "trade_state");
    return state.empty() ? CdataField(reply.body, "return_msg") : state;
  }

  SharedLog log_;
  std::unique_ptr<Sandbox> sandbox_;
};

TEST_F(FaultReply, TinyChunksDeliverTheWholeReplyAFewBytesAtATime) {
  StartSandbox(Fault::kTinyChunks);
  httplib::Request request;
  request.method = "POST";
  request.path = "/pay/unifiedorder";
  request.body = SignedDocument(OrderFields("order1"));
  request.set_header("Content-Type", "text/xml");
  std::string body;
  std::size_t pieces = 0;
  std::size_t largest = 0;
  request.content_receiver = [&](const char* data, std::size_t size, std::uint64_t, std::uint64_t) {
    body.append(data, size);
    ++pieces;
    largest = std::max(largest, size);
    return true;
  };
  httplib::Response response;
  httplib::Error error = httplib::Error::Success;
  ASSERT_TRUE(Client(sandbox_->port())->send(request, response, error))
      << httplib::to_string(error);
  EXPECT_EQ(response.get_header_value("Transfer-Encoding"), "chunked");
  EXPECT_LE(largest, 3u);
  EXPECT_GE(pieces, body.size() / 3);
  const CheckResult reply =
      CheckRequest(kOrderQueryOperation, body, quillmark::MerchantSettings::Defaults());
  ASSERT_TRUE(reply.ok) << reply.message << "\n" << body;
  EXPECT_EQ(reply.fields.at("code_url"), CodeUrl("order1"));
}

TEST_F(FaultReply, DropSendsPartOfTheReplyAndCloses) {
  StartSandbox(Fault::kDropMidReply);
  const Reply reply = ClientOrder("order1");
  EXPECT_EQ(reply.diagnostic,
            "curl_easy_perform failed. RetCode:18 ErrMsg:Transferred a partial file");
  // The cut is inside the payment link, so what arrived holds half a URL.
  EXPECT_NE(reply.body.find("<code_url><![CDATA[https://"), std::string::npos) << reply.body;
  EXPECT_EQ(reply.body.find("</code_url>"), std::string::npos) << reply.body;
  EXPECT_EQ(CdataField(reply.body, "code_url"), "");
  EXPECT_EQ(QueryMessage("order1"), "NOTPAY") << "the order itself was placed";
}

TEST_F(FaultReply, ZeroBytePrecedesThePaymentLink) {
  StartSandbox(Fault::kZeroByte);
  const auto raw = RawOrder("order1");
  ASSERT_TRUE(raw);
  const std::size_t zero = raw->body.find('\0');
  ASSERT_NE(zero, std::string::npos);
  EXPECT_LT(zero, raw->body.find("<code_url><![CDATA[" + CodeUrl("order1") + "]]></code_url>"));

  // The transport hands on the text up to the zero byte only.
  const Reply reply = ClientOrder("order2");
  EXPECT_EQ(reply.diagnostic, "curl_easy_perform passed.");
  EXPECT_EQ(reply.body,
            "<xml><return_code><![CDATA[SUCCESS]]></return_code><return_msg><![CDATA[OK");
  EXPECT_EQ(QueryMessage("order2"), "NOTPAY");
}

TEST_F(FaultReply, NotUtf8SpoilsTheMessageButNotThePaymentLink) {
  StartSandbox(Fault::kNotUtf8);
  const auto raw = RawOrder("order1");
  ASSERT_TRUE(raw);
  EXPECT_FALSE(IsValidUtf8(raw->body));
  EXPECT_NE(raw->body.find("<return_msg><![CDATA[OK \xb3\xc9\xb9\xa6]]></return_msg>"),
            std::string::npos);
  EXPECT_EQ(CdataField(raw->body, "code_url"), CodeUrl("order1"));
}

TEST_F(FaultReply, Http500AnswersWithHtmlAndPlacesNoOrder) {
  StartSandbox(Fault::kHttp500);
  const auto raw = RawOrder("order1");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->status, 500);
  EXPECT_EQ(raw->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(raw->body.rfind("<html>", 0), 0u) << raw->body;
  EXPECT_EQ(QueryMessage("order1"), "order order1 does not exist");
}

TEST_F(FaultReply, NoCodeUrlSucceedsWithoutALink) {
  StartSandbox(Fault::kNoCodeUrl);
  const Reply reply = ClientOrder("order1");
  EXPECT_EQ(CdataField(reply.body, "return_code"), "SUCCESS");
  EXPECT_EQ(reply.body.find("code_url"), std::string::npos) << reply.body;
  EXPECT_TRUE(
      CheckRequest(kOrderQueryOperation, reply.body, quillmark::MerchantSettings::Defaults()).ok);
  EXPECT_EQ(QueryMessage("order1"), "NOTPAY");
}

TEST_F(FaultReply, HugeReplyKeepsThePaymentLinkBeforeMegabytesOfPadding) {
  StartSandbox(Fault::kHugeReply);
  const Reply reply = ClientOrder("order1");
  EXPECT_EQ(reply.diagnostic, "curl_easy_perform passed.");
  EXPECT_GT(reply.body.size(), 900'000u);
  EXPECT_EQ(CdataField(reply.body, "code_url"), CodeUrl("order1"));
  EXPECT_LT(reply.body.find("<code_url>"), reply.body.find("<padding>"));
  // Signed with its padding (too long a field for the request check to take).
  Fields fields;
  std::string error;
  ASSERT_TRUE(ReadFlatDocument(reply.body, fields, error)) << error;
  EXPECT_EQ(fields.at("sign"), SignOf(fields, quillmark::MerchantSettings::Defaults().apiKey));
}

TEST_F(FaultReply, StallOutlastsTheClientAndEndsWhenTheServerStops) {
  // Far beyond the test's own time limit: only Stop() can end this stall.
  StartSandbox(Fault::kStall, std::chrono::hours(1));
  const Reply reply = ClientOrder("order1", 300);
  EXPECT_EQ(reply.diagnostic, "curl_easy_perform failed. RetCode:28 ErrMsg:Timeout was reached");
  EXPECT_EQ(reply.body, "");
  ASSERT_EQ(sandbox_->requests().size(), 1u);
  EXPECT_EQ(sandbox_->requests()[0].fields.at("out_trade_no"), "order1");
  sandbox_->Stop();
  EXPECT_NE(log_.str().find("503 FAIL stalled until the server stopped"), std::string::npos)
      << log_.str();
}

TEST_F(FaultReply, StallIsFollowedByTheUsualReply) {
  StartSandbox(Fault::kStall, std::chrono::milliseconds(50));
  const Reply reply = ClientOrder("order1");
  EXPECT_EQ(CdataField(reply.body, "code_url"), CodeUrl("order1")) << reply.body;
}

// Faults spoil unified orders only: a query of an order placed under any fault is answered
// as usual (for the faults that place one).
class QueriesUnderFault : public FaultReply, public ::testing::WithParamInterface<Fault> {};

TEST_P(QueriesUnderFault, AreAnsweredNormally) {
  StartSandbox(GetParam(), std::chrono::milliseconds(1));
  ClientOrder("order1");
  const Reply query = Post(Url("/pay/orderquery"), SignedDocument(QueryFields("order1")));
  EXPECT_EQ(query.diagnostic, "curl_easy_perform passed.");
  const CheckResult checked =
      CheckRequest(kOrderQueryOperation, query.body, quillmark::MerchantSettings::Defaults());
  EXPECT_TRUE(checked.ok) << checked.message << "\n" << query.body;
  EXPECT_EQ(CdataField(query.body, "trade_state"), "NOTPAY");
  EXPECT_EQ(CdataField(query.body, "return_msg"), "OK");
}

INSTANTIATE_TEST_SUITE_P(AllThatPlaceAnOrder, QueriesUnderFault,
                         ::testing::Values(Fault::kStall, Fault::kDropMidReply, Fault::kTinyChunks,
                                           Fault::kZeroByte, Fault::kNotUtf8, Fault::kNoCodeUrl,
                                           Fault::kHugeReply),
                         [](const ::testing::TestParamInfo<Fault>& param) {
                           std::string name = FaultName(param.param);
                           for (char& c : name) c = c == '-' ? '_' : c;
                           return name;
                         });

}  // namespace
}  // namespace quillmark::sandbox
