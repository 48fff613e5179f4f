// quillmark-cycle talking as another merchant to another endpoint, chosen at run time
// only: once by environment variables, once by a settings file, against a sandbox that
// knows that merchant. And a bad value from each source, which must stop the program
// before anything is sent, naming the source and never showing the key.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/local_sandbox.h"
#include "sandbox/merchant_ca.h"
#include "sandbox/sandbox.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;

constexpr char kAppId[] = "qmother00000000042";
constexpr char kMchId[] = "9876543210";
constexpr char kKey[] = "OtherMerchantKey0123456789abcdef";
constexpr char kIp[] = "192.0.2.7";
constexpr char kNotify[] = "http://shop.example.net:8080/pay/notify";
// "Vemrak的支付测试" in UTF-8, as it goes on the wire.
constexpr char kBodyUtf8[] = "Vemrak\xe7\x9a\x84\xe6\x94\xaf\xe4\xbb\x98\xe6\xb5\x8b\xe8\xaf\x95";

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    Options options;
    options.port = 0;
    options.payAfterQueries = 1;
    options.log = &log_;
    options.merchant.appId = kAppId;
    options.merchant.mchId = kMchId;
    options.merchant.apiKey = kKey;
    sandbox_ = std::make_unique<Sandbox>(options);
    std::string error;
    ASSERT_TRUE(sandbox_->Start(&error)) << error;
  }

  // The program with `assignments` as its only QUILLMARK_* variables; the per-user folder
  // is the temporary one, so that no settings file of the machine's user is read.
  ProgramResult Run(std::vector<std::string> assignments, std::vector<std::string> options = {}) {
    std::vector<std::string> argv = {"/usr/bin/env", "XDG_CONFIG_HOME=" + work_.path()};
    argv.insert(argv.end(), assignments.begin(), assignments.end());
    argv.push_back(QUILLMARK_CYCLE_PROGRAM);
    argv.insert(argv.end(), options.begin(), options.end());
    return RunProgram(argv, work_.path());
  }

  std::vector<std::string> Values() const {
    return {std::string("appid=") + kAppId,
            std::string("mch_id=") + kMchId,
            std::string("api_key=") + kKey,
            std::string("spbill_create_ip=") + kIp,
            std::string("notify_url=") + kNotify,
            "api_base=" + sandbox_->baseUrl(),
            "ca_file=" + std::string(QUILLMARK_TEST_CERT_DIR) + "/ca.pem",
            "qr_path=other.bmp"};
  }

  std::string WriteFile(const std::string& text, mode_t mode = 0600) {
    const std::string path = work_.path() + "/merchant.ini";
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
  }

  // The requests the sandbox received are the other merchant's, field by field in the
  // documents' fixed order; the sandbox accepted their signs over the other key.
  void ExpectOtherMerchantsCycle(const ProgramResult& result, const std::string& origin) {
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    const std::vector<RecordedRequest> requests = sandbox_->requests();
    ASSERT_EQ(requests.size(), 3u) << log_.str();
    const auto& f = requests[0].fields;
    EXPECT_EQ(requests[0].body,
              std::string("<xml><appid>") + kAppId + "</appid><body>" + kBodyUtf8 +
                  "</body><mch_id>" + kMchId + "</mch_id><nonce_str>" + f.at("nonce_str") +
                  "</nonce_str><notify_url>" + kNotify + "</notify_url><out_trade_no>" +
                  f.at("out_trade_no") + "</out_trade_no><spbill_create_ip>" + kIp +
                  "</spbill_create_ip><total_fee>1</total_fee><trade_type>NATIVE</trade_type>"
                  "<sign>" +
                  f.at("sign") + "</sign></xml>");
    const auto& q = requests[1].fields;
    EXPECT_EQ(requests[1].body, std::string("<xml><appid>") + kAppId + "</appid><mch_id>" + kMchId +
                                    "</mch_id><nonce_str>" + q.at("nonce_str") +
                                    "</nonce_str><out_trade_no>" + f.at("out_trade_no") +
                                    "</out_trade_no><sign>" + q.at("sign") + "</sign></xml>");
    EXPECT_NE(result.out.find("Every signed reply verified."), std::string::npos);
    EXPECT_NE(result.out.find("  api_key           ********  (" + origin), std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find(kKey), std::string::npos) << "the key was shown";
    EXPECT_EQ(ReadFile(work_.path() + "/other.bmp").substr(0, 2), "BM");
  }

  SharedLog log_;
  std::unique_ptr<Sandbox> sandbox_;
  TempDir work_;
};

TEST_F(Settings, AnotherMerchantFromTheEnvironment) {
  std::vector<std::string> assignments;
  const std::vector<std::string> names = {"APPID",      "MCH_ID",   "API_KEY", "SPBILL_CREATE_IP",
                                          "NOTIFY_URL", "API_BASE", "CA_FILE", "QR_PATH"};
  const std::vector<std::string> values = Values();
  for (std::size_t i = 0; i < names.size(); ++i) {
    assignments.push_back("QUILLMARK_" + names[i] + values[i].substr(values[i].find('=')));
  }
  ExpectOtherMerchantsCycle(Run(assignments), "environment QUILLMARK_API_KEY");
}

TEST_F(Settings, AnotherMerchantFromASettingsFile) {
  std::string text = "; another merchant\n[merchant]\n";
  for (const std::string& value : Values()) text += value + "\n";
  const std::string file = WriteFile(text);
  const ProgramResult result = Run({}, {"--config", file});
  ExpectOtherMerchantsCycle(result, "file " + file + ":5");
  EXPECT_EQ(result.err, "");
}

// The commands about one order, as another merchant: the cycle's order, paid by its
// queries, cannot be closed and is queried as paid, then refunded once, after which it is
// queried as refunded; an unpaid order is not refunded, and an order the platform does not
// know is not closed either. An order the merchant's own system numbered (any number the
// platform takes) goes through them as well; a malformed order number sends nothing.
TEST_F(Settings, QueriesClosesAndRefundsOneOrder) {
  std::string text = "[merchant]\n";
  for (const std::string& value : Values()) text += value + "\n";
  const std::string file = WriteFile(text);
  const ProgramResult cycle = Run({}, {"--config", file});
  const std::size_t at = cycle.out.find("Order number:  ");
  ASSERT_NE(at, std::string::npos) << cycle.out << cycle.err;
  const std::string orderNo = cycle.out.substr(at + 15, 32);
  // Placed as another merchant's system would, straight to the platform.
  const auto place = [this](const std::string& number) {
    Fields order = OrderFields(number);
    order["appid"] = kAppId;
    order["mch_id"] = kMchId;
    order["sign"] = SignOf(order, kKey);
    return CdataField(Post(sandbox_->baseUrl() + "/pay/unifiedorder", Document(order)).body,
                      "result_code");
  };
  // An order that nobody queries, so nobody pays.
  const std::string unpaid = "20260307090503042abcdefghijklmno";
  ASSERT_EQ(place(unpaid), "SUCCESS");
  // Numbered by the merchant's own system, in a form the runner never makes.
  const std::string theirs = "Shop-7|r*_9";
  ASSERT_EQ(place(theirs), "SUCCESS");
  const std::size_t sent = sandbox_->requests().size();
  const struct {
    std::vector<std::string> options;
    int exitCode;
    const char* line;  // in the summary; null: nothing is sent
    // Requests sent: a refund queries the order and its refunds first.
    std::size_t sent = 1;
  } rows[] = {
      {{"close", orderNo},
       1,
       "\nClose order:   not closed  (HTTP 200, return_code SUCCESS, "
       "result_code FAIL, err_code ORDERPAID"},
      {{"query", orderNo}, 0, "\nQuery:         SUCCESS  (HTTP 200"},
      {{"refundquery", orderNo},
       1,
       "\nRefund query:  (no refund_status_0)  (HTTP 200, "
       "return_code SUCCESS, result_code FAIL, err_code REFUNDNOTEXIST"},
      {{"refund", unpaid}, 1, "\nRefund:        not sent: the order's trade_state is NOTPAY"},
      {{"refund", orderNo}, 0, "\nRefund:        refunded  (HTTP 200", 3},
      {{"query", orderNo}, 0, "\nQuery:         REFUND  (HTTP 200"},
      {{"refundquery", orderNo}, 0, "\nRefund query:  SUCCESS  (HTTP 200"},
      {{"refund", orderNo}, 1, "\nRefund:        not sent: nothing is left to refund", 2},
      {{"close", "20260307090503042abcdefghijklmnp"}, 1, "\nClose order:   not closed  ("},
      {{"query", theirs}, 0, "\nQuery:         NOTPAY  (HTTP 200"},  // paid by this query
      {{"refund", theirs}, 0, "\nRefund:        refunded  (HTTP 200", 3},
      {{"refundquery", theirs}, 0, "\nRefund query:  SUCCESS  (HTTP 200"},
      // The form's edges: 1 to 32 letters, digits or _-|*, whatever made it.
      {{"query", "x"}, 1, "\nQuery:         (no trade_state)"},
      {{"close", "_|*-_|*-_|*-_|*-_|*-_|*-_|*-_|*-"}, 1, "\nClose order:   not closed  ("},
      {{"query", "20260307090503042"}, 1, "\nQuery:         (no trade_state)"},
      {{"refundquery", "20260307090503042abcdefghijklmn"}, 1, "err_code ORDERNOTEXIST"},
      {{"close", "20260307090503042abcdefghijklmnop"}, 2, nullptr},  // 33
      {{"close", ""}, 2, nullptr},
      {{"query", "order.1"}, 2, nullptr},
      {{"close", "order 1"}, 2, nullptr},
      {{"refund", "order/1"}, 2, nullptr},
      {{"refundquery", "order#1"}, 2, nullptr},
      {{"query", "\xe8\xae\xa2\xe5\x8d\x95"}, 2, nullptr},  // "订单": letters, not ASCII ones
  };
  std::size_t expected = sent;
  for (const auto& row : rows) {
    std::vector<std::string> options = {"--config", file};
    options.insert(options.end(), row.options.begin(), row.options.end());
    const ProgramResult result = Run({}, options);
    const std::string which = row.options[0] + " \"" + row.options[1] + "\"";
    EXPECT_EQ(result.exitCode, row.exitCode) << which << result.out << result.err;
    if (row.line != nullptr) {
      EXPECT_NE(result.out.find(row.line), std::string::npos) << which << result.out;
      expected += row.sent;
    } else {
      EXPECT_NE(result.err.find("\" is not an order number: it must be 1 to 32 letters, digits "
                                "or _-|*\n"),
                std::string::npos)
          << which << result.err;
    }
    EXPECT_EQ(sandbox_->requests().size(), expected) << which;
  }
}

TEST_F(Settings, ABadValueStopsTheProgramAndNamesItsSource) {
  const std::string badKey = "OtherMerchantKey0123456789abcde";  // 31 characters
  const std::string file =
      WriteFile("[merchant]\nappid = " + std::string(kAppId) + "\napi_key = " + badKey + "\n");
  const std::string pipe = work_.path() + "/merchant.pipe";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  const std::string large = work_.path() + "/large.ini";
  std::ofstream(large) << "[merchant]\n" << std::string(70 * 1024, ';');
  // The tail of a long comment must not become a setting of its own.
  const std::string longLine = work_.path() + "/long.ini";
  std::ofstream(longLine) << "[merchant]\n; " << std::string(197, '-') << "api_key = " << badKey;
  // Notepad's "Unicode": "[merchant]" in UTF-16 LE after its byte-order mark.
  const std::string utf16 = work_.path() + "/utf16.ini";
  std::ofstream(utf16, std::ios::binary) << std::string("\xff\xfe[\0m\0e\0r\0]\0", 12);
  const struct {
    std::vector<std::string> assignments;
    std::vector<std::string> options;
    std::string message;
  } rows[] = {
      {{"QUILLMARK_API_KEY=" + badKey}, {}, "environment QUILLMARK_API_KEY: api_key is not valid"},
      {{"QUILLMARK_MCH_ID=12345"}, {}, "environment QUILLMARK_MCH_ID: mch_id = \"12345\""},
      {{}, {"--config", file}, "file " + file + ":3: api_key is not valid"},
      {{}, {"--config", work_.path() + "/missing.ini"}, "missing.ini cannot be used: it does not"},
      {{}, {"--api-key", kKey}, "--api-key"},
      // Hostile values: checked by length before any rule reads them, files by what they
      // are before they are opened, lines by their real length, and shown escaped.
      {{"QUILLMARK_NOTIFY_URL=http://a/" + std::string(30000, 'x')}, {}, "at most 256 characters"},
      {{"QUILLMARK_API_BASE=https://" + std::string(30000, 'a')}, {}, "at most 256 characters"},
      {{}, {"--config", pipe}, "merchant.pipe cannot be used: it is not a regular file"},
      {{}, {"--config", "/dev/zero"}, "/dev/zero cannot be used: it is not a regular file"},
      {{}, {"--config", work_.path()}, "cannot be used: it is not a regular file"},
      {{}, {"--config", large}, "large.ini cannot be used: it is larger than 64 KiB"},
      {{}, {"--config", longLine}, "long.ini:2: the line is longer than 198 bytes"},
      {{},
       {"--config", utf16},
       "utf16.ini is in UTF-16 LE with a byte-order mark, which is not"
       " read; save it as UTF-8"},
      {{"QUILLMARK_CA_FILE=" + pipe}, {}, "is not valid: it is not a regular file"},
      {{"QUILLMARK_MCH_ID=\x1b[2J"}, {}, "mch_id = \"\\x1b[2J\""},
  };
  for (const auto& row : rows) {
    const ProgramResult result = Run(row.assignments, row.options);
    EXPECT_EQ(result.exitCode, 2) << row.message;
    EXPECT_NE(result.err.find(row.message), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("OtherMerchantKey"), std::string::npos) << "the key was shown";
    EXPECT_EQ(result.out, "") << row.message;
  }
  EXPECT_TRUE(sandbox_->requests().empty()) << "a request went out with a bad setting";
}

// Two accounts in one file, each a profile: the sandbox's other merchant, and a second
// made-up one on a sandbox of its own, on another port. --profile takes each cycle to its
// own address as its own merchant; a name the file lacks is refused with its profiles.
TEST_F(Settings, EachProfileTalksToItsOwnAddressAsItsOwnMerchant) {
  SharedLog secondLog;
  Options options;
  options.port = 0;
  options.payAfterQueries = 1;
  options.log = &secondLog;
  options.merchant.appId = "qmsecond0000000007";
  options.merchant.mchId = "5550007777";
  options.merchant.apiKey = "SecondMerchantKey0123456789abcde";
  Sandbox second(options);
  std::string error;
  ASSERT_TRUE(second.Start(&error)) << error;

  std::string text =
      "; two accounts\n[merchant]\nca_file = " + std::string(QUILLMARK_TEST_CERT_DIR) +
      "/ca.pem\nqr_path = merchant.bmp\n\n[profile sandbox]\n";
  for (const std::string& value : Values()) {
    if (value.rfind("ca_file=", 0) != 0) text += value + "\n";
  }
  text +=
      "\n[profile second-account]\nappid = qmsecond0000000007\nmch_id = 5550007777\n"
      "api_key = SecondMerchantKey0123456789abcde\napi_base = " +
      second.baseUrl() + "\nqr_path = second.bmp\n";
  const std::string file = WriteFile(text);

  const ProgramResult first =
      Run({"QUILLMARK_PROFILE=second-account"}, {"--config", file, "--profile", "sandbox"});
  ExpectOtherMerchantsCycle(first, "file " + file + ":9 [profile sandbox]");
  EXPECT_NE(first.out.find("  ca_file           " + std::string(QUILLMARK_TEST_CERT_DIR) +
                           "/ca.pem  (file " + file + ":3 [merchant])"),
            std::string::npos)
      << first.out;
  EXPECT_TRUE(second.requests().empty()) << "the option goes over QUILLMARK_PROFILE";

  const ProgramResult other =
      Run({"QUILLMARK_PROFILE=second-account"},
          {"--config", file, "--report", "junit:" + work_.path() + "/r.xml"});
  EXPECT_EQ(other.exitCode, 0) << other.out << other.err;
  const std::vector<RecordedRequest> requests = second.requests();
  ASSERT_EQ(requests.size(), 3u) << secondLog.str();
  EXPECT_EQ(requests[0].fields.at("appid"), "qmsecond0000000007");
  EXPECT_EQ(requests[0].fields.at("mch_id"), "5550007777");
  EXPECT_NE(other.out.find("  mch_id            5550007777  (file " + file +
                           ":17 [profile second-account])"),
            std::string::npos)
      << other.out;
  EXPECT_EQ(ReadFile(work_.path() + "/second.bmp").substr(0, 2), "BM");
  // A CI job's report says which account the run was.
  EXPECT_NE(ReadFile(work_.path() + "/r.xml")
                .find("<property name=\"profile\" value=\"second-account\" />"),
            std::string::npos);
  EXPECT_EQ(sandbox_->requests().size(), 3u) << "only the first cycle went to the sandbox";

  const ProgramResult unknown = Run({}, {"--config", file, "--profile", "staging"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.err.find("has no [profile staging] (--profile); its profiles are sandbox, "
                             "second-account"),
            std::string::npos)
      << unknown.err;
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(second.requests().size(), 3u);
}

// The program's options read the same after a command as before it: the settings file,
// its profile (the sandbox knows no other merchant, so either one ignored fails the
// request), the report and the notification's wait.
TEST_F(Settings, OptionsAfterTheCommandAreReadAsBeforeIt) {
  std::string text = "[merchant]\nca_file = " + std::string(QUILLMARK_TEST_CERT_DIR) +
                     "/ca.pem\n\n[profile sandbox]\n";
  for (const std::string& value : Values()) {
    if (value.rfind("ca_file=", 0) != 0) text += value + "\n";
  }
  const std::string file = WriteFile(text);
  const ProgramResult cycle = Run({}, {"--config", file, "--profile", "sandbox"});
  const std::size_t at = cycle.out.find("Order number:  ");
  ASSERT_NE(at, std::string::npos) << cycle.out << cycle.err;
  const std::string orderNo = cycle.out.substr(at + 15, 32);
  const std::string report = work_.path() + "/q.xml";
  const struct {
    std::vector<std::string> command;
    std::vector<std::string> options;
    int exitCode;
    const char* line;  // in the summary
  } rows[] = {
      {{"query", orderNo},
       {"--config", file, "--profile", "sandbox", "--report", "junit:" + report},
       0,
       "\nQuery:         SUCCESS  (HTTP 200"},
      {{"close", orderNo},
       {"--profile", "sandbox", "--await-notify", "5", "--config", file},
       1,
       "err_code ORDERPAID"},
  };
  for (const auto& row : rows) {
    for (const bool after : {false, true}) {
      SCOPED_TRACE(row.command[0] + (after ? " before" : " after") + " the options");
      std::filesystem::remove(report);
      std::vector<std::string> words = after ? row.command : row.options;
      const std::vector<std::string>& rest = after ? row.options : row.command;
      words.insert(words.end(), rest.begin(), rest.end());
      const ProgramResult result = Run({}, words);
      EXPECT_EQ(result.exitCode, row.exitCode) << result.out << result.err;
      EXPECT_EQ(result.err, "");
      EXPECT_NE(result.out.find(row.line), std::string::npos) << result.out;
      EXPECT_EQ(std::filesystem::exists(report), row.command[0] == "query");
    }
  }
}

TEST_F(Settings, AKeyOthersMayReadDrawsAWarning) {
  std::string text = "[merchant]\n";
  for (const std::string& value : Values()) text += value + "\n";
  const std::string file = WriteFile(text, 0644);
  const ProgramResult result = Run({}, {"--config", file});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.err.find(file + " holds api_key and other users may read it; run chmod 600"),
            std::string::npos)
      << result.err;
}

// A configured client certificate that does not load stops the program before anything is
// sent, naming the setting at fault and where it came from, and never the password.
TEST_F(Settings, AClientCertificateThatDoesNotLoadStopsItNamingTheSetting) {
  MerchantCa ca;
  std::string error;
  ASSERT_TRUE(TakeMerchantCa("", ca, error)) << error;
  const std::string own = ClientCertFolder(work_.path(), kMchId);
  const std::string other = ClientCertFolder(work_.path(), "1111111111");
  ASSERT_TRUE(IssueClientFiles(ca, kMchId, own, error)) << error;
  ASSERT_TRUE(IssueClientFiles(ca, "1111111111", other, error)) << error;
  const std::string p12 = own + "/" + kClientCertP12;
  const std::string file = WriteFile("[merchant]\nclient_cert = " + own + "/gone.p12\n");
  const std::string mchId = std::string("QUILLMARK_MCH_ID=") + kMchId;
  const std::string cert = "QUILLMARK_CLIENT_CERT=";
  const struct {
    std::vector<std::string> assignments;
    std::vector<std::string> options;
    std::string message;
  } rows[] = {
      {{mchId}, {"--config", file}, "file " + file + ":2: client_cert is not usable: cannot read"},
      {{mchId, cert + p12, "QUILLMARK_CLIENT_CERT_PASSWORD=Wrong0ne"},
       {},
       "environment QUILLMARK_CLIENT_CERT_PASSWORD: client_cert_password is not usable: the "
       "client certificate's password is wrong"},
      {{mchId, cert + other + "/" + kClientCertP12},
       {},
       "default: client_cert_password (empty: the merchant number) is not usable"},
      {{mchId, cert + own + "/" + kClientCertPem,
        "QUILLMARK_CLIENT_KEY=" + other + "/" + kClientKeyPem},
       {},
       "environment QUILLMARK_CLIENT_KEY: client_key is not usable: the client key"},
      {{mchId, cert + own + "/" + kClientCertPem}, {}, "client_cert is not usable: "},
  };
  for (const auto& row : rows) {
    const ProgramResult result = Run(row.assignments, row.options);
    EXPECT_EQ(result.exitCode, 2) << row.message << result.out;
    EXPECT_NE(result.err.find(row.message), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("Wrong0ne"), std::string::npos) << "the password was shown";
  }
  EXPECT_TRUE(sandbox_->requests().empty()) << "a request went out with a bad certificate";
}

// config/settings.def's rows reach every place a setting shows: the generated header holds
// each default under its constant, the CMake cache a variable for each (the probes in
// tests/config try its check), and --help a line for each.
TEST(SettingRows, EachRowReachesTheHeaderTheCacheAndTheHelp) {
  const std::string header = ReadFile(QUILLMARK_GENERATED_HEADER);
  const std::string cache = ReadFile(QUILLMARK_CMAKE_CACHE);
  const TempDir work;
  const ProgramResult help = RunProgram({QUILLMARK_CYCLE_PROGRAM, "--help"}, work.path());
  ASSERT_EQ(help.exitCode, 0) << help.err;
  const MerchantSettings defaults = MerchantSettings::Defaults();
  for (const SettingKey& key : SettingKeys()) {
    SCOPED_TRACE(key.fileKey);
    const std::string& value = defaults.*key.member;
    EXPECT_EQ(key.rule(value), "") << "the default keeps its rule";
    EXPECT_NE(header.find(std::string("inline const std::string ") + key.constant + " = R\"qm(" +
                          value + ")qm\";"),
              std::string::npos);
    EXPECT_NE(cache.find("\n" + std::string(key.environment) + ":STRING=" + value + "\n"),
              std::string::npos);
    EXPECT_NE(help.out.find("  " + std::string(key.fileKey) + " (" + key.environment +
                            "): " + key.help + "\n"),
              std::string::npos)
        << help.out;
  }
}

}  // namespace
}  // namespace quillmark::sandbox
