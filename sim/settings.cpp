#include "settings.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <fstream>

namespace kxsim {
namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

bool ParseNumber(std::string_view text, double& out) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc{} && end == text.data() + text.size();
}

// Decimal or 0x-prefixed hexadecimal.
bool ParseUnsigned(std::string_view text, std::uint32_t& out) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size();
}

bool ParseFlag(std::string_view text, bool& out) {
    if (text == "1" || text == "on" || text == "yes" || text == "true") {
        out = true;
        return true;
    }
    if (text == "0" || text == "off" || text == "no" || text == "false") {
        out = false;
        return true;
    }
    return false;
}

// An announcement time: 0 to 10 s; `out` unchanged when the text is not one.
bool ParseAnnounceMs(std::string_view text, double& out) {
    double ms = 0;
    if (!ParseNumber(text, ms) || ms < 0 || ms > kMaxAnnounceMs) {
        return false;
    }
    out = ms;
    return true;
}

// clang-format off
constexpr std::array<std::string_view, 24> kKeys = {
    "description",        "serial",          "name",          "id",          "flash_base",
    "flash_size",         "speed",           "latency_ms",    "erase_ms",    "announce_delay_ms",
    "announce_repeat_ms", "max_resends",     "progress_text", "command_ack", "plug_delay_ms",
    "unplug_after_bytes", "replug_after_ms", "dump_packets",  "dump_flash",  "tx_fifo",
    "unplug_at_ms",       "location",        "self_powered",  "announce_from_open"};
// clang-format on

// Values taken whole, never as a list of one value per dongle.
bool TakenWhole(std::string_view key) {
    return key == "description" || key == "dump_packets" || key == "dump_flash";
}

}  // namespace

bool ApplySetting(Settings& s, std::string_view key, std::string_view value) {
    value = Trim(value);
    std::uint32_t number = 0;
    if (key == "description") {
        s.description = value;
    } else if (key == "serial") {
        s.serial = value;
    } else if (key == "name") {
        s.name = value;
    } else if (key == "id") {
        s.id = value;
    } else if (key == "flash_base") {
        return ParseUnsigned(value, s.flashBase);
    } else if (key == "flash_size") {
        if (!ParseUnsigned(value, number) || number == 0) {
            return false;
        }
        s.flashSize = number;
    } else if (key == "speed") {
        return ParseNumber(value, s.speed) && s.speed >= 0;
    } else if (key == "latency_ms") {
        return ParseNumber(value, s.latencyMs) && s.latencyMs >= 0;
    } else if (key == "erase_ms") {
        return ParseNumber(value, s.eraseMs) && s.eraseMs >= 0;
    } else if (key == "announce_delay_ms") {
        return ParseAnnounceMs(value, s.announceDelayMs);
    } else if (key == "announce_repeat_ms") {
        return ParseAnnounceMs(value, s.announceRepeatMs);
    } else if (key == "announce_from_open") {
        return ParseFlag(value, s.announceFromOpen);
    } else if (key == "max_resends") {
        if (!ParseUnsigned(value, number)) {
            return false;
        }
        s.maxResends = number;
    } else if (key == "progress_text") {
        return ParseFlag(value, s.progressText);
    } else if (key == "command_ack") {
        return ParseFlag(value, s.commandAck);
    } else if (key == "self_powered") {
        return ParseFlag(value, s.selfPowered);
    } else if (key == "plug_delay_ms") {
        return ParseNumber(value, s.plugDelayMs);
    } else if (key == "unplug_after_bytes") {
        if (!ParseUnsigned(value, number)) {
            return false;
        }
        s.unplugAfterBytes = number;
    } else if (key == "replug_after_ms") {
        return ParseNumber(value, s.replugAfterMs);
    } else if (key == "tx_fifo") {
        return ParseUnsigned(value, s.txFifoBytes);
    } else if (key == "unplug_at_ms") {
        return ParseNumber(value, s.unplugAtMs);
    } else if (key == "location") {
        return ParseUnsigned(value, s.location);
    } else if (key == "dump_packets") {
        s.dumpPackets = value;
    } else if (key == "dump_flash") {
        s.dumpFlash = value;
    } else {
        return false;
    }
    return true;
}

std::string_view ListItem(std::string_view list, std::size_t n) {
    for (std::size_t i = 0;; ++i) {
        const std::size_t comma = list.find(',');
        if (i == n || comma == std::string_view::npos) {
            return Trim(list.substr(0, comma));
        }
        list.remove_prefix(comma + 1);
    }
}

bool ApplySetting(const SettingsTarget& target, std::string_view key, std::string_view value) {
    return ApplySetting(target.settings, key,
                        TakenWhole(key) ? value : ListItem(value, target.dongle));
}

int LoadSettingsFile(const SettingsTarget& target, const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        return -1;
    }
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        std::string_view text = line;
        text = Trim(text.substr(0, text.find('#')));
        if (text.empty()) {
            continue;
        }
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos ||
            !ApplySetting(target, Trim(text.substr(0, equals)), text.substr(equals + 1))) {
            return number;
        }
    }
    return 0;
}

int LoadSettingsFromEnvironment(const SettingsTarget& target) {
    int result = 0;
    if (const char* path = std::getenv("KXSIM_CONFIG"); path != nullptr && *path != '\0') {
        result = LoadSettingsFile(target, path);
    }
    for (std::string_view key : kKeys) {
        std::string variable = "KXSIM_";
        for (char c : key) {
            variable += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (const char* value = std::getenv(variable.c_str()); value != nullptr) {
            if (!ApplySetting(target, key, value) && result == 0) {
                result = -2;
            }
        }
    }
    return result;
}

}  // namespace kxsim
