// Writes firmware files the way the dongle's tools lay them out: an S0 header with the
// device id, the Z switch line, S3 data records and an S7 end record, CR LF line ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kx::test {

inline std::string RecordLine(char lead, char type, std::uint32_t address, int addressBytes,
                              const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> bytes;
    bytes.push_back(static_cast<std::uint8_t>(addressBytes + size + 1));
    for (int i = addressBytes - 1; i >= 0; --i) {
        bytes.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    }
    bytes.insert(bytes.end(), data, data + size);
    unsigned sum = 0;
    for (std::uint8_t b : bytes) {
        sum += b;
    }
    bytes.push_back(static_cast<std::uint8_t>(~sum));
    std::string line{lead, type};
    char hex[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    return line + "\r\n";
}

inline std::string FirmwareFile(const std::vector<std::uint8_t>& image, std::uint32_t base,
                                const std::string& id, std::size_t bytesPerRecord = 16) {
    const auto* idBytes = reinterpret_cast<const std::uint8_t*>(id.data());
    std::string file = RecordLine('S', '0', 0, 2, idBytes, id.size());
    file += RecordLine('Z', '0', 0, 2, nullptr, 0);
    for (std::size_t offset = 0; offset < image.size(); offset += bytesPerRecord) {
        const std::size_t size = std::min(bytesPerRecord, image.size() - offset);
        file += RecordLine('S', '3', base + static_cast<std::uint32_t>(offset), 4,
                           image.data() + offset, size);
    }
    file += RecordLine('S', '7', base, 4, nullptr, 0);
    return file;
}

// Deterministic bytes that look like firmware to nobody.
inline std::vector<std::uint8_t> TestImage(std::size_t size, std::uint32_t seed = 1) {
    std::vector<std::uint8_t> image(size);
    std::uint32_t state = seed;
    for (auto& b : image) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(state >> 24);
    }
    return image;
}

}  // namespace kx::test
