#include "shell/quillmark_app.h"

#include <QString>

#include "shell/quillmark_dlg.h"
#include "shell/texts.h"

namespace quillmark {

CQuillmarkApp::CQuillmarkApp(int& argc, char** argv) : QApplication(argc, argv) {
  // Lets Wayland compositors and docks match the window with quillmark.desktop and its
  // icon.
  setDesktopFileName(QStringLiteral("quillmark"));
}

bool CQuillmarkApp::StartApplication() {
  // Common controls: Windows needs them registered before themed controls can be made;
  // Qt draws its own controls, so there is nothing to initialise.

  // Base initialisation: QApplication's constructor has connected to the window system
  // and taken its options from the command line; nothing is left for this step.

  // ActiveX controls in dialogs: Qt has no such controls to enable, and the dialogs
  // contain none.

  QCoreApplication::setOrganizationName(QString::fromUtf8(shell::texts::kSettingsName));

  {
    CQuillmarkDlg dialog;
    mainDialog_ = &dialog;
    // OK and Cancel both end the program, so which one it was does not matter.
    dialog.exec();
    mainDialog_ = nullptr;
  }
  return false;
}

}  // namespace quillmark
