#include "file_chooser.h"

#include "wide_text.h"

#include "win32_api.h"

namespace kx::win32 {

std::wstring FilterForCommonDialog(const std::string& filter) {
    std::wstring wide = FromUtf8(filter);
    for (wchar_t& c : wide) {
        if (c == L'|') {
            c = L'\0';
        }
    }
    wide.push_back(L'\0');
    return wide;
}

std::optional<std::string> ChooseFileModal(HWND__* owner, const FileChooserRequest& request) {
    const std::wstring filter = FilterForCommonDialog(request.filter);
    const std::wstring extension = FromUtf8(request.defaultExtension);
    const std::wstring folder = FromUtf8(request.initialFolder);
    // Room for a long path (the manifest makes the process long-path aware).
    std::wstring file(32768, L'\0');
    const std::wstring initial = FromUtf8(request.initialName);
    file.replace(0, initial.size(), initial);

    OPENFILENAMEW chooser{};
    chooser.lStructSize = sizeof(chooser);
    chooser.hwndOwner = owner;
    chooser.lpstrFilter = filter.c_str();
    chooser.nFilterIndex = 1;
    chooser.lpstrFile = file.data();
    chooser.nMaxFile = static_cast<DWORD>(file.size());
    chooser.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    chooser.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
    chooser.Flags = static_cast<DWORD>(request.flags) | OFN_EXPLORER;
    const BOOL chosen = request.openMode ? GetOpenFileNameW(&chooser) : GetSaveFileNameW(&chooser);
    if (!chosen) {
        return std::nullopt;
    }
    file.resize(wcsnlen(file.c_str(), file.size()));
    return ToUtf8(file);
}

}  // namespace kx::win32
