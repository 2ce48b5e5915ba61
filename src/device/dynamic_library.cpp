#include "dynamic_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
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

}  // namespace kx::platform
