// The options the runner, the sandbox and both windows take alike, declared once: their
// names, what their value is called and what they do. The programs that parse with CLI11
// add them with AddSettingsOptions; the Win32 window looks for the same names.
#pragma once

#include <optional>
#include <string>

namespace quillmark {

struct ProgramOption {
  const char* name;
  const char* value;  // what --help calls its value
  const char* help;
};

inline constexpr ProgramOption kConfigOption{
    "--config", "FILE",
    "settings file to read instead of the per-user one (QUILLMARK_* variables still "
    "override it)"};
inline constexpr ProgramOption kProfileOption{
    "--profile", "NAME",
    "the settings file's [profile NAME] to use over its [merchant] (default: "
    "QUILLMARK_PROFILE's; empty: [merchant] alone)"};
// The windows' --scenario; the runner's plays the scenario through and says so itself.
inline constexpr ProgramOption kWindowScenarioOption{
    "--scenario", "NAME",
    "start with the scenario row at the test scenario NAME (as quillmark-cycle --scenario "
    "names it), which Button1's cycles then play"};

// --config and --profile on a CLI11 app, read into `config` and `profile`. A template, so
// that this header needs no CLI11 of its own.
template <typename App>
void AddSettingsOptions(App& app, std::optional<std::string>& config,
                        std::optional<std::string>& profile) {
  app.add_option(kConfigOption.name, config, kConfigOption.help)->option_text(kConfigOption.value);
  app.add_option(kProfileOption.name, profile, kProfileOption.help)
      ->option_text(kProfileOption.value);
}

}  // namespace quillmark
