// UTF-8 to and from the UTF-16 that the Win32 API takes, and the placing of dialogs.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

namespace quillmark::win32 {

// Centres `window` over `over`, or on the screen's work area when `over` is null, as the
// dialog framework does with its dialogs, kept on the work area.
void CenterWindow(HWND window, HWND over);

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);

}  // namespace quillmark::win32
