// quillmark: the desktop test tool. One dialog; Button1 runs an order cycle against the
// platform of the run-time settings (the build's defaults, the settings file, QUILLMARK_*
// variables), shows what it obtained and prints its progress to standard output.
#include <CLI/CLI.hpp>

#include <QMessageBox>
#include <QString>

#include <iostream>
#include <optional>
#include <string>

#include "config/merchant_settings.h"
#include "config/program_options.h"
#include "protocol/scenarios.h"
#include "shell/qt/quillmark_app.h"

namespace {

// Said where a person will see it: a program started from a menu has no terminal.
int Refuse(const std::string& problem) {
  std::cerr << "quillmark: " << problem << std::endl;
  QMessageBox::critical(nullptr, QStringLiteral("Quillmark"), QString::fromStdString(problem));
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // QApplication takes its own options (-platform and the like) out of argv first.
  quillmark::CQuillmarkApp app(argc, argv);

  CLI::App options("The Quillmark desktop test tool.", "quillmark");
  std::optional<std::string> config;
  std::optional<std::string> profile;
  quillmark::AddSettingsOptions(options, config, profile);
  std::optional<std::string> scenario;
  options
      .add_option(quillmark::kWindowScenarioOption.name, scenario,
                  quillmark::kWindowScenarioOption.help)
      ->option_text(quillmark::kWindowScenarioOption.value);
  options.set_version_flag("--version", std::string("quillmark ") + QUILLMARK_VERSION);
  try {
    options.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return options.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return options.exit(e);
  } catch (const CLI::ParseError&) {
    return Refuse("unknown option; run quillmark --help for the options");
  }

  quillmark::LoadedSettings settings;
  std::string problem;
  if (!quillmark::LoadSettings(config, profile, quillmark::ProcessEnvironment(), settings,
                               problem)) {
    return Refuse(problem);
  }
  for (const std::string& warning : settings.warnings) std::cerr << warning << std::endl;
  if (scenario && quillmark::FindScenario(*scenario) == nullptr) {
    // Not echoed: a stray word on the command line could be a key.
    return Refuse("--scenario names no known scenario; quillmark-sandbox scenarios lists them");
  }
  app.UseSettings(settings.merchant, config.value_or(std::string()), settings.profile);
  app.UseScenario(scenario.value_or(std::string()));

  // StartApplication() runs the dialog to its end and says whether an event loop should
  // follow; for this program it never should.
  if (app.StartApplication()) return quillmark::CQuillmarkApp::exec();
  return 0;
}
