// The main dialog's system-menu commands, numbered as WM_SYSCOMMAND numbers them, and the
// popup that stands in for the system menu where a program cannot extend the window
// manager's own.
#pragma once

#include <QString>

#include "shell/core/commands.h"

class QAction;
class QMenu;

namespace quillmark::shell {

// Fills `menu` with the stand-in's entries: the window's standard commands that Qt can
// carry out (only Close: the dialog has no minimise or maximise box, and Qt can start
// a window-manager move only from a held mouse button), then a separator and
// `aboutText` with id kAboutCommand. An empty `aboutText` adds neither the separator nor
// the entry. A non-empty `settingsText` adds, before those, a separator and the settings
// entry with id kSettingsCommand. Each entry's QAction::data() holds its command id.
void FillSystemMenu(QMenu& menu, const QString& aboutText, const QString& settingsText = {});

// The command id an entry of FillSystemMenu() carries; 0 for a null action or one that
// carries none (a separator).
unsigned CommandOf(const QAction* action);

}  // namespace quillmark::shell
