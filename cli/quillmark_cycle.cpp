// quillmark-cycle: one order cycle, exactly as the desktop program's pay button runs it,
// for scripts and CI; or, as `quillmark-cycle query|close|refund|refundquery OUT_TRADE_NO`,
// one request about an order placed before (one paid from a phone, say). The merchant,
// the platform's address and the bitmap path are the build's configuration, overridden by
// a settings file (--config FILE, or the per-user one) and by QUILLMARK_* environment
// variables. No option takes the key: a command line shows in the process list.
//
// The request and reply lines come first, as the cycle writes them; then a summary of
// what each step obtained, the verdict on each reply's signature included.
//
// Exit status: 0 when the unified order returned an order number (or the command's request
// was done, as its operation judges it) and every signed reply verified; 1 when no order
// number was obtained (or the request was not done); 2 for a bad option or setting
// (nothing is sent); 3 when a reply failed verification: its sign did not match, a SUCCESS
// reply came without one, or a field read by its tags is not the signed one. Such a
// reply's payment link or trade state is not used.
#include <CLI/CLI.hpp>

#include <chrono>
#include <memory>

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "cli/documents.h"
#include "cli/notifications.h"
#include "payment/encoding.h"
#include "payment/merchant_settings.h"
#include "payment/quillmark_ops.h"
#include "payment/request_ids.h"
#include "platform/platform.h"

namespace {

using quillmark::SignatureVerdict;
using quillmark::StepOutcome;
using quillmark::StepVerdict;

constexpr int kNoOrder = 1;
constexpr int kBadUsage = 2;
constexpr int kBadSignature = 3;

const char* BitmapNote(quillmark::qr::SaveResult result) {
  using quillmark::qr::SaveResult;
  switch (result) {
    case SaveResult::kWritten:
      return "";
    case SaveResult::kNotEncoded:
      return "  (not written: the payment link does not fit a QR symbol)";
    case SaveResult::kOutOfMemory:
    case SaveResult::kCannotOpen:
    case SaveResult::kCannotWrite:
      break;
  }
  return "  (not written, see above)";
}

// One line on how a step's exchange went: the transfer, the HTTP status, the reply's
// codes and the signature verdict.
std::string Exchange(const StepOutcome& step) {
  std::string text;
  const auto add = [&text](const std::string& part) {
    if (!text.empty()) text += ", ";
    text += part;
  };
  if (!step.transfer.ok()) {
    add("transfer failed (RetCode " + std::to_string(step.transfer.code) + " " +
        step.transfer.message + ")");
  }
  if (step.transfer.httpStatus != 0) add("HTTP " + std::to_string(step.transfer.httpStatus));
  const std::string& returnCode = step.Field(quillmark::kFieldReturnCode);
  for (const char* name :
       {quillmark::kFieldReturnCode, quillmark::kFieldReturnMsg, quillmark::kFieldResultCode,
        quillmark::kFieldErrCode, quillmark::kFieldErrCodeDes}) {
    const std::string& value = step.Field(name);
    // A success's message says nothing.
    if (value.empty() || (name == quillmark::kFieldReturnMsg && returnCode == "SUCCESS")) continue;
    add(std::string(name) + " " + value);
  }
  add(std::string("signature ") + quillmark::VerdictName(step.signature.verdict));
  // The reply's words, shown on a terminal: no escape sequence of theirs may act there.
  return quillmark::EscapeControls(text);
}

// For a reply that failed verification: why, and for a mismatch what the sign should have
// been, and over what.
void PrintMismatch(const char* reply, const StepOutcome& step) {
  const quillmark::ReplySignature& signature = step.signature;
  switch (signature.verdict) {
    case SignatureVerdict::kMismatch:
      std::cout << "  " << reply << ": the reply's sign "
                << quillmark::EscapeControls(signature.received) << " is not the expected "
                << signature.expected << ", the upper-case MD5 of the UTF-8 bytes of \""
                << quillmark::EscapeControls(signature.maskedSignString) << "\"\n";
      break;
    case SignatureVerdict::kMissing:
      std::cout << "  " << reply << ": return_code SUCCESS without a sign; the platform signs"
                << " every such reply\n";
      break;
    case SignatureVerdict::kAmbiguous:
      std::cout << "  " << reply << ": its " << signature.field << " read by its tags is not"
                << " the signed field (hidden in a comment or declaration, repeated or split)\n";
      break;
    default:
      break;
  }
}

// Where each setting came from; the key's value is never shown.
void PrintSettings(const quillmark::LoadedSettings& settings) {
  std::cout << "Settings:\n";
  for (const quillmark::SettingKey& key : quillmark::SettingKeys()) {
    const std::string value = key.secret ? "********" : settings.merchant.*key.member;
    std::cout << "  " << key.fileKey << std::string(18 - std::string(key.fileKey).size(), ' ')
              << (value.empty() ? "(empty)" : quillmark::ShownText(value)) << "  ("
              << quillmark::ShownText(settings.origins.at(key.fileKey).Describe()) << ")\n";
  }
}

// "(trade_state not trusted)", "(no trade_state)" or the state, for a query's line: the
// value of `field`, the step's result.
std::string ResultOf(const StepOutcome& step, const char* field) {
  if (quillmark::VerificationFailed(step.signature.verdict)) {
    return std::string("(") + field + " not trusted)";
  }
  if (step.Field(field).empty()) return std::string("(no ") + field + ")";
  return quillmark::EscapeControls(step.Field(field));
}

std::string StateOf(const StepOutcome& query) {
  return ResultOf(query, quillmark::kFieldTradeState);
}

// A command that makes one request about an order, and how its summary words the outcome.
struct OrderCommand {
  const char* name;
  const quillmark::Operation* operation;
  const char* help;
  const char* label;  // the summary line's start, padded like the cycle's
  // What the line says when the request was done and when not; null: the request's
  // result, the operation's first reply field (a state).
  const char* done;
  const char* notDone;
  const char* reply;  // how a failed verification names the reply
};

const OrderCommand kOrderCommands[] = {
    {"query", &quillmark::kOrderQueryOperation,
     "query the state of one order, such as one paid from a phone, and print it",
     "Query:         ", nullptr, nullptr, "query reply"},
    {"close", &quillmark::kCloseOrderOperation,
     "close one order that was not paid, so that it can no longer be paid",
     "Close order:   ", "closed", "not closed", "close reply"},
    {"refund", &quillmark::kRefundOperation, "refund one paid order, its whole amount",
     "Refund:        ", "refunded", "not refunded", "refund reply"},
    {"refundquery", &quillmark::kRefundQueryOperation,
     "ask how the refund of one order went, and print its status", "Refund query:  ", nullptr,
     nullptr, "refund query reply"},
};

// The last line of a summary, and the exit status it stands for.
int Verdict(bool failedVerification) {
  if (failedVerification) {
    std::cout << "A reply failed verification: it was changed on the way, or the platform"
              << " signs with another key than this build's.\n";
  } else {
    std::cout << "Every signed reply verified.\n";
  }
  std::cout << std::flush;
  return failedVerification ? kBadSignature : 0;
}

int SummariseCycle(const quillmark::CQuillmarkOps::CycleResult& result,
                   quillmark::cli::NotificationWait* notifications) {
  std::cout << "Unified order: " << Exchange(result.order) << '\n';
  PrintMismatch("unified order reply", result.order);
  bool mismatch = quillmark::VerificationFailed(result.order.signature.verdict);
  if (result.orderNo.empty()) {
    if (mismatch) {
      std::cout << "No order number: the unified order's reply failed verification, so its"
                << " payment link is not used.\n";
      return kBadSignature;
    }
    std::cout << "No order number: the unified order returned no payment link"
              << (result.order.transfer.ok() &&
                          result.order.signature.verdict == SignatureVerdict::kUnreadable
                      ? " that could be verified"
                      : "")
              << " (see the lines above).\n";
    if (notifications != nullptr) notifications->Summarise("", std::cout);
    return kNoOrder;
  }
  std::cout << "Order number:  " << result.orderNo << '\n';
  for (std::size_t i = 0; i < result.queries.size(); ++i) {
    const StepOutcome& query = result.queries[i];
    std::cout << "Query " << i + 1 << ":       " << StateOf(query) << "  (" << Exchange(query)
              << ")\n";
    PrintMismatch(i == 0 ? "query 1 reply" : "query 2 reply", query);
    mismatch = mismatch || quillmark::VerificationFailed(query.signature.verdict);
  }
  const std::filesystem::path bitmap = quillmark::platform::FilePath(result.bitmapPath);
  std::error_code error;
  const auto absolute = std::filesystem::absolute(bitmap, error);
  std::cout << "QR bitmap:     "
            << quillmark::ShownText(quillmark::platform::PathText(error ? bitmap : absolute))
            << BitmapNote(result.bitmap.value_or(quillmark::qr::SaveResult::kNotEncoded)) << '\n';
  const int status = Verdict(mismatch);
  if (notifications == nullptr) return status;
  // A reply that failed verification outranks what the notification says.
  const int notified = notifications->Summarise(result.orderNo, std::cout);
  return status != 0 ? status : notified;
}

// One request about an order named on the command line. Exit 0 when the platform did what
// was asked and its reply verified, 1 when it did not (or nothing came back).
int SummariseStep(const OrderCommand& command, const std::string& orderNo,
                  const StepOutcome& step) {
  const bool done = quillmark::VerdictOf(step) == StepVerdict::kDone;
  std::cout << "Order number:  " << orderNo << '\n';
  const auto refundNo = step.request.find(quillmark::kFieldOutRefundNo);
  if (refundNo != step.request.end()) std::cout << "Refund number: " << refundNo->second << '\n';
  std::cout << command.label
            << (command.done == nullptr ? ResultOf(step, step.operation->replyFields.front())
                : done                  ? command.done
                                        : command.notDone)
            << "  (" << Exchange(step) << ")\n";
  PrintMismatch(command.reply, step);
  if (quillmark::VerificationFailed(step.signature.verdict)) return Verdict(true);
  const int status = Verdict(false);
  return done ? status : kNoOrder;
}

// What the command line asked for.
struct CommandLine {
  std::optional<std::string> config;
  std::string orderNo;        // a command's OUT_TRADE_NO
  std::string document;       // sign's or verify's FILE
  std::optional<double> awaitNotify;
  std::vector<std::pair<const OrderCommand*, CLI::App*>> commands;
  CLI::App* sign = nullptr;
  CLI::App* verify = nullptr;

  // The order command given, or null.
  const OrderCommand* Chosen() const {
    const OrderCommand* chosen = nullptr;
    for (const auto& [command, sub] : commands) {
      if (sub->parsed()) chosen = command;
    }
    return chosen;
  }
};

// Every option and command of `app`, read into `line`.
void DefineOptions(CLI::App& app, CommandLine& line) {
  app.add_option("--config", line.config, "settings file to read instead of the per-user one")
      ->option_text("FILE");
  app.set_version_flag("--version", std::string("quillmark-cycle ") + QUILLMARK_VERSION);
  for (const OrderCommand& command : kOrderCommands) {
    CLI::App* sub = app.add_subcommand(command.name, command.help);
    sub->add_option("OUT_TRADE_NO", line.orderNo, "the order's number, as the cycle printed it")
        ->required();
    line.commands.emplace_back(&command, sub);
  }
  line.sign = app.add_subcommand(
      "sign",
      "print the sign string (the key masked) and the sign, under the configured key, of "
      "a request, reply or notification document (- for standard input)");
  line.verify = app.add_subcommand(
      "verify",
      "check the sign of a reply or notification document as the cycle checks a reply "
      "(- for standard input); exit 0 when it verified, 3 otherwise");
  for (CLI::App* command : {line.sign, line.verify}) {
    command->add_option("FILE", line.document, "the document, UTF-8 as on the wire")->required();
  }
  app.add_option("--await-notify", line.awaitNotify,
                 "listen for the order's payment notification at notify_url (or notify_listen) "
                 "from before the first request, and wait up to SECONDS after the cycle for it")
      ->option_text("SECONDS")
      ->check(CLI::Range(0.0, 3600.0));
  app.require_subcommand(0, 1);
  app.footer(
      "Settings: the build's defaults, then the settings file ([merchant] appid, mch_id, "
      "api_key, spbill_create_ip, notify_url, api_base, ca_file, qr_path, notify_listen), "
      "then the environment (QUILLMARK_APPID, ... QUILLMARK_NOTIFY_LISTEN).\n"
      "Exit status: 0 order placed (or the command's request done) and every signed reply "
      "verified, 1 no order number (or the request not done), 2 bad option, setting or "
      "order number, 3 a reply (or the order's notification, or the document given to verify) "
      "failed verification, 4 no verified notification arrived in time (--await-notify).");
}

// Parses the command line's UTF-8 words into `app`. Nothing when the program is to go on;
// otherwise the status it ends with, after --help or --version, or a message on standard
// error.
std::optional<int> Parse(CLI::App& app, const std::vector<std::string>& words) {
  std::vector<const char*> arguments;
  for (const std::string& word : words) arguments.push_back(word.c_str());
  try {
    app.parse(static_cast<int>(arguments.size()), arguments.data());
  } catch (const CLI::ExtrasError&) {
    // Named by their option words only: a stray value could be a key typed on the
    // command line, and must not be echoed.
    std::string unknown;
    for (std::size_t i = 1; i < words.size(); ++i) {
      const std::string& word = words[i];
      if (word.rfind('-', 0) == 0 && word != "--config") unknown += " " + word;
    }
    std::cerr << "quillmark-cycle: unknown option"
              << (unknown.empty() ? " or argument" : quillmark::ShownText(unknown))
              << "\nRun with --help for more information.\n";
    return kBadUsage;
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : kBadUsage;
  }
  return std::nullopt;
}

// The cycle, or the one request of `chosen` when not null, and its summary. Listening for
// the notification fills in notify_url's port in `settings` when it was 0.
int RunRequests(const CommandLine& line, const OrderCommand* chosen,
                quillmark::LoadedSettings& settings) {
  // Listening before the first request: the platform notifies as soon as the order is paid,
  // which may be during the cycle itself.
  std::unique_ptr<quillmark::cli::NotificationWait> notifications;
  if (line.awaitNotify && chosen == nullptr) {
    notifications = std::make_unique<quillmark::cli::NotificationWait>(
        settings.merchant,
        std::chrono::milliseconds(static_cast<long long>(*line.awaitNotify * 1000)));
  }

  quillmark::CQuillmarkOps::Settings opsSettings =
      quillmark::CQuillmarkOps::Settings::FromMerchant(settings.merchant);
  // On a terminal a reply's escape sequences would act (retitle it, clear it, print a fake
  // verdict over the summary); into a pipe or a file the reply stays as it came.
  opsSettings.escapeReplyControls = quillmark::platform::StandardOutputIsTerminal();
  quillmark::CQuillmarkOps ops(opsSettings);
  if (chosen != nullptr) {
    const StepOutcome step = ops.Run(*chosen->operation, line.orderNo);
    std::cout << "\n--- summary ---\n";
    PrintSettings(settings);
    return SummariseStep(*chosen, line.orderNo, step);
  }
  const quillmark::CQuillmarkOps::CycleResult result =
      ops.RunOrderCycle(nullptr, [&notifications](const std::string& placed) {
        if (notifications) notifications->Expect(placed);
      });
  std::cout << "\n--- summary ---\n";
  PrintSettings(settings);
  return SummariseCycle(result, notifications.get());
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "One order cycle against the payment platform: a unified order, its QR "
      "bitmap and two order queries. Or, with a command, one request about an order.",
      "quillmark-cycle");
  CommandLine line;
  DefineOptions(app, line);
  // UTF-8 words, so that a --config path in a folder with a Chinese name reaches the file.
  if (const std::optional<int> status =
          Parse(app, quillmark::platform::CommandLineArguments(argc, argv))) {
    return *status;
  }

  const OrderCommand* chosen = line.Chosen();
  if (chosen != nullptr && !quillmark::IsOutTradeNoForm(line.orderNo)) {
    // Not echoed: a stray word on the command line could be a key.
    std::cerr << "quillmark-cycle: OUT_TRADE_NO must be an order number as the unified order"
              << " makes them: 17 digits, then 15 letters or digits\n";
    return kBadUsage;
  }

  quillmark::LoadedSettings settings;
  std::string problem;
  if (!quillmark::LoadSettings(line.config, quillmark::ProcessEnvironment(), settings, problem)) {
    std::cerr << "quillmark-cycle: " << quillmark::ShownText(problem) << '\n';
    return kBadUsage;
  }
  for (const std::string& warning : settings.warnings) {
    std::cerr << quillmark::ShownText(warning) << '\n';
  }
  if (line.sign->parsed()) {
    return quillmark::cli::SignDocument(line.document, settings.merchant, std::cout);
  }
  if (line.verify->parsed()) {
    return quillmark::cli::VerifyDocument(line.document, settings.merchant, std::cout);
  }
  return RunRequests(line, chosen, settings);
}
