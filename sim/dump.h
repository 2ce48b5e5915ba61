// Files that show a demo or a script what the dongle received.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link.h"

namespace kxsim {

// What one FT_Write handed over, with the host link in force.
struct WrittenPacket {
    std::vector<std::uint8_t> bytes;
    LinkSettings link;
};

// "8N1", "7E2", ...
std::string LinkName(const LinkSettings& link);

// One line per packet: index, baud, link, length, then the bytes with everything outside
// printable ASCII (and the backslash) written as \xHH.
bool WritePacketsFile(const std::string& path, const std::vector<WrittenPacket>& packets);
// The flash image, raw, from its base address.
bool WriteFlashFile(const std::string& path, const std::vector<std::uint8_t>& flash);

}  // namespace kxsim
