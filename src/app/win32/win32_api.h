// <windows.h> and the shell's and common controls' headers for the Win32 front end. Include it
// after every header of the upgrade logic: the window surface's members MessageBox,
// GetProfileString and WriteProfileString keep their names here, and the Win32 functions are called
// by their wide names.
#pragma once

#include <windows.h>
// After <windows.h>, which they need.
#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>
#include <shobjidl.h>

#undef MessageBox
#undef GetProfileString
#undef WriteProfileString
