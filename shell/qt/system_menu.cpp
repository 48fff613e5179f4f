// The system-menu commands of system_menu.h and the popup that stands in for the menu.
#include "shell/qt/system_menu.h"

#include <QAction>
#include <QMenu>
#include <QString>

#include "shell/core/texts.h"

namespace quillmark::shell {

void FillSystemMenu(QMenu& menu, const QString& aboutText, const QString& settingsText) {
  QAction* close = menu.addAction(QString::fromUtf8(texts::kCloseEntry));
  close->setData(kCloseCommand);
  if (!settingsText.isEmpty()) {
    menu.addSeparator();
    menu.addAction(settingsText)->setData(kSettingsCommand);
  }
  if (aboutText.isEmpty()) return;
  menu.addSeparator();
  QAction* about = menu.addAction(aboutText);
  about->setData(kAboutCommand);
}

unsigned CommandOf(const QAction* action) {
  if (action == nullptr || action->isSeparator()) return 0;
  bool ok = false;
  const unsigned id = action->data().toUInt(&ok);
  return ok ? id : 0;
}

}  // namespace quillmark::shell
