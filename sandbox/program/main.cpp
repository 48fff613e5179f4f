// quillmark-sandbox: the sandbox as a program, for trying the desktop program or
// quillmark-cycle by hand, or paying from a phone on the LAN (--lan). Serves until Ctrl+C or
// SIGTERM (or, on Windows, its console window is closed).
//
// Exit status: 0 after a stop request, 1 when it cannot start (certificate, key, address),
// 2 for a bad option or setting. `check-notify URL` checks a merchant's notification
// handler instead (sandbox/notify/check_notify.h): 0 when every answer was right, 1 otherwise;
// `scenarios [--json]` prints the test scenarios it plays (sandbox/scenarios/plays.h), 0.
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/local_sandbox.h"
#include "config/merchant_settings.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "sandbox/lan_mode.h"
#include "sandbox/merchant_ca.h"
#include "sandbox/program/banner.h"
#include "sandbox/program/program_options.h"
#include "sandbox/sandbox.h"
#include "sandbox/scenarios/plays.h"
#include "text/encoding.h"

namespace {

// The console's address with its token, for a phone in the LAN mode: from the LAN address
// the console asks for the token, which then lives in a cookie.
std::string PhoneConsoleUrl(const quillmark::sandbox::Sandbox& sandbox,
                            const std::string& httpsBase) {
  return httpsBase + "/console?token=" + sandbox.consoleToken();
}

// `client-cert`: the merchant's three files, issued by the merchant CA in the per-user
// folder (which the sandbox trusts), written to `out` or beside that CA.
int WriteClientCert(const quillmark::MerchantSettings& merchant, const std::string& out) {
  using namespace quillmark;
  const std::string folder = LocalSandboxFolder(ProcessEnvironment());
  if (folder.empty()) {
    std::cerr << "quillmark-sandbox: no per-user data folder to keep the merchant CA in"
              << std::endl;
    return 1;
  }
  sandbox::MerchantCa ca;
  std::string error;
  const std::string where = out.empty() ? ClientCertFolder(folder, merchant.mchId) : out;
  bool reused = false;
  if (!sandbox::TakeMerchantCa(folder, ca, error) ||
      !sandbox::IssueClientFiles(ca, merchant.mchId, where, error, &reused)) {
    std::cerr << "quillmark-sandbox: " << ShownText(error) << std::endl;
    return 1;
  }
  std::cout << "quillmark-sandbox: merchant " << merchant.mchId << "'s client certificate "
            << (reused ? "(still valid, kept) " : "(issued now) ") << "in " << ShownText(where)
            << ":\n  " << kClientCertP12 << "  PKCS#12, its password the merchant number ("
            << merchant.mchId << ")\n  " << kClientCertPem << "  the certificate, PEM\n  "
            << kClientKeyPem << "   its private key, PEM, readable by you only\n"
            << "quillmark-sandbox: the sandbox's /secapi/ paths want it; it is issued by its "
               "merchant CA in "
            << ShownText(folder) << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quillmark;
  // Every connection holds a descriptor, and a sandbox under load (or with many phones and
  // clients keeping connections alive) would run out at the usual soft limit long before
  // the hard one.
  const std::uint64_t openFiles = platform::RaiseOpenFileLimit();
  // UTF-8 words, so that a --config path in a folder with a Chinese name reaches the file.
  const std::vector<std::string> words = platform::CommandLineArguments(argc, argv);
  std::vector<const char*> arguments;
  for (const std::string& word : words) arguments.push_back(word.c_str());
  sandbox::ProgramOptions program;
  if (const std::optional<int> status = sandbox::ReadProgramOptions(
          static_cast<int>(arguments.size()), arguments.data(), openFiles, program)) {
    return *status;
  }
  if (program.scenarios) {
    std::cout << sandbox::ScenarioList(*program.scenarios) << std::flush;
    return 0;
  }

  // The merchant comes from the same sources as the client's, so that both change together.
  LoadedSettings settings;
  std::string problem;
  if (!LoadSettings(program.config, program.profile, ProcessEnvironment(), settings, problem)) {
    std::cerr << "quillmark-sandbox: " << ShownText(problem) << std::endl;
    return sandbox::kBadUsage;
  }
  for (const std::string& warning : settings.warnings) std::cerr << ShownText(warning) << '\n';
  if (program.checkNotify) {
    program.checkNotify->merchant = settings.merchant;
    if (!program.checkNotify->signType.empty()) {
      program.checkNotify->merchant.signType = program.checkNotify->signType;
    }
    return sandbox::CheckNotify(*program.checkNotify, std::cout);
  }
  if (program.clientCert) return WriteClientCert(settings.merchant, *program.clientCert);
  program.sandbox.merchant = settings.merchant;
  // Every merchant of the settings file gets a certificate, so that one presented for
  // another of them is refused as the platform refuses it.
  for (const std::string& profile : settings.profiles) {
    LoadedSettings other;
    if (LoadSettings(program.config, profile, ProcessEnvironment(), other, problem)) {
      program.sandbox.certifiedMerchants.push_back(other.merchant.mchId);
    }
  }

  sandbox::LanMode lan;
  std::string error;
  if (program.lan && !sandbox::PrepareLanMode(*program.lan, program.sandbox, lan, error)) {
    std::cerr << "quillmark-sandbox: " << ShownText(error) << std::endl;
    return 1;
  }

  sandbox::Sandbox server(program.sandbox);
  if (!server.Start(&error)) {
    std::cerr << "quillmark-sandbox: " << ShownText(error) << std::endl;
    return 1;
  }
  std::unique_ptr<sandbox::PhonePageServer> phonePage;
  const std::string httpsBase = "https://" + lan.address + ":" + std::to_string(server.port());
  if (program.lan) {
    phonePage = std::make_unique<sandbox::PhonePageServer>(lan, httpsBase);
    if (!phonePage->Start(program.phonePort, error)) {
      std::cerr << "quillmark-sandbox: " << ShownText(error) << std::endl;
      return 1;
    }
    server.ShowPhonePage(phonePage->url(), lan.caFingerprint);
  }
  // Only now: until the server runs there is nothing to stop cleanly, and a stop asked for
  // during start-up (making certificates, say) ends the program at once, as by default.
  platform::CatchStopRequests();
  sandbox::PrintBanner(std::cout, server, program.sandbox);
  if (phonePage) {
    std::cout << std::flush;
    // The codes are drawn in colour on a terminal only: in a log, escape sequences are noise.
    platform::WriteToStandardOutput(sandbox::LanBanner(lan, httpsBase, phonePage->url(),
                                                       PhoneConsoleUrl(server, httpsBase),
                                                       platform::StandardOutputIsTerminal()));
  }

  while (platform::StopRequested() == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::cout << "quillmark-sandbox: " << platform::StopRequestName(platform::StopRequested())
            << ", stopping" << std::endl;
  if (phonePage) phonePage->Stop();
  server.Stop();
  platform::Stopped();
  return 0;
}
