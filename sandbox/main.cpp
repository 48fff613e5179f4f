// quillmark-sandbox: the sandbox as a program, for trying the desktop program or
// quillmark-cycle by hand, or paying from a phone on the LAN. Serves until Ctrl+C or
// SIGTERM (or, on Windows, its console window is closed).
//
// Exit status: 0 after a stop request, 1 when it cannot start (certificate, key, address),
// 2 for a bad option or setting. `check-notify URL` checks a merchant's notification
// handler instead (sandbox/check_notify.h): 0 when every answer was right, 1 otherwise.
#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "payment/merchant_settings.h"
#include "platform/process.h"
#include "sandbox/banner.h"
#include "sandbox/program_options.h"
#include "sandbox/sandbox.h"

int main(int argc, char** argv) {
  using namespace quillmark;
  // Every connection holds a descriptor, and a sandbox under load (or with many phones and
  // clients keeping connections alive) would run out at the usual soft limit long before
  // the hard one.
  const std::uint64_t openFiles = platform::RaiseOpenFileLimit();
  sandbox::ProgramOptions program;
  if (const std::optional<int> status =
          sandbox::ReadProgramOptions(argc, argv, openFiles, program)) {
    return *status;
  }

  // The merchant comes from the same sources as the client's, so that both change together.
  LoadedSettings settings;
  std::string problem;
  if (!LoadSettings(program.config, ProcessEnvironment(), settings, problem)) {
    std::cerr << "quillmark-sandbox: " << problem << std::endl;
    return sandbox::kBadUsage;
  }
  for (const std::string& warning : settings.warnings) std::cerr << warning << '\n';
  if (program.checkNotify) {
    program.checkNotify->merchant = settings.merchant;
    return sandbox::CheckNotify(*program.checkNotify, std::cout);
  }
  program.sandbox.merchant = settings.merchant;

  sandbox::Sandbox server(program.sandbox);
  std::string error;
  if (!server.Start(&error)) {
    std::cerr << "quillmark-sandbox: " << error << std::endl;
    return 1;
  }
  // Only now: until the server runs there is nothing to stop cleanly, and a stop asked for
  // during start-up (making certificates, say) ends the program at once, as by default.
  platform::CatchStopRequests();
  sandbox::PrintBanner(std::cout, server, program.sandbox);

  while (platform::StopRequested() == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::cout << "quillmark-sandbox: signal " << platform::StopRequested() << ", stopping"
            << std::endl;
  server.Stop();
  platform::Stopped();
  return 0;
}
