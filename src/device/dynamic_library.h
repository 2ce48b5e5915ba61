// Run-time loading of a shared library: the one place where the program asks the
// operating system for the driver.
#pragma once

namespace kx::platform {

using LibraryHandle = void*;

// The driver library's plain name: the loader's normal search finds it.
#ifdef _WIN32
inline constexpr char kDriverLibraryName[] = "Ftd2xx.dll";
#else
inline constexpr char kDriverLibraryName[] = "libftd2xx.so";
#endif

// Returns nullptr when the library cannot be loaded. A library is never unloaded.
LibraryHandle LoadLibraryByName(const char* name);
void* FindEntryPoint(LibraryHandle library, const char* name);

}  // namespace kx::platform
