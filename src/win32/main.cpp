// KXUpgradeDongle.exe: the window on Windows.
#include "string_table.h"
#include "win32_window.h"

#include "win32_api.h"

namespace {

// The application's name, as the profile store and the message boxes use it: the
// executable's file name without its extension.
std::wstring ApplicationName() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    const std::size_t dot = name.find_last_of(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // The taskbar's progress and the file chooser are COM objects of this thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    {
        kx::win32::Win32Window window(ApplicationName());
        window.Run();
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return 0;
}
