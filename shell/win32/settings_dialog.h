// The 设置 dialog (IDD_SETTINGS): the settings file's keys, each checked by its rule as it
// is typed, saved by way of payment/settings_file.h.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

namespace quillmark::win32 {

// Runs the dialog modally over `owner`; true when the file was saved.
bool RunSettingsDialog(HWND owner, const std::string& file);

}  // namespace quillmark::win32
