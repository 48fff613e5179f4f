// quillmark-sandbox: the sandbox as a program, for trying the desktop program or
// quillmark-cycle by hand. Serves until SIGINT or SIGTERM.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "payment/merchant_settings.h"
#include "sandbox/sandbox.h"

namespace {

// Written by the signal handler, read by the main loop: the server itself is stopped from
// ordinary code, because Stop() joins threads and a handler may do nothing of the sort.
volatile std::sig_atomic_t g_signal = 0;

extern "C" void OnSignal(int signal) { g_signal = signal; }

constexpr char kUsage[] =
    "Usage: quillmark-sandbox [OPTIONS]\n"
    "A local HTTPS stand-in for the payment platform's merchant API, knowing the merchant\n"
    "this build was configured for.\n"
    "\n"
    "  --host ADDRESS           address to listen on (default 127.0.0.1)\n"
    "  --port N                 port to listen on (default 8443; 0 picks a free one)\n"
    "  --cert FILE              PEM certificate chain (default: the build's server.pem)\n"
    "  --key FILE               PEM private key (default: the build's server.key)\n"
    "  --pay-after-queries N    mark an order paid once its N-th query is answered\n"
    "                           (default 0: only the payer page pays)\n"
    "  --config FILE            settings file naming the merchant (default: the per-user\n"
    "                           one, if there is one; QUILLMARK_APPID, QUILLMARK_MCH_ID and\n"
    "                           QUILLMARK_API_KEY override it), as for quillmark-cycle\n"
    "  --fault MODE             misbehave on every unified order, one of: stall, drop,\n"
    "                           tiny-chunks, zero-byte, not-utf8, http500, no-code-url,\n"
    "                           huge, bad-sign (default none)\n"
    "  --help                   show this text\n"
    "\n"
    "Endpoints: POST /pay/unifiedorder, POST /pay/orderquery, and the payer page\n"
    "GET /pay/qr/<out_trade_no> that each order's code_url points to.\n"
    "Stops on Ctrl+C (SIGINT) or SIGTERM.\n";

bool ParseInt(const std::string& text, int low, int high, int& value) {
  if (text.empty() || text.size() > 9) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = std::atoi(text.c_str());
  return value >= low && value <= high;
}

int Usage(const std::string& problem) {
  std::cerr << "quillmark-sandbox: " << problem << "\n"
            << "Try 'quillmark-sandbox --help'.\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  quillmark::sandbox::Options options;
  options.recordRequests = false;  // nobody reads them back from the program
  std::optional<std::string> config;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg != "--host" && arg != "--port" && arg != "--cert" && arg != "--key" &&
        arg != "--pay-after-queries" && arg != "--fault" && arg != "--config") {
      return Usage("unknown option " + arg);
    }
    if (i + 1 >= argc) return Usage(arg + " needs a value");
    const std::string value = argv[++i];
    if (arg == "--host") {
      options.host = value;
    } else if (arg == "--port") {
      if (!ParseInt(value, 0, 65535, options.port)) return Usage("bad port " + value);
    } else if (arg == "--cert") {
      options.certFile = value;
    } else if (arg == "--key") {
      options.keyFile = value;
    } else if (arg == "--config") {
      config = value;
    } else if (arg == "--pay-after-queries") {
      if (!ParseInt(value, 0, 1'000'000, options.payAfterQueries)) {
        return Usage("bad query count " + value);
      }
    } else if (!quillmark::sandbox::ParseFault(value, options.fault)) {
      return Usage("unknown fault mode " + value);
    }
  }

  // The merchant comes from the same sources as the client's, so that both change together.
  quillmark::LoadedSettings settings;
  std::string problem;
  if (!quillmark::LoadSettings(config, quillmark::ProcessEnvironment(), settings, problem)) {
    std::cerr << "quillmark-sandbox: " << problem << std::endl;
    return 2;
  }
  for (const std::string& warning : settings.warnings) std::cerr << warning << '\n';
  options.merchant = {settings.merchant.appId, settings.merchant.mchId, settings.merchant.apiKey};

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  quillmark::sandbox::Sandbox sandbox(options);
  std::string error;
  if (!sandbox.Start(&error)) {
    std::cerr << "quillmark-sandbox: " << error << std::endl;
    return 1;
  }
  std::cout << "quillmark-sandbox listening on " << sandbox.baseUrl();
  if (options.fault != quillmark::sandbox::Fault::kNone) {
    std::cout << " (fault mode " << quillmark::sandbox::FaultName(options.fault) << ")";
  }
  if (options.payAfterQueries > 0) {
    std::cout << " (an order is paid once it has been queried " << options.payAfterQueries
              << (options.payAfterQueries == 1 ? " time)" : " times)");
  }
  std::cout << std::endl;
  if (!sandbox.caFile().empty()) {
    std::cout << "quillmark-sandbox: its certificate is issued by the CA in " << sandbox.caFile()
              << std::endl;
  }

  while (g_signal == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::cout << "quillmark-sandbox: signal " << g_signal << ", stopping" << std::endl;
  sandbox.Stop();
  return 0;
}
