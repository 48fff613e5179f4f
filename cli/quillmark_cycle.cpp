// quillmark-cycle: one order cycle, exactly as the desktop program's pay button runs it,
// for scripts and CI; or, as `quillmark-cycle query|close|refund|refundquery OUT_TRADE_NO`,
// one request about an order placed before (one paid from a phone, say). A refund queries
// the order first, for the total_fee it must name, and with --await-notify awaits the
// refund's notification as the cycle awaits the payment's. The merchant,
// the platform's address and the bitmap path are the build's configuration, overridden by
// a settings file (--config FILE, or the per-user one) and by QUILLMARK_* environment
// variables. No option takes the key: a command line shows in the process list.
//
// The request and reply lines come first, as the cycle writes them; then a summary of
// what each step obtained, the verdict on each reply's signature included. With
// --scenario NAME the order carries that test scenario's amount (protocol/scenarios.h) and
// the cycle plays it through as a merchant's code must (what its row in that table asks: a
// SYSTEMERROR order sent again, a USERPAYING one polled on, the order refunded and its
// refund queried), and fails where a reply says the platform did not play it.
//
// The exit statuses are cli/exit_status.h's. A reply that failed verification (its sign
// did not match, a SUCCESS reply came without one, a field read by its tags is not the
// signed one, or a signed reply names another order, merchant or amount than ours) is not
// used: no payment link, no trade state.
//
// The files by job: the options (cli/options.h), the run itself (client/client_run.h,
// which the windows play too), its summary (cli/summary.h) and its reports (cli/report.h);
// this one assembles them.
// `quillmark-cycle bill --date YYYYMMDD` fetches the day's bill instead (cli/bill.h).
// --report junit:FILE or json:FILE also writes the run's steps as a report (cli/report.h),
// once the run is over; the standard output stays as it is.
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/documents.h"
#include "cli/exit_status.h"
#include "cli/notifications.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/summary.h"
#include "client/client_run.h"
#include "client/quillmark_ops.h"
#include "client/refund_run.h"
#include "client/till_run.h"
#include "client/trade_types.h"
#include "config/merchant_settings.h"
#include "http/client_certificate.h"
#include "platform/platform.h"
#include "protocol/field_rules.h"
#include "protocol/operation.h"
#include "protocol/scenarios.h"
#include "text/encoding.h"
#include "text/url_parts.h"

namespace {

using namespace quillmark::cli;
using quillmark::StepOutcome;

// Why the configured client certificate cannot be used, naming the setting at fault and
// where it came from; empty when none is configured or it loads. Checked before anything
// is sent, as every setting is: a certificate found wrong at the refund would leave the
// cycle's order paid and not refunded.
std::string ClientCertificateProblem(const quillmark::LoadedSettings& settings) {
  const quillmark::ClientCertificate certificate = settings.merchant.Certificate();
  if (certificate.empty()) return {};
  quillmark::LoadedClientCertificate loaded;
  const std::string why = quillmark::LoadClientCertificate(certificate, loaded);
  if (why.empty()) return {};
  const auto begins = [&why](const std::string& text) { return why.rfind(text, 0) == 0; };
  const char* key = "client_cert";
  if (begins("the client certificate's password")) {
    key = "client_cert_password";
  } else if (!certificate.keyFile.empty() &&
             (begins("cannot read the client key") || begins("the client key ") ||
              begins(certificate.keyFile + " "))) {
    key = "client_key";
  }
  const bool merchantNumber =
      std::string(key) == "client_cert_password" && settings.merchant.clientCertPassword.empty();
  return settings.origins.at(key).Describe() + ": " + key +
         (merchantNumber ? " (empty: the merchant number)" : "") + " is not usable: " + why;
}

// "127.0.0.1" of "https://127.0.0.1:8443", "::1" of "https://[::1]:8443".
std::string HostOf(const std::string& apiBase) {
  quillmark::UrlParts url;
  return quillmark::SplitUrl(apiBase, url) ? url.host : apiBase;
}

// Writes every report asked for; one that cannot be written is said on standard error, and
// leaves the exit status as the run made it. `run` is the cycle's, or null for `chosen`'s
// one request `step`.
void WriteReports(const CommandLine& line, const OrderCommand* chosen, const StepOutcome* step,
                  const quillmark::ClientRunResult* run, const quillmark::LoadedSettings& settings,
                  const std::string& timestamp, std::chrono::steady_clock::time_point started,
                  int status) {
  if (line.reportTargets.empty()) return;
  Report report;
  const quillmark::MerchantSettings& merchant = settings.merchant;
  const quillmark::Scenario* scenario = run != nullptr ? run->scenario : nullptr;
  report.suite = std::string("quillmark-cycle") + (chosen ? " " : "") +
                 (chosen ? chosen->name : "") + (scenario ? " scenario " : "") +
                 (scenario ? scenario->name : "");
  report.timestamp = timestamp;
  report.host = HostOf(merchant.apiBase);
  report.elapsed = std::chrono::steady_clock::now() - started;
  report.exitStatus = status;
  report.properties = {{"api_base", merchant.apiBase},
                       {"appid", merchant.appId},
                       {"mch_id", merchant.mchId},
                       {"exit_status", std::to_string(status)}};
  const std::string& orderNo = chosen ? line.orderNo : run->cycle.orderNo;
  if (!orderNo.empty()) report.properties["out_trade_no"] = orderNo;
  if (scenario != nullptr) report.properties["scenario"] = scenario->name;
  if (!settings.profile.empty()) report.properties["profile"] = settings.profile;
  report.properties["sign_type"] = quillmark::SignTypeName(merchant.Signing());
  if (chosen != nullptr) {
    ReportStep one;
    const quillmark::StepVerdict verdict = quillmark::VerdictOf(*step);
    one.name = chosen->name;
    one.outcome = step;
    one.verdict = quillmark::StepVerdictName(verdict);
    one.passed = verdict == quillmark::StepVerdict::kDone;
    one.words = CommandWords(*chosen, *step);
    one.elapsed = step->elapsed;
    report.steps.push_back(std::move(one));
  } else {
    report.steps = RunReportSteps(*run, status);
    // The scenario is the whole run.
    if (scenario != nullptr) report.steps.back().elapsed = report.elapsed;
  }
  for (const ReportTarget& target : line.reportTargets) {
    std::string problem;
    if (!WriteReport(target, report, merchant.apiKey, problem)) {
      std::cerr << "quillmark-cycle: " << problem << '\n';
    }
  }
}

// A till's payment with the code given: each step printed with its verdict as it ends,
// the summary, and the reports of every step.
int RunTill(const CommandLine& line, quillmark::LoadedSettings& settings) {
  const auto started = std::chrono::steady_clock::now();
  const std::string timestamp = ReportTimestamp();
  quillmark::CQuillmarkOps::Settings opsSettings =
      quillmark::CQuillmarkOps::Settings::FromMerchant(settings.merchant);
  opsSettings.escapeReplyControls = quillmark::platform::StandardOutputIsTerminal();
  opsSettings.totalFee = line.amount;
  opsSettings.authCode = line.authCode;
  quillmark::CQuillmarkOps ops(opsSettings);
  quillmark::TillRunOptions options;
  options.stepDone = [](const quillmark::TillStepDone& step) {
    std::cout << "Step " << quillmark::TillStepName(step) << ": " << step.said << " ("
              << quillmark::StepVerdictName(quillmark::VerdictOf(step.outcome)) << ")" << std::endl;
  };
  const quillmark::TillRunResult run = quillmark::PlayTillRun(ops, options);
  const int status = run.end == quillmark::TillEnd::kPaid       ? kDone
                     : run.end == quillmark::TillEnd::kReversed ? kReversed
                                                                : kNotDone;
  std::cout << "\n--- summary ---\n";
  PrintSettings(settings);
  std::cout << "Order number:  " << run.orderNo << "\n"
            << "Till:          " << quillmark::TillEndName(run.end) << " after " << run.steps.size()
            << " step(s)" << std::endl;
  if (line.reportTargets.empty()) return status;
  Report report;
  report.suite = "quillmark-cycle micropay";
  report.timestamp = timestamp;
  report.host = HostOf(settings.merchant.apiBase);
  report.elapsed = std::chrono::steady_clock::now() - started;
  report.exitStatus = status;
  report.properties = {
      {"api_base", settings.merchant.apiBase}, {"appid", settings.merchant.appId},
      {"mch_id", settings.merchant.mchId},     {"exit_status", std::to_string(status)},
      {"out_trade_no", run.orderNo},           {"till", quillmark::TillEndName(run.end)}};
  for (const quillmark::TillStepDone& done : run.steps) {
    ReportStep step;
    const quillmark::StepVerdict verdict = quillmark::VerdictOf(done.outcome);
    step.name = quillmark::TillStepName(done);
    step.outcome = &done.outcome;
    step.verdict = quillmark::StepVerdictName(verdict);
    // A USERPAYING or a recall Y is the loop going as it should: what fails is the run.
    step.passed = verdict == quillmark::StepVerdict::kDone || status != kNotDone;
    step.words = done.said;
    step.elapsed = done.outcome.elapsed;
    report.steps.push_back(std::move(step));
  }
  for (const ReportTarget& target : line.reportTargets) {
    std::string problem;
    if (!WriteReport(target, report, settings.merchant.apiKey, problem)) {
      std::cerr << "quillmark-cycle: " << problem << '\n';
    }
  }
  return status;
}

// The cycle, or the one request of `chosen` when not null, and its summary. Listening for
// the notification fills in notify_url's port in `settings` when it was 0.
int RunRequests(const CommandLine& line, const OrderCommand* chosen,
                const quillmark::Scenario* scenario, quillmark::LoadedSettings& settings) {
  const auto started = std::chrono::steady_clock::now();
  const std::string timestamp = ReportTimestamp();
  // Listening before the first request: the platform notifies as soon as the order is paid,
  // which may be during the cycle itself.
  std::unique_ptr<NotificationWait> notifications;
  const bool refund = chosen != nullptr && chosen->operation == &quillmark::kRefundOperation;
  if (line.awaitNotify && (chosen == nullptr || refund)) {
    notifications = std::make_unique<NotificationWait>(
        settings.merchant,
        std::chrono::milliseconds(static_cast<long long>(*line.awaitNotify * 1000)));
  }

  quillmark::CQuillmarkOps::Settings opsSettings =
      quillmark::CQuillmarkOps::Settings::FromMerchant(settings.merchant);
  // On a terminal a reply's escape sequences would act (retitle it, clear it, print a fake
  // verdict over the summary); into a pipe or a file the reply stays as it came.
  opsSettings.escapeReplyControls = quillmark::platform::StandardOutputIsTerminal();
  quillmark::UseTradeType(opsSettings, line.tradeType);
  quillmark::CQuillmarkOps ops(opsSettings);
  if (refund) {
    // Its notification may name the order alone, when the refund number is not yet known.
    if (notifications) notifications->Expect(line.orderNo);
    quillmark::RefundAsk ask;
    ask.orderNo = line.orderNo;
    ask.refundFee = line.refundFee.empty() ? 0 : std::stoll(line.refundFee);
    ask.outRefundNo = line.outRefundNo;
    const quillmark::RefundRun run = quillmark::PlayRefund(ops, ask);
    std::cout << "\n--- summary ---\n";
    PrintSettings(settings);
    int status = SummariseRefund(*chosen, line.orderNo, run);
    if (notifications && run.refund &&
        quillmark::VerdictOf(*run.refund) == quillmark::StepVerdict::kDone) {
      const std::string refundNo = run.refund->Field(quillmark::kFieldOutRefundNo);
      notifications->ExpectRefund(refundNo);
      const quillmark::NotificationAwaited awaited = notifications->AwaitRefund(refundNo);
      std::cout << awaited.lines << std::flush;
      if (status == kDone) status = awaited.status;
    }
    const StepOutcome& step = run.refund ? *run.refund : run.query;
    WriteReports(line, chosen, &step, nullptr, settings, timestamp, started, status);
    return status;
  }
  if (chosen != nullptr) {
    const StepOutcome step = ops.Run(*chosen->operation, line.orderNo);
    std::cout << "\n--- summary ---\n";
    PrintSettings(settings);
    const int status = SummariseStep(*chosen, line.orderNo, step);
    WriteReports(line, chosen, &step, nullptr, settings, timestamp, started, status);
    return status;
  }
  // The summary of the requests as soon as they are over, before the notification's wait.
  class Summary : public quillmark::ClientRunEvents {
   public:
    Summary(const quillmark::LoadedSettings& settings, std::string tradeType)
        : settings_(settings), tradeType_(std::move(tradeType)) {}
    // A JSAPI order's page parameters, signed and checked as soon as it is placed.
    void StepFinished(const quillmark::RunStep& step) override {
      const std::string prepayId = quillmark::PagePrepayId(step, tradeType_);
      if (prepayId.empty()) return;
      const std::string page = quillmark::SignedPageJsonNow(settings_.merchant, prepayId);
      page_ << "Page parameters: " << page << '\n';
      pageStatus_ = AskPageVerdict(page, settings_.merchant, page_);
    }
    void RequestsDone(const quillmark::ClientRunResult& run) override {
      std::cout << "\n--- summary ---\n";
      PrintSettings(settings_);
      status = SummariseRequests(run);
      std::cout << page_.str();
      if (status == kDone && pageStatus_ != kDone) status = pageStatus_;
    }
    int status = kNotDone;

   private:
    const quillmark::LoadedSettings& settings_;
    const std::string tradeType_;
    std::ostringstream page_;
    int pageStatus_ = kDone;
  } summary(settings, line.tradeType);
  quillmark::ClientRunOptions options;
  options.scenario = scenario;
  options.events = &summary;
  options.notifications = notifications.get();
  const quillmark::ClientRunResult run = quillmark::PlayClientRun(ops, options);
  const int status = SummariseNotification(run, summary.status);
  WriteReports(line, nullptr, nullptr, &run, settings, timestamp, started, status);
  return status;
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
        std::cerr << "  " << known.name << " (" << known.totalFee << " fen): " << known.description
                  << '\n';
      }
      return kBadUsage;
    }
    // A till's scenario is micropay's, not the NATIVE cycle's: its amount is what asks for it.
    if ((scenario->clientDoes & quillmark::kTillPayment) != 0) {
      std::cerr << "quillmark-cycle: scenario " << scenario->name
                << " is a till's: play it with micropay --amount " << scenario->totalFee
                << " --auth-code CODE\n";
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

  // Checked before anything is sent; a wrong word is shown, since neither option takes a key.
  if (!line.refundFee.empty() && !quillmark::rules::IsFee(line.refundFee)) {
    std::cerr << "quillmark-cycle: --fee \"" << quillmark::ShownText(line.refundFee)
              << "\" is not an amount: it must be a whole number of fen from 1\n";
    return kBadUsage;
  }
  if (!line.outRefundNo.empty() && !quillmark::rules::IsOrderNumber(line.outRefundNo)) {
    std::cerr << "quillmark-cycle: --out-refund-no \"" << quillmark::ShownText(line.outRefundNo)
              << "\" is not a refund number: it must be 1 to 32 letters, digits or _-|*\n";
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
  if (const std::string unusable = ClientCertificateProblem(settings); !unusable.empty()) {
    std::cerr << "quillmark-cycle: " << quillmark::ShownText(unusable) << '\n';
    return kBadUsage;
  }
  if (line.sign->parsed()) {
    return SignDocument(line.document, settings.merchant, std::cout, line.signType);
  }
  if (line.verify->parsed()) {
    return VerifyDocument(line.document, settings.merchant, std::cout, line.signType);
  }
  if (line.verifyPage->parsed()) return VerifyPage(line.document, settings.merchant, std::cout);
  if (line.micropay->parsed()) return RunTill(line, settings);
  if (line.bill->parsed()) {
    quillmark::CQuillmarkOps::Settings opsSettings =
        quillmark::CQuillmarkOps::Settings::FromMerchant(settings.merchant);
    opsSettings.escapeReplyControls = quillmark::platform::StandardOutputIsTerminal();
    quillmark::CQuillmarkOps ops(opsSettings);
    return FetchAndWriteBill(ops, line.billRequest, std::cout);
  }
  return RunRequests(line, chosen, scenario, settings);
}
