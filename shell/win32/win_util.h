// The placing of dialogs, and the UTF-8/UTF-16 conversions of the seam under short names.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "platform/wide.h"

namespace quillmark::win32 {

// Centres `window` over `over`, or on the screen's work area when `over` is null, as the
// dialog framework does with its dialogs, kept on the work area.
void CenterWindow(HWND window, HWND over);

// The DPI `window` is drawn at: its monitor's, under the per-monitor awareness the manifest
// asks for (Windows 10 from 1607); the system's on older systems.
UINT WindowDpi(HWND window);
// `pixels` at 96 DPI, at `dpi`.
int ScaledForDpi(int pixels, UINT dpi);
// GetSystemMetrics(`index`) at `dpi`, as GetSystemMetricsForDpi gives it where the system
// has it.
int MetricForDpi(int index, UINT dpi);

using platform::Utf8;
using platform::Wide;

// What `window` holds (a text box's text), in UTF-8.
std::string WindowTextUtf8(HWND window);

}  // namespace quillmark::win32
