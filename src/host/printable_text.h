// The device's 8-bit text as a terminal or a text file may safely hold it.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

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

// The length of the well-formed UTF-8 sequence of two to four bytes at `at`; 0 when
// none starts there (ASCII, a stray continuation byte, a cut or overlong sequence).
inline std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead >= 0xF0 && lead <= 0xF4   ? 4
                               : lead >= 0xE0                 ? 3
                               : lead >= 0xC2 && lead <= 0xDF ? 2
                                                              : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) {
            return 0;
        }
    }
    const auto second = static_cast<unsigned char>(text[at + 1]);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second > 0x8F) || (lead == 0xED && second > 0x9F)) {
        return 0;  // overlong, past U+10FFFF, or a surrogate
    }
    return length;
}

// The program's own text (paths the user chose among it) as printable: well-formed UTF-8
// kept as it is, a backslash too (a Windows path reads as the user typed it), every other
// byte as AppendPrintable gives it.
inline void AppendPrintableUtf8(std::string& into, std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8SequenceLength(text, i);
        if (text[i] == '\\') {
            into.push_back('\\');
            ++i;
        } else if (length > 0) {
            into.append(text.substr(i, length));
            i += length;
        } else {
            AppendPrintable(into, static_cast<unsigned char>(text[i]));
            ++i;
        }
    }
}

}  // namespace kx
