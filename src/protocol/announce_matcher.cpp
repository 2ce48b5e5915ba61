#include "announce_matcher.h"

namespace kx {

const AnnouncePattern kAnnouncePatterns[2] = {
    {{0x0D, 0x0A, 0x0D, 0x0A, 0x4B, 0x58, 0x20}, 7},
    {{0x0D, 0x0A, 0x11}, 3},
};

namespace {

enum : std::uint8_t { kSeekingHeader = 0, kCollectingName = 1, kMatchingTrailer = 2 };

const AnnouncePattern& kHeader = kAnnouncePatterns[0];
const AnnouncePattern& kTrailer = kAnnouncePatterns[1];

}  // namespace

MatchStep FeedAnnouncement(std::uint8_t& matchState, std::uint8_t& matchIndex,
                           std::string& deviceName, std::uint8_t b) {
    // Only the matcher writes its state; anything out of range starts it over.
    const bool inRange = (matchState == kSeekingHeader && matchIndex < kHeader.length) ||
                         matchState == kCollectingName ||
                         (matchState == kMatchingTrailer && matchIndex < kTrailer.length);
    if (!inRange) {
        matchState = kSeekingHeader;
        matchIndex = 0;
    }

    switch (matchState) {
        case kCollectingName:
            if (b == kTrailer.bytes[0]) {
                matchState = kMatchingTrailer;
                matchIndex = 1;
            } else {
                deviceName.push_back(static_cast<char>(b));
            }
            return {false, MatchLog::Unchanged, false};

        case kMatchingTrailer:
            if (b != kTrailer.bytes[matchIndex]) {
                matchState = kSeekingHeader;
                matchIndex = 0;
                return {true, MatchLog::Cleared, false};
            }
            if (++matchIndex == kTrailer.length) {
                matchState = kSeekingHeader;
                matchIndex = 0;
                return {true, MatchLog::NameAppended, true};
            }
            return {true, MatchLog::Cleared, false};

        default:
            if (b != kHeader.bytes[matchIndex]) {
                matchIndex = 0;
            } else if (++matchIndex == kHeader.length) {
                matchIndex = 0;
                matchState = kCollectingName;
                deviceName.clear();
            }
            return {true, MatchLog::Unchanged, false};
    }
}

}  // namespace kx
