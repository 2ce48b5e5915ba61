#include "dump.h"

#include <cstdio>
#include <fstream>

namespace kxsim {

std::string LinkName(const LinkSettings& link) {
    static constexpr char kParity[] = "NOEMS";
    const char parity = link.parity >= 0 && link.parity <= 4 ? kParity[link.parity] : '?';
    return std::to_string(link.wordLength) + parity + std::to_string(link.stopBits);
}

bool WritePacketsFile(const std::string& path, const WriteLog& packets) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < packets.PacketCount(); ++i) {
        const WriteLog::Packet& packet = packets.PacketAt(i);
        bytes.resize(packet.size);
        packets.CopyPacket(i, bytes.data(), bytes.size());
        char baud[32];
        std::snprintf(baud, sizeof baud, "%.0f", packet.link.baud);
        file << i << ' ' << baud << ' ' << LinkName(packet.link) << ' ' << packet.size << ' ';
        for (std::uint8_t byte : bytes) {
            if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
                file << static_cast<char>(byte);
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
                file << escaped;
            }
        }
        file << '\n';
    }
    return static_cast<bool>(file.flush());
}

bool WriteFlashFile(const std::string& path, const std::vector<std::uint8_t>& flash) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(flash.data()),
               static_cast<std::streamsize>(flash.size()));
    return static_cast<bool>(file.flush());
}

}  // namespace kxsim
