// The window styles the dialog templates use, with the values <windows.h> gives them, so
// that the resource script compiles with any preprocessor (the resource checks on Linux
// run it through the host's cpp, which has no <windows.h>).
#pragma once

#ifndef WS_POPUP
#define WS_POPUP 0x80000000L
#define WS_VISIBLE 0x10000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_VSCROLL 0x00200000L
#define WS_SYSMENU 0x00080000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_EX_APPWINDOW 0x00040000L
#define DS_MODALFRAME 0x80L
#define DS_SETFONT 0x40L
#define ES_MULTILINE 0x0004L
#define ES_AUTOVSCROLL 0x0040L
#define ES_AUTOHSCROLL 0x0080L
#define ES_READONLY 0x0800L
#define ES_WANTRETURN 0x1000L
#define SS_NOPREFIX 0x0080L
#define IDOK 1
#endif
