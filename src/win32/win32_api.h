// <windows.h> and the shell's and common controls' headers for the Win32 front end.
#pragma once

#include <windows.h>
// After <windows.h>, which they need.
#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>
#include <shobjidl.h>
