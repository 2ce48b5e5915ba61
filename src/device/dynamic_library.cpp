#include "dynamic_library.h"

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#endif

namespace kx::platform {

LibraryHandle LoadLibraryByName(const char* name) {
#ifdef _WIN32
    // The application's folder, System32 and folders added on purpose; never the current
    // directory, so a library planted beside a firmware file is not loaded.
    return ::LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
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

std::string InstalledSerialLibraryPath() {
#ifdef _WIN32
    return {};
#else
    char exe[4096];
    const ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof exe) {
        return {};
    }
    const std::filesystem::path folder =
        std::filesystem::path(std::string(exe, static_cast<std::size_t>(length))).parent_path();
    return (folder / ".." / "lib" / "kxupgrade" / kSerialLibraryName).lexically_normal().string();
#endif
}

std::string LoadedLibraryPath(LibraryHandle library) {
    if (library == nullptr) {
        return {};
    }
#ifdef _WIN32
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(static_cast<HMODULE>(library), path, MAX_PATH);
    return std::string(path, length);
#else
    link_map* map = nullptr;
    if (::dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
        return {};
    }
    return map->l_name;
#endif
}

}  // namespace kx::platform
