// The device's 8-bit text as a terminal or a text file may safely hold it.
#pragma once

#include <cstdio>
#include <string>

namespace kx {

// Printable ASCII as it is, a backslash doubled, anything else as \xNN.
inline void AppendPrintable(std::string& into, unsigned char byte) {
    if (byte == '\\') {
        into += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7F) {
        into.push_back(static_cast<char>(byte));
    } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", byte);
        into += hex;
    }
}

}  // namespace kx
