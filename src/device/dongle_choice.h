// Which dongle the program opens, and the dongles there are to choose from. By default the
// first dongle found by its description; a production bench names one by its serial
// number or, where clone chips share a serial number, by its USB location.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "d2xx_api.h"

namespace kx {

struct DongleChoice {
    std::optional<std::string> serial;      // FT_OPEN_BY_SERIAL_NUMBER
    std::optional<std::uint32_t> location;  // FT_OPEN_BY_LOCATION; wins over the serial
};

// Set once by a front end before the dialog starts; read by every connection attempt.
void ChooseDongle(const DongleChoice& choice);
const DongleChoice& ChosenDongle();

// A connected dongle as the driver lists it.
struct ListedDongle {
    std::string serial;
    std::uint32_t location = 0;
};

// FT_OpenEx for the chosen dongle; by `description` when none is chosen. It also notes
// which dongle it opened (OpenedDongle).
FT_STATUS OpenChosenDongle(char* description);

// The dongle the last successful OpenChosenDongle opened, from the driver's list: the entry
// at the chosen location, else the first with the chosen serial number, else the first
// with the description (the one FT_OpenEx takes). The list is read just before the open:
// the bootloader starts its announcement when the port opens, and time spent after that
// delays the host's answer to it. Read again after the open only when the dongle came
// between the two. Nothing when the list does not show it. Safe from any thread.
std::optional<ListedDongle> OpenedDongle();

// The connected devices that carry `description`, in the driver's order. Empty when the
// driver lists none or cannot list (its status in `status` when given). Read until two
// readings in a row agree, so that a dongle coming or going meanwhile mixes no entries.
std::vector<ListedDongle> ListDongles(std::string_view description, FT_STATUS* status = nullptr);

// "0x0000011A"-style location ids are read as hex with 0x, otherwise as decimal.
std::optional<std::uint32_t> ParseLocation(const std::string& text);
std::string FormatLocation(std::uint32_t location);

}  // namespace kx
