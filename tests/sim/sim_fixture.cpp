#include "sim_fixture.h"

#include <cstdio>
#include <fstream>
#include <iterator>

std::string Record(char lead, char type, const std::string& hexBody) {
    const unsigned count = static_cast<unsigned>(hexBody.size() / 2 + 1);
    unsigned sum = count;
    for (std::size_t i = 0; i + 1 < hexBody.size(); i += 2) {
        sum += static_cast<unsigned>(std::stoul(hexBody.substr(i, 2), nullptr, 16));
    }
    char head[8];
    char tail[4];
    std::snprintf(head, sizeof head, "%c%c%02X", lead, type, count);
    std::snprintf(tail, sizeof tail, "%02X", ~sum & 0xFFu);
    return head + hexBody + tail;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file) << path;
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
