// Conversions between the logic's 8-bit texts and the UTF-16 texts of Win32.
#pragma once

#include <string>
#include <string_view>

namespace kx::win32 {

std::wstring FromUtf8(std::string_view text);
std::string ToUtf8(std::wstring_view text);
// The device's and the logic's texts are single bytes, shown as Latin-1.
std::wstring FromLatin1(std::string_view text);
// The log as an edit control shows it: its CRs left out and every LF a CR LF, so that
// a line end split across two pieces of the log stays one line end.
std::wstring LogForEdit(std::string_view bytes);

}  // namespace kx::win32
