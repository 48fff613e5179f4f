// quillmark-cycle --report against the sandbox: the JUnit and JSON reports of a passing, a
// failing and a scenario's cycle; the targets refused before anything is sent; and a run
// killed while it waits, which must leave the report that was there.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "config/merchant_config.h"
#include "sandbox/sandbox.h"
#include "tests/support/free_port.h"
#include "tests/support/local_https_server.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using namespace testsupport;

std::vector<std::string> ReportCommand(Sandbox& sandbox, const TempDir& work,
                                       const std::vector<std::string>& options) {
  std::vector<std::string> argv =
      DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work.path(), sandbox.baseUrl());
  argv.insert(argv.end() - 1, "QUILLMARK_NOTIFY_URL=http://127.0.0.1:0/quillmark/notify");
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

// The rules of the common JUnit schema (a lone <testsuite> root) that a reader relies on,
// checked on the document; each broken one named. No validator is installed for the tests.
std::vector<std::string> JunitSchemaProblems(const pugi::xml_document& document) {
  std::vector<std::string> problems;
  const std::regex integer("[0-9]+");
  const std::regex decimal("[0-9]+(\\.[0-9]+)?");
  const std::regex timestamp("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}");
  const std::regex nonEmpty(".+");
  const auto require = [&](pugi::xml_node node, const char* name, const std::regex& form) {
    const pugi::xml_attribute attribute = node.attribute(name);
    if (!attribute || !std::regex_match(attribute.value(), form)) {
      problems.push_back(std::string(node.name()) + "@" + name + " missing or malformed");
    }
  };
  const pugi::xml_node suite = document.document_element();
  if (std::string(suite.name()) != "testsuite") return {"the root is not testsuite"};
  const struct {
    const char* name;
    const std::regex* form;
  } suiteAttributes[] = {{"name", &nonEmpty}, {"timestamp", &timestamp}, {"hostname", &nonEmpty},
                         {"tests", &integer}, {"failures", &integer},    {"errors", &integer},
                         {"time", &decimal}};
  for (const auto& rule : suiteAttributes) require(suite, rule.name, *rule.form);
  // properties, the cases, system-out, system-err: in that order, the three always there.
  std::vector<std::string> order;
  int cases = 0;
  int failures = 0;
  for (pugi::xml_node child : suite.children()) {
    const std::string name = child.name();
    if (order.empty() || order.back() != name) order.push_back(name);
    if (name != "testcase") continue;
    ++cases;
    for (const char* attribute : {"name", "classname"}) require(child, attribute, nonEmpty);
    require(child, "time", decimal);
    int outcomes = 0;
    for (pugi::xml_node inner : child.children()) {
      const std::string kind = inner.name();
      if (kind != "failure" && kind != "error") problems.push_back("testcase holds " + kind);
      ++outcomes;
      failures += kind == "failure" ? 1 : 0;
      require(inner, "type", nonEmpty);
    }
    if (outcomes > 1) problems.push_back("a testcase with more than one failure or error");
  }
  const std::vector<std::string> expected =
      cases == 0 ? std::vector<std::string>{"properties", "system-out", "system-err"}
                 : std::vector<std::string>{"properties", "testcase", "system-out", "system-err"};
  if (order != expected) problems.push_back("testsuite's children are not in the schema's order");
  for (pugi::xml_node property : suite.child("properties").children()) {
    if (std::string(property.name()) != "property" || !property.attribute("name") ||
        !property.attribute("value")) {
      problems.push_back("a malformed property");
    }
  }
  if (suite.attribute("tests").as_int() != cases) problems.push_back("tests is not the count");
  if (suite.attribute("failures").as_int() != failures) {
    problems.push_back("failures is not the count");
  }
  return problems;
}

TEST(CycleReport, JunitAndJsonTellEachStepOfAPassingAndAFailingCycle) {
  const struct {
    const char* what;
    Fault fault;
    std::vector<std::string> options;  // after the reports
    int exitCode;
    std::vector<std::string> cases;  // the cases, in order
    std::set<std::string> failed;    // those that failed
    const char* inFailure;           // what the failed case's text holds, or null
  } rows[] = {
      {"paid", Fault::kNone, {}, 0, {"unified order", "query 1", "query 2"}, {}, nullptr},
      {"HTTP 500",
       Fault::kHttp500,
       {},
       1,
       {"unified order"},
       {"unified order"},
       "<title>500 Internal Server Error</title>"},
      {"changed after signing",
       Fault::kBadSign,
       {},
       3,
       {"unified order"},
       {"unified order"},
       "<return_code><![CDATA[SUCCESS]]></return_code>"},
      {"refund refused, awaited",
       Fault::kNone,
       {"--scenario", "refund-fails", "--await-notify", "10"},
       1,
       {"unified order", "query 1", "query 2", "refund", "notification", "scenario refund-fails"},
       {"refund", "scenario refund-fails"},
       "<err_code><![CDATA[NOTENOUGH]]></err_code>"},
      {"close of an order never placed",
       Fault::kNone,
       {"close", "20261210000000000NeverPlaced0001"},
       1,
       {"close"},
       {"close"},
       "<err_code><![CDATA[ORDERNOTEXIST]]></err_code>"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Options options;
    options.port = 0;
    options.payAfterQueries = 1;
    options.fault = row.fault;
    SharedLog log;
    options.log = &log;
    Sandbox sandbox(options);
    std::string error;
    ASSERT_TRUE(sandbox.Start(&error)) << error;
    TempDir work;
    std::vector<std::string> arguments = {"--report", "junit:r.xml", "--report", "json:r.json"};
    arguments.insert(arguments.end(), row.options.begin(), row.options.end());
    const ProgramResult result = RunProgram(ReportCommand(sandbox, work, arguments), work.path());
    sandbox.Stop();
    SCOPED_TRACE(result.out + "\nstderr:\n" + result.err);
    EXPECT_EQ(result.exitCode, row.exitCode);
    EXPECT_EQ(result.err, "");

    const std::string junit = ReadFile(work.path() + "/r.xml");
    const std::string json = ReadFile(work.path() + "/r.json");
    // The key signs the request and never travels; a report holds the sign alone.
    EXPECT_EQ(junit.find(kApiKey), std::string::npos);
    EXPECT_EQ(json.find(kApiKey), std::string::npos);

    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(junit.c_str())) << junit;
    // A second declaration is no XML at all, though pugixml reads past it.
    EXPECT_EQ(junit.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u);
    EXPECT_EQ(junit.find("<?xml", 1), std::string::npos);
    EXPECT_EQ(JunitSchemaProblems(document), std::vector<std::string>{}) << junit;
    std::vector<std::string> cases;
    for (pugi::xml_node one : document.document_element().children("testcase")) {
      cases.push_back(one.attribute("name").value());
      const pugi::xml_node failure = one.child("failure");
      EXPECT_EQ(static_cast<bool>(failure), row.failed.count(cases.back()) == 1) << cases.back();
      if (!failure || cases.back() != *row.failed.begin()) continue;
      const std::string text = failure.text().get();
      EXPECT_NE(text.find(row.inFailure), std::string::npos) << text;
      EXPECT_NE(text.find("<sign>"), std::string::npos) << "the request as sent: " << text;
      EXPECT_NE(std::string(failure.attribute("message").value()).find(": "), std::string::npos);
    }
    EXPECT_EQ(cases, row.cases);

    const nlohmann::json report = nlohmann::json::parse(json);
    EXPECT_EQ(report["exit_status"], row.exitCode);
    // Which signing the run used: a merchant comparing two runs must see it.
    EXPECT_EQ(report["properties"]["sign_type"], "MD5");
    EXPECT_EQ(report["properties"].count("profile"), 0u);
    ASSERT_EQ(report["steps"].size(), row.cases.size());
    for (std::size_t i = 0; i < row.cases.size(); ++i) {
      const nlohmann::json& step = report["steps"][i];
      EXPECT_EQ(step["name"], row.cases[i]);
      EXPECT_EQ(step["passed"], row.failed.count(row.cases[i]) == 0) << row.cases[i];
    }
    const nlohmann::json& order = report["steps"][0];
    if (row.exitCode == 0) {
      EXPECT_EQ(order["signature"], "verified");
      EXPECT_EQ(order["reply_fields"]["code_url"].get<std::string>().rfind("https://", 0), 0u);
      EXPECT_EQ(report["steps"][2]["reply_fields"]["trade_state"], "SUCCESS");
      EXPECT_EQ(report["properties"]["out_trade_no"], order["request"]["out_trade_no"]);
    } else if (row.fault != Fault::kNone) {
      // Nothing of a reply that failed or did not verify is acted on, nor reported as read.
      EXPECT_EQ(order["reply_fields"].count("code_url"), 0u);
      EXPECT_EQ(order["verdict"], row.fault == Fault::kBadSign ? "untrusted" : "failed");
    }
  }
}

// The report's host is api_base's host as a reader compares it: an IPv6 literal without its
// brackets. Whether the cycle reaches it does not matter (the sandbox's certificate names no
// IPv6 address), only that the report is written and names it.
TEST(CycleReport, TheHostIsApiBasesHostWithoutBrackets) {
  const int port = quillmark::testsupport::FreePort();
  const struct {
    std::string apiBase;
    const char* host;
  } rows[] = {
      {"https://127.0.0.1:" + std::to_string(port), "127.0.0.1"},
      {"https://[::1]:" + std::to_string(port), "::1"},
      {"https://localhost:" + std::to_string(port), "localhost"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.apiBase);
    TempDir work;
    std::vector<std::string> argv =
        DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work.path(), row.apiBase);
    argv.insert(argv.end() - 1, "QUILLMARK_NOTIFY_URL=http://127.0.0.1:0/quillmark/notify");
    argv.insert(argv.end(), {"--report", "json:r.json"});
    const ProgramResult result = RunProgram(argv, work.path());
    SCOPED_TRACE(result.out + "\nstderr:\n" + result.err);
    const std::string json = ReadFile(work.path() + "/r.json");
    ASSERT_TRUE(nlohmann::json::accept(json)) << json;
    EXPECT_EQ(nlohmann::json::parse(json)["host"], row.host);
  }
}

// Each refused before anything is sent, with the word named; no report is left behind.
TEST(CycleReport, AnUnwritableTargetIsABadOption) {
  Options options;
  options.port = 0;
  Sandbox sandbox(options);
  std::string error;
  ASSERT_TRUE(sandbox.Start(&error)) << error;
  TempDir work;
  std::filesystem::create_directory(work.path() + "/folder");
  const struct {
    std::string word;
    const char* message;
  } rows[] = {
      {"xml:r.xml",
       "--report xml:r.xml: the report's kind must be junit or json (junit:FILE, "
       "json:FILE)"},
      {"r.xml", "--report r.xml: the report's kind must be junit or json (junit:FILE, json:FILE)"},
      {"junit:", "--report junit:: names no file"},
      {"junit:missing/r.xml", "--report junit:missing/r.xml: its folder missing does not exist"},
      {"json:folder", "--report json:folder: is a folder, not a file"},
      {"junit:/proc/r.xml", "--report junit:/proc/r.xml: its folder /proc takes no new file"},
      {"junit:/dev/null", "--report junit:/dev/null: is not a regular file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.word);
    const ProgramResult result = RunProgram(
        ReportCommand(sandbox, work, {"--report", "json:good.json", "--report", row.word}),
        work.path());
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, std::string("quillmark-cycle: ") + row.message + "\n");
    EXPECT_FALSE(std::filesystem::exists(work.path() + "/good.json"));
  }
  EXPECT_TRUE(sandbox.requests().empty()) << "a request despite a bad --report";
}

// Two reports in one file would leave one of them: refused before anything is sent, with
// both words named, whether the path is spelt the same, otherwise, or through a linked
// folder to a file that is there (the same device and inode).
TEST(CycleReport, OneFileForTwoReportsIsABadOption) {
  Options options;
  options.port = 0;
  Sandbox sandbox(options);
  std::string error;
  ASSERT_TRUE(sandbox.Start(&error)) << error;
  TempDir work;
  std::filesystem::create_directory(work.path() + "/folder");
  std::filesystem::create_directory_symlink("folder", work.path() + "/linked");
  const std::string before = "<?xml version=\"1.0\"?><testsuite name=\"the run before\"/>\n";
  std::ofstream(work.path() + "/folder/old.xml", std::ios::binary) << before;
  const struct {
    const char* first;
    const char* second;
  } rows[] = {
      {"json:r.json", "junit:r.json"},
      {"junit:r.xml", "junit:r.xml"},
      {"junit:r.xml", "json:./folder/../r.xml"},
      {"junit:folder/old.xml", "json:linked/old.xml"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.first) + " " + row.second);
    const ProgramResult result = RunProgram(
        ReportCommand(sandbox, work, {"--report", row.first, "--report", row.second}), work.path());
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, std::string("quillmark-cycle: --report ") + row.second +
                              ": the same file as --report " + row.first +
                              "; each report needs a file of its own\n");
  }
  EXPECT_TRUE(sandbox.requests().empty()) << "a request despite two reports in one file";
  EXPECT_FALSE(std::filesystem::exists(work.path() + "/r.json"));
  EXPECT_FALSE(std::filesystem::exists(work.path() + "/r.xml"));
  EXPECT_EQ(ReadFile(work.path() + "/folder/old.xml"), before);
}

// A run killed while it waits for the notification leaves the report of the run before,
// byte for byte, and no temporary file beside it.
TEST(CycleReport, AKilledRunLeavesTheReportThatWasThere) {
  Options options;
  options.port = 0;
  options.payAfterQueries = 1;
  options.notify = false;
  SharedLog log;
  options.log = &log;
  Sandbox sandbox(options);
  std::string error;
  ASSERT_TRUE(sandbox.Start(&error)) << error;
  TempDir work;
  const std::string report = work.path() + "/r.xml";
  const std::string before = "<?xml version=\"1.0\"?><testsuite name=\"the run before\"/>\n";
  std::ofstream(report, std::ios::binary) << before;
  ChildProcess cycle(
      ReportCommand(sandbox, work, {"--report", "junit:r.xml", "--await-notify", "60"}),
      work.path(), work.path());
  ASSERT_TRUE(cycle.started());
  ASSERT_TRUE(cycle.WaitForOutput("Every signed reply verified.\n", std::chrono::seconds(60)));
  cycle.Signal(SIGKILL);
  const ProgramResult result = cycle.Wait();
  EXPECT_EQ(result.signal, SIGKILL);
  EXPECT_EQ(ReadFile(report), before);
  for (const auto& entry : std::filesystem::directory_iterator(work.path())) {
    EXPECT_EQ(entry.path().filename().string().rfind("r.xml.", 0), std::string::npos)
        << entry.path();
  }
}

// A write that fails half way (the file size limit, its signal ignored, so that the write
// itself fails as on a full disk) leaves each report of the run before byte for byte, and
// no temporary file beside it; standard error says so and the exit status stays the run's.
// The same run without the limit writes reports larger than it, so the limit did cut.
TEST(CycleReport, AFailedWriteLeavesTheReportThatWasThere) {
  Options options;
  options.port = 0;
  options.payAfterQueries = 1;
  SharedLog log;
  options.log = &log;
  Sandbox sandbox(options);
  std::string error;
  ASSERT_TRUE(sandbox.Start(&error)) << error;
  TempDir work;
  const std::string before = "<?xml version=\"1.0\"?><testsuite name=\"the run before\"/>\n";
  const std::vector<std::string> reports = {"r.xml", "r.json"};
  for (const std::string& name : reports) {
    std::ofstream(work.path() + "/" + name, std::ios::binary) << before;
  }
  const std::vector<std::string> command =
      ReportCommand(sandbox, work, {"--report", "junit:r.xml", "--report", "json:r.json"});
  // 1 block: 512 bytes, for POSIX shells (bash as sh too); standard output, longer, goes
  // nowhere.
  std::vector<std::string> limited = {"/bin/sh", "-c",
                                      "trap '' XFSZ; ulimit -f 1 && exec \"$@\" >/dev/null", "sh"};
  limited.insert(limited.end(), command.begin(), command.end());
  const ProgramResult result = RunProgram(limited, work.path());
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.err,
            "quillmark-cycle: the report r.xml could not be written\n"
            "quillmark-cycle: the report r.json could not be written\n");
  for (const std::string& name : reports) {
    EXPECT_EQ(ReadFile(work.path() + "/" + name), before) << name;
  }
  for (const auto& entry : std::filesystem::directory_iterator(work.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name.rfind("r.xml.", 0) == std::string::npos &&
                name.rfind("r.json.", 0) == std::string::npos)
        << "a temporary file left: " << name;
  }

  const ProgramResult unlimited = RunProgram(command, work.path());
  EXPECT_EQ(unlimited.exitCode, 0) << unlimited.err;
  for (const std::string& name : reports) {
    EXPECT_GT(std::filesystem::file_size(work.path() + "/" + name), 512u) << name;
  }
}

// Where `text` breaks XML 1.0's Char production (tab, line feed, carriage return, U+0020 to
// U+D7FF, U+E000 to U+FFFD, U+10000 up), as a byte or as a character reference: "" when
// nowhere. Written apart from the report's own escaping, which it checks.
std::string XmlCharProblem(const std::string& text) {
  const auto allowed = [](unsigned long c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
  };
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80           ? 1
                               : (lead >> 5) == 0x6  ? 2
                               : (lead >> 4) == 0xE  ? 3
                               : (lead >> 3) == 0x1E ? 4
                                                     : 0;
    if (length == 0 || at + length > text.size()) return "a stray byte at " + std::to_string(at);
    unsigned long c = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
      const auto next = static_cast<unsigned char>(text[at + i]);
      if ((next >> 6) != 0x2) return "a cut sequence at " + std::to_string(at);
      c = (c << 6) | (next & 0x3Fu);
    }
    if (!allowed(c)) return "character " + std::to_string(c) + " at " + std::to_string(at);
    at += length;
  }
  const std::regex reference("&#(x[0-9A-Fa-f]+|[0-9]+);");
  for (std::sregex_iterator it(text.begin(), text.end(), reference), end; it != end; ++it) {
    const std::string number = (*it)[1];
    const unsigned long c =
        number[0] == 'x' ? std::stoul(number.substr(1), nullptr, 16) : std::stoul(number);
    if (!allowed(c)) return "a reference to character " + std::to_string(c);
  }
  return "";
}

// A reply's control bytes and a byte that is no UTF-8, from a stand-in platform: both
// reports show them as \xNN. The JUnit report stays XML 1.0 (a C0 control is not even
// allowed as a reference) and the JSON report stays JSON, its strings free of them too.
TEST(CycleReport, AReplysControlBytesAreEscapedInBothReports) {
  const std::string reply =
      "<xml><return_code><![CDATA[FAIL]]></return_code><return_msg><![CDATA[no\x01 \x1b[31mred"
      "\x0b \xff end]]></return_msg><!-- \x0c\x1f --></xml>";
  quillmark::testsupport::LocalHttpsServer server;
  server.Reply("/pay/unifiedorder", reply);
  server.Start();
  ASSERT_TRUE(server.ok());
  TempDir work;
  std::vector<std::string> argv =
      DefaultMerchantCommand(QUILLMARK_CYCLE_PROGRAM, work.path(), server.Url(""));
  argv.insert(argv.end(), {"--report", "junit:r.xml", "--report", "json:r.json"});
  const ProgramResult result = RunProgram(argv, work.path());
  EXPECT_EQ(result.exitCode, 1) << result.out << result.err;

  const std::string junit = ReadFile(work.path() + "/r.xml");
  EXPECT_EQ(XmlCharProblem(junit), "") << junit;
  pugi::xml_document document;
  ASSERT_TRUE(document.load_string(junit.c_str())) << junit;
  const std::string failure =
      document.document_element().child("testcase").child("failure").text().get();
  for (const char* shown : {"no\\x01 \\x1b[31mred\\x0b \\xff end", "<!-- \\x0c\\x1f -->"}) {
    EXPECT_NE(failure.find(shown), std::string::npos) << shown << " in\n" << failure;
  }

  nlohmann::json json;
  ASSERT_NO_THROW(json = nlohmann::json::parse(ReadFile(work.path() + "/r.json")));
  const std::string replied = json["steps"][0]["reply"].get<std::string>();
  EXPECT_EQ(XmlCharProblem(replied), "") << replied;
  EXPECT_NE(replied.find("no\\x01 \\x1b[31mred\\x0b \\xff end"), std::string::npos) << replied;
  EXPECT_EQ(XmlCharProblem(json["steps"][0]["reply_fields"]["return_msg"].get<std::string>()), "");
}

}  // namespace
}  // namespace quillmark::sandbox
