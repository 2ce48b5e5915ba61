// Resource ids of the window's Windows resources, shared by the resource script and the
// Win32 front end. Plain macros: the resource compiler reads this file too.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDR_MAINFRAME 128
#define IDC_LOG 1000
#define IDC_CONNECTION_TEXT 1001
#define IDC_PROGRESS 1002
#define IDC_TRANSFER_TEXT 1004
#define IDC_ABOUT_ICON 1005
#define IDC_ABOUT_VERSION 1006
// System-menu command of the about entry; the system keeps the low four bits for itself.
#define IDM_ABOUTBOX 0x0010
// The buttons of the question asked before a running transfer is abandoned.
#define IDC_QUIT_ANYWAY 1010
#define IDC_KEEP_TRANSFERRING 1011
