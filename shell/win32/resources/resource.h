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

// The panel the main dialog grows after the first click, created at run time.
#define IDC_QUERY_AGAIN 1001
#define IDC_ABORT 1002
#define IDC_BUSY 1003
#define IDC_STEP 1004
#define IDC_CLOSE_ORDER 1005
#define IDC_ORDER_NO 1010
#define IDC_ORDER_VERDICT 1011
#define IDC_CODE_URL 1012
#define IDC_QUERY1 1013
#define IDC_QUERY2 1014
#define IDC_QUERY_AGAIN_VERDICT 1015
#define IDC_BITMAP 1016
#define IDC_OPEN_FOLDER 1017
#define IDC_QR 1018
#define IDC_LOG_LABEL 1019
#define IDC_LOG 1020
#define IDC_COPY_LOG 1021
#define IDC_CLEAR_LOG 1022
#define IDC_CLOSE_VERDICT 1023
#define IDC_PANEL_LABEL 1030  // the row captions: IDC_PANEL_LABEL + row

// The settings dialog: the file's name, then per key (in SettingKeys() order) an edit
// box IDC_SETTING_EDIT + i and its rule IDC_SETTING_RULE + i, and the status line.
#define IDC_SETTINGS_FILE 1100
#define IDC_SETTINGS_STATUS 1101
#define IDC_SETTING_LABEL 1110
#define IDC_SETTING_EDIT 1120
#define IDC_SETTING_RULE 1130
