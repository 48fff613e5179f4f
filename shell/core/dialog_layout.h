// The dialog templates of the main dialog and the About box: size, captions and controls,
// in dialog units. The Qt program lays its dialogs out from these tables; the Win32
// program's are the DIALOGEX resources of shell/win32/resources/quillmark.rc, which the resource
// test (tests/shell/resources) reads back and compares with these tables.
#pragma once

#include "shell/core/texts.h"

namespace quillmark::shell::layout {

inline constexpr int kIdStatic = -1;  // a control the code never addresses
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdPayButton = 1000;

struct Size {
  int cx, cy;
};
struct Rect {
  int x, y, cx, cy;
};
struct Control {
  int id;
  const char* caption;  // UTF-8; empty for the icon
  int x, y, cx, cy;
};

// Dialog 102 (titled texts::kMainTitle), in tab order.
inline constexpr Size kMainSize{320, 200};
inline constexpr Control kMainOk{kIdOk, texts::kOk, 263, 7, 50, 16};
inline constexpr Control kMainCancel{kIdCancel, texts::kCancel, 263, 25, 50, 16};
inline constexpr Control kMainPay{kIdPayButton, texts::kPayButton, 7, 179, 50, 14};

// Dialog 100, in tab order.
inline constexpr Size kAboutSize{235, 55};
inline constexpr Control kAboutIcon{kIdStatic, "", 11, 17, 20, 20};
inline constexpr Control kAboutVersion{kIdStatic, texts::kAboutVersion, 40, 10, 119, 8};
inline constexpr Control kAboutCopyright{kIdStatic, texts::kAboutCopyright, 40, 25, 119, 8};
inline constexpr Control kAboutOk{kIdOk, texts::kOk, 178, 7, 50, 16};

}  // namespace quillmark::shell::layout
