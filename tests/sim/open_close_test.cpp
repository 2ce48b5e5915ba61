// Finding, opening and closing the device; handles after close and after unplug.
#include "sim_fixture.h"
#include "test_platform.h"

namespace {

class OpenCloseTest : public SimTest {};

TEST_F(OpenCloseTest, ToolBindingReachesTheLinkedInstance) {
    // Loading by the plain name must hand back the library the test is linked against:
    // the instance unplugged through the loaded library is the linked one.
    ASSERT_EQ(kxsim_is_plugged(), 1);
    auto* unplug = reinterpret_cast<void (*)()>(kx::test::Symbol(D2xx::Library(), "kxsim_unplug"));
    ASSERT_NE(unplug, nullptr);
    unplug();
    EXPECT_EQ(kxsim_is_plugged(), 0);
    kxsim_unplug();
    FT_HANDLE h = nullptr;
    EXPECT_NE(ft.OpenEx(const_cast<char*>(kDescription), FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
}

TEST_F(OpenCloseTest, OpensOnlyByTheWholeDescription) {
    FT_HANDLE h = nullptr;
    for (const char* wrong :
         {"KX Upgrade - Dongl", "KX Upgrade - Dongle ", "kx upgrade - dongle", "KX Upgrade", ""}) {
        EXPECT_EQ(ft.OpenEx(const_cast<char*>(wrong), FT_OPEN_BY_DESCRIPTION, &h),
                  FT_DEVICE_NOT_FOUND)
            << wrong;
    }
    for (DWORD flags : {DWORD{FT_OPEN_BY_SERIAL_NUMBER}, DWORD{FT_OPEN_BY_LOCATION}}) {
        EXPECT_NE(ft.OpenEx(const_cast<char*>(kDescription), flags, &h), FT_OK) << flags;
    }
    EXPECT_EQ(kxsim_is_open(), 0);
    EXPECT_EQ(ft.OpenEx(const_cast<char*>(kDescription), FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(kxsim_is_open(), 1);
}

TEST_F(OpenCloseTest, OnlyOneOpenAtATime) {
    FT_HANDLE first = Open();
    FT_HANDLE second = nullptr;
    EXPECT_NE(ft.OpenEx(const_cast<char*>(kDescription), FT_OPEN_BY_DESCRIPTION, &second), FT_OK);
    EXPECT_NE(ft.Open(0, &second), FT_OK);
    EXPECT_EQ(ft.Close(first), FT_OK);
    FT_HANDLE again = Open();
    EXPECT_NE(again, first);
    EXPECT_EQ(Status(again).status, FT_OK);
}

TEST_F(OpenCloseTest, ClosedAndUnknownHandlesAreRefusedAndChangeNothing) {
    FT_HANDLE h = OpenConnected();
    ASSERT_EQ(ft.Close(h), FT_OK);
    const std::size_t packets = kxsim_packet_count();
    kxsim_link before{};
    kxsim_host_link(&before);

    int dummy = 0;
    for (FT_HANDLE bad : {h, static_cast<FT_HANDLE>(nullptr), static_cast<FT_HANDLE>(&dummy)}) {
        DWORD n = 7, rx = 0, tx = 0, events = 0;
        char byte = 'S';
        EXPECT_EQ(ft.Write(bad, &byte, 1, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(ft.Read(bad, &byte, 1, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(ft.Close(bad), FT_INVALID_HANDLE);
        EXPECT_EQ(ft.ResetDevice(bad), FT_INVALID_HANDLE);
        EXPECT_EQ(ft.Purge(bad, FT_PURGE_RX), FT_INVALID_HANDLE);
        EXPECT_EQ(ft.SetTimeouts(bad, 1, 1), FT_INVALID_HANDLE);
        EXPECT_EQ(ft.GetQueueStatus(bad, &rx), FT_INVALID_HANDLE);
        EXPECT_EQ(ft.GetStatus(bad, &rx, &tx, &events), FT_INVALID_HANDLE);
        EXPECT_EQ(ft.SetBaudRate(bad, 9600), FT_INVALID_HANDLE);
        EXPECT_EQ(ft.SetDataCharacteristics(bad, 7, 2, 2), FT_INVALID_HANDLE);
        EXPECT_EQ(ft.SetFlowControl(bad, 0, 0x11, 0x13), FT_INVALID_HANDLE);
        EXPECT_EQ(ft.SetDivisor(bad, 6), FT_INVALID_HANDLE);
        EXPECT_EQ(ft.SetEventNotification(bad, 1, nullptr), FT_INVALID_HANDLE);
    }
    kxsim_link after{};
    kxsim_host_link(&after);
    EXPECT_EQ(kxsim_packet_count(), packets);
    EXPECT_EQ(after.baud, before.baud);
    EXPECT_EQ(after.word_length, before.word_length);
    EXPECT_EQ(after.stop_bits, before.stop_bits);
    EXPECT_EQ(after.parity, before.parity);
    EXPECT_TRUE(DeviceReceived().empty());
}

TEST_F(OpenCloseTest, UnplugFailsTheHandleUntilClosedAndReplugOpensAgain) {
    FT_HANDLE h = OpenConnected();
    kxsim_unplug();
    DWORD n = 0;
    char byte = 'S';
    EXPECT_NE(Status(h).status, FT_OK);
    EXPECT_NE(ft.Read(h, &byte, 1, &n), FT_OK);
    EXPECT_NE(ft.Write(h, &byte, 1, &n), FT_OK);
    EXPECT_EQ(n, 0u);
    FT_HANDLE other = nullptr;
    EXPECT_EQ(ft.OpenEx(const_cast<char*>(kDescription), FT_OPEN_BY_DESCRIPTION, &other),
              FT_DEVICE_NOT_FOUND);

    kxsim_plug();
    EXPECT_NE(Status(h).status, FT_OK) << "a stale handle stays invalid after the replug";
    FT_HANDLE fresh = Open();
    EXPECT_EQ(Status(fresh).status, FT_OK);
    EXPECT_EQ(ft.Close(h), FT_OK);
    EXPECT_EQ(ft.Close(h), FT_INVALID_HANDLE);
    EXPECT_EQ(Status(fresh).status, FT_OK);
}

TEST_F(OpenCloseTest, PlugInDelayAndScheduledUnplugs) {
    kxsim_plug_in_ms(300);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(ft.OpenEx(const_cast<char*>(kDescription), FT_OPEN_BY_DESCRIPTION, &h),
              FT_DEVICE_NOT_FOUND);
    kxsim_advance_ms(299);
    EXPECT_EQ(kxsim_is_plugged(), 0);
    kxsim_advance_ms(1);
    EXPECT_EQ(kxsim_is_plugged(), 1);

    h = OpenConnected();
    kxsim_unplug_after_calls(3);
    EXPECT_EQ(Status(h).status, FT_OK);
    EXPECT_EQ(Status(h).status, FT_OK);
    EXPECT_NE(Status(h).status, FT_OK);
    ft.Close(h);

    kxsim_plug();
    h = OpenConnected();
    kxsim_unplug_after_bytes(4);
    kxsim_replug_after_ms(200);
    Write(h, "S00600004844521B");
    kxsim_advance_ms(100);
    EXPECT_EQ(kxsim_is_plugged(), 0);
    EXPECT_EQ(DeviceReceived().size(), 4u);
    kxsim_advance_ms(98);
    EXPECT_EQ(kxsim_is_plugged(), 0);
    kxsim_advance_ms(4);  // the pull came with the 4th byte, 1.04 ms after the write
    EXPECT_EQ(kxsim_is_plugged(), 1) << "plugged in again 200 ms after the pull";
}

TEST_F(OpenCloseTest, ListDevicesAndOpenByIndex) {
    DWORD count = 9;
    char name[64] = {};
    EXPECT_EQ(ft.ListDevices(&count, nullptr, 0x80000000u), FT_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(ft.ListDevices(nullptr, name, 0x40000000u | FT_OPEN_BY_DESCRIPTION), FT_OK);
    EXPECT_STREQ(name, kDescription);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(ft.Open(1, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(ft.Open(0, &h), FT_OK);
    EXPECT_EQ(ft.Close(h), FT_OK);
    kxsim_unplug();
    EXPECT_EQ(ft.ListDevices(&count, nullptr, 0x80000000u), FT_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(OpenCloseTest, ConfigurationCallsAreLoggedInOrder) {
    FT_HANDLE h = OpenConnected();
    BulkProfile(h);
    ft.Close(h);
    const std::vector<std::string> expected = {"FT_OpenEx(\"KX Upgrade - Dongle\", 2) = 0",
                                               "FT_ResetDevice() = 0",
                                               "FT_SetBaudRate(38400) = 0",
                                               "FT_SetDataCharacteristics(8, 0, 0) = 0",
                                               "FT_SetFlowControl(0, 17, 19) = 0",
                                               "FT_SetTimeouts(60000, 60000) = 0",
                                               "FT_Purge(1) = 0",
                                               "FT_ResetDevice() = 0",
                                               "FT_SetDivisor(6) = 0",
                                               "FT_SetDataCharacteristics(8, 2, 0) = 0",
                                               "FT_SetFlowControl(0, 17, 19) = 0",
                                               "FT_SetTimeouts(60000, 60000) = 0",
                                               "FT_Purge(1) = 0",
                                               "FT_Close() = 0"};
    EXPECT_EQ(ConfigLog(), expected);
    kxsim_config_call call{};
    ASSERT_EQ(kxsim_config(9, &call), 0);
    EXPECT_EQ(call.entry, KXSIM_FT_SET_DATA_CHARACTERISTICS);
    EXPECT_EQ(call.args[1], static_cast<unsigned long>(FT_STOP_BITS_2));
    EXPECT_EQ(kxsim_call_count(KXSIM_FT_PURGE), 2u);
}

TEST_F(OpenCloseTest, EventNotificationSignalsArrivingBytes) {
    FT_HANDLE h = OpenConnected();
    kx::test::DriverEvent event;
    ASSERT_EQ(ft.SetEventNotification(h, FT_EVENT_RXCHAR, event.Handle()), FT_OK);
    EXPECT_EQ(Status(h).events, 0u);
    EXPECT_FALSE(event.Signalled());
    const unsigned char byte = 0xA9;
    kxsim_inject(&byte, 1);
    EXPECT_TRUE(event.Signalled());
    EXPECT_EQ(Status(h).events, static_cast<DWORD>(FT_EVENT_RXCHAR));
    EXPECT_EQ(Status(h).events, 0u) << "the event status is reported once";
    ft.Close(h);
}

}  // namespace

TEST_F(OpenCloseTest, SeveralDonglesAreListedAndOpenedEachOnItsOwn) {
    kxsim_set_device_count(3);
    kxsim_set_manual_clock(1);
    ASSERT_EQ(kxsim_select(1), 0);
    kxsim_set_serial("KX000001");  // a clone's serial: only the location tells them apart
    kxsim_select(0);
    DWORD count = 0;
    EXPECT_EQ(ft.ListDevices(&count, nullptr, 0x80000000u), FT_OK);
    EXPECT_EQ(count, 3u);
    std::vector<std::string> serials;
    std::vector<DWORD> locations;
    for (std::uintptr_t i = 0; i < count; ++i) {
        char serial[64] = {};
        DWORD location = 0;
        EXPECT_EQ(ft.ListDevices(reinterpret_cast<PVOID>(i), serial,
                                 0x40000000u | FT_OPEN_BY_SERIAL_NUMBER),
                  FT_OK);
        EXPECT_EQ(ft.ListDevices(reinterpret_cast<PVOID>(i), &location,
                                 0x40000000u | FT_OPEN_BY_LOCATION),
                  FT_OK);
        serials.push_back(serial);
        locations.push_back(location);
    }
    EXPECT_EQ(serials, (std::vector<std::string>{"KX000001", "KX000001", "KX000003"}));
    EXPECT_EQ(locations, (std::vector<DWORD>{0x101, 0x102, 0x103}));

    // By location: exactly that dongle, even with its serial shared.
    FT_HANDLE second = nullptr;
    ASSERT_EQ(
        ft.OpenEx(reinterpret_cast<PVOID>(std::uintptr_t{0x102}), FT_OPEN_BY_LOCATION, &second),
        FT_OK);
    kxsim_select(1);
    EXPECT_EQ(kxsim_is_open(), 1);
    kxsim_select(0);
    EXPECT_EQ(kxsim_is_open(), 0);
    // By serial: the first free dongle that carries it; then none is left.
    char shared[] = "KX000001";
    FT_HANDLE first = nullptr;
    ASSERT_EQ(ft.OpenEx(shared, FT_OPEN_BY_SERIAL_NUMBER, &first), FT_OK);
    EXPECT_EQ(kxsim_is_open(), 1);
    FT_HANDLE none = nullptr;
    EXPECT_EQ(ft.OpenEx(shared, FT_OPEN_BY_SERIAL_NUMBER, &none), FT_DEVICE_NOT_OPENED);
    // Each handle reaches its own dongle: a write on one queues nothing on the other.
    DWORD written = 0;
    char byte[] = "S";
    ASSERT_EQ(ft.Write(second, byte, 1, &written), FT_OK);
    EXPECT_EQ(kxsim_packet_count(), 0u);
    kxsim_select(1);
    EXPECT_EQ(kxsim_packet_count(), 1u);
    // Unplugging one leaves the other two listed.
    kxsim_unplug();
    EXPECT_EQ(ft.ListDevices(&count, nullptr, 0x80000000u), FT_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(ft.Write(second, byte, 1, &written), FT_IO_ERROR);
    EXPECT_EQ(ft.Write(first, byte, 1, &written), FT_OK);
    ft.Close(first);
    ft.Close(second);
}
