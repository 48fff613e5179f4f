// The reports of report.h: the check of a --report target, the JUnit and JSON documents,
// and their write through a temporary file and a rename.
#include "cli/report.h"

#include <pugixml.hpp>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>
#include <system_error>

#include "cli/summary.h"
#include "platform/platform.h"
#include "protocol/operation.h"
#include "protocol/sign.h"
#include "text/codecs.h"
#include "text/encoding.h"

namespace quillmark::cli {
namespace {

namespace fs = std::filesystem;

struct FileClose {
  void operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};

// The length of the UTF-8 sequence at `text[at]` of a character XML 1.0 may hold, or 0 when
// there is none there: a stray or cut byte, an overlong form, a surrogate, U+FFFE/U+FFFF, or
// a C0 control but tab, line feed and carriage return (not even as a reference).
std::size_t XmlCharacter(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return lead >= 0x20 || lead == '\t' || lead == '\n' || lead == '\r' ? 1 : 0;
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || at + length > text.size()) return 0;
  char32_t code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ||
      code == 0xFFFE || code == 0xFFFF) {
    return 0;
  }
  return length;
}

// Text from a request or a reply as a report holds it: the key masked wherever it appears
// (a reply could echo it), and every byte XML cannot hold shown as \xNN, as the summary
// shows a control byte; valid UTF-8 stays as it is.
std::string ReportText(std::string_view bytes, const std::string& apiKey) {
  const std::string masked = MaskKey(bytes, apiKey);
  std::string text;
  for (std::size_t at = 0; at < masked.size();) {
    const std::size_t length = XmlCharacter(masked, at);
    if (length == 0) {
      text += "\\x" + HexEncode(std::string_view(masked).substr(at, 1), HexCase::kLower);
      ++at;
      continue;
    }
    text.append(masked, at, length);
    at += length;
  }
  return text;
}

// The program's own GBK text (the summary's words) in a report.
std::string WordsText(const std::string& gbk, const std::string& apiKey) {
  std::string utf8;
  AnsiToUtf8(gbk, utf8);
  return ReportText(utf8, apiKey);
}

std::string Seconds(std::chrono::steady_clock::duration elapsed) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", std::chrono::duration<double>(elapsed).count());
  return text;
}

// What a failed exchange's case holds: the request as sent and the reply as it came.
std::string ExchangeText(const StepOutcome& outcome, const std::string& apiKey) {
  return "request to " + std::string(outcome.operation->path) + ":\n" +
         ReportText(outcome.requestDocument, apiKey) + "\nreply" +
         (outcome.transfer.httpStatus != 0
              ? " (HTTP " + std::to_string(outcome.transfer.httpStatus) + ")"
              : std::string()) +
         ":\n" + ReportText(outcome.reply, apiKey) + "\n";
}

std::string ClassName(const std::string& suite) {
  std::string name;
  for (const char c : suite) name += c == ' ' ? '.' : c;
  return name;
}

// The same file: the same device and inode where both exist (links, hard links and every
// spelling of the path), otherwise the same path once absolute and resolved as far as it
// exists, for a file that is yet to be made.
bool SameFile(const std::string& a, const std::string& b) {
  const fs::path first = platform::FilePath(a);
  const fs::path second = platform::FilePath(b);
  std::error_code error;
  if (fs::exists(first, error) && fs::exists(second, error)) {
    return fs::equivalent(first, second, error);
  }
  const fs::path one = fs::weakly_canonical(fs::absolute(first, error), error);
  if (error) return a == b;
  const fs::path other = fs::weakly_canonical(fs::absolute(second, error), error);
  return error ? a == b : one == other;
}

std::string TargetWord(const ReportTarget& target) {
  return (target.kind == ReportKind::kJunit ? "junit:" : "json:") + target.path;
}

}  // namespace

std::vector<ReportStep> RunReportSteps(const ClientRunResult& run, int status) {
  std::vector<ReportStep> steps;
  for (const RunStep& one : run.steps) {
    ReportStep step;
    const ClientStepWords& words = one.words();
    step.name = Numbered(words.reportName, one.number);
    step.passed = one.passed;
    step.words = StepWords(one);
    if (one.step == ClientStep::kNotification) {
      step.verdict = one.passed ? "done" : "failed";
      step.detail = one.notification.lines;
      step.elapsed = one.notification.elapsed;
    } else {
      step.outcome = &one.outcome;
      step.verdict = StepVerdictName(VerdictOf(one.outcome));
      step.elapsed = one.outcome.elapsed;
    }
    // Refused as the scenario has it and sent again, as a merchant must: the run stands or
    // falls by the order sent again, the case after this one.
    if (one.resent) step.name += ", answered " + one.outcome.Field(kFieldErrCode);
    if (!one.contradiction.empty()) {
      step.verdict = "scenario not played";
      step.words = one.contradiction + "; " + step.words;
    }
    steps.push_back(std::move(step));
  }
  if (run.scenario != nullptr) {
    const std::vector<std::string> states = run.cycle.TradeStates();
    ReportStep step;
    step.name = std::string("scenario ") + run.scenario->name;
    step.passed = status == 0;
    step.verdict = step.passed ? "done" : "failed";
    step.words = std::string(TradeStateWords(states.empty() ? std::string() : states.back())) +
                 "; exit status " + std::to_string(status);
    steps.push_back(std::move(step));
  }
  return steps;
}

std::optional<ReportTarget> ParseReportTarget(const std::string& word, std::string& problem) {
  const std::string shown = "--report " + ShownText(word);
  const std::size_t colon = word.find(':');
  const std::string kind = word.substr(0, colon);
  if (colon == std::string::npos || (kind != "junit" && kind != "json")) {
    problem = shown + ": the report's kind must be junit or json (junit:FILE, json:FILE)";
    return std::nullopt;
  }
  ReportTarget target{kind == "junit" ? ReportKind::kJunit : ReportKind::kJson,
                      word.substr(colon + 1)};
  if (target.path.empty()) {
    problem = shown + ": names no file";
    return std::nullopt;
  }
  std::error_code error;
  const fs::path path = platform::FilePath(target.path);
  const fs::file_status status = fs::status(path, error);
  fs::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  if (fs::is_directory(status)) {
    problem = shown + ": is a folder, not a file";
  } else if (platform::IsReservedDeviceName(target.path.c_str()) ||
             (fs::exists(status) && !fs::is_regular_file(status))) {
    problem = shown + ": is not a regular file";
  } else if (!fs::is_directory(folder, error)) {
    problem = shown + ": its folder " + ShownText(platform::PathText(folder)) + " does not exist";
  } else {
    // Made and removed now, so that a folder that takes no new files is found out before
    // anything is sent, not after the run.
    std::string temporary;
    std::unique_ptr<std::FILE, FileClose> probe(
        platform::CreateTemporaryBeside(target.path, temporary));
    if (probe) {
      probe.reset();
      fs::remove(platform::FilePath(temporary), error);
      return target;
    }
    problem =
        shown + ": its folder " + ShownText(platform::PathText(folder)) + " takes no new file";
  }
  return std::nullopt;
}

bool DistinctTargets(const std::vector<ReportTarget>& targets, std::string& problem) {
  for (std::size_t i = 0; i < targets.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (!SameFile(targets[j].path, targets[i].path)) continue;
      problem = "--report " + ShownText(TargetWord(targets[i])) + ": the same file as --report " +
                ShownText(TargetWord(targets[j])) + "; each report needs a file of its own";
      return false;
    }
  }
  return true;
}

std::string JunitDocument(const Report& report, const std::string& apiKey) {
  // The common JUnit schema's testsuite: name, timestamp, hostname, the counts and time;
  // properties, the cases, system-out and system-err, each present even when empty.
  pugi::xml_document document;
  pugi::xml_node declaration = document.append_child(pugi::node_declaration);
  declaration.append_attribute("version") = "1.0";
  declaration.append_attribute("encoding") = "UTF-8";
  pugi::xml_node suite = document.append_child("testsuite");
  std::size_t failures = 0;
  for (const ReportStep& step : report.steps) failures += step.passed ? 0 : 1;
  suite.append_attribute("name") = report.suite.c_str();
  suite.append_attribute("timestamp") = report.timestamp.c_str();
  suite.append_attribute("hostname") = report.host.empty() ? "localhost" : report.host.c_str();
  suite.append_attribute("tests") = std::to_string(report.steps.size()).c_str();
  suite.append_attribute("failures") = std::to_string(failures).c_str();
  suite.append_attribute("errors") = "0";
  suite.append_attribute("time") = Seconds(report.elapsed).c_str();
  pugi::xml_node properties = suite.append_child("properties");
  for (const auto& [name, value] : report.properties) {
    pugi::xml_node property = properties.append_child("property");
    property.append_attribute("name") = name.c_str();
    property.append_attribute("value") = ReportText(value, apiKey).c_str();
  }
  const std::string className = ClassName(report.suite);
  for (const ReportStep& step : report.steps) {
    pugi::xml_node testCase = suite.append_child("testcase");
    testCase.append_attribute("name") = step.name.c_str();
    testCase.append_attribute("classname") = className.c_str();
    testCase.append_attribute("time") = Seconds(step.elapsed).c_str();
    if (step.passed) continue;
    pugi::xml_node failure = testCase.append_child("failure");
    failure.append_attribute("message") =
        (step.verdict + ": " + WordsText(step.words, apiKey)).c_str();
    failure.append_attribute("type") = step.verdict.c_str();
    std::string text = WordsText(step.detail, apiKey);
    if (step.outcome != nullptr) text += ExchangeText(*step.outcome, apiKey);
    failure.text() = text.c_str();
  }
  suite.append_child("system-out");
  suite.append_child("system-err");
  std::ostringstream out;
  document.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
  return out.str();
}

std::string JsonDocument(const Report& report, const std::string& apiKey) {
  using nlohmann::json;
  json steps = json::array();
  for (const ReportStep& step : report.steps) {
    json one = {{"name", step.name},
                {"verdict", step.verdict},
                {"passed", step.passed},
                {"words", WordsText(step.words, apiKey)},
                {"seconds", std::chrono::duration<double>(step.elapsed).count()}};
    if (!step.detail.empty()) one["detail"] = WordsText(step.detail, apiKey);
    if (const StepOutcome* outcome = step.outcome) {
      one["operation"] = outcome->operation->name;
      one["path"] = outcome->operation->path;
      one["transfer"] = {{"code", outcome->transfer.code},
                         {"message", ReportText(outcome->transfer.message, apiKey)},
                         {"http_status", outcome->transfer.httpStatus}};
      one["signature"] = VerdictName(outcome->signature.verdict);
      json request = json::object();
      for (const auto& [name, value] : outcome->request) {
        request[name] = WordsText(value, apiKey);
      }
      one["request"] = request;
      // The fields the program kept: the codes of any reply, the operation's own only
      // from a reply that verified (StepOutcome::fields).
      json reply = json::object();
      for (const auto& [name, value] : outcome->fields) reply[name] = WordsText(value, apiKey);
      one["reply_fields"] = reply;
      if (!step.passed) {
        one["request_document"] = ReportText(outcome->requestDocument, apiKey);
        one["reply"] = ReportText(outcome->reply, apiKey);
      }
    }
    steps.push_back(std::move(one));
  }
  json properties = json::object();
  for (const auto& [name, value] : report.properties) {
    properties[name] = ReportText(value, apiKey);
  }
  const json document = {{"suite", report.suite},
                         {"timestamp", report.timestamp},
                         {"host", report.host},
                         {"seconds", std::chrono::duration<double>(report.elapsed).count()},
                         {"exit_status", report.exitStatus},
                         {"properties", properties},
                         {"steps", steps}};
  return document.dump(2) + "\n";
}

bool WriteReport(const ReportTarget& target, const Report& report, const std::string& apiKey,
                 std::string& problem) {
  const std::string text = target.kind == ReportKind::kJunit ? JunitDocument(report, apiKey)
                                                             : JsonDocument(report, apiKey);
  problem = "the report " + ShownText(target.path) + " could not be written";
  std::string temporary;
  std::unique_ptr<std::FILE, FileClose> file(
      platform::CreateTemporaryBeside(target.path, temporary));
  if (!file) return false;
  bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  written = std::fflush(file.get()) == 0 && written;
  written = std::fclose(file.release()) == 0 && written;
  std::error_code error;
  const fs::path made = platform::FilePath(temporary);
  if (written) fs::rename(made, platform::FilePath(target.path), error);
  if (!written || error) {
    fs::remove(made, error);
    return false;
  }
  problem.clear();
  return true;
}

std::string ReportTimestamp() {
  const std::tm utc = platform::UtcCalendar(std::time(nullptr));
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return text;
}

}  // namespace quillmark::cli
