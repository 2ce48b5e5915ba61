// The instant dongle: a device model on the shared in-process fake driver.
#include "instant_dongle.h"

#include "fake_driver.h"

namespace kx::bench {

namespace {

using test::Fake;

constexpr char kAnnouncement[] = "\r\n\r\nKX INSTANT DONGLE\r\n\x11";
constexpr std::uint8_t kNext = 0xA9;

struct Model {
    bool bulk = false;
    bool switchTaken = false;
    bool hold = false;
    bool announce = false;
    std::uint64_t written = 0;
} g_model;

void Queue(std::string_view bytes) {
    Fake().rx.insert(Fake().rx.end(), bytes.begin(), bytes.end());
}

}  // namespace

void InstallInstantDongle() {
    test::InstallFakeDriver();
    g_model = Model{};
    test::FakeDevice& fake = Fake();
    fake.onOpen = [] {
        g_model.bulk = false;
        g_model.announce = true;
    };
    fake.onWrite = [](std::string_view bytes) {
        g_model.written += bytes.size();
        if (g_model.hold) {
            return;
        }
        if (g_model.bulk) {
            Fake().rx.push_back(kNext);
        } else if (!bytes.empty() && bytes[0] == 'Z') {
            g_model.switchTaken = true;
        }
    };
    // The device announces itself once the host, freshly connected, has emptied its
    // receive queue; the erase is instant, so the switch record is answered as soon as the
    // host listens again.
    fake.onPurge = [](ULONG mask) {
        if ((mask & FT_PURGE_RX) == 0) {
            return;
        }
        if (g_model.announce) {
            g_model.announce = false;
            Queue(kAnnouncement);
        }
        if (g_model.bulk && g_model.switchTaken) {
            g_model.switchTaken = false;
            Fake().rx.push_back(kNext);
        }
    };
    fake.onSpeed = [](bool bulk) { g_model.bulk = bulk; };
}

void InstantSend(std::string_view bytes) {
    Queue(bytes);
}

std::size_t InstantPending() {
    return Fake().rx.size();
}

void InstantHold(bool hold) {
    g_model.hold = hold;
    Fake().stuckTx = hold ? 4096 : 0;
}

std::uint64_t InstantBytesWritten() {
    return g_model.written;
}

}  // namespace kx::bench
