#include "window_chrome.h"

#include <algorithm>

#include "string_table.h"
#include "wide_text.h"

#include "resource_ids.h"
#include "win32_api.h"

namespace kx::win32 {

namespace {

INT_PTR CALLBACK AboutProc(HWND box, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    switch (message) {
        case WM_INITDIALOG:
            CentreOver(box, GetWindow(box, GW_OWNER));
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(box, LOWORD(wParam));
                return TRUE;
            }
            break;
        default:
            break;
    }
    return FALSE;
}

}  // namespace

void AppendAboutEntry(HWND__* window) {
    HMENU menu = GetSystemMenu(window, FALSE);
    if (menu == nullptr) {
        return;
    }
    const wchar_t* entry = nullptr;
    const int length =
        LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUTBOX, reinterpret_cast<LPWSTR>(&entry), 0);
    if (length <= 0) {
        return;
    }
    const std::wstring text(entry, static_cast<std::size_t>(length));
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, text.c_str());
}

bool IsAboutCommand(unsigned command) {
    return (command & 0xFFF0u) == IDM_ABOUTBOX;
}

void RunAboutBox(HWND__* owner) {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, AboutProc, 0);
}

HICON__* LoadAppIcon(HWND__* window, bool big) {
    const UINT dpi = GetDpiForWindow(window);
    const int size = GetSystemMetricsForDpi(big ? SM_CXICON : SM_CXSMICON, dpi ? dpi : 96);
    return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                         IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

void PaintMinimizedIcon(HWND__* window, HICON__* icon) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    SendMessageW(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(window, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, icon);
    EndPaint(window, &paint);
}

void CentreOver(HWND__* window, HWND__* over) {
    RECT box;
    GetWindowRect(window, &box);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(over != nullptr ? over : window, MONITOR_DEFAULTTONEAREST),
                    &monitor);
    RECT area = monitor.rcWork;
    if (over != nullptr) {
        GetWindowRect(over, &area);
    }
    const LONG width = box.right - box.left;
    const LONG height = box.bottom - box.top;
    LONG x = area.left + (area.right - area.left - width) / 2;
    LONG y = area.top + (area.bottom - area.top - height) / 2;
    const RECT& work = monitor.rcWork;
    x = std::max(work.left, std::min(x, work.right - width));
    y = std::max(work.top, std::min(y, work.bottom - height));
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

namespace {

struct TwinSearch {
    HWND self;
    std::wstring caption;
    POINT corner;
    bool found = false;
};

BOOL CALLBACK FindTwinAt(HWND other, LPARAM param) {
    auto& search = *reinterpret_cast<TwinSearch*>(param);
    if (other == search.self || !IsWindowVisible(other)) {
        return TRUE;
    }
    RECT box;
    GetWindowRect(other, &box);
    if (box.left != search.corner.x || box.top != search.corner.y) {
        return TRUE;
    }
    wchar_t caption[128] = {};
    GetWindowTextW(other, caption, 128);
    search.found = search.caption == caption;
    return search.found ? FALSE : TRUE;
}

}  // namespace

void StepAsideFromTwins(HWND__* window) {
    constexpr int kMostSteps = 16;
    wchar_t caption[128] = {};
    GetWindowTextW(window, caption, 128);
    RECT box;
    GetWindowRect(window, &box);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& work = monitor.rcWork;
    const LONG width = box.right - box.left;
    const LONG height = box.bottom - box.top;
    const UINT dpi = GetDpiForWindow(window);
    const LONG step = GetSystemMetricsForDpi(SM_CYCAPTION, dpi ? dpi : 96) +
                      GetSystemMetricsForDpi(SM_CYFRAME, dpi ? dpi : 96);
    TwinSearch search{window, caption, {box.left, box.top}};
    for (int i = 0; i < kMostSteps; ++i) {
        search.found = false;
        EnumWindows(FindTwinAt, reinterpret_cast<LPARAM>(&search));
        if (!search.found) {
            break;
        }
        search.corner.x += step;
        search.corner.y += step;
        if (search.corner.x + width > work.right || search.corner.y + height > work.bottom) {
            search.corner = {work.left, work.top};  // from the corner of the work area
        }
    }
    if (search.corner.x != box.left || search.corner.y != box.top) {
        SetWindowPos(window, nullptr, search.corner.x, search.corner.y, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

bool AskQuit(HWND__* owner, const std::wstring& caption) {
    const std::wstring question = FromUtf8(text::kQuitQuestion);
    const std::wstring quit = FromUtf8(text::kQuitAnyway);
    const std::wstring keep = FromUtf8(text::kKeepTransferring);
    const TASKDIALOG_BUTTON buttons[] = {{IDC_QUIT_ANYWAY, quit.c_str()},
                                         {IDC_KEEP_TRANSFERRING, keep.c_str()}};
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof(config);
    config.hwndParent = owner;
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
    config.pszWindowTitle = caption.c_str();
    config.pszMainIcon = TD_WARNING_ICON;
    config.pszContent = question.c_str();
    config.cButtons = 2;
    config.pButtons = buttons;
    config.nDefaultButton = IDC_KEEP_TRANSFERRING;
    int chosen = 0;
    if (FAILED(TaskDialogIndirect(&config, &chosen, nullptr, nullptr))) {
        // No task dialog (common controls older than version 6): a plain question.
        const std::wstring text = question + L"\n\n" + quit + L"?";
        return MessageBoxW(owner, text.c_str(), caption.c_str(),
                           MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
    }
    return chosen == IDC_QUIT_ANYWAY;
}

}  // namespace kx::win32
