// Resource and control ids of Quillmark.exe, shared by quillmark.rc and the Win32 front end
// (shell/win32/). Plain #defines, so that the resource compiler reads them too.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_QUILLMARK_DIALOG 102
#define IDR_MAINFRAME 128
#define IDD_SETTINGS 129

// Controls of the main dialog's template (IDOK 1 and IDCANCEL 2 besides).
#define IDC_BUTTON1 1000

// The panel the main dialog grows after the first click is made at run time; its ids are
// part of its description (shell/core/panel.h).

// The settings dialog: the file's name, then per key (in SettingKeys() order) an edit
// box IDC_SETTING_EDIT + i and its rule IDC_SETTING_RULE + i, and the status line.
#define IDC_SETTINGS_FILE 1100
#define IDC_SETTINGS_STATUS 1101
#define IDC_SETTING_LABEL 1110
#define IDC_SETTING_EDIT 1120
#define IDC_SETTING_RULE 1130
