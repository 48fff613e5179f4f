// Quillmark.exe: starts the main dialog over the run-time settings (the build's defaults,
// %APPDATA%\Quillmark\quillmark.ini or --config FILE, its --profile NAME or QUILLMARK_PROFILE,
// QUILLMARK_* variables), its scenario row at --scenario NAME, and ends when it closes. A bad
// setting is shown in a message box and ends the program with status 2.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, whose types they use.
#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <optional>
#include <string>

#include "client/quillmark_ops.h"
#include "config/merchant_settings.h"
#include "config/program_options.h"
#include "platform/platform.h"
#include "protocol/scenarios.h"
#include "shell/core/texts.h"
#include "shell/win32/main_dialog.h"
#include "shell/win32/win_util.h"

namespace {

// The value after `name` on the command line: --config, --profile and --scenario are the
// options the program takes; the last one given counts.
std::optional<std::string> Option(const char* name) {
  int count = 0;
  std::unique_ptr<LPWSTR, decltype(&LocalFree)> args(CommandLineToArgvW(GetCommandLineW(), &count),
                                                     &LocalFree);
  if (!args) return std::nullopt;
  std::optional<std::string> value;
  for (int i = 1; i + 1 < count; ++i) {
    if (std::wstring(args.get()[i]) == quillmark::win32::Wide(name)) {
      value = quillmark::win32::Utf8(args.get()[i + 1]);
    }
  }
  return value;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);

  const quillmark::Environment environment = quillmark::ProcessEnvironment();
  const std::optional<std::string> config = Option(quillmark::kConfigOption.name);
  quillmark::LoadedSettings settings;
  std::string problem;
  if (!quillmark::LoadSettings(config, Option(quillmark::kProfileOption.name), environment,
                               settings, problem)) {
    MessageBoxW(nullptr, quillmark::win32::Wide(problem).c_str(), L"Quillmark", MB_ICONERROR);
    return 2;
  }
  const std::optional<std::string> scenario = Option(quillmark::kWindowScenarioOption.name);
  if (scenario && quillmark::FindScenario(*scenario) == nullptr) {
    // Not echoed: a stray word on the command line could be a key.
    MessageBoxW(nullptr, L"--scenario names no known scenario", L"Quillmark", MB_ICONERROR);
    return 2;
  }
  const std::string settingsFile = config.value_or(quillmark::DefaultSettingsFile(environment));
  quillmark::CQuillmarkOps::Settings opsSettings =
      quillmark::CQuillmarkOps::Settings::FromMerchant(settings.merchant);
  // Started from a console, the cycle's lines go there too: no reply may drive it.
  opsSettings.escapeReplyControls = quillmark::platform::StandardOutputIsTerminal();
  quillmark::win32::MainDialog dialog(quillmark::CQuillmarkOps(opsSettings), settingsFile,
                                      settings.profile, scenario.value_or(std::string()));
  dialog.Run();
  return 0;
}
