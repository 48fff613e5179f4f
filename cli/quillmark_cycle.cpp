// quillmark-cycle: one order cycle, exactly as the desktop program's pay button runs it,
// for scripts and CI; or, as `quillmark-cycle query|close|refund|refundquery OUT_TRADE_NO`,
// one request about an order placed before (one paid from a phone, say). The merchant,
// the platform's address and the bitmap path are the build's configuration, overridden by
// a settings file (--config FILE, or the per-user one) and by QUILLMARK_* environment
// variables. No option takes the key: a command line shows in the process list.
//
// The request and reply lines come first, as the cycle writes them; then a summary of
// what each step obtained, the verdict on each reply's signature included. With
// --scenario NAME the order carries that test scenario's amount (payment/scenarios.h) and
// the cycle plays it through as a merchant's code must: a SYSTEMERROR order sent again, a
// USERPAYING one polled on, a refund scenario's order refunded and its refund queried.
//
// Exit status: 0 when the unified order returned an order number (or the command's request
// was done, as its operation judges it) and every signed reply verified; 1 when no order
// number was obtained (or the request, or a scenario's refund, was not done); 2 for a bad
// option, scenario name or setting (nothing is sent); 3 when a reply failed verification:
// its sign did not match, a SUCCESS reply came without one, a field read by its tags is
// not the signed one, or a signed reply names another order, merchant or amount than ours.
// Such a reply's payment link or trade state is not used.
//
// --report junit:FILE or json:FILE also writes the run's steps as a report (cli/report.h),
// once the run is over; the standard output stays as it is.
#include <CLI/CLI.hpp>

#include <chrono>
#include <memory>

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "cli/documents.h"
#include "cli/notifications.h"
#include "cli/report.h"
#include "payment/encoding.h"
#include "payment/field_rules.h"
#include "payment/merchant_settings.h"
#include "payment/quillmark_ops.h"
#include "payment/scenarios.h"
#include "payment/sign.h"
#include "payment/trade_states.h"
#include "payment/url_parts.h"
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
                << signature.expected << ", the upper-case "
                << quillmark::SignDigestWords(signature.type)
                << " of the UTF-8 bytes of \""
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
    case SignatureVerdict::kMisdirected:
      std::cout << "  " << reply << ": it answers another request: its " << signature.field
                << " is " << quillmark::EscapeGbkControls(signature.answered) << ", ours is "
                << quillmark::EscapeGbkControls(signature.ours) << '\n';
      break;
    default:
      break;
  }
}

// Where each setting came from; the key's value is never shown.
void PrintSettings(const quillmark::LoadedSettings& settings) {
  std::cout << "Settings:\n";
  for (const quillmark::SettingKey& key : quillmark::SettingKeys()) {
    // MD5 left at the build's default goes unsaid, so that such a cycle prints what it
    // always printed; chosen in the file or the environment, it is said like any value.
    if (key.member == &quillmark::MerchantSettings::signType &&
        settings.merchant.Signing() == quillmark::SignType::kMd5 &&
        settings.origins.at(key.fileKey).kind == quillmark::SettingOrigin::Kind::kDefault) {
      continue;
    }
    const std::string value =
        key.secret ? std::string(quillmark::kMaskedKey) : settings.merchant.*key.member;
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
    std::cout << "A reply failed verification: it was changed on the way, the platform"
              << " signs with another key than this build's, or it answers another request.\n";
  } else {
    std::cout << "Every signed reply verified.\n";
  }
  std::cout << std::flush;
  return failedVerification ? kBadSignature : 0;
}

// The words for an order's trade_state, for the scenario's outcome line.
const char* TradeStateWords(const std::string& state) {
  const quillmark::TradeStateInfo* known = quillmark::FindTradeState(state);
  return known != nullptr ? known->english : "no trade state obtained";
}

// The scenario's header line, and for a unified order sent twice, the refused first one.
void PrintScenario(const quillmark::Scenario* scenario,
                   const quillmark::CQuillmarkOps::CycleResult& result) {
  if (scenario == nullptr) return;
  std::cout << "Scenario:      " << scenario->name << " (" << scenario->totalFee
            << " fen): " << scenario->description << '\n';
  if (!result.refusedOrder) return;
  const StepOutcome& refused = *result.refusedOrder;
  const auto number = refused.request.find(quillmark::kFieldOutTradeNo);
  std::cout << "Unified order: " << Exchange(refused) << '\n';
  PrintMismatch("first unified order reply", refused);
  std::cout << "Retried:       the platform answered SYSTEMERROR, so the same order ("
            << (number == refused.request.end() ? std::string() : number->second)
            << ") was sent again\n";
}

// A refund scenario's lines, before the summary's verdict: the refund and its queries.
// Whether it was done, and whether a reply of it failed verification. Nothing is printed
// for no steps, which counts as done.
struct RefundSummary {
  bool done = true;
  bool mismatch = false;
};

RefundSummary PrintRefund(const std::vector<StepOutcome>& steps) {
  RefundSummary summary;
  if (steps.empty()) return summary;
  const OrderCommand& refund = kOrderCommands[2];
  const StepOutcome& first = steps.front();
  summary.done = quillmark::VerdictOf(first) == StepVerdict::kDone;
  summary.mismatch = quillmark::VerificationFailed(first.signature.verdict);
  std::cout << refund.label << (summary.done ? refund.done : refund.notDone) << "  ("
            << Exchange(first) << ")\n";
  PrintMismatch(refund.reply, first);
  for (std::size_t i = 1; i < steps.size(); ++i) {
    const StepOutcome& query = steps[i];
    std::cout << "Refund query " << i << ": "
              << ResultOf(query, quillmark::kFieldRefundStatus0) << "  (" << Exchange(query)
              << ")\n";
    PrintMismatch("refund query reply", query);
    summary.mismatch = summary.mismatch || quillmark::VerificationFailed(query.signature.verdict);
  }
  return summary;
}

// The cycle's summary, a refund scenario's refund (`refund`, empty for the others) in it
// before the verdict, which covers every reply, the refund's too.
int SummariseCycle(const quillmark::CQuillmarkOps::CycleResult& result,
                   const std::vector<StepOutcome>& refund,
                   quillmark::cli::NotificationWait* notifications,
                   const quillmark::Scenario* scenario) {
  PrintScenario(scenario, result);
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
    PrintMismatch(("query " + std::to_string(i + 1) + " reply").c_str(), query);
    mismatch = mismatch || quillmark::VerificationFailed(query.signature.verdict);
  }
  if (scenario != nullptr) {
    const std::vector<std::string> states = result.TradeStates();
    std::cout << "Payment:       "
              << TradeStateWords(states.empty() ? std::string() : states.back()) << '\n';
  }
  const std::filesystem::path bitmap = quillmark::platform::FilePath(result.bitmapPath);
  std::error_code error;
  const auto absolute = std::filesystem::absolute(bitmap, error);
  std::cout << "QR bitmap:     "
            << quillmark::ShownText(quillmark::platform::PathText(error ? bitmap : absolute))
            << BitmapNote(result.bitmap.value_or(quillmark::qr::SaveResult::kNotEncoded)) << '\n';
  const RefundSummary refunded = PrintRefund(refund);
  int status = Verdict(mismatch || refunded.mismatch);
  // A reply that failed verification outranks what the notification says, and that
  // outranks a refund not done.
  if (notifications != nullptr) {
    const int notified = notifications->Summarise(result.orderNo, std::cout);
    if (status == 0) status = notified;
  }
  return status == 0 && !refunded.done ? kNoOrder : status;
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
  std::optional<std::string> profile;  // --profile NAME, over QUILLMARK_PROFILE
  std::string orderNo;        // a command's OUT_TRADE_NO
  std::string document;       // sign's or verify's FILE
  std::string signType;       // sign's or verify's --sign-type; empty: the document's
  std::optional<double> awaitNotify;
  std::optional<std::string> scenario;  // --scenario's name, checked after parsing
  std::vector<std::string> reports;     // --report's KIND:FILE words, checked after parsing
  std::vector<quillmark::cli::ReportTarget> reportTargets;  // what they name
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
  app.add_option("--profile", line.profile,
                 "the settings file's [profile NAME] to use over its [merchant] (default: "
                 "QUILLMARK_PROFILE's; empty: [merchant] alone)")
      ->option_text("NAME");
  app.set_version_flag("--version", std::string("quillmark-cycle ") + QUILLMARK_VERSION);
  // The program's options are read after a command as well as before it: `query ORDER
  // --report junit:F` is how a CI line reads. Set before the commands, which inherit it.
  app.fallthrough();
  for (const OrderCommand& command : kOrderCommands) {
    CLI::App* sub = app.add_subcommand(command.name, command.help);
    sub->add_option(
           "OUT_TRADE_NO", line.orderNo,
           "the order's number (1 to 32 letters, digits or _-|*), as the cycle printed it or "
           "the merchant's system placed it")
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
    command
        ->add_option("--sign-type", line.signType,
                     "MD5 or HMAC-SHA256 (default: the document's sign_type, else MD5)")
        ->option_text("TYPE")
        ->check([](const std::string& value) {
          return quillmark::ParseSignType(value) ? std::string()
                                                 : "unknown sign type " + value;
        });
  }
  app.add_option("--await-notify", line.awaitNotify,
                 "listen for the order's payment notification at notify_url (or notify_listen) "
                 "from before the first request, and wait up to SECONDS after the cycle for it")
      ->option_text("SECONDS")
      ->check(CLI::Range(0.0, 3600.0));
  app.add_option("--scenario", line.scenario,
                 "place the order with the amount of the sandbox's test scenario NAME and "
                 "play it through: a SYSTEMERROR retried, a USERPAYING polled on, a refund "
                 "made and queried for the refund-* ones")
      ->option_text("NAME");
  app.add_option("--report", line.reports,
                 "also write the run's steps as a JUnit XML (junit:FILE) or JSON (json:FILE) "
                 "report; may be given more than once")
      ->option_text("KIND:FILE")
      ->allow_extra_args(false);
  app.require_subcommand(0, 1);
  app.footer(
      "Settings: the build's defaults, then the settings file ([merchant] appid, mch_id, "
      "api_key, spbill_create_ip, notify_url, api_base, ca_file, qr_path, notify_listen, "
      "sign_type), "
      "then the chosen profile's section of it ([profile NAME], any of those keys), "
      "then the environment (QUILLMARK_APPID, ... QUILLMARK_SIGN_TYPE).\n"
      "Exit status: 0 order placed (or the command's request done) and every signed reply "
      "verified, 1 no order number (or the request, or a --scenario refund, not done), 2 bad "
      "option, scenario, setting or "
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

// A payer still entering a password: the order is queried on while it says USERPAYING, as
// a merchant's poll loop must, a few times at most.
void PollWhilePaying(quillmark::CQuillmarkOps& ops, quillmark::CQuillmarkOps::CycleResult& result) {
  constexpr int kMorePolls = 4;
  for (int i = 0; i < kMorePolls && !result.aborted && !result.queries.empty() &&
                  result.queries.back().Field(quillmark::kFieldTradeState) == "USERPAYING";
       ++i) {
    result.queries.push_back(ops.Run(quillmark::kOrderQueryOperation, result.orderNo));
    result.aborted = result.queries.back().transfer.aborted();
  }
}

// For a refund scenario with a placed order: the refund of the order, and two refund
// queries once it was accepted. Nothing for the others.
std::vector<StepOutcome> RunRefund(quillmark::CQuillmarkOps& ops,
                                   const quillmark::Scenario& scenario,
                                   const quillmark::CQuillmarkOps::CycleResult& result) {
  std::vector<StepOutcome> steps;
  if (std::string_view(scenario.name).rfind("refund-", 0) != 0 || result.orderNo.empty() ||
      result.aborted) {
    return steps;
  }
  steps.push_back(ops.Run(quillmark::kRefundOperation, result.orderNo));
  if (quillmark::VerdictOf(steps.front()) != StepVerdict::kDone) return steps;
  for (int i = 0; i < 2; ++i) {
    steps.push_back(ops.Run(quillmark::kRefundQueryOperation, result.orderNo));
  }
  return steps;
}

// --report: the run's steps, collected here once for the cycle and the commands alike, each
// with its operation's verdict and the words its summary line has.
struct RunSteps {
  const OrderCommand* chosen = nullptr;  // the command run, or null for the cycle
  const StepOutcome* step = nullptr;     // the command's one request
  const quillmark::CycleResult* cycle = nullptr;
  const std::vector<StepOutcome>* refund = nullptr;
  const quillmark::cli::NotificationWait* notifications = nullptr;
  const quillmark::Scenario* scenario = nullptr;
};

quillmark::cli::ReportStep ExchangeStep(std::string name, const StepOutcome& outcome,
                                        std::string words) {
  quillmark::cli::ReportStep step;
  const StepVerdict verdict = quillmark::VerdictOf(outcome);
  step.name = std::move(name);
  step.outcome = &outcome;
  step.verdict = quillmark::StepVerdictName(verdict);
  step.passed = verdict == StepVerdict::kDone;
  step.words = std::move(words);
  step.elapsed = outcome.elapsed;
  return step;
}

std::vector<quillmark::cli::ReportStep> CycleSteps(const RunSteps& run, int status) {
  using quillmark::cli::ReportStep;
  std::vector<ReportStep> steps;
  const quillmark::CycleResult& cycle = *run.cycle;
  if (cycle.refusedOrder) {
    // Refused as the scenario has it and sent again, as a merchant must: the run stands or
    // falls by the order sent again, the case after this one.
    steps.push_back(ExchangeStep("unified order, answered SYSTEMERROR", *cycle.refusedOrder,
                                 Exchange(*cycle.refusedOrder)));
    steps.back().passed = true;
  }
  steps.push_back(ExchangeStep("unified order", cycle.order, Exchange(cycle.order)));
  for (std::size_t i = 0; i < cycle.queries.size(); ++i) {
    const StepOutcome& query = cycle.queries[i];
    steps.push_back(ExchangeStep("query " + std::to_string(i + 1), query,
                                 StateOf(query) + "  (" + Exchange(query) + ")"));
  }
  const OrderCommand& refund = kOrderCommands[2];
  for (std::size_t i = 0; run.refund != nullptr && i < run.refund->size(); ++i) {
    const StepOutcome& one = (*run.refund)[i];
    const bool done = quillmark::VerdictOf(one) == StepVerdict::kDone;
    steps.push_back(
        i == 0 ? ExchangeStep("refund", one,
                              std::string(done ? refund.done : refund.notDone) + "  (" +
                                  Exchange(one) + ")")
               : ExchangeStep("refund query " + std::to_string(i), one,
                              ResultOf(one, quillmark::kFieldRefundStatus0) + "  (" +
                                  Exchange(one) + ")"));
  }
  if (run.notifications != nullptr && run.notifications->summary().summarised) {
    const auto& summary = run.notifications->summary();
    ReportStep step;
    step.name = "notification";
    step.passed = summary.status == 0;
    step.verdict = step.passed ? "done" : "failed";
    const std::size_t last = summary.lines.find_last_of('\n', summary.lines.size() - 2);
    step.words = summary.lines.substr(last == std::string::npos ? 0 : last + 1);
    if (!step.words.empty() && step.words.back() == '\n') step.words.pop_back();
    step.detail = summary.lines;
    step.elapsed = summary.elapsed;
    steps.push_back(std::move(step));
  }
  if (run.scenario != nullptr) {
    const std::vector<std::string> states = cycle.TradeStates();
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

// "127.0.0.1" of "https://127.0.0.1:8443", "::1" of "https://[::1]:8443".
std::string HostOf(const std::string& apiBase) {
  quillmark::UrlParts url;
  return quillmark::SplitUrl(apiBase, url) ? url.host : apiBase;
}

// Writes every report asked for; one that cannot be written is said on standard error, and
// leaves the exit status as the run made it.
void WriteReports(const CommandLine& line, const RunSteps& run,
                  const quillmark::LoadedSettings& settings, const std::string& timestamp,
                  std::chrono::steady_clock::time_point started, int status) {
  if (line.reportTargets.empty()) return;
  quillmark::cli::Report report;
  const quillmark::MerchantSettings& merchant = settings.merchant;
  report.suite = std::string("quillmark-cycle") + (run.chosen ? " " : "") +
                 (run.chosen ? run.chosen->name : "") + (run.scenario ? " scenario " : "") +
                 (run.scenario ? run.scenario->name : "");
  report.timestamp = timestamp;
  report.host = HostOf(merchant.apiBase);
  report.elapsed = std::chrono::steady_clock::now() - started;
  report.exitStatus = status;
  report.properties = {{"api_base", merchant.apiBase}, {"appid", merchant.appId},
                       {"mch_id", merchant.mchId}, {"exit_status", std::to_string(status)}};
  const std::string& orderNo = run.chosen ? line.orderNo : run.cycle->orderNo;
  if (!orderNo.empty()) report.properties["out_trade_no"] = orderNo;
  if (run.scenario != nullptr) report.properties["scenario"] = run.scenario->name;
  if (!settings.profile.empty()) report.properties["profile"] = settings.profile;
  report.properties["sign_type"] = quillmark::SignTypeName(merchant.Signing());
  if (run.chosen != nullptr) {
    const OrderCommand& command = *run.chosen;
    const bool done = quillmark::VerdictOf(*run.step) == StepVerdict::kDone;
    report.steps.push_back(ExchangeStep(
        command.name, *run.step,
        (command.done == nullptr ? ResultOf(*run.step, run.step->operation->replyFields.front())
         : done                  ? command.done
                                 : command.notDone) +
            std::string("  (") + Exchange(*run.step) + ")"));
  } else {
    report.steps = CycleSteps(run, status);
    // The scenario is the whole run.
    if (run.scenario != nullptr) report.steps.back().elapsed = report.elapsed;
  }
  for (const quillmark::cli::ReportTarget& target : line.reportTargets) {
    std::string problem;
    if (!quillmark::cli::WriteReport(target, report, merchant.apiKey, problem)) {
      std::cerr << "quillmark-cycle: " << problem << '\n';
    }
  }
}

// The cycle, or the one request of `chosen` when not null, and its summary. Listening for
// the notification fills in notify_url's port in `settings` when it was 0.
int RunRequests(const CommandLine& line, const OrderCommand* chosen,
                const quillmark::Scenario* scenario, quillmark::LoadedSettings& settings) {
  const auto started = std::chrono::steady_clock::now();
  const std::string timestamp = quillmark::cli::ReportTimestamp();
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
  if (scenario != nullptr) {
    opsSettings.totalFee = scenario->totalFee;
    opsSettings.retrySystemError = true;
  }
  quillmark::CQuillmarkOps ops(opsSettings);
  if (chosen != nullptr) {
    const StepOutcome step = ops.Run(*chosen->operation, line.orderNo);
    std::cout << "\n--- summary ---\n";
    PrintSettings(settings);
    const int status = SummariseStep(*chosen, line.orderNo, step);
    RunSteps run;
    run.chosen = chosen;
    run.step = &step;
    WriteReports(line, run, settings, timestamp, started, status);
    return status;
  }
  quillmark::CQuillmarkOps::CycleResult result =
      ops.RunOrderCycle(nullptr, [&notifications](const std::string& placed) {
        if (notifications) notifications->Expect(placed);
      });
  std::vector<StepOutcome> refundSteps;
  if (scenario != nullptr) {
    PollWhilePaying(ops, result);
    refundSteps = RunRefund(ops, *scenario, result);
  }
  std::cout << "\n--- summary ---\n";
  PrintSettings(settings);
  const int status = SummariseCycle(result, refundSteps, notifications.get(), scenario);
  RunSteps run;
  run.cycle = &result;
  run.refund = &refundSteps;
  run.notifications = notifications.get();
  run.scenario = scenario;
  WriteReports(line, run, settings, timestamp, started, status);
  return status;
}

// --report's words into line.reportTargets; false, said on standard error, for one that
// names no kind or no file that can be written. Checked before anything is sent: a report
// that could not be written after the run would be found missing only by the CI job that
// looks for it.
bool ReadReportTargets(CommandLine& line) {
  for (const std::string& word : line.reports) {
    std::string problem;
    const std::optional<quillmark::cli::ReportTarget> target =
        quillmark::cli::ParseReportTarget(word, problem);
    if (!target) {
      std::cerr << "quillmark-cycle: " << problem << '\n';
      return false;
    }
    line.reportTargets.push_back(*target);
  }
  std::string problem;
  if (!quillmark::cli::DistinctTargets(line.reportTargets, problem)) {
    std::cerr << "quillmark-cycle: " << problem << '\n';
    return false;
  }
  if (!line.reports.empty() && (line.sign->parsed() || line.verify->parsed())) {
    std::cerr << "quillmark-cycle: --report is for the cycle and the order commands, not for"
              << " sign or verify\n";
    return false;
  }
  return true;
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

  const quillmark::Scenario* scenario = nullptr;
  if (line.scenario) {
    scenario = quillmark::FindScenario(*line.scenario);
    if (scenario == nullptr) {
      // Not echoed: a stray word on the command line could be a key.
      std::cerr << "quillmark-cycle: --scenario names no known scenario; the scenarios are:\n";
      for (const quillmark::Scenario& known : quillmark::kScenarios) {
        std::cerr << "  " << known.name << " (" << known.totalFee << " fen): "
                  << known.description << '\n';
      }
      return kBadUsage;
    }
  }

  if (!ReadReportTargets(line)) return kBadUsage;
  const OrderCommand* chosen = line.Chosen();
  // Any number the platform takes, so that orders the merchant's own system placed can be
  // queried too. A key has that form and is never refused here, so what is refused is shown.
  if (chosen != nullptr && !quillmark::rules::IsOrderNumber(line.orderNo)) {
    std::cerr << "quillmark-cycle: OUT_TRADE_NO \"" << quillmark::ShownText(line.orderNo)
              << "\" is not an order number: it must be 1 to 32 letters, digits or _-|*\n";
    return kBadUsage;
  }

  quillmark::LoadedSettings settings;
  std::string problem;
  if (!quillmark::LoadSettings(line.config, line.profile, quillmark::ProcessEnvironment(), settings,
                               problem)) {
    std::cerr << "quillmark-cycle: " << quillmark::ShownText(problem) << '\n';
    return kBadUsage;
  }
  for (const std::string& warning : settings.warnings) {
    std::cerr << quillmark::ShownText(warning) << '\n';
  }
  if (line.sign->parsed()) {
    return quillmark::cli::SignDocument(line.document, settings.merchant, std::cout,
                                        line.signType);
  }
  if (line.verify->parsed()) {
    return quillmark::cli::VerifyDocument(line.document, settings.merchant, std::cout,
                                          line.signType);
  }
  return RunRequests(line, chosen, scenario, settings);
}
