#include "dongle_choice.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver_binding.h"

namespace kx {

namespace {

// D2XX's FT_ListDevices flags and the size of the strings it fills.
constexpr DWORD kListNumberOnly = 0x80000000u;
constexpr DWORD kListByIndex = 0x40000000u;
constexpr std::size_t kListStringSize = 64;

DongleChoice g_choice;
std::mutex g_openedMutex;
std::optional<ListedDongle> g_opened;

// A string field of entry `index`, in `text` (kListStringSize + 1 chars), ended by a NUL.
FT_STATUS ListString(std::uintptr_t index, DWORD flags, char* text) {
    std::memset(text, 0, kListStringSize + 1);
    const FT_STATUS status =
        DrvListDevices(reinterpret_cast<PVOID>(index), text, kListByIndex | flags);
    text[kListStringSize] = '\0';
    return status;
}

}  // namespace

void ChooseDongle(const DongleChoice& choice) {
    g_choice = choice;
}

const DongleChoice& ChosenDongle() {
    return g_choice;
}

namespace {

FT_STATUS OpenByChoice(char* description) {
    if (g_choice.location) {
        return DrvOpenEx(reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(*g_choice.location)),
                         FT_OPEN_BY_LOCATION);
    }
    if (g_choice.serial) {
        std::string serial = *g_choice.serial;
        return DrvOpenEx(serial.data(), FT_OPEN_BY_SERIAL_NUMBER);
    }
    return DrvOpenEx(description, FT_OPEN_BY_DESCRIPTION);
}

// Which listed dongle the open took. A port may hold another dongle than before (one
// pulled out, another plugged into its socket), so this is read at every open.
std::optional<ListedDongle> FindOpened(const std::vector<ListedDongle>& listed) {
    for (const ListedDongle& dongle : listed) {
        const bool match = g_choice.location ? dongle.location == *g_choice.location
                           : g_choice.serial ? dongle.serial == *g_choice.serial
                                             : true;
        if (match) {
            return dongle;
        }
    }
    return std::nullopt;
}

}  // namespace

FT_STATUS OpenChosenDongle(char* description) {
    std::optional<ListedDongle> opened = FindOpened(ListDongles(description));
    const FT_STATUS status = OpenByChoice(description);
    if (status == FT_OK) {
        if (!opened) {
            opened = FindOpened(ListDongles(description));  // plugged in meanwhile
        }
        const std::lock_guard lock(g_openedMutex);
        g_opened = std::move(opened);
    }
    return status;
}

std::optional<ListedDongle> OpenedDongle() {
    const std::lock_guard lock(g_openedMutex);
    return g_opened;
}

namespace {

// One reading of the list: the count, then each entry's fields by index.
// The fields are read into buffers on the stack: a connection attempt reads the list twice
// and allocates only for the dongles it keeps.
std::vector<ListedDongle> ReadListOnce(std::string_view description, FT_STATUS& status) {
    std::vector<ListedDongle> dongles;
    DWORD count = 0;
    FT_STATUS result = DrvListDevices(&count, nullptr, kListNumberOnly);
    for (std::uintptr_t i = 0; result == FT_OK && i < count; ++i) {
        char listedDescription[kListStringSize + 1];
        char serial[kListStringSize + 1];
        DWORD location = 0;
        // A device that goes between the count and its entry ends the list early.
        result = ListString(i, FT_OPEN_BY_DESCRIPTION, listedDescription);
        if (result == FT_OK) {
            result = ListString(i, FT_OPEN_BY_SERIAL_NUMBER, serial);
        }
        if (result == FT_OK) {
            result = DrvListDevices(reinterpret_cast<PVOID>(i), &location,
                                    kListByIndex | FT_OPEN_BY_LOCATION);
        }
        if (result == FT_OK && description == listedDescription) {
            dongles.push_back(ListedDongle{serial, location});
        }
    }
    if (result == FT_DEVICE_NOT_FOUND && !dongles.empty()) {
        result = FT_OK;
    }
    status = result;
    return dongles;
}

bool SameList(const std::vector<ListedDongle>& a, const std::vector<ListedDongle>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const ListedDongle& x, const ListedDongle& y) {
                          return x.serial == y.serial && x.location == y.location;
                      });
}

}  // namespace

// A dongle plugged in or pulled out while the list is read moves the others' indexes: an
// entry could pair one dongle's serial with another's location (and a production record
// name the wrong dongle), or a dongle could be missed (and a station flash it again). So
// the list is read until two readings in a row agree; a bus that never settles gets its
// last reading.
std::vector<ListedDongle> ListDongles(std::string_view description, FT_STATUS* status) {
    constexpr int kReadings = 5;
    FT_STATUS result = FT_OK;
    std::vector<ListedDongle> dongles = ReadListOnce(description, result);
    for (int reading = 1; reading < kReadings; ++reading) {
        FT_STATUS again = FT_OK;
        std::vector<ListedDongle> next = ReadListOnce(description, again);
        const bool settled = again == result && SameList(next, dongles);
        dongles = std::move(next);
        result = again;
        if (settled) {
            break;
        }
    }
    if (status != nullptr) {
        *status = result;
    }
    return dongles;
}

std::optional<std::uint32_t> ParseLocation(const std::string& text) {
    std::string_view digits(text);
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    std::uint32_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

std::string FormatLocation(std::uint32_t location) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(location));
    return text;
}

}  // namespace kx
