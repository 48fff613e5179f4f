// The application object: there is exactly one, made by main(), and StartApplication()
// is the whole program.
#pragma once

#include <QApplication>

#include <string>

#include "config/merchant_settings.h"

namespace quillmark {

class CQuillmarkDlg;

class CQuillmarkApp : public QApplication {
 public:
  // QApplication takes its own options (-platform and the like) from the command line;
  // the program reads nothing else there.
  CQuillmarkApp(int& argc, char** argv);

  // Sets the settings name, shows the main dialog modally and destroys it when it is
  // closed, however that happened. Returns false: the dialog was the program, so there
  // is no event loop left to run and the process ends with status 0.
  bool StartApplication();

  // The dialog StartApplication() is showing; null before and after.
  CQuillmarkDlg* mainDialog() const { return mainDialog_; }

  // The merchant the dialog's cycles talk as, the settings file its settings dialog edits
  // and the profile they came from (empty: [merchant]); without a call, the build's
  // defaults and the per-user file.
  void UseSettings(const MerchantSettings& merchant, const std::string& settingsFile,
                   const std::string& profile = {});
  // The scenario the dialog's row starts at (--scenario NAME), a name of the table; empty:
  // the first.
  void UseScenario(const std::string& name) { scenario_ = name; }

 private:
  CQuillmarkDlg* mainDialog_ = nullptr;
  MerchantSettings merchant_ = MerchantSettings::Defaults();
  std::string settingsFile_;
  std::string profile_;
  std::string scenario_;
};

}  // namespace quillmark
