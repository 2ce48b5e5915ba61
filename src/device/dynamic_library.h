// Run-time loading of a shared library: the one place where the program asks the
// operating system for the driver.
#pragma once

#include <string>

namespace kx::platform {

using LibraryHandle = void*;

// The driver library's plain name: the loader's normal search finds it.
#ifdef _WIN32
inline constexpr char kDriverLibraryName[] = "Ftd2xx.dll";
#else
inline constexpr char kDriverLibraryName[] = "libftd2xx.so";
#endif

// The project's own driver over the kernel's serial port, installed with the tool.
inline constexpr char kSerialLibraryName[] = "libkxserial.so";

// Returns nullptr when the library cannot be loaded. A library is never unloaded.
LibraryHandle LoadLibraryByName(const char* name);
void* FindEntryPoint(LibraryHandle library, const char* name);

// The serial library of the tool's own installation, ../lib/kxupgrade/ from the folder of
// the running executable; empty where the platform has none.
std::string InstalledSerialLibraryPath();
// The running program's own file, UTF-8; empty when the system does not say.
std::string ExecutablePath();

// The file a loaded library came from; empty when the system does not say.
std::string LoadedLibraryPath(LibraryHandle library);

}  // namespace kx::platform
