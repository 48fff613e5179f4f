// The 设置 dialog on Win32: IDD_SETTINGS is only its frame (title, font, style); the rows
// and buttons are made when it opens from shell/core/settings_form.h, in the same places
// as the Qt dialog's, each value checked by its rule as it is typed and saved by way of
// config/settings_file.h.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

namespace quillmark::win32 {

// Runs the dialog modally over `owner`, showing `profile`'s section first (empty:
// [merchant]); true when the file was saved, `profile` then the section saved.
bool RunSettingsDialog(HWND owner, const std::string& file, std::string& profile);

}  // namespace quillmark::win32
