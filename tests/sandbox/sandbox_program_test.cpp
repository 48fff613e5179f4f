// The quillmark-sandbox program: its options, its errors, and a clean stop on a signal.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "protocol/scenarios.h"
#include "sandbox/certificates.h"
#include "sandbox/sandbox.h"
#include "tests/support/free_port.h"
#include "tests/support/merchant_server.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;
using quillmark::testsupport::FreePort;

const std::string kProgram = QUILLMARK_SANDBOX_PROGRAM;
const std::string kCerts = QUILLMARK_TEST_CERT_DIR;

// The "https://127.0.0.1:PORT" a started program printed.
std::string BaseUrlOf(const std::string& outputDir) {
  const std::string out = ReadFile(outputDir + "/stdout.txt");
  const std::size_t at = out.find("https://127.0.0.1:");
  return at == std::string::npos ? "" : out.substr(at, out.find_first_of(" \n", at) - at);
}

ProgramResult RunSandbox(std::vector<std::string> args) {
  args.insert(args.begin(), kProgram);
  return RunProgram(args, ".");
}

TEST(SandboxProgram, HelpListsTheOptionsAndFaults) {
  const ProgramResult result = RunSandbox({"--help"});
  EXPECT_EQ(result.exitCode, 0);
  for (const char* part :
       {"--host", "--port", "--cert", "--key", "--pay-after-queries", "--fault", "stall", "drop",
        "tiny-chunks", "zero-byte", "not-utf8", "http500", "no-code-url", "huge"}) {
    EXPECT_NE(result.out.find(part), std::string::npos) << part;
  }
  // The newer options, with their defaults.
  for (const char* part : {"--config", "--public-url", "--notify-delays", "--no-notify",
                           "--notify-ca", "--order-ttl", "--max-orders", "--max-connections",
                           "half the open-file limit", "--state", "--journal-max", "/console"}) {
    EXPECT_NE(result.out.find(part), std::string::npos) << part;
  }
  for (const char* part : {"default 15,30,60,300,900,1800,3600", "default 7200", "default 1000000",
                           "10000; 0: none"}) {
    EXPECT_NE(result.out.find(part), std::string::npos) << part;
  }
}

// `scenarios` lists every declared scenario, aligned or as JSON, and starts no server.
TEST(SandboxProgram, ListsTheScenariosAlignedOrAsJson) {
  const ProgramResult table = RunSandbox({"scenarios"});
  EXPECT_EQ(table.exitCode, 0) << table.err;
  std::istringstream lines(table.out);
  std::string line;
  std::getline(lines, line);
  const std::size_t amountEnd = line.find("amount") + 6;
  EXPECT_EQ(line.rfind("name", 0), 0u) << line;
  for (const Scenario& scenario : kScenarios) {
    ASSERT_TRUE(std::getline(lines, line)) << scenario.name;
    EXPECT_EQ(line.rfind(std::string(scenario.name) + " ", 0), 0u) << line;
    const std::string amount = std::to_string(scenario.totalFee);
    EXPECT_EQ(line.compare(amountEnd - amount.size(), amount.size() + 2, amount + "  "), 0)
        << "amounts end in one column: " << line;
    EXPECT_EQ(line.substr(amountEnd + 2), scenario.description);
  }
  EXPECT_FALSE(std::getline(lines, line)) << line;

  const ProgramResult json = RunSandbox({"scenarios", "--json"});
  EXPECT_EQ(json.exitCode, 0) << json.err;
  const nlohmann::json list = nlohmann::json::parse(json.out);
  ASSERT_EQ(list.size(), std::size(kScenarios));
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i], (nlohmann::json{{"name", kScenarios[i].name},
                                       {"amount", kScenarios[i].totalFee},
                                       {"description", kScenarios[i].description}}));
  }
}

TEST(SandboxProgram, RefusesBadArgumentsWithStatus2) {
  const struct {
    std::vector<std::string> args;
    const char* error;
  } rows[] = {
      {{"--frobnicate"}, "unknown option --frobnicate"},
      {{"--port"}, "--port needs a value"},
      {{"--port", "http"}, "bad port http"},
      {{"--port", "65536"}, "bad port 65536"},
      {{"--pay-after-queries", "-1"}, "bad query count -1"},
      {{"--fault", "slow"}, "unknown fault mode slow"},
      {{"extra"}, "unexpected argument extra"},
      {{"--port", "0", "extra"}, "unexpected argument extra"},
      {{"--public-url"}, "--public-url needs a value"},
      {{"--public-url", "ftp://192.168.1.20"}, "--public-url: bad URL ftp://192.168.1.20: it must"},
      {{"--public-url", "192.168.1.20:8443"}, "--public-url: bad URL 192.168.1.20:8443: it must"},
      {{"--public-url", "https://"}, "--public-url: bad URL https://: "},
      {{"--public-url", "https://192.168.1.20:8443/pay"}, "--public-url: bad URL"},
      {{"--public-url", "https://192.168.1.20:8443?x=1"}, "no path, query or fragment"},
      {{"--public-url", "https://192.168.1.20:99999"}, "bad URL https://192.168.1.20:99999: "},
      {{"--public-url", "https://user@192.168.1.20"}, "--public-url: bad URL"},
      {{"--notify-delays"}, "--notify-delays needs a value"},
      {{"--notify-delays", "1,,2"}, "--notify-delays: bad delay list 1,,2"},
      {{"--notify-delays", "-1"}, "--notify-delays: bad delay list -1"},
      {{"--notify-delays", "soon"}, "--notify-delays: bad delay list soon"},
      {{"--no-notify", "--notify-delays", "1"}, "--no-notify contradicts --notify-delays"},
      {{"--order-ttl", "0"}, "--order-ttl: bad order lifetime 0"},
      {{"--order-ttl", "1.5"}, "--order-ttl: bad order lifetime 1.5"},
      {{"--order-ttl", "999999999999"}, "--order-ttl: bad order lifetime 999999999999"},
      {{"--max-orders", "0"}, "--max-orders: bad order count 0"},
      {{"--max-orders", "-5"}, "--max-orders: bad order count -5"},
      {{"--max-connections", "0"}, "--max-connections: bad connection count 0"},
      {{"--max-connections", "many"}, "--max-connections: bad connection count many"},
      // The LAN mode chooses the address, the code_url and the certificate itself.
      {{"--lan", "192.168.1"}, "--lan: bad address 192.168.1"},
      {{"--lan", "0.0.0.0"}, "--lan: bad address 0.0.0.0"},
      // A certificate for it, from a CA that signs for no such address, would be refused.
      {{"--lan", "203.0.113.10"}, "--lan: bad address 203.0.113.10 (not a private address"},
      {{"--lan", "172.32.0.1"}, "--lan: bad address 172.32.0.1 (not a private address"},
      {{"--lan", "--host", "0.0.0.0"}, "--lan contradicts --host"},
      {{"--lan", "192.168.1.20", "--public-url", "https://192.168.1.20:8443"},
       "--lan contradicts --public-url"},
      {{"--lan", "--cert", "server.pem"}, "--lan contradicts --cert"},
      {{"--phone-port", "8080"}, "--phone-port needs --lan"},
      {{"--lan", "--phone-port", "http"}, "--phone-port: bad port http"},
      {{"--journal-max", "-1"}, "--journal-max: bad journal size -1"},
      {{"--state"}, "--state needs a value"},
      // Whether or not there is a per-user settings file, it has no such profile.
      {{"--profile", "nope"}, "[profile nope]"},
      {{"--profile", "a b"}, "--profile is not a profile's name"},
  };
  for (const auto& row : rows) {
    const ProgramResult result = RunSandbox(row.args);
    EXPECT_EQ(result.exitCode, 2) << row.error;
    EXPECT_NE(result.err.find(row.error), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "") << row.error;
  }
}

TEST(SandboxProgram, TakesThePublicUrlAndTheNotificationSchedule) {
  TempDir dir;
  ChildProcess child(
      {kProgram, "--port", "0", "--state", ":memory:", "--public-url", "https://192.168.1.20:8443/",
       "--notify-delays", "0.2, 0.5,60", "--order-ttl", "60", "--max-orders", "5"},
      ".", dir.path());
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(child.WaitForOutput("notify_url", std::chrono::seconds(10))) << "no start-up lines";
  const std::string out = ReadFile(dir.path() + "/stdout.txt");
  const std::size_t at = out.find("https://127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << out;
  const std::string base = out.substr(at, out.find_first_of(" \n", at) - at);

  const Reply reply = Post(base + "/pay/unifiedorder", SignedDocument(OrderFields("order2")));
  // The trailing '/' is not doubled.
  EXPECT_EQ(CdataField(reply.body, "code_url"), "https://192.168.1.20:8443/pay/qr/order2")
      << reply.body;
  child.Signal(SIGTERM);
  const ProgramResult result = child.Wait();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("payer pages at https://192.168.1.20:8443/pay/qr/"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("again after 0.2 s, 0.5 s, 1 min"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("warning: its certificate does not name 192.168.1.20,"),
            std::string::npos)
      << result.out;
}

// --profile chooses the merchant the sandbox accepts: that profile's, signed with its key,
// and no longer [merchant]'s.
TEST(SandboxProgram, ServesTheMerchantOfTheProfileChosen) {
  TempDir dir;
  const std::string config = dir.path() + "/quillmark.ini";
  std::ofstream(config) << "[merchant]\n\n[profile other]\nappid = qmprofile000000077\n"
                           "mch_id = 7770007777\napi_key = ProfileMerchantKey0123456789abcd\n";
  ::chmod(config.c_str(), 0600);
  ChildProcess child(
      {kProgram, "--port", "0", "--state", ":memory:", "--config", config, "--profile", "other"},
      ".", dir.path());
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(child.WaitForOutput("notify_url", std::chrono::seconds(10))) << "no start-up lines";
  const std::string base = BaseUrlOf(dir.path());
  ASSERT_FALSE(base.empty()) << ReadFile(dir.path() + "/stdout.txt");

  Fields order = OrderFields("profile1");
  order["appid"] = "qmprofile000000077";
  order["mch_id"] = "7770007777";
  order["sign"] = SignOf(order, "ProfileMerchantKey0123456789abcd");
  const Reply accepted = Post(base + "/pay/unifiedorder", Document(order));
  EXPECT_EQ(CdataField(accepted.body, "result_code"), "SUCCESS") << accepted.body;
  const Reply refused = Post(base + "/pay/unifiedorder", SignedDocument(OrderFields("profile2")));
  EXPECT_EQ(CdataField(refused.body, "return_code"), "FAIL") << refused.body;
  child.Signal(SIGTERM);
  EXPECT_EQ(child.Wait().exitCode, 0);
}

TEST(SandboxProgram, KnowsWhichHostsItsCertificateNames) {
  const std::string certificate = kCerts + "/server.pem";
  const struct {
    const char* host;
    bool named;
  } rows[] = {{"127.0.0.1", true},  {"localhost", true}, {"192.168.1.20", false},
              {"127.0.0.2", false}, {"[::1]", false},    {"example.invalid", false}};
  for (const auto& row : rows) {
    EXPECT_EQ(CertificateNames(certificate, row.host), row.named) << row.host;
  }
  EXPECT_FALSE(CertificateNames("/nonexistent.pem", "127.0.0.1"));
}

TEST(SandboxProgram, ExplainsACertificateItCannotUse) {
  const ProgramResult result =
      RunSandbox({"--port", "0", "--state", ":memory:", "--key", kCerts + "/untrusted.key"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("do not match"), std::string::npos) << result.err;
}

// A pipe's open waits for its other end for ever, and a signal did not end that wait: every
// file the sandbox is given is looked at first, and what is not a regular file is refused
// by its option, before anything is opened. `timeout` bounds a run that would hang.
TEST(SandboxProgram, RefusesWhatIsNotARegularFileBeforeOpeningIt) {
  TempDir dir;
  const std::string pipe = dir.path() + "/pipe.pem";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  const std::string notFile = " cannot be used: it is not a regular file";
  const struct {
    std::vector<std::string> args;
    std::string error;
  } rows[] = {
      {{"--cert", pipe}, "--cert " + pipe + notFile},
      {{"--key", pipe}, "--key " + pipe + notFile},
      {{"--notify-ca", pipe}, "--notify-ca " + pipe + notFile},
      {{"--config", pipe}, "settings file " + pipe + notFile},
      {{"--cert", "/dev/zero"}, "--cert /dev/zero" + notFile},
      {{"--key", dir.path()}, "--key " + dir.path() + notFile},
      {{"--cert", "/nonexistent/server.pem"},
       "--cert /nonexistent/server.pem cannot be used: it does not exist"},
      {{"--notify-ca", "/nonexistent/ca.pem"},
       "--notify-ca /nonexistent/ca.pem cannot be used: it does not exist"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> argv = {"/usr/bin/timeout", "10", kProgram, "--port", "0"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    const ProgramResult result = RunProgram(argv, ".");
    EXPECT_EQ(result.exitCode, 2) << row.error << " (124: it hung)";
    EXPECT_NE(result.err.find(row.error), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "") << row.error;
  }
}

TEST(SandboxProgram, ExplainsAPortThatIsTaken) {
  SharedLog log;
  Options options;
  options.port = 0;
  options.log = &log;
  Sandbox first(options);
  ASSERT_TRUE(first.Start());
  const std::string port = std::to_string(first.port());
  const ProgramResult result = RunSandbox({"--port", port, "--state", ":memory:"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("cannot listen on 127.0.0.1:" + port + ": the port is in use"),
            std::string::npos)
      << result.err;
}

TEST(SandboxProgram, ServesUntilSignalledAndThenStopsCleanly) {
  for (const int signal : {SIGINT, SIGTERM}) {
    TempDir dir;
    ChildProcess child({kProgram, "--port", "0", "--state", ":memory:", "--pay-after-queries", "1"},
                       ".", dir.path());
    ASSERT_TRUE(child.started());
    const std::string banner = "quillmark-sandbox listening on https://127.0.0.1:";
    ASSERT_TRUE(child.WaitForOutput(banner, std::chrono::seconds(10))) << "no start-up line";
    const std::string out = ReadFile(dir.path() + "/stdout.txt");
    const std::string base = out.substr(out.find("https://"),
                                        out.find(' ', out.find("https://")) - out.find("https://"));

    const Reply reply = Post(base + "/pay/unifiedorder", SignedDocument(OrderFields("order1")));
    EXPECT_EQ(CdataField(reply.body, "code_url"), base + "/pay/qr/order1") << reply.body;

    child.Signal(signal);
    const ProgramResult result = child.Wait();
    EXPECT_EQ(result.exitCode, 0) << "signal " << signal << ": " << result.err;
    EXPECT_NE(result.out.find(" POST /pay/unifiedorder order1 200 SUCCESS order placed"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("stopping"), std::string::npos) << result.out;
  }
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(SandboxProgram, AfterSigkillAnswersAsBeforeAndSendsTheNotificationStillDue) {
  TempDir dir;
  TempDir firstRun;
  TempDir secondRun;
  const std::string state = dir.path() + "/state.db";
  // Nothing listens at the notify URL before the kill: its port is taken and let go.
  const int notifyPort = FreePort();
  ASSERT_GT(notifyPort, 0);
  const std::string notifyUrl = "http://127.0.0.1:" + std::to_string(notifyPort) + "/notify";
  const std::vector<std::string> args = {
      kProgram, "--port",          "0", "--state", state, "--pay-after-queries",
      "1",      "--notify-delays", "1"};
  std::string transactionId;
  {
    ChildProcess child(args, ".", firstRun.path());
    ASSERT_TRUE(child.WaitForOutput("notify_url", std::chrono::seconds(10)));
    const std::string base = BaseUrlOf(firstRun.path());
    for (const char* number : {"waiting", "paid", "closed"}) {
      Fields order = OrderFields(number);
      order["notify_url"] = notifyUrl;
      ASSERT_TRUE(Has(Post(base + "/pay/unifiedorder", SignedDocument(order)).body,
                      "<result_code><![CDATA[SUCCESS]]>"));
    }
    // Its first query pays it; the notification's first attempt finds nobody.
    Post(base + "/pay/orderquery", SignedDocument(QueryFields("paid")));
    transactionId = CdataField(
        Post(base + "/pay/orderquery", SignedDocument(QueryFields("paid"))).body, "transaction_id");
    ASSERT_EQ(transactionId.size(), 28u);
    Fields close = QueryFields("closed");
    ASSERT_TRUE(Has(Post(base + "/pay/closeorder", SignedDocument(close)).body,
                    "<result_code><![CDATA[SUCCESS]]>"));
    ASSERT_TRUE(child.WaitForOutput("order paid attempt 1/2", std::chrono::seconds(10)));
    child.Signal(SIGKILL);
    EXPECT_EQ(child.Wait().signal, SIGKILL);
  }

  quillmark::testsupport::MerchantServer merchant(notifyPort);
  ASSERT_TRUE(merchant.ok());

  ChildProcess child(args, ".", secondRun.path());
  ASSERT_TRUE(child.WaitForOutput("notify_url", std::chrono::seconds(10)));
  const std::string out = ReadFile(secondRun.path() + "/stdout.txt");
  EXPECT_TRUE(Has(out, "state kept in " + state + " (3 orders taken up, 1 notification still due)"))
      << out;
  const std::string base = BaseUrlOf(secondRun.path());
  const struct {
    const char* number;
    const char* state;
  } rows[] = {{"waiting", "NOTPAY"}, {"paid", "SUCCESS"}, {"closed", "CLOSED"}};
  for (const auto& row : rows) {
    const Reply reply = Post(base + "/pay/orderquery", SignedDocument(QueryFields(row.number)));
    EXPECT_EQ(CdataField(reply.body, "trade_state"), row.state) << row.number << ": " << reply.body;
    if (std::string(row.state) == "SUCCESS") {
      EXPECT_EQ(CdataField(reply.body, "transaction_id"), transactionId);
    }
  }
  // The retry that was due goes out after the restart, for the order and payment it was for.
  bool arrived = false;
  for (int i = 0; i < 500 && !arrived; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (const auto& request : merchant.requests()) {
      arrived = arrived || (CdataField(request.body, "out_trade_no") == "paid" &&
                            CdataField(request.body, "transaction_id") == transactionId);
    }
  }
  EXPECT_TRUE(arrived) << ReadFile(secondRun.path() + "/stdout.txt");
  // Its attempts from both runs, as the console tells them.
  auto client = Client(std::stoi(base.substr(base.rfind(':') + 1)));
  nlohmann::json attempts;
  for (int i = 0; i < 200; ++i) {
    auto result = client->Get("/console/api/orders/paid");
    ASSERT_TRUE(result && result->status == 200);
    attempts = nlohmann::json::parse(result->body)["attempts"];
    if (attempts.size() >= 2) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(attempts.size(), 2u) << attempts.dump(1);
  EXPECT_EQ(attempts[0]["acknowledged"], false);
  EXPECT_NE(attempts[0]["error"], "");
  EXPECT_EQ(attempts[1]["attempt"], 2);
  EXPECT_EQ(attempts[1]["acknowledged"], true);
}

TEST(SandboxProgram, RefusesAStateFileItCannotUseWithStatus1) {
  TempDir dir;
  const std::string notes = dir.path() + "/notes.db";
  std::ofstream(notes) << "not a database\n";
  const std::string held = dir.path() + "/held.db";
  TempDir output;
  ChildProcess holder({kProgram, "--port", "0", "--state", held}, ".", output.path());
  ASSERT_TRUE(holder.WaitForOutput("notify_url", std::chrono::seconds(10)));
  // A link to the live file is the file: a second sandbox on it would take up the first
  // one's orders and send their notifications again.
  const std::string linked = dir.path() + "/linked.db";
  std::filesystem::create_symlink(held, linked);
  const struct {
    std::string state;
    std::string error;
  } rows[] = {
      {notes, "the state file " + notes + " is not an SQLite database"},
      {held, "the state file " + held + " is in use by another quillmark-sandbox"},
      {linked, "the state file " + linked + " is in use by another quillmark-sandbox"},
  };
  for (const auto& row : rows) {
    // A sandbox that is wrongly let in serves until it is stopped: 124 then.
    const ProgramResult result =
        RunProgram({"/usr/bin/timeout", "10", kProgram, "--port", "0", "--state", row.state}, ".");
    EXPECT_EQ(result.exitCode, 1) << row.error;
    EXPECT_TRUE(Has(result.err, row.error)) << result.err;
  }
  EXPECT_EQ(ReadFile(notes), "not a database\n");
}

}  // namespace
}  // namespace quillmark::sandbox
