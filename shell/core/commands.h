// The main dialog's system-menu commands, numbered as WM_SYSCOMMAND numbers them; the same
// for both desktop front ends.
#pragma once

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

}  // namespace quillmark::shell
