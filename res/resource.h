// Resource ids: dialogs, controls, icon, bitmap and strings. Shared by res/app.rc and the ui/ code.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_AUTOUPDATE_DIALOG 102
#define IDD_PROGRESS 103
#define IDD_HISTORY 104
#define IDR_MAINFRAME 128
#define IDB_SIDE 130

#define IDC_CHK_AUTOSTART 1001
#define IDC_BTN_BACKGROUND 1002
#define IDC_BTN_CLOSE 1003
#define IDC_BTN_START_UPDATE 1004
#define IDC_EDIT_INFO 1005
#define IDC_PROGRESS_TEXT 1007
#define IDC_PROGRESS_BAR 1008
#define IDC_BTN_WEBSITE 1009
#define IDC_BTN_CHAT 1010
#define IDC_HISTORY_TEXT 1011
#define IDC_BTN_COPY_HISTORY 1012
