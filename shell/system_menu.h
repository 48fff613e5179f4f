// The main dialog's system-menu commands, numbered as WM_SYSCOMMAND numbers them, and the
// popup that stands in for the system menu where a program cannot extend the window
// manager's own.
#pragma once

#include <QString>

class QAction;
class QMenu;

namespace quillmark::shell {

// The window system keeps the low four bits of a command id for itself, so ids are
// compared after masking.
inline constexpr unsigned kSystemCommandMask = 0xFFF0;
inline constexpr unsigned kCloseCommand = 0xF060;  // SC_CLOSE
// The About entry's id: a multiple of 16 below the window system's own range (0xF000).
inline constexpr unsigned kAboutCommand = 0x0010;
static_assert((kAboutCommand & kSystemCommandMask) == kAboutCommand);
static_assert(kAboutCommand < 0xF000);

// The settings entry's id, the next multiple of 16.
inline constexpr unsigned kSettingsCommand = 0x0020;

// True for the whole range 0x10..0x1F, since the low bits are not ours.
constexpr bool IsAboutCommand(unsigned id) { return (id & kSystemCommandMask) == kAboutCommand; }
constexpr bool IsSettingsCommand(unsigned id) {
  return (id & kSystemCommandMask) == kSettingsCommand;
}

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
