// When and what the bootloader announces, and what of it reaches the host.
#include "sim_fixture.h"

namespace {

class AnnounceTest : public SimTest {};

TEST_F(AnnounceTest, AnnouncesAfterTheDelayFromPowerUpWhetherOrNotThePortIsOpen) {
    kxsim_advance_ms(99);
    EXPECT_EQ(kxsim_device_sent(nullptr, 0), 0u);
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_STARTING);
    kxsim_advance_ms(1);
    EXPECT_EQ(kxsim_device_sent(nullptr, 0), kAnnouncement.size()) << "nobody has opened it";
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_COMMAND);

    // Plugged in again: timed from that moment, not from the host's open.
    kxsim_unplug();
    kxsim_plug_in_ms(500);
    kxsim_advance_ms(500 + 99);
    EXPECT_EQ(kxsim_device_sent(nullptr, 0), kAnnouncement.size());
    kxsim_advance_ms(1);
    EXPECT_EQ(kxsim_device_sent(nullptr, 0), 2 * kAnnouncement.size());
}

TEST_F(AnnounceTest, AnAnnouncementBeforeTheHostConfiguredTheChipIsGarbageThatThePurgeDrops) {
    kxsim_set_announce(100, 2000);
    kxsim_advance_ms(500);  // announced at 100 ms into a chip at 9600 8N1 that nobody reads
    FT_HANDLE h = Open();
    kxsim_advance_ms(1);
    const Bytes early = Drain(h);
    EXPECT_EQ(early.size(), kAnnouncement.size()) << "the chip kept one byte per frame";
    EXPECT_NE(Text(early), kAnnouncement);

    kxsim_advance_ms(100);  // nothing new on the line: the chip held all it had
    EXPECT_TRUE(Drain(h).empty());
    ft.Close(h);
    kxsim_advance_ms(1600);  // announced again at 2100 ms, while the port was closed
    h = Open();
    CommandProfile(h);  // its reset and receive purge drop what the chip held
    EXPECT_TRUE(After(h, 1).empty());
    EXPECT_TRUE(After(h, 2100 + 2000 - kxsim_now_ms() - 1).empty());
    EXPECT_EQ(Text(After(h, 20)), kAnnouncement) << "the next one, one repeat period later";
}

TEST_F(AnnounceTest, AnnouncementHalfWayThroughTheConfigurationArrivesAsItsCleanTail) {
    // 24 bytes at 38400 take 6.25 ms; the host sets 38400 after the first half.
    kxsim_set_latency_ms(1);
    FT_HANDLE h = Open();
    kxsim_advance_ms(100 + 3.2);
    ft.SetBaudRate(h, 38400);
    ft.Purge(h, FT_PURGE_RX);
    const Bytes tail = After(h, 10);
    ASSERT_FALSE(tail.empty());
    ASSERT_LT(tail.size(), kAnnouncement.size());
    EXPECT_EQ(Text(tail), kAnnouncement.substr(kAnnouncement.size() - tail.size()));
}

TEST_F(AnnounceTest, HostBytesAtThePowerOnDefaultReachTheDongleAsGarbage) {
    FT_HANDLE h = Open();  // 9600 8N1: the command profile not yet set
    After(h, 200);
    Write(h, "S00600004844521B");
    After(h, 50);
    const Bytes received = DeviceReceived();
    ASSERT_EQ(received.size(), 16u);
    EXPECT_NE(Text(received), "S00600004844521B");
}

TEST_F(AnnounceTest, CarriesTheConfiguredName) {
    kxsim_set_name("TEST 42");
    FT_HANDLE h = OpenConnected();
    EXPECT_EQ(Text(After(h, 200)), "\r\n\r\nKX TEST 42\r\n\x11");
}

TEST_F(AnnounceTest, RepeatsWhileIdleAndStopsOnceARecordBegins) {
    kxsim_set_announce(100, 1000);
    FT_HANDLE h = OpenAnnounced();
    EXPECT_TRUE(After(h, 850).empty());
    EXPECT_EQ(Text(After(h, 100)), kAnnouncement);
    EXPECT_EQ(Text(After(h, 1000)), kAnnouncement);
    Write(h, "S");
    EXPECT_TRUE(After(h, 5000).empty());
}

TEST_F(AnnounceTest, RepeatOfZeroAnnouncesOnce) {
    kxsim_set_announce(50, 0);
    FT_HANDLE h = OpenConnected();
    EXPECT_EQ(Text(After(h, 70)), kAnnouncement);
    EXPECT_TRUE(After(h, 10000).empty());
}

TEST_F(AnnounceTest, DelayAndRepeatAreTenSecondsAtMost) {
    kxsim_set_announce(60000, 60000);
    FT_HANDLE h = OpenConnected();
    EXPECT_TRUE(After(h, 9999).empty());
    EXPECT_EQ(Text(After(h, 20)), kAnnouncement);
    EXPECT_TRUE(After(h, 9990).empty());
    EXPECT_EQ(Text(After(h, 20)), kAnnouncement);
}

TEST_F(AnnounceTest, ClosingAndReopeningThePortDoesNotRestartTheBootloader) {
    kxsim_set_announce(100, 3000);
    FT_HANDLE h = OpenAnnounced();
    ft.Close(h);
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_COMMAND);
    h = OpenConnected();
    EXPECT_TRUE(After(h, 2000).empty());
    EXPECT_EQ(Text(After(h, 1000)), kAnnouncement) << "its own repeat, not a new start";
}

TEST_F(AnnounceTest, TheOldTimingAnnouncesADelayAfterEachOpen) {
    kxsim_set_announce_from_open(1);
    kxsim_advance_ms(1000);
    EXPECT_EQ(kxsim_device_sent(nullptr, 0), 0u) << "silent while the port is closed";
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_DORMANT);

    FT_HANDLE h = OpenConnected();
    EXPECT_TRUE(After(h, 99).empty());
    EXPECT_EQ(Text(After(h, 20)), kAnnouncement);
    ft.Close(h);
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_DORMANT);
    h = OpenConnected();
    EXPECT_TRUE(After(h, 50).empty());
    EXPECT_EQ(Text(After(h, 100)), kAnnouncement);
}

TEST_F(AnnounceTest, SpeedFactorScalesTheDelayDownToItsFloor) {
    kxsim_set_speed(2);
    FT_HANDLE h = OpenConnected();
    EXPECT_TRUE(After(h, 57).empty());
    EXPECT_EQ(Text(After(h, 2)), kAnnouncement) << "100 ms / 2 + 16 ms / 2 latency";
    ft.Close(h);

    kxsim_reset();
    kxsim_set_manual_clock(1);
    kxsim_set_speed(0);  // unlimited: no line time, no latency, but still 20 ms
    h = OpenConnected();
    EXPECT_TRUE(After(h, 19).empty());
    EXPECT_EQ(Text(After(h, 1)), kAnnouncement);
}

}  // namespace
