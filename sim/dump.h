// Files that show a demo or a script what the dongle received.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_log.h"
#include "link.h"

namespace kxsim {

// "8N1", "7E2", ...
std::string LinkName(const LinkSettings& link);

// One line per packet: index, baud, link, length, then the bytes with everything outside
// printable ASCII (and the backslash) written as \xHH.
bool WritePacketsFile(const std::string& path, const WriteLog& packets);
// The flash image, raw, from its base address.
bool WriteFlashFile(const std::string& path, const std::vector<std::uint8_t>& flash);

}  // namespace kxsim
