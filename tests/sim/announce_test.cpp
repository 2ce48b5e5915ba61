// When and what the bootloader announces.
#include "sim_fixture.h"

namespace {

class AnnounceTest : public SimTest {};

TEST_F(AnnounceTest, AnnouncesAfterTheDelayOnceThePortIsOpen) {
    kxsim_advance_ms(1000);
    EXPECT_TRUE(DeviceReceived().empty());
    EXPECT_EQ(kxsim_device_sent(nullptr, 0), 0u) << "silent while the port is closed";

    FT_HANDLE h = OpenConnected();
    EXPECT_TRUE(After(h, 99).empty());
    EXPECT_EQ(Text(After(h, 20)), kAnnouncement);
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_COMMAND);
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

TEST_F(AnnounceTest, ReopeningThePortStartsTheBootloaderAgain) {
    FT_HANDLE h = OpenAnnounced();
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

    kxsim_set_speed(0);  // unlimited: no line time, no latency, but the host still gets 20 ms
    h = OpenConnected();
    EXPECT_TRUE(After(h, 19).empty());
    EXPECT_EQ(Text(After(h, 1)), kAnnouncement);
}

}  // namespace
