// Paths are kept as UTF-8 text throughout the program. A std::filesystem::path made from
// a plain std::string takes it in the system's ANSI code page on Windows, which breaks any
// name outside it ("firmwΩ.dat"); these conversions say the text is UTF-8.
#pragma once

#include <filesystem>
#include <string>

namespace kx {

inline std::filesystem::path PathFromUtf8(const std::string& utf8) {
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

inline std::string Utf8FromPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

}  // namespace kx
