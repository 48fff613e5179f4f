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

// The settings dialog's template is only its frame: its controls, and their ids, come from
// its description (shell/core/settings_form.h).
