#include "shell/about_dlg.h"

#include <QEvent>
#include <QPushButton>
#include <QString>

#include "shell/app_icon.h"
#include "shell/dialog_units.h"
#include "shell/texts.h"

namespace quillmark {

CAboutDlg::CAboutDlg()
    : QDialog(nullptr, shell::DialogWindowFlags()), template_(*this, QSize(235, 55)) {
  setWindowTitle(QString::fromUtf8(shell::texts::kAboutTitle));
  setFont(shell::DialogFont());

  template_.AddIcon("aboutIcon", shell::LoadAppIcon(), QRect(11, 17, 20, 20));
  template_.AddText("versionLabel", QString::fromUtf8(shell::texts::kAboutVersion),
                    QRect(40, 10, 119, 8));
  template_.AddText("copyrightLabel", QString::fromUtf8(shell::texts::kAboutCopyright),
                    QRect(40, 25, 119, 8));
  QPushButton* ok = template_.AddPushButton(kIdOk, "okButton", QString::fromUtf8(shell::texts::kOk),
                                            QRect(178, 7, 50, 16));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  template_.Apply();
}

void CAboutDlg::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) template_.Apply();
  QDialog::changeEvent(event);
}

}  // namespace quillmark
