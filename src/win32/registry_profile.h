// The per-user profile store in the registry: below HKEY_CURRENT_USER, the key
// Software\<organisation>\<application> with one subkey per section and one string
// value per entry.
#pragma once

#include <string>

namespace kx::win32 {

class RegistryProfile {
  public:
    RegistryProfile(const std::wstring& organisation, const std::wstring& application);

    std::string Get(const std::string& section, const std::string& entry,
                    const std::string& defaultValue) const;
    // False when the value could not be written (the key is not writable, say).
    bool Write(const std::string& section, const std::string& entry,
               const std::string& value) const;

  private:
    std::wstring m_key;  // below HKEY_CURRENT_USER
};

}  // namespace kx::win32
