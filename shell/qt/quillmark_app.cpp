// The application object and StartApplication() of quillmark_app.h.
#include "shell/qt/quillmark_app.h"

#include <QString>

#include "platform/platform.h"
#include "shell/core/texts.h"
#include "shell/qt/quillmark_dlg.h"

namespace quillmark {

CQuillmarkApp::CQuillmarkApp(int& argc, char** argv) : QApplication(argc, argv) {
  // Lets Wayland compositors and docks match the window with quillmark.desktop and its
  // icon.
  setDesktopFileName(QStringLiteral("quillmark"));
}

bool CQuillmarkApp::StartApplication() {
  QCoreApplication::setOrganizationName(QString::fromUtf8(shell::texts::kSettingsName));

  {
    CQuillmarkOps::Settings settings = CQuillmarkOps::Settings::FromMerchant(merchant_);
    // Started from a terminal, the cycle's lines go there too: no reply may drive it.
    settings.escapeReplyControls = platform::StandardOutputIsTerminal();
    CQuillmarkDlg dialog{CQuillmarkOps(settings)};
    dialog.SetSettingsFile(settingsFile_.empty() ? DefaultSettingsFile(ProcessEnvironment())
                                                 : settingsFile_);
    dialog.SetProfile(profile_);
    if (!scenario_.empty()) dialog.ChooseScenario(scenario_);
    mainDialog_ = &dialog;
    // OK and Cancel both end the program, so which one it was does not matter.
    dialog.exec();
    mainDialog_ = nullptr;
  }
  return false;
}

void CQuillmarkApp::UseSettings(const MerchantSettings& merchant, const std::string& settingsFile,
                                const std::string& profile) {
  merchant_ = merchant;
  settingsFile_ = settingsFile;
  profile_ = profile;
}

}  // namespace quillmark
