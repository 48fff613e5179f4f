// The options of program_options.h: CLI11's app, each option's check, and what the
// values become in the sandbox's Options.
#include "sandbox/program/program_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

#include "config/merchant_settings.h"
#include "config/program_options.h"
#include "platform/process.h"
#include "protocol/field_rules.h"
#include "protocol/operation.h"
#include "sandbox/lan_mode.h"
#include "sandbox/notify/notifier.h"
#include "sandbox/order/order_life.h"
#include "sandbox/store/state_store.h"
#include "text/encoding.h"
#include "text/url_parts.h"

namespace quillmark::sandbox {
namespace {

// Ten years: far beyond any use, and far from overflowing a clock's time point.
constexpr std::uint64_t kMaxOrderTtl = 315'360'000;
// The default bound on connections: half the open-file limit, leaving the rest to the
// notifier's connections, the certificate files and the like, and at most this many, so
// that the memory they may take stays modest (bench/README.md has the figure per
// connection).
constexpr std::uint64_t kDefaultMaxConnectionsCeiling = 4096;
constexpr std::uint64_t kMaxConnectionsLimit = 1'000'000;

bool IsDigits(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A whole decimal number in [low, high], without sign or spaces.
bool ParseWhole(const std::string& text, std::uint64_t low, std::uint64_t high,
                std::uint64_t& value) {
  if (!IsDigits(text) || text.size() > 12) return false;
  value = std::stoull(text);
  return value >= low && value <= high;
}

// The check of an option that takes a whole number in [low, high]: nothing when the value
// is one, else `bad`, the value and `range` ("bad port http", "bad order count 0 (a whole
// number from 1 to 1000000000)").
std::function<std::string(const std::string&)> WholeIn(std::uint64_t low, std::uint64_t high,
                                                       std::string bad, std::string range) {
  return [low, high, bad = std::move(bad), range = std::move(range)](const std::string& value) {
    std::uint64_t n = 0;
    return ParseWhole(value, low, high, n) ? std::string() : bad + " " + value + range;
  };
}

// Why `url` cannot be the base of code_url, or empty when it can: http:// or https://, a
// host, an optional port, and nothing after but an optional '/'.
std::string PublicUrlProblem(const std::string& url) {
  const std::string bad = "bad URL " + url + ": ";
  const std::string example = " (for example https://192.168.1.20:8443)";
  if (url.rfind("https://", 0) != 0 && url.rfind("http://", 0) != 0) {
    return bad + "it must start with http:// or https://" + example;
  }
  UrlParts parts;
  if (!SplitUrl(url, parts)) {
    return bad + "it must name a host (an IPv6 address in brackets) and may add a port up to " +
           "65535" + example;
  }
  if (!parts.rest.empty() && parts.rest != "/") {
    return bad + "only scheme, host and port are allowed, no path, query or fragment" + example;
  }
  return "";
}

// The delays as --notify-delays takes them: "15,30,60,300,900,1800,3600".
std::string DelaysOption(const std::vector<std::chrono::milliseconds>& delays) {
  std::string text;
  for (const auto& delay : delays) {
    text += (text.empty() ? "" : ",") + DelaySeconds(delay);
  }
  return text;
}

// The option word a usage error is about, for the message: the words CLI11 left over.
std::string ExtrasProblem(const std::vector<std::string>& extras) {
  for (const std::string& word : extras) {
    if (word.size() > 1 && word[0] == '-') return "unknown option " + word;
  }
  return extras.empty() ? std::string("unexpected argument")
                        : "unexpected argument " + extras.front() + " (every option has a name)";
}

// `text`, then each word after its separator, where the line would grow past `width` a
// line break taking the place of the separator's trailing space.
struct SeparatedWord {
  std::string separator;
  std::string word;
};
std::string Wrapped(std::string text, const std::vector<SeparatedWord>& words, std::size_t width) {
  std::size_t line = text.size();
  for (const auto& [separator, word] : words) {
    if (!separator.empty() && line + separator.size() + word.size() > width) {
      text += separator.substr(0, separator.size() - 1) + "\n";
      line = 0;
    } else {
      text += separator;
      line += separator.size();
    }
    text += word;
    line += word.size();
  }
  return text;
}

// "stall, drop, ... bad-sign", from the faults' own table, in lines that fit the help.
std::string FaultList() {
  std::vector<SeparatedWord> words;
  for (const Fault fault : AllFaults()) {
    if (fault == Fault::kNone) continue;
    words.push_back({words.empty() ? "" : ", ", FaultName(fault)});
  }
  return Wrapped("", words, 48);
}

// "POST /pay/unifiedorder, /pay/orderquery, ... and /pay/refundquery", from the
// operations' declarations, in lines that fit the help.
std::string EndpointList() {
  std::vector<SeparatedWord> words;
  for (std::size_t i = 0; i < kOperations.size(); ++i) {
    words.push_back({i == 0                        ? " "
                     : i + 1 == kOperations.size() ? " and "
                                                   : ", ",
                     kOperations[i]->path});
  }
  return Wrapped("Endpoints: POST", words, 76);
}

constexpr char kRunHelp[] = "\nRun with --help for more information.\n";

// What the command line holds before it becomes the sandbox's Options: the values that
// want converting, and the options whose presence alone matters.
struct CommandLine {
  std::string fault;
  std::string notifyDelays;
  std::string clockOffset;
  bool noNotify = false;
  std::uint64_t orderTtl = 0;
  std::optional<std::string> stateFile;
  std::uint64_t journalMax = 0;
  std::uint64_t maxConnections = 0;
  std::string lanAddress;
  const CLI::Option* lan = nullptr;
  const CLI::Option* phonePort = nullptr;
  const CLI::Option* host = nullptr;
  const CLI::Option* publicUrl = nullptr;
  const CLI::Option* cert = nullptr;
  const CLI::Option* key = nullptr;
  const CLI::Option* notifyDelaysOption = nullptr;
  const CLI::Option* notifyCa = nullptr;
  CheckNotifyOptions check;
  CLI::App* checkNotify = nullptr;
  CLI::App* scenarios = nullptr;
  bool scenariosJson = false;
  CLI::App* clientCert = nullptr;
  std::string clientCertOut;
};

// Why `value` cannot be --lan's address, or empty when it can.
std::string LanAddressProblem(const std::string& value) {
  if (value.empty() || LanCaSignsFor(value)) return std::string();
  return "bad address " + value +
         (rules::IsDottedIpv4(value) && value != "0.0.0.0"
              ? " (not a private address, 10.0.0.0/8, 172.16.0.0/12 or "
                "192.168.0.0/16, nor a loopback one: the sandbox's CA signs for no "
                "other)"
              : " (the dotted IPv4 address a phone reaches this machine by)");
}

// Where the sandbox listens, what code_url names and the certificate it serves.
// Each value is checked by a function that says what is wrong before CLI11 converts it;
// CLI11 puts the option's name in front ("--port: bad port http").
void AddAddressOptions(CLI::App& app, const Options& defaults, ProgramOptions& program,
                       CommandLine& line) {
  Options& options = program.sandbox;
  line.lan = app.add_option("--lan", line.lanAddress,
                            "pay from a phone: listen on every interface, base\n"
                            "code_url on ADDRESS (default: the first IPv4\n"
                            "address of an interface that is up and not\n"
                            "loopback), serve a certificate naming it from the\n"
                            "sandbox's own CA, and offer that CA on a plain\n"
                            "HTTP page whose QR code it prints")
                 ->option_text("[ADDRESS]")
                 ->expected(0, 1)
                 ->check(LanAddressProblem);
  const auto port = WholeIn(0, 65535, "bad port", "");
  line.phonePort =
      app.add_option("--phone-port", program.phonePort,
                     "with --lan: port of the phone's first page\n(default 0: a free one)")
          ->option_text("N")
          ->check(port);
  line.host = app.add_option("--host", options.host,
                             "address to listen on (default " + defaults.host +
                                 ";\n0.0.0.0 for every interface, so that a phone\non the LAN "
                                 "can pay)")
                  ->option_text("ADDRESS");
  app.add_option(
         "--port", options.port,
         "port to listen on (default " + std::to_string(defaults.port) + ";\n0 picks a free one)")
      ->option_text("N")
      ->check(port);
  line.publicUrl = app.add_option("--public-url", options.publicUrl,
                                  "base of each order's code_url for a phone on the\n"
                                  "LAN, e.g. https://192.168.1.20:8443 (default:\n"
                                  "the address it listens on)")
                       ->option_text("URL")
                       ->check(PublicUrlProblem);
  app.add_option("--mweb-domain", options.mwebDomain,
                 "the merchant's registered domain: MWEB's page is\n"
                 "shown only from a page on it or below it\n"
                 "(default: any loopback or LAN address)")
      ->option_text("HOST")
      ->check([](const std::string& value) {
        const bool name = !value.empty() && value.size() <= 253 &&
                          value.find_first_not_of(
                              "abcdefghijklmnopqrstuvwxyz"
                              "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") == std::string::npos &&
                          value.front() != '.' && value.front() != '-';
        return name ? std::string() : "bad domain " + value + " (a host name, e.g. shop.example)";
      });
  line.cert = app.add_option("--cert", options.certFile,
                             "PEM certificate chain (default: the build's\n"
                             "server.pem, or one it makes itself)")
                  ->option_text("FILE");
  line.key = app.add_option("--key", options.keyFile,
                            "PEM private key (default: the build's server.key,\n"
                            "or one it makes itself)")
                 ->option_text("FILE");
}

// How the sandbox answers: its merchant, its faults, when it pays and notifies.
void AddBehaviourOptions(CLI::App& app, const Options& defaults, ProgramOptions& program,
                         CommandLine& line) {
  Options& options = program.sandbox;
  app.add_option("--pay-after-queries", options.payAfterQueries,
                 "mark an order paid once its N-th query is\nanswered (default " +
                     std::to_string(defaults.payAfterQueries) + ": only the payer page pays)")
      ->option_text("N")
      ->check(WholeIn(0, 1'000'000, "bad query count", " (0 to 1000000)"));
  app.add_option("--clock-offset", line.clockOffset,
                 "run the sandbox's clock this far from the\nmachine's, as 7d1m, -2h or 6d23h59m: "
                 "orders,\ncodes and bills are stamped and aged by it\n(default 0)")
      ->option_text("OFFSET")
      ->check([](const std::string& value) {
        std::int64_t offset = 0;
        return ParseClockOffset(value, offset)
                   ? std::string()
                   : "bad clock offset " + value +
                         " (days, hours, minutes, seconds, as 7d1m or -2h; at most 3650 days)";
      });
  app.add_flag("--bill-ready-now", options.billReadyNow,
               "serve a day's bill as soon as the day has begun\n(default: from 10:00 the "
               "next day, UTC+8)");
  AddSettingsOptions(app, program.config, program.profile);
  app.add_option("--fault", line.fault,
                 "misbehave on every unified order, one of:\n" + FaultList() + " (default none)")
      ->option_text("MODE")
      ->check([](const std::string& value) {
        Fault parsed{};
        return ParseFault(value, parsed) ? std::string() : "unknown fault mode " + value;
      });
  line.notifyDelaysOption = app.add_option("--notify-delays", line.notifyDelays,
                                           "a paid order is notified to its notify_url at\n"
                                           "once, then again after each of these delays in\n"
                                           "seconds until it is acknowledged (fractions\n"
                                           "allowed; default " +
                                               DelaysOption(defaults.notifyDelays) + ")")
                                ->option_text("LIST")
                                ->check([](const std::string& value) {
                                  std::vector<std::chrono::milliseconds> delays;
                                  std::string error;
                                  return ParseNotifyDelays(value, delays, error)
                                             ? std::string()
                                             : "bad delay list " + value + ": " + error;
                                });
  line.notifyCa = app.add_option("--notify-ca", options.notifyCaFile,
                                 "PEM CAs to trust for https notify URLs\n"
                                 "(default: the system's trust store)")
                      ->option_text("FILE");
  app.add_flag("--no-notify", line.noNotify, "send no payment notifications");
}

// What the sandbox keeps, and for how long: orders, connections, its state and journal.
void AddStoreOptions(CLI::App& app, const Options& defaults, ProgramOptions& program,
                     CommandLine& line) {
  Options& options = program.sandbox;
  app.add_option("--order-ttl", line.orderTtl,
                 "forget an order this long after it was placed\n(default " +
                     std::to_string(line.orderTtl) + ")")
      ->option_text("SECONDS")
      ->check(WholeIn(1, kMaxOrderTtl, "bad order lifetime",
                      " (a whole number of seconds from 1 to 315360000)"));
  app.add_option("--max-orders", options.maxOrders,
                 "keep at most N orders, forgetting the oldest\nfirst (default " +
                     std::to_string(defaults.maxOrders) + ")")
      ->option_text("N")
      ->check(
          WholeIn(1, 1'000'000'000, "bad order count", " (a whole number from 1 to 1000000000)"));
  app.add_option("--max-connections", line.maxConnections,
                 "serve at most N connections at once, closing\n"
                 "any more as soon as they connect (default " +
                     std::to_string(line.maxConnections) + ":\nhalf the open-file limit, at most " +
                     std::to_string(kDefaultMaxConnectionsCeiling) + ")")
      ->option_text("N")
      ->check(WholeIn(1, kMaxConnectionsLimit, "bad connection count",
                      " (a whole number from 1 to 1000000)"));
  app.add_option("--state", line.stateFile,
                 "keep orders, the request journal and notification\n"
                 "attempts in this SQLite file, and take up from it\n"
                 "at start (default: state.db under the build\n"
                 "folder, or in the per-user data folder when\n"
                 "installed); :memory: keeps nothing")
      ->option_text("FILE");
  app.add_option("--journal-max", line.journalMax,
                 "keep the last N requests in the journal (default\n" +
                     std::to_string(defaults.journalMax) + "; 0: none), bodies cut at " +
                     std::to_string(kKeptTextBytes) + " bytes")
      ->option_text("N")
      ->check(WholeIn(0, 100'000'000, "bad journal size", " (a whole number from 0 to 100000000)"));
}

// A subcommand of its own: it runs no server, and takes none of the server's options.
void AddCheckNotify(CLI::App& app, CommandLine& line) {
  line.checkNotify = app.add_subcommand(
      "check-notify",
      "send a made-up paid order's notifications to a merchant's handler at URL, genuine and\n"
      "forged in every way, and print whether each answer was right (exit 0 when all were)");
  line.checkNotify
      ->add_option("URL", line.check.url, "the handler's notify_url (http:// or https://)")
      ->required()
      ->check([](const std::string& value) {
        return value.rfind("http://", 0) == 0 || value.rfind("https://", 0) == 0
                   ? std::string()
                   : "bad URL " + value + ": it must start with http:// or https://";
      });
  line.checkNotify
      ->add_option("--order", line.check.outTradeNo,
                   "an order number the handler knows (default: a made-up one)")
      ->option_text("OUT_TRADE_NO")
      ->check([](const std::string& value) {
        return rules::IsOrderNumber(value)
                   ? std::string()
                   : "bad order number " + value + " (1 to 32 letters, digits or _-|*)";
      });
  line.checkNotify->add_option("--ca", line.check.caFile, "PEM CAs to trust for an https URL")
      ->option_text("FILE");
  line.checkNotify->add_flag("--refund", line.check.refund,
                             "check a refund handler instead: a made-up refund of the order\n"
                             "notified genuinely, then with req_info under another key, cut\n"
                             "short, badly padded or altered, as a payment notification, and\n"
                             "as a FAIL without req_info");
  line.checkNotify
      ->add_option("--sign-type", line.check.signType,
                   "sign the notifications as orders of this type are: MD5 or HMAC-SHA256\n"
                   "(default: the settings' sign_type)")
      ->option_text("TYPE")
      ->check([](const std::string& value) {
        return ParseSignType(value) ? std::string()
                                    : "unknown sign type " + value + " (MD5 or HMAC-SHA256)";
      });
}

// Another subcommand that runs no server: the scenarios' table.
void AddScenarios(CLI::App& app, CommandLine& line) {
  line.scenarios = app.add_subcommand(
      "scenarios",
      "print the test scenarios the sandbox plays: each one's name, the amount in fen that\n"
      "asks for it, and what it does");
  line.scenarios->add_flag("--json", line.scenariosJson,
                           "as a JSON array of {\"name\", \"amount\", \"description\"}");
}

// Another: the merchant's client certificate files, issued by the merchant CA.
void AddClientCert(CLI::App& app, ProgramOptions& program, CommandLine& line) {
  line.clientCert = app.add_subcommand(
      "client-cert",
      "write the merchant's API client certificate as the platform hands it out:\n"
      "apiclient_cert.p12 (its password the merchant number), apiclient_cert.pem and\n"
      "apiclient_key.pem, issued by the sandbox's merchant CA, and say where they are");
  AddSettingsOptions(*line.clientCert, program.config, program.profile);
  line.clientCert
      ->add_option("--out", line.clientCertOut,
                   "write them to this folder (default: the per-user folder's, by\n"
                   "merchant number, which the sandbox trusts and the clients read)")
      ->option_text("DIR");
}

// Parses argv into `app`. Nothing when the program is to go on; otherwise the status it
// ends with, after --help, or after a message on standard error.
std::optional<int> Parse(CLI::App& app, int argc, const char* const* argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::ExtrasError&) {
    std::cerr << "quillmark-sandbox: " << ExtrasProblem(app.remaining()) << kRunHelp;
    return kBadUsage;
  } catch (const CLI::ArgumentMismatch& e) {
    // "--port: 1 required TEXT missing" says less than it should.
    const std::string what = e.what();
    const std::size_t colon = what.find(": ");
    const bool missing = what.find(" missing") != std::string::npos && colon != std::string::npos;
    std::cerr << "quillmark-sandbox: "
              << (missing ? what.substr(0, colon) + " needs a value" : what) << kRunHelp;
    return kBadUsage;
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : kBadUsage;
  }
  return std::nullopt;
}

// The options that contradict one another, or name a file that is no regular file: empty
// when there are none, else the message (without the program's name).
std::string Contradiction(const CommandLine& line, const Options& options) {
  // The LAN mode chooses the address, the code_url and the certificate itself.
  if (line.lan->count() > 0) {
    for (const CLI::Option* other : {line.host, line.publicUrl, line.cert, line.key}) {
      if (other->count() > 0) return "--lan contradicts " + other->get_name();
    }
  } else if (line.phonePort->count() > 0) {
    return "--phone-port needs --lan";
  }
  if (line.noNotify && (line.notifyDelaysOption->count() > 0 || line.notifyCa->count() > 0)) {
    return std::string("--no-notify contradicts ") +
           (line.notifyDelaysOption->count() > 0 ? "--notify-delays" : "--notify-ca");
  }
  // Files are checked for what they are before anything opens them: a pipe's open waits
  // for a writer for ever, and a device or a folder reads as endless or empty.
  const struct {
    const char* option;
    const std::string& path;
  } files[] = {{"--cert", options.certFile},
               {"--key", options.keyFile},
               {"--notify-ca", options.notifyCaFile}};
  for (const auto& file : files) {
    if (file.path.empty()) continue;
    const std::string unusable = NotARegularFile(file.path, kMaxCaFileBytes);
    if (unusable.empty()) continue;
    return std::string(file.option) + " " + EscapeControls(file.path) +
           " cannot be used: " + unusable;
  }
  return "";
}

// The checked values of `line` into `options`.
void Apply(const CommandLine& line, Options& options) {
  // Checked when parsed; these cannot fail.
  ParseFault(line.fault, options.fault);
  if (!options.publicUrl.empty() && options.publicUrl.back() == '/') options.publicUrl.pop_back();
  if (!line.notifyDelays.empty()) {
    std::string error;
    ParseNotifyDelays(line.notifyDelays, options.notifyDelays, error);
  }
  options.notify = !line.noNotify;
  std::int64_t clockOffset = 0;
  if (!line.clockOffset.empty()) ParseClockOffset(line.clockOffset, clockOffset);
  options.clockOffset = std::chrono::milliseconds(clockOffset);
  options.orderTtl = std::chrono::seconds(static_cast<std::chrono::seconds::rep>(line.orderTtl));
  options.maxConnections = static_cast<std::size_t>(line.maxConnections);
  options.journalMax = static_cast<std::size_t>(line.journalMax);
  options.stateFile = line.stateFile ? *line.stateFile : DefaultStateFile(ProcessEnvironment());
  // The C library keeps what closed connections freed (about 87 KiB each, bench/README.md)
  // for later allocations, so a burst of thousands would hold hundreds of megabytes for
  // the life of the process. Handed back once the burst is over, in tens of milliseconds.
  options.afterConnectionBurst = [] { platform::ReleaseFreedMemory(); };
}

}  // namespace

std::optional<int> ReadProgramOptions(int argc, const char* const* argv, std::uint64_t openFiles,
                                      ProgramOptions& program) {
  const Options defaults;
  program.sandbox.recordRequests = false;  // nobody reads them back from the program
  CommandLine line;
  line.fault = FaultName(defaults.fault);
  line.orderTtl = static_cast<std::uint64_t>(defaults.orderTtl.count());
  line.journalMax = defaults.journalMax;
  line.maxConnections =
      openFiles == 0 ? kDefaultMaxConnectionsCeiling
                     : std::clamp<std::uint64_t>(openFiles / 2, 1, kDefaultMaxConnectionsCeiling);

  CLI::App app(
      "A local HTTPS stand-in for the payment platform's merchant API, knowing the\n"
      "merchant this build was configured for.",
      "quillmark-sandbox");
  app.get_formatter()->column_width(26);
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return std::string("quillmark-sandbox: ") + e.what() + kRunHelp;
  });
  // A repeated option counts once, with its last value, as it did before CLI11.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  AddAddressOptions(app, defaults, program, line);
  AddBehaviourOptions(app, defaults, program, line);
  AddStoreOptions(app, defaults, program, line);
  AddCheckNotify(app, line);
  AddScenarios(app, line);
  AddClientCert(app, program, line);
  app.require_subcommand(0, 1);
  app.footer(
      EndpointList() +
      ",\nthe payer page GET /pay/qr/<out_trade_no> that each order's code_url points to,\n"
      "and the console GET /console (open from this machine; from another address with\n"
      "the token it prints at start).\n"
      "Stops on Ctrl+C (SIGINT) or SIGTERM, or, on Windows, when its console window closes.\n"
      "Exit status: 0 stopped by a signal, 1 cannot start (certificate, key or\n"
      "address), 2 bad option or setting; check-notify: 0 every answer right, 1 not.");

  if (const std::optional<int> status = Parse(app, argc, argv)) return status;
  if (line.checkNotify->parsed()) {
    program.checkNotify = line.check;
    return std::nullopt;
  }
  if (line.scenarios->parsed()) {
    program.scenarios = line.scenariosJson;
    return std::nullopt;
  }
  if (line.clientCert->parsed()) {
    program.clientCert = line.clientCertOut;
    return std::nullopt;
  }
  if (line.lan->count() > 0) program.lan = line.lanAddress;
  const std::string contradiction = Contradiction(line, program.sandbox);
  if (!contradiction.empty()) {
    std::cerr << "quillmark-sandbox: " << contradiction << kRunHelp;
    return kBadUsage;
  }
  Apply(line, program.sandbox);
  return std::nullopt;
}

std::string UrlHostOf(const std::string& url) {
  UrlParts parts;
  return SplitUrl(url, parts) ? UrlHost(parts.host) : std::string();
}

}  // namespace quillmark::sandbox
