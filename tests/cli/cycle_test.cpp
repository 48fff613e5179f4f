// quillmark-cycle, the program itself, against the sandbox on a free port, once normally
// and once per fault mode. What the client does about each fault:
//
// clang-format off
// | fault       | first line of output                   | exit | 1.BMP | queries         |
// |-------------|----------------------------------------|------|-------|-----------------|
// | (none)      | passed                                 | 0    | yes   | NOTPAY, SUCCESS |
// | stall       | timeout (after the client's 30 s)      | 1    | no    | none            |
// | drop        | partial                                | 1    | no    | none            |
// | tiny-chunks | passed                                 | 0    | yes   | NOTPAY, SUCCESS |
// | zero-byte   | passed; Content: stops at the zero     | 1    | no    | none            |
// | not-utf8    | passed; return_msg reads "OK ???"      | 1    | no    | none            |
// | http500     | passed; Content: is the HTML page      | 1    | no    | none            |
// | no-code-url | passed                                 | 1    | no    | none            |
// | huge        | passed; one Content: line near 1 MB    | 0    | yes   | NOTPAY, SUCCESS |
// | bad-sign    | passed; the summary names the mismatch | 3    | no    | none            |
// clang-format on
//
// passed:  "curl_easy_perform passed."
// timeout: "curl_easy_perform failed. RetCode:28 ErrMsg:Timeout was reached"
// partial: "curl_easy_perform failed. RetCode:18 ErrMsg:Transferred a partial file"
//
// Exit 1 is the program's "no order number" status: every fault ends in a normal exit
// with a summary, never a crash. The drop cuts the reply inside code_url, so the half
// link that did arrive must not become a bitmap. HTTP 500 is no transfer error to the
// client; it fails only for want of a code_url. A link is taken only from a reply whose
// signature verified: not-utf8's reply cannot be read as a document, so nothing in it can
// be verified; bad-sign changes code_url after signing, and a payer scanning that link
// would pay whoever changed it. Both replies still show on the output in full; bad-sign's
// summary names the mismatch and the program exits 3.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "cli/exit_status.h"
#include "config/merchant_config.h"
#include "protocol/page_parameters.h"
#include "protocol/sign.h"
#include "qr/qr_bitmap.h"
#include "sandbox/sandbox.h"
#include "tests/support/local_https_server.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;

struct Case {
  const char* name;
  Fault fault;
  int exitCode;
  const char* diagnostic;  // the first line of the output
  const char* alsoShown;   // another part of the output, or null
  const char* noOrder;     // the summary's line when no order was placed, or null
};

constexpr char kNoLink[] = "No order number: the unified order returned no payment link";

const Case kCases[] = {
    {"normal", Fault::kNone, 0, "curl_easy_perform passed.", nullptr, nullptr},
    {"stall", Fault::kStall, 1, "curl_easy_perform failed. RetCode:28 ErrMsg:Timeout was reached",
     "\nContent:\n", kNoLink},
    {"drop", Fault::kDropMidReply, 1,
     "curl_easy_perform failed. RetCode:18 ErrMsg:Transferred a partial file",
     "<code_url><![CDATA[https://", kNoLink},
    {"tiny_chunks", Fault::kTinyChunks, 0, "curl_easy_perform passed.", nullptr, nullptr},
    {"zero_byte", Fault::kZeroByte, 1, "curl_easy_perform passed.",
     "\nContent:<xml><return_code><![CDATA[SUCCESS]]></return_code>"
     "<return_msg><![CDATA[OK\n",
     kNoLink},
    {"not_utf8", Fault::kNotUtf8, 1, "curl_easy_perform passed.",
     "<return_msg><![CDATA[OK ???]]></return_msg>",
     "No order number: the unified order returned no payment link that could be verified"},
    {"http500", Fault::kHttp500, 1, "curl_easy_perform passed.",
     "\nContent:<html><head><title>500 Internal Server Error</title>", kNoLink},
    {"no_code_url", Fault::kNoCodeUrl, 1, "curl_easy_perform passed.", nullptr, kNoLink},
    {"huge", Fault::kHugeReply, 0, "curl_easy_perform passed.", "<padding><![CDATA[xxxx", nullptr},
    {"bad_sign", Fault::kBadSign, 3, "curl_easy_perform passed.",
     "\n  unified order reply: the reply's sign ",
     "No order number: the unified order's reply failed verification, so its payment link is "
     "not used."},
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> CycleCommand(const std::string& configHome, const std::string& apiBase) {
  return DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, configHome, apiBase);
}

class Cycle : public ::testing::TestWithParam<Case> {};

TEST_P(Cycle, EndsAsDocumented) {
  const Case& c = GetParam();
  SharedLog log;
  Options options;
  options.port = 0;  // a free port, given to the program as its API base
  options.payAfterQueries = 1;
  options.fault = c.fault;
  options.log = &log;
  Sandbox sandbox(options);
  std::string error;
  ASSERT_TRUE(sandbox.Start(&error)) << error;

  TempDir work;
  const ProgramResult result =
      RunProgram(CycleCommand(work.path(), sandbox.baseUrl()), work.path());
  const std::string& out = result.out;
  const std::string bitmap = work.path() + "/1.BMP";
  const std::vector<RecordedRequest> requests = sandbox.requests();
  // The sandbox's view, to read beside the program's output when something fails.
  SCOPED_TRACE("sandbox log:\n" + log.str() + "program output (first 2000 bytes):\n" +
               out.substr(0, 2000));

  EXPECT_EQ(result.signal, 0) << "the program was killed";
  EXPECT_EQ(result.exitCode, c.exitCode);
  EXPECT_EQ(result.err, "");
  const std::vector<std::string> lines = Lines(out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], c.diagnostic);
  if (c.alsoShown) {
    EXPECT_NE(out.find(c.alsoShown), std::string::npos) << c.alsoShown;
  }
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].path, "/pay/unifiedorder");
  const std::string orderNo = requests[0].fields.count("out_trade_no")
                                  ? requests[0].fields.at("out_trade_no")
                                  : std::string();
  EXPECT_EQ(orderNo.size(), 32u);

  if (c.noOrder) {
    EXPECT_NE(out.find(std::string("\n") + c.noOrder), std::string::npos);
    EXPECT_EQ(out.find("Order number:"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(bitmap)) << "a bitmap from a failed order";
    EXPECT_EQ(requests.size(), 1u) << "a query without an order number";
    return;
  }

  std::size_t contents = 0;
  std::size_t passes = 0;
  for (const std::string& line : lines) {
    contents += line.rfind("Content:", 0) == 0;
    passes += line == "curl_easy_perform passed.";
  }
  EXPECT_EQ(contents, 3u);
  EXPECT_EQ(passes, 3u);
  EXPECT_NE(out.find("\nOrder number:  " + orderNo + "\n"), std::string::npos);
  // Every reply of the sandbox is signed and verifies.
  const std::string exchange =
      "  (HTTP 200, return_code SUCCESS, result_code SUCCESS, signature verified)\n";
  EXPECT_NE(out.find("\nQuery 1:       NOTPAY" + exchange + "Query 2:       SUCCESS" + exchange),
            std::string::npos);
  EXPECT_NE(out.find("\nUnified order: HTTP 200, return_code SUCCESS, result_code SUCCESS, "
                     "signature verified\n"),
            std::string::npos);
  EXPECT_NE(out.find("\nEvery signed reply verified.\n"), std::string::npos);

  ASSERT_EQ(requests.size(), 3u);
  for (std::size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(requests[i].path, "/pay/orderquery") << i;
    EXPECT_EQ(requests[i].fields.at("out_trade_no"), orderNo) << i;
  }
  // The bitmap holds the sandbox's payment link for this very order.
  const std::optional<qr::Symbol> symbol = qr::Encode(sandbox.baseUrl() + "/pay/qr/" + orderNo);
  ASSERT_TRUE(symbol);
  const std::vector<std::uint8_t> expected = qr::RenderBitmap(*symbol);
  const std::string written = ReadFile(bitmap);
  EXPECT_TRUE(written.size() == expected.size() &&
              std::equal(expected.begin(), expected.end(), written.begin(),
                         [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }))
      << "1.BMP is not the QR bitmap of the order's code_url (" << written.size() << " bytes)";
}

// The program's standard output, error and input on a new pseudo-terminal: what the
// terminal was sent, and how the program ended.
std::string RunOnTerminal(const std::vector<std::string>& argv, const std::string& workDir,
                          int& exitCode) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (chdir(workDir.c_str()) == 0) execv(args[0], args.data());
    _exit(127);
  }
  std::string received;
  char buffer[4096];
  while (pid > 0) {
    const ssize_t got = read(terminal, buffer, sizeof buffer);
    if (got > 0) {
      received.append(buffer, static_cast<std::size_t>(got));
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO once the program has ended and closed its side
    }
  }
  if (terminal >= 0) close(terminal);
  int status = 0;
  exitCode =
      pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return received;
}

// A verified reply may carry escape sequences in a comment, which nothing signs: they would
// retitle the terminal, clear it and print a verdict of their own. On a terminal the
// "Content:" line shows them escaped; into a pipe the line is the reply as it came.
// --help lists every exit status the program has, each with its meaning, from the one
// table the program returns them by.
// verify-page asks the sandbox about a JSAPI page's parameters: 0 when they pass, 3 with the
// rule named when refused, 2 when there is nothing to send.
TEST(CycleVerifyPage, AsksTheSandboxAndExitsByItsVerdict) {
  Options options;
  options.port = 0;
  SharedLog log;
  options.log = &log;
  Sandbox sandbox(options);
  std::string error;
  ASSERT_TRUE(sandbox.Start(&error)) << error;
  Fields order = OrderFields("pageorder1");
  order["trade_type"] = "JSAPI";
  order["openid"] = "qmPayer-made_up0000000000001";
  const Reply placed = Post(sandbox.baseUrl() + "/pay/unifiedorder", SignedDocument(order));
  const std::string prepayId = CdataField(placed.body, "prepay_id");
  ASSERT_FALSE(prepayId.empty()) << placed.body;
  const long long now = static_cast<long long>(std::time(nullptr));
  const auto json = [&](const std::string& key, long long stamp) {
    PageParameters page{kAppId,
                        std::to_string(stamp),
                        "PageNonce0123456789abcdefABCDEF",
                        kPackagePrefix + prepayId,
                        "HMAC-SHA256",
                        ""};
    page.paySign = PaySignOf(page, key, SignType::kHmacSha256);
    return "{\"appId\":\"" + page.appId + "\",\"timeStamp\":\"" + page.timeStamp +
           "\",\"nonceStr\":\"" + page.nonceStr + "\",\"package\":\"" + page.package +
           "\",\"signType\":\"" + page.signType + "\",\"paySign\":\"" + page.paySign + "\"}";
  };
  const struct {
    const char* name;
    std::string parameters;
    int exitCode;
    const char* line;
  } rows[] = {
      {"signed", json(kApiKey, now), 0, "Verdict:       pass\nOrder:         pageorder1\n"},
      {"the wrong key", json("AnotherMerchantsKey0123456789abc", now), 3,
       "Verdict:       refused (sign-mismatch)\nOrder:         pageorder1\nWhy:           "},
      {"milliseconds", json(kApiKey, now * 1000), 3,
       "Verdict:       refused (timestamp-milliseconds)\n"},
      {"not JSON", "<xml/>", 3, "Verdict:       refused (unreadable)\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir work;
    const std::string file = work.path() + "/page.json";
    std::ofstream(file, std::ios::binary) << row.parameters;
    std::vector<std::string> argv = CycleCommand(work.path(), sandbox.baseUrl());
    argv.insert(argv.end(), {"verify-page", file});
    const ProgramResult result = RunProgram(argv, work.path());
    EXPECT_EQ(result.exitCode, row.exitCode) << result.out << result.err;
    EXPECT_NE(result.out.find(row.line), std::string::npos) << result.out;
  }
  TempDir work;
  std::vector<std::string> argv = CycleCommand(work.path(), sandbox.baseUrl());
  argv.insert(argv.end(), {"verify-page", work.path() + "/none.json"});
  EXPECT_EQ(RunProgram(argv, work.path()).exitCode, 2);
}

// --trade-type places the cycle's order of that type: only NATIVE's has a payment link and
// a bitmap; JSAPI's page parameters are signed and pass the sandbox's check, before a
// query pays the order.
TEST(CycleTradeType, PlacesEachTypeAndChecksAJsapiPage) {
  Options options;
  options.port = 0;
  options.payAfterQueries = 1;
  Sandbox sandbox(options);
  std::string error;
  ASSERT_TRUE(sandbox.Start(&error)) << error;
  const struct {
    const char* type;
    bool bitmap;
    const char* line;
  } rows[] = {
      {"NATIVE", true, "\nQR bitmap:     "},
      {"JSAPI", false, "\nPage verify:   "},
      {"MWEB", false, "\nQR bitmap:     none: an MWEB order has no payment link\n"},
      {"APP", false, "\nQR bitmap:     none: an APP order has no payment link\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    TempDir work;
    std::vector<std::string> argv = CycleCommand(work.path(), sandbox.baseUrl());
    argv.insert(argv.end(), {"--trade-type", row.type});
    const ProgramResult result = RunProgram(argv, work.path());
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find(row.line), std::string::npos) << result.out;
    EXPECT_EQ(std::filesystem::exists(work.path() + "/1.BMP"), row.bitmap);
    EXPECT_EQ(result.out.find("Page parameters: ") != std::string::npos,
              std::string(row.type) == "JSAPI");
    if (std::string(row.type) == "JSAPI") {
      EXPECT_NE(result.out.find("\nVerdict:       pass\n"), std::string::npos) << result.out;
    }
  }
}

TEST(CycleHelp, ListsEveryExitStatus) {
  TempDir work;
  std::vector<std::string> argv =
      DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work.path(), "https://127.0.0.1:9");
  argv.push_back("--help");
  const ProgramResult result = RunProgram(argv, work.path());
  EXPECT_EQ(result.exitCode, 0);
  const std::string help = result.out;
  const std::size_t list = help.find("Exit status: ");
  ASSERT_NE(list, std::string::npos) << help;
  int code = 0;
  for (const quillmark::cli::ExitStatus& status : quillmark::cli::kExitStatuses) {
    EXPECT_EQ(status.code, code++) << "the statuses are numbered from 0 without a gap";
    EXPECT_NE(help.find(std::to_string(status.code) + " " + status.meaning, list),
              std::string::npos)
        << status.code << "\n"
        << help;
  }
}

TEST(CycleOutput, AReplysEscapeSequencesAreEscapedOnATerminalOnly) {
  const std::string attack = "<!--\x1b]0;pwned\a\x1b[2J\x1b[HEvery signed reply verified.-->";
  const auto signedReply = [&attack](const SignedFields& fields) {
    std::string xml = "<xml>" + attack;
    for (const auto& [name, value] : fields) {
      xml += "<" + name + "><![CDATA[" + value + "]]></" + name + ">";
    }
    return xml + "<sign><![CDATA[" + SignOf(fields, kApiKey) + "]]></sign></xml>";
  };
  quillmark::testsupport::LocalHttpsServer server;
  server.Reply("/pay/unifiedorder",
               signedReply({{"return_code", "SUCCESS"}, {"code_url", "https://pay.test/qr/1"}}));
  server.Reply("/pay/orderquery",
               signedReply({{"return_code", "SUCCESS"}, {"trade_state", "NOTPAY"}}));
  server.Start();
  ASSERT_TRUE(server.ok());

  TempDir work;
  const std::vector<std::string> argv = CycleCommand(work.path(), server.Url(""));

  int exitCode = -1;
  const std::string shown = RunOnTerminal(argv, work.path(), exitCode);
  EXPECT_EQ(exitCode, 0) << shown;
  EXPECT_EQ(shown.find('\x1b'), std::string::npos) << "an escape sequence reached the terminal";
  EXPECT_EQ(shown.find('\a'), std::string::npos);
  EXPECT_NE(shown.find("Content:<xml><!--\\x1b]0;pwned\\x07\\x1b[2J\\x1b[HEvery signed"),
            std::string::npos)
      << shown;

  const ProgramResult piped = RunProgram(argv, work.path());
  EXPECT_EQ(piped.exitCode, 0) << piped.out;
  EXPECT_NE(piped.out.find("\nContent:<xml>" + attack + "<code_url>"), std::string::npos)
      << piped.out;
  EXPECT_EQ(piped.out.find("\\x1b"), std::string::npos) << "a pipe gets the reply as it came";
}
// A stand-in platform that signs every reply with the merchant's key and repeats the
// request's merchant, order, refund and amounts, but names `value` as `field` in its
// replies to `path`: a correctly signed reply about another request.
void AnswerAbout(quillmark::testsupport::LocalHttpsServer& server, const std::string& path,
                 const std::string& field, const std::string& value) {
  const auto of = [](const std::string& body, const std::string& name) {
    const std::size_t open = body.find("<" + name + ">");
    const std::size_t close = body.find("</" + name + ">");
    if (open == std::string::npos || close == std::string::npos) return std::string();
    return body.substr(open + name.size() + 2, close - open - name.size() - 2);
  };
  for (const char* one :
       {"/pay/unifiedorder", "/pay/orderquery", "/pay/closeorder", "/secapi/pay/refund"}) {
    server.Handle(one, [=](const httplib::Request& req, httplib::Response& res) {
      SignedFields reply = {{"return_code", "SUCCESS"},
                            {"result_code", "SUCCESS"},
                            {"code_url", "https://pay.test/qr/7"},
                            {"trade_state", "NOTPAY"},
                            {"refund_id", "50000000000000000000000000001"},
                            {"total_fee", "1"}};
      for (const char* name :
           {"appid", "mch_id", "out_trade_no", "out_refund_no", "total_fee", "refund_fee"}) {
        if (!of(req.body, name).empty()) reply[name] = of(req.body, name);
      }
      if (path == one) reply[field] = value;
      // A refund is sent only for an order its query says was paid.
      if (path == "/secapi/pay/refund") reply["trade_state"] = "SUCCESS";
      std::string xml = "<xml>";
      for (const auto& [name, text] : reply) {
        xml += "<" + name + "><![CDATA[" + text + "]]></" + name + ">";
      }
      res.set_content(xml + "<sign><![CDATA[" + SignOf(reply, kApiKey) + "]]></sign></xml>",
                      "text/xml");
    });
  }
}

// A reply signed with the right key but about another order, merchant or amount is no
// answer to ours: the run exits 3, as for a reply that failed verification, and the
// summary names the field, what came back and what we sent.
TEST(CycleVerdict, AReplyAboutAnotherRequestExitsThree) {
  const std::string order = "20261210000000000AnotherOrder001";
  const std::string other = "20261210000000000AnotherOrder002";
  const struct {
    const char* what;
    std::vector<std::string> command;  // after the program; none: the cycle
    const char* path;
    const char* field;
    std::string value;
    int exitCode;
    std::string line;  // in the summary; "ORDER" stands for the cycle's order number
  } rows[] = {
      {"the cycle's order answered for another order",
       {},
       "/pay/unifiedorder",
       "out_trade_no",
       other,
       3,
       "\n  unified order reply: it answers another request: its out_trade_no is " + other +
           ", ours is ORDER\nNo order number: the unified order's reply failed verification"},
      {"the cycle's queries answered with another amount",
       {},
       "/pay/orderquery",
       "total_fee",
       "100",
       3,
       "\nQuery 1:       (trade_state not trusted)  (HTTP 200, return_code SUCCESS, result_code "
       "SUCCESS, signature misdirected)\n  query 1 reply: it answers another request: its "
       "total_fee is 100, ours is " +
           std::to_string(kTotalFee) + "\n"},
      {"a query answered for another appid",
       {"query", order},
       "/pay/orderquery",
       "appid",
       "qmother00000000001",
       3,
       "\n  query reply: it answers another request: its appid is qmother00000000001, ours is " +
           std::string(kAppId) + "\n"},
      {"a refund answered for another mch_id",
       {"refund", order, "--fee", "1"},
       "/secapi/pay/refund",
       "mch_id",
       "1239999999",
       3,
       "\n  refund reply: it answers another request: its mch_id is 1239999999, ours is " +
           std::string(kMchId) + "\n"},
      {"a query of an order placed elsewhere, of any amount",
       {"query", order},
       "/pay/orderquery",
       "total_fee",
       "100",
       0,
       "\nQuery:         NOTPAY  ("},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    quillmark::testsupport::LocalHttpsServer server;
    AnswerAbout(server, row.path, row.field, row.value);
    server.Start();
    ASSERT_TRUE(server.ok());
    TempDir work;
    std::vector<std::string> argv = CycleCommand(work.path(), server.Url(""));
    argv.insert(argv.end(), row.command.begin(), row.command.end());
    const ProgramResult result = RunProgram(argv, work.path());
    SCOPED_TRACE(result.out + "\nstderr:\n" + result.err);
    EXPECT_EQ(result.exitCode, row.exitCode);
    const auto requests = server.requests();
    ASSERT_FALSE(requests.empty());
    std::string line = row.line;
    const std::size_t at = line.find("ORDER");
    if (at != std::string::npos) {
      const std::string& body = requests[0].body;
      const std::size_t start = body.find("<out_trade_no>") + 14;
      line.replace(at, 5, body.substr(start, 32));
    }
    EXPECT_NE(result.out.find(line), std::string::npos) << line;
    if (std::string(row.path) == "/pay/unifiedorder") {
      EXPECT_FALSE(std::filesystem::exists(work.path() + "/1.BMP"))
          << "a bitmap of a reply about another order";
      EXPECT_EQ(requests.size(), 1u) << "a query of a reply about another order";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(QuillmarkCycle, Cycle, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace quillmark::sandbox
