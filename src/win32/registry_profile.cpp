#include "registry_profile.h"

#include "wide_text.h"

#include "win32_api.h"

namespace kx::win32 {

RegistryProfile::RegistryProfile(const std::wstring& organisation, const std::wstring& application)
    : m_key(L"Software\\" + organisation + L"\\" + application) {}

std::string RegistryProfile::Get(const std::string& section, const std::string& entry,
                                 const std::string& defaultValue) const {
    const std::wstring key = m_key + L"\\" + FromUtf8(section);
    const std::wstring name = FromUtf8(entry);
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr,
                     &bytes) != ERROR_SUCCESS) {
        return defaultValue;
    }
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr,
                     value.data(), &bytes) != ERROR_SUCCESS) {
        return defaultValue;
    }
    value.resize(wcsnlen(value.c_str(), value.size()));
    return ToUtf8(value);
}

bool RegistryProfile::Write(const std::string& section, const std::string& entry,
                            const std::string& value) const {
    const std::wstring key = m_key + L"\\" + FromUtf8(section);
    HKEY handle = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &handle, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::wstring wide = FromUtf8(value);
    const LSTATUS status = RegSetValueExW(handle, FromUtf8(entry).c_str(), 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(wide.c_str()),
                                          static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return status == ERROR_SUCCESS;
}

}  // namespace kx::win32
