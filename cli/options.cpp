// The command line of options.h.
#include "cli/options.h"

#include <iostream>

#include "cli/exit_status.h"
#include "config/merchant_settings.h"
#include "config/program_options.h"
#include "protocol/sign.h"
#include "text/encoding.h"

namespace quillmark::cli {

const OrderCommand kOrderCommands[5] = {
    {"query", &kOrderQueryOperation,
     "query the state of one order, such as one paid from a phone, and print it",
     "Query:         ", nullptr, nullptr, "query reply"},
    {"close", &kCloseOrderOperation,
     "close one order that was not paid, so that it can no longer be paid",
     "Close order:   ", "closed", "not closed", "close reply"},
    {"refund", &kRefundOperation,
     "refund one paid order: what its refunds left of it, or --fee FEN, as learnt from its "
     "queries first",
     "Refund:        ", "refunded", "not refunded", "refund reply"},
    {"refundquery", &kRefundQueryOperation,
     "ask how the refund of one order went, and print its status", "Refund query:  ", nullptr,
     nullptr, "refund query reply"},
    {"reverse", &kReverseOperation,
     "reverse one till's payment (micropay): close it for good, or refund it whole",
     "Reverse:       ", "reversed", "not reversed", "reverse reply"},
};

const OrderCommand* CommandLine::Chosen() const {
  const OrderCommand* chosen = nullptr;
  for (const auto& [command, sub] : commands) {
    if (sub->parsed()) chosen = command;
  }
  return chosen;
}

namespace {

// The settings, a line each from config/settings.def's rows, and where their values come
// from.
std::string SettingsHelp() {
  std::string help =
      "Settings: the build's defaults, then the settings file's [merchant], then the chosen "
      "profile's section of it ([profile NAME], any of the same keys), then the environment:\n";
  for (const quillmark::SettingKey& key : quillmark::SettingKeys()) {
    help += std::string("  ") + key.fileKey + " (" + key.environment + "): " + key.help + "\n";
  }
  return help;
}

}  // namespace

// Every option and command of `app`, read into `line`.
void DefineOptions(CLI::App& app, CommandLine& line) {
  AddSettingsOptions(app, line.config, line.profile);
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
    if (command.operation == &kRefundOperation) {
      sub->add_option("--fee", line.refundFee,
                      "the amount to refund in fen, 1 up to what the order's refunds left of it "
                      "(default: all of that)")
          ->option_text("FEN");
      sub->add_option("--out-refund-no", line.outRefundNo,
                      "the refund's number, 1 to 32 letters, digits or _-|*; the same number with "
                      "the same amount is the same refund (default: a fresh number)")
          ->option_text("NO");
    }
    line.commands.emplace_back(&command, sub);
  }
  line.micropay = app.add_subcommand(
      "micropay",
      "pay at a till with the payment code a payer shows: micropay, then a query every 5 s "
      "while the payer types a password (or at once after SYSTEMERROR or BANKERROR), and a "
      "reverse after 30 s without an outcome; exit 0 paid, 4 reversed, 1 refused");
  line.micropay
      ->add_option("--auth-code", line.authCode,
                   "the code the till scanned: 18 digits beginning with 10 to 15")
      ->option_text("CODE")
      ->required();
  line.micropay->add_option("--amount", line.amount, "the amount in fen (default 1)")
      ->option_text("FEN")
      ->check(CLI::Range(1LL, 2147483647LL));
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
          return ParseSignType(value) ? std::string() : "unknown sign type " + value;
        });
  }
  line.verifyPage = app.add_subcommand(
      "verify-page",
      "ask the API base's sandbox whether a JSAPI page's parameters (a JSON object of appId, "
      "timeStamp, nonceStr, package, signType and paySign; - for standard input) pass its "
      "check of paySign, prepay_id and timeStamp; exit 0 when they pass, 3 otherwise");
  line.verifyPage->add_option("FILE", line.document, "the parameters as JSON, UTF-8")->required();
  line.bill = app.add_subcommand(
      "bill",
      "fetch the day's bill, write it whole (as it came, gzip with --gzip) and print its "
      "summary; a day with no bill is said as refused");
  line.bill->add_option("--date", line.billRequest.date, "the day, platform time (UTC+8)")
      ->option_text("YYYYMMDD")
      ->required()
      ->check([](const std::string& value) {
        const bool digits =
            value.size() == 8 && value.find_first_not_of("0123456789") == std::string::npos;
        return digits ? std::string() : std::string("--date must be eight digits, YYYYMMDD");
      });
  line.bill->add_option("--type", line.billRequest.type, "ALL (default), SUCCESS or REFUND")
      ->option_text("TYPE")
      ->check(CLI::IsMember({"ALL", "SUCCESS", "REFUND"}));
  line.bill->add_flag("--gzip", line.billRequest.gzip, "ask for the bill gzip-compressed");
  line.bill
      ->add_option("--out", line.billRequest.out,
                   "where the bill goes (default bill_YYYYMMDD_TYPE.csv, .csv.gz with --gzip)")
      ->option_text("FILE");
  app.add_option("--await-notify", line.awaitNotify,
                 "listen for the order's payment notification at notify_url (or notify_listen) "
                 "from before the first request, and wait up to SECONDS after the cycle for it "
                 "(after refund: for the refund's notification)")
      ->option_text("SECONDS")
      ->check(CLI::Range(0.0, 3600.0));
  app.add_option("--scenario", line.scenario,
                 "place the order with the amount of the sandbox's test scenario NAME and "
                 "play it through: a SYSTEMERROR retried, a USERPAYING polled on, a refund "
                 "made and queried for the refund-* ones")
      ->option_text("NAME");
  app.add_option("--trade-type", line.tradeType,
                 "place the cycle's order as NATIVE (the default: a payment link and its QR "
                 "bitmap), JSAPI (for a made-up payer; the page's signed parameters are printed "
                 "and checked by the sandbox), MWEB (for a made-up site) or APP")
      ->option_text("TYPE")
      ->check(CLI::IsMember({"NATIVE", "JSAPI", "MWEB", "APP"}));
  app.add_option("--report", line.reports,
                 "also write the run's steps as a JUnit XML (junit:FILE) or JSON (json:FILE) "
                 "report; may be given more than once")
      ->option_text("KIND:FILE")
      ->allow_extra_args(false);
  app.require_subcommand(0, 1);
  app.footer(SettingsHelp() + ExitStatusHelp());
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
              << (unknown.empty() ? " or argument" : ShownText(unknown))
              << "\nRun with --help for more information.\n";
    return kBadUsage;
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : kBadUsage;
  }
  return std::nullopt;
}

// --report's words into line.reportTargets; false, said on standard error, for one that
// names no kind or no file that can be written. Checked before anything is sent: a report
// that could not be written after the run would be found missing only by the CI job that
// looks for it.
bool ReadReportTargets(CommandLine& line) {
  for (const std::string& word : line.reports) {
    std::string problem;
    const std::optional<ReportTarget> target = ParseReportTarget(word, problem);
    if (!target) {
      std::cerr << "quillmark-cycle: " << problem << '\n';
      return false;
    }
    line.reportTargets.push_back(*target);
  }
  std::string problem;
  if (!DistinctTargets(line.reportTargets, problem)) {
    std::cerr << "quillmark-cycle: " << problem << '\n';
    return false;
  }
  if (!line.reports.empty() &&
      (line.sign->parsed() || line.verify->parsed() || line.bill->parsed())) {
    std::cerr << "quillmark-cycle: --report is for the cycle and the order commands, not for"
              << " sign, verify or bill\n";
    return false;
  }
  return true;
}

}  // namespace quillmark::cli
