// The About box of about_dlg.h, laid out in dialog units.
#include "shell/qt/about_dlg.h"

#include <QEvent>
#include <QPushButton>
#include <QString>

#include "shell/core/dialog_layout.h"
#include "shell/core/texts.h"
#include "shell/qt/app_icon.h"
#include "shell/qt/dialog_units.h"

namespace quillmark {

CAboutDlg::CAboutDlg()
    : QDialog(nullptr, shell::DialogWindowFlags()),
      template_(*this, shell::ToQSize(shell::layout::kAboutSize)) {
  setWindowTitle(QString::fromUtf8(shell::texts::kAboutTitle));
  setFont(shell::DialogFont());

  using namespace shell::layout;
  template_.AddIcon("aboutIcon", shell::LoadAppIcon(), shell::ToQRect(kAboutIcon));
  template_.AddText("versionLabel", QString::fromUtf8(kAboutVersion.caption),
                    shell::ToQRect(kAboutVersion));
  template_.AddText("copyrightLabel", QString::fromUtf8(kAboutCopyright.caption),
                    shell::ToQRect(kAboutCopyright));
  QPushButton* ok = template_.AddPushButton(kIdOk, "okButton", QString::fromUtf8(kAboutOk.caption),
                                            shell::ToQRect(kAboutOk));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  template_.Apply();
}

void CAboutDlg::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) template_.Apply();
  QDialog::changeEvent(event);
}

}  // namespace quillmark
