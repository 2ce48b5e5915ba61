// Recognises the announcement the device sends when it is ready for an upgrade:
// CR LF CR LF "KX " + name + CR LF XON. The matcher's state lives with its owner and
// survives between passes, device losses and transfers.
#pragma once

#include <cstdint>
#include <string>

namespace kx {

struct AnnouncePattern {
    std::uint8_t bytes[12];
    std::uint32_t length;
};

// [0] ANNOUNCE_HEADER (7 bytes), [1] ANNOUNCE_TRAILER (3 bytes).
extern const AnnouncePattern kAnnouncePatterns[2];

enum class MatchLog {
    Unchanged,
    Cleared,       // the log becomes ""
    NameAppended,  // the device name, CR and LF are appended to the log
};

struct MatchStep {
    bool progressToZero;  // the progress bar goes back to 0
    MatchLog log;
    bool requestTransfer;  // the announcement is complete: ask for a transfer
};

// matchState: 0 seeking the header, 1 collecting the name, 2 matching the trailer.
// matchIndex: bytes of the header (state 0) or trailer (state 2) matched so far.
// A byte that breaks the header is not tried again as its first byte.
MatchStep FeedAnnouncement(std::uint8_t& matchState, std::uint8_t& matchIndex,
                           std::string& deviceName, std::uint8_t b);

}  // namespace kx
