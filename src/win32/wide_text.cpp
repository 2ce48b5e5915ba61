#include "wide_text.h"

#include "win32_api.h"

namespace kx::win32 {

std::wstring FromUtf8(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), n);
    }
    return wide;
}

std::string ToUtf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), n, nullptr, nullptr);
    }
    return narrow;
}

std::wstring FromLatin1(std::string_view text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (const char c : text) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

std::wstring LogForEdit(std::string_view bytes) {
    std::wstring shown;
    shown.reserve(bytes.size() + bytes.size() / 16);
    for (const char c : bytes) {
        if (c == '\r') {
            continue;
        }
        if (c == '\n') {
            shown.push_back(L'\r');
        }
        shown.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return shown;
}

}  // namespace kx::win32
