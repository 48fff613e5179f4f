// The captions of the dialog templates, written once for the C++ code (shell/core/texts.h)
// and the Windows resource script (shell/win32/resources/quillmark.rc), whose compiler
// reads this header through the C preprocessor: plain #defines of UTF-8 string literals,
// nothing C++. The resource test reads the compiled templates back and compares them with
// the C++ tables.
#pragma once

#define QM_CAPTION_MAIN_TITLE "Quillmark"
#define QM_CAPTION_OK "确定"
#define QM_CAPTION_CANCEL "取消"
#define QM_CAPTION_PAY_BUTTON "Button1"
// String 101 of the string table: the system menu's About entry.
#define QM_CAPTION_ABOUT_ENTRY "关于 Quillmark(&A)..."
#define QM_CAPTION_ABOUT_TITLE "关于 Quillmark"
#define QM_CAPTION_ABOUT_VERSION "Quillmark 1.0 版"
#define QM_CAPTION_ABOUT_COPYRIGHT "版权所有 (C) 2026 Quillmark"
#define QM_CAPTION_SETTINGS_TITLE "设置"
#define QM_CAPTION_SAVE "保存"
