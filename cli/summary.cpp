// The summary of summary.h.
#include "cli/summary.h"

#include <filesystem>
#include <iostream>
#include <system_error>
#include <utility>
#include <vector>

#include "cli/exit_status.h"
#include "platform/platform.h"
#include "protocol/operation.h"
#include "protocol/reply_fields.h"
#include "protocol/sign.h"
#include "protocol/trade_states.h"
#include "qr/qr_bitmap.h"
#include "text/encoding.h"

namespace quillmark::cli {
namespace {

const char* BitmapNote(qr::SaveResult result) {
  using qr::SaveResult;
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

// For a reply that failed verification: why, and for a mismatch what the sign should have
// been, and over what.
void PrintMismatch(const char* reply, const StepOutcome& step) {
  const ReplySignature& signature = step.signature;
  switch (signature.verdict) {
    case SignatureVerdict::kMismatch:
      std::cout << "  " << reply << ": the reply's sign " << EscapeControls(signature.received)
                << " is not the expected " << signature.expected << ", the upper-case "
                << SignDigestWords(signature.type) << " of the UTF-8 bytes of \""
                << EscapeControls(signature.maskedSignString) << "\"\n";
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
                << " is " << EscapeGbkControls(signature.answered) << ", ours is "
                << EscapeGbkControls(signature.ours) << '\n';
      break;
    default:
      break;
  }
}

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

// The scenario's header line, and for a unified order sent twice, the refused first one.
void PrintScenario(const Scenario& scenario, const RunStep* refused) {
  std::cout << "Scenario:      " << scenario.name << " (" << scenario.totalFee
            << " fen): " << scenario.description << '\n';
  if (refused == nullptr) return;
  const StepOutcome& outcome = refused->outcome;
  const auto number = outcome.request.find(kFieldOutTradeNo);
  std::cout << refused->words().summaryLabel << StepWords(*refused) << '\n';
  PrintMismatch((std::string("first ") + refused->words().replyName).c_str(), outcome);
  std::cout << "Retried:       the platform answered " << outcome.Field(kFieldErrCode)
            << ", so the same order ("
            << (number == outcome.request.end() ? std::string() : number->second)
            << ") was sent again\n";
}

// A step's line and what a failed verification or a scenario not played adds to it.
void PrintStep(const RunStep& step) {
  const ClientStepWords& words = step.words();
  std::cout << Numbered(words.summaryLabel, step.number) << StepWords(step) << '\n';
  PrintMismatch(Numbered(words.replyName, step.number).c_str(), step.outcome);
  if (!step.contradiction.empty()) std::cout << "  " << step.contradiction << '\n';
}

}  // namespace

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
  // The front's page is no reply of the API: its words say what it wants.
  const std::string refusal =
      step.operation == nullptr
          ? std::string()
          : CertificateRefusal(step.operation->path, step.transfer.httpStatus, step.reply);
  if (!refusal.empty()) {
    add(refusal);
    return EscapeControls(text);
  }
  const std::string& returnCode = step.Field(kFieldReturnCode);
  for (const char* name :
       {kFieldReturnCode, kFieldReturnMsg, kFieldResultCode, kFieldErrCode, kFieldErrCodeDes}) {
    const std::string& value = step.Field(name);
    // A success's message says nothing.
    if (value.empty() || (name == kFieldReturnMsg && returnCode == "SUCCESS")) continue;
    add(std::string(name) + " " + value);
  }
  add(std::string("signature ") + VerdictName(step.signature.verdict));
  // The reply's words, shown on a terminal: no escape sequence of theirs may act there.
  return EscapeControls(text);
}

// "(trade_state not trusted)", "(no trade_state)" or the state, for a query's line: the
// value of `field`, the step's result.
std::string ResultOf(const StepOutcome& step, const char* field) {
  if (VerificationFailed(step.signature.verdict)) {
    return std::string("(") + field + " not trusted)";
  }
  if (step.Field(field).empty()) return std::string("(no ") + field + ")";
  return EscapeControls(step.Field(field));
}

std::string StepWords(const RunStep& step) {
  const ClientStepWords& words = step.words();
  if (step.step == ClientStep::kNotification) {
    // Its last line says what came of it.
    const std::string& lines = step.notification.lines;
    const std::size_t last = lines.find_last_of('\n', lines.size() < 2 ? 0 : lines.size() - 2);
    std::string line = lines.substr(last == std::string::npos ? 0 : last + 1);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
  }
  const StepOutcome& outcome = step.outcome;
  if (words.resultField == nullptr && words.done == nullptr) return Exchange(outcome);
  const std::string result = words.resultField != nullptr ? ResultOf(outcome, words.resultField)
                             : VerdictOf(outcome) == StepVerdict::kDone ? words.done
                                                                        : words.notDone;
  return result + "  (" + Exchange(outcome) + ")";
}

std::string CommandWords(const OrderCommand& command, const StepOutcome& step) {
  const bool done = VerdictOf(step) == StepVerdict::kDone;
  return (command.done == nullptr ? ResultOf(step, step.operation->replyFields.front())
          : done                  ? command.done
                                  : command.notDone) +
         std::string("  (") + Exchange(step) + ")";
}

// The words for an order's trade_state, for the scenario's outcome line.
const char* TradeStateWords(const std::string& state) {
  const TradeStateInfo* known = FindTradeState(state);
  return known != nullptr ? known->english : "no trade state obtained";
}

// Where each setting came from; the key's value is never shown.
void PrintSettings(const LoadedSettings& settings) {
  std::cout << "Settings:\n";
  for (const SettingKey& key : SettingKeys()) {
    // MD5 left at the build's default goes unsaid, so that such a cycle prints what it
    // always printed; chosen in the file or the environment, it is said like any value.
    if (key.member == &MerchantSettings::signType &&
        settings.merchant.Signing() == SignType::kMd5 &&
        settings.origins.at(key.fileKey).kind == SettingOrigin::Kind::kDefault) {
      continue;
    }
    // So do the client certificate's, left empty at the build's defaults: a cycle without
    // one prints what it always printed.
    const std::string name = key.fileKey;
    if (name.rfind("client_", 0) == 0 && (settings.merchant.*key.member).empty() &&
        settings.origins.at(key.fileKey).kind == SettingOrigin::Kind::kDefault) {
      continue;
    }
    const std::string value = key.secret ? std::string(kMaskedKey) : settings.merchant.*key.member;
    std::cout << "  " << name << std::string(name.size() < 16 ? 18 - name.size() : 2, ' ')
              << (value.empty() ? "(empty)" : ShownText(value)) << "  ("
              << ShownText(settings.origins.at(key.fileKey).Describe()) << ")\n";
  }
}

int SummariseRequests(const ClientRunResult& run) {
  const CycleResult& result = run.cycle;
  const RunStep* refused = nullptr;
  for (const RunStep& step : run.steps) {
    if (step.resent) refused = &step;
  }
  if (run.scenario != nullptr) PrintScenario(*run.scenario, refused);
  bool mismatch = false;
  bool placed = false;
  bool queried = false;
  // After the order's queries: what they came to, and where the bitmap went.
  const auto queriesSaid = [&] {
    if (queried) return;
    queried = true;
    if (run.scenario != nullptr) {
      const std::vector<std::string> states = result.TradeStates();
      std::cout << "Payment:       "
                << TradeStateWords(states.empty() ? std::string() : states.back()) << '\n';
    }
    const auto type = result.order.request.find(kFieldTradeType);
    if (type != result.order.request.end() && type->second != "NATIVE") {
      std::cout << "QR bitmap:     none: " << (type->second == "JSAPI" ? "a " : "an ")
                << type->second << " order has no payment link\n";
      return;
    }
    const std::filesystem::path bitmap = platform::FilePath(result.bitmapPath);
    std::error_code error;
    const auto absolute = std::filesystem::absolute(bitmap, error);
    std::cout << "QR bitmap:     " << ShownText(platform::PathText(error ? bitmap : absolute))
              << BitmapNote(result.bitmap.value_or(qr::SaveResult::kNotEncoded)) << '\n';
  };
  for (const RunStep& step : run.steps) {
    if (step.resent || step.step == ClientStep::kNotification) continue;
    if (step.step != ClientStep::kUnifiedOrder && step.step != ClientStep::kQuery) queriesSaid();
    PrintStep(step);
    mismatch = mismatch || VerificationFailed(step.outcome.signature.verdict);
    if (step.step == ClientStep::kUnifiedOrder) {
      if (result.orderNo.empty()) break;
      std::cout << "Order number:  " << result.orderNo << '\n';
      placed = true;
    }
  }
  if (!placed) {
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
              << " (see the lines above).\n"
              << std::flush;
    return kNotDone;
  }
  queriesSaid();
  return Verdict(mismatch);
}

int SummariseNotification(const ClientRunResult& run, int status) {
  const RunStep* notification = run.Notification();
  if (notification != nullptr) std::cout << notification->notification.lines << std::flush;
  if (run.cycle.orderNo.empty()) return status;
  // A reply that failed verification outranks what the notification says, and that
  // outranks a refund not done or a scenario not played.
  if (notification != nullptr && status == 0) status = notification->notification.status;
  const RunStep* refund = run.Refund();
  const bool refunded = refund == nullptr || VerdictOf(refund->outcome) == StepVerdict::kDone;
  return status == 0 && (!refunded || run.Contradicted()) ? kNotDone : status;
}

// One request about an order named on the command line. Exit 0 when the platform did what
// was asked and its reply verified, 1 when it did not (or nothing came back).
int SummariseStep(const OrderCommand& command, const std::string& orderNo, const StepOutcome& step,
                  const std::string& orderLines) {
  const bool done = VerdictOf(step) == StepVerdict::kDone;
  std::cout << "Order number:  " << orderNo << '\n' << orderLines;
  const auto refundNo = step.request.find(kFieldOutRefundNo);
  if (refundNo != step.request.end()) std::cout << "Refund number: " << refundNo->second << '\n';
  std::cout << command.label << CommandWords(command, step) << '\n';
  PrintMismatch(command.reply, step);
  if (VerificationFailed(step.signature.verdict)) return Verdict(true);
  const int status = Verdict(false);
  return done ? status : kNotDone;
}

int SummariseRefund(const OrderCommand& command, const std::string& orderNo, const RefundRun& run) {
  bool mismatch = VerificationFailed(run.query.signature.verdict);
  PrintMismatch("order query reply", run.query);
  if (run.refundsBefore) {
    mismatch = mismatch || VerificationFailed(run.refundsBefore->signature.verdict);
    PrintMismatch("refund query reply", *run.refundsBefore);
  }
  std::string total;
  if (run.totalFee > 0) {
    total = "Order total:   " + std::to_string(run.totalFee) + " fen";
    if (run.refundsBefore) total += ", " + std::to_string(run.refundedBefore) + " refunded before";
    total += '\n';
  }
  if (!run.refund) {
    std::cout << "Order number:  " << orderNo << '\n'
              << total << command.label << "not sent: " << EscapeControls(run.why) << '\n';
    return mismatch ? Verdict(true) : kNotDone;
  }
  const int status = SummariseStep(command, orderNo, *run.refund, total);
  return mismatch && status != kBadSignature ? Verdict(true) : status;
}

}  // namespace quillmark::cli
