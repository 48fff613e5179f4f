// The program's own texts, in one place. Each is UTF-8 and turned into a QString where
// it is shown. The Windows resource script carries only the icon and the version block,
// so nothing here is duplicated there.
#pragma once

namespace quillmark::shell::texts {

inline constexpr char kMainTitle[] = "Quillmark";
inline constexpr char kOk[] = "确定";
inline constexpr char kCancel[] = "取消";
inline constexpr char kPayButton[] = "Button1";

// String 101 of the string table: the system menu's About entry. Left empty, the menu
// gets neither the entry nor the separator before it.
inline constexpr unsigned kIdsAboutBox = 101;
inline constexpr char kAboutBoxEntry[] = "关于 Quillmark(&A)...";

// The popup that stands in for the system menu where the window manager's cannot be
// extended; worded and accelerated as Windows words its own entry.
inline constexpr char kCloseEntry[] = "关闭(&C)\tAlt+F4";

inline constexpr char kAboutTitle[] = "关于 Quillmark";
inline constexpr char kAboutVersion[] = "Quillmark 1.0 版";
inline constexpr char kAboutCopyright[] = "版权所有 (C) 2026 Quillmark";

// The name under which the application's settings would be kept. Nothing is read or
// written; it is set so that any later use of QSettings lands in the same place.
inline constexpr char kSettingsName[] = "应用程序向导生成的本地应用程序";

}  // namespace quillmark::shell::texts
