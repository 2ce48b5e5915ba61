#include "dynamic_library.h"

#include <filesystem>

#include "utf8_path.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#endif

namespace kx::platform {

#ifdef _WIN32
namespace {

std::string ModulePath(HMODULE module) {
    // No MAX_PATH limit: the buffer grows until the name fits.
    std::wstring path(260, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return Utf8FromPath(std::filesystem::path(path));
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace
#endif

LibraryHandle LoadLibraryByName(const char* name) {
#ifdef _WIN32
    const std::filesystem::path path = PathFromUtf8(name);
    if (!path.has_parent_path()) {
        // The application's folder, System32 and folders added on purpose; never the
        // current directory, so a library planted beside a firmware file is not loaded.
        return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    }
    // A path: made absolute (the flag below refuses a relative one), and the library's
    // own folder searched for what it needs.
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return ::LoadLibraryExW((error ? path : absolute).c_str(), nullptr,
                            LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
#else
    // A plain name goes through the loader's search (LD_LIBRARY_PATH, the cache, the
    // system folders); a name with a slash is taken as a path.
    return ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
#endif
}

void* FindEntryPoint(LibraryHandle library, const char* name) {
    if (library == nullptr) {
        return nullptr;
    }
#ifdef _WIN32
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
#else
    return ::dlsym(library, name);
#endif
}

std::string ExecutablePath() {
#ifdef _WIN32
    return ModulePath(nullptr);
#else
    char exe[4096];
    const ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof exe) {
        return {};
    }
    return std::string(exe, static_cast<std::size_t>(length));
#endif
}

std::string InstalledSerialLibraryPath() {
#ifdef _WIN32
    return {};
#else
    const std::string exe = ExecutablePath();
    if (exe.empty()) {
        return {};
    }
    const std::filesystem::path folder = std::filesystem::path(exe).parent_path();
    return (folder / ".." / "lib" / "kxupgrade" / kSerialLibraryName).lexically_normal().string();
#endif
}

std::string LoadedLibraryPath(LibraryHandle library) {
    if (library == nullptr) {
        return {};
    }
#ifdef _WIN32
    return ModulePath(static_cast<HMODULE>(library));
#else
    link_map* map = nullptr;
    if (::dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
        return {};
    }
    return map->l_name;
#endif
}

}  // namespace kx::platform
