#include "system_menu.h"

#ifdef _WIN32
#include <windows.h>
#include <QWidget>
#endif

namespace kx {

#ifdef _WIN32

bool AppendAboutToSystemMenu(QWidget& window, const std::string& text) {
    HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(window.winId()), FALSE);
    if (menu == nullptr || text.empty()) {
        return false;
    }
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), length);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, wide.c_str());
    return true;
}

std::optional<UINT> SysCommandOf(const QByteArray& eventType, const void* message) {
    if (eventType != "windows_generic_MSG") {
        return std::nullopt;
    }
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->message != WM_SYSCOMMAND) {
        return std::nullopt;
    }
    return static_cast<UINT>(msg->wParam);
}

#else

bool AppendAboutToSystemMenu(QWidget&, const std::string&) {
    return false;
}

std::optional<UINT> SysCommandOf(const QByteArray&, const void*) {
    return std::nullopt;
}

#endif

}  // namespace kx
