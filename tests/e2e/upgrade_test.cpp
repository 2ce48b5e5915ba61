// Whole upgrades against the simulated dongle: what the wire carries, what the flash
// ends up holding, and what the window shows.
#include <cstring>

#include "device/dongle_choice.h"
#include "string_table.h"
#include "upgrade_fixture.h"

namespace kx::test {
namespace {

constexpr kxsim_link kCommandLink{38400, 8, 1, 0};
constexpr kxsim_link kBulkLink{500000, 8, 2, 0};

bool SameLink(const kxsim_link& a, const kxsim_link& b) {
    return a.baud == b.baud && a.word_length == b.word_length && a.stop_bits == b.stop_bits &&
           a.parity == b.parity;
}

std::string Hex(const std::string& bytes) {
    return bytes.substr(0, 24) + "...";
}

TEST_F(UpgradeTest, WholeUpgradeWritesTheImageExactlyAsThePacketRulesSay) {
    const std::vector<std::uint8_t> image = TestImage(12 * 1024 + 40);
    const std::string file = FirmwareFile(image, kFlashBase, kDeviceId);
    chooserAnswer = WriteFile("firmware.dat", file);

    ASSERT_TRUE(RunUntil([&] { return window.Transfer() == "Transfer completed"; }));

    // The flash holds the image, the rest stays erased.
    const std::vector<std::uint8_t> flash = Flash();
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + static_cast<std::ptrdiff_t>(image.size()), flash.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));

    // Every packet, byte for byte, at the link it had to go out on.
    const std::vector<std::string> expected = ExpectedPackets(file);
    const std::vector<WirePacket> packets = Packets();
    ASSERT_EQ(packets.size(), expected.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].bytes, expected[i]) << "packet " << i << " " << Hex(expected[i]);
        EXPECT_TRUE(SameLink(packets[i].link, i < 2 ? kCommandLink : kBulkLink)) << "packet " << i;
    }

    // The link settings the tool made, in order.
    const std::vector<std::string> commandProfile = {"FT_ResetDevice() = 0",
                                                     "FT_SetBaudRate(38400) = 0",
                                                     "FT_SetDataCharacteristics(8, 0, 0) = 0",
                                                     "FT_SetFlowControl(0, 17, 19) = 0",
                                                     "FT_SetTimeouts(60000, 60000) = 0",
                                                     "FT_Purge(1) = 0"};
    std::vector<std::string> calls = ConfigCalls();
    ASSERT_EQ(calls.size(), 18u);
    EXPECT_EQ(calls[0].rfind("FT_OpenEx(", 0), 0u) << calls[0];
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 1, calls.begin() + 7), commandProfile);
    // The chip's latency timer, read and then lowered, so that one-byte replies come quickly.
    EXPECT_EQ(calls[7], "FT_GetLatencyTimer() = 0");
    EXPECT_EQ(calls[8], "FT_SetLatencyTimer(2) = 0");
    EXPECT_EQ(kxsim_latency_timer_ms(), 2.0);
    calls.erase(calls.begin() + 7, calls.begin() + 9);
    EXPECT_EQ(calls[7], "FT_Purge(1) = 0");  // transfer start
    const std::vector<std::string> bulkSwitch = {"FT_ResetDevice() = 0",
                                                 "FT_SetDivisor(6) = 0",
                                                 "FT_SetDataCharacteristics(8, 2, 0) = 0",
                                                 "FT_SetFlowControl(0, 17, 19) = 0",
                                                 "FT_SetTimeouts(60000, 60000) = 0",
                                                 "FT_Purge(1) = 0"};
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 8, calls.begin() + 14), bulkSwitch);
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 14, calls.end()),
              (std::vector<std::string>{"FT_SetBaudRate(38400) = 0", "FT_Purge(1) = 0"}));

    // What the user sees.
    EXPECT_EQ(window.Log(), std::string(kDeviceName) + "\r\n");
    EXPECT_TRUE(Connected());
    EXPECT_TRUE(window.ExitEnabled());
    EXPECT_FALSE(dlg->Transferring());
    // The bar ends full: it counts the file bytes read, not the bytes written.
    EXPECT_EQ(window.ProgressMax(), file.size());
    EXPECT_EQ(window.ProgressPos(), file.size());
    EXPECT_EQ(requests.size(), 1u);
}

TEST_F(UpgradeTest, ADamagedRecordIsResentAndTheImageStillArrivesWhole) {
    const std::vector<std::uint8_t> image = TestImage(4096, 7);
    chooserAnswer = WriteFile("firmware.dat", FirmwareFile(image, kFlashBase, kDeviceId));
    ASSERT_TRUE(RunUntil([] { return kxsim_device_state() == KXSIM_STATE_BULK; }));
    kxsim_damage_next_record();

    ASSERT_TRUE(RunUntil([&] { return window.Transfer() == "Transfer completed"; }));
    EXPECT_NE(window.Log().find("REPEAT\r\n"), std::string::npos) << window.Log();
    const std::vector<WirePacket> packets = Packets();
    int repeats = 0;
    for (std::size_t i = 3; i < packets.size(); ++i) {
        repeats += packets[i].bytes == packets[i - 1].bytes ? 1 : 0;
    }
    EXPECT_EQ(repeats, 1);
    const std::vector<std::uint8_t> flash = Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

TEST_F(UpgradeTest, ARepeatRightAfterTheSwitchRecordSendsTheNextPacket) {
    kxsim_set_erase_ms(8000);  // the device stays busy erasing while the test speaks for it
    const std::string file = FirmwareFile(TestImage(1024), kFlashBase, kDeviceId);
    chooserAnswer = WriteFile("firmware.dat", file);
    ASSERT_TRUE(RunUntil([] { return kxsim_device_state() == KXSIM_STATE_ERASING; }));
    ASSERT_TRUE(RunUntil([] { return kxsim_packet_count() == 2; }));

    const unsigned char repeat = 0xB6;
    kxsim_inject(&repeat, 1);
    ASSERT_TRUE(RunUntil([] { return kxsim_packet_count() == 3; }));
    EXPECT_EQ(Packets()[2].bytes, ExpectedPackets(file)[2]);
    EXPECT_NE(window.Log().find("REPEAT\r\n"), std::string::npos);
}

TEST_F(UpgradeTest, DeviceErrorRepliesAbortWithTheirReason) {
    struct Case {
        const char* what;
        std::function<void()> provoke;
        const char* logLine;
    };
    const Case cases[] = {
        {"wrong id", [] { kxsim_set_id("KX-DONGLE-9"); },
         "UPDATE FILE ID DOESNT MATCH DEVICE ID\r\n"},
        {"too many resends",
         [] {
             kxsim_set_max_resends(0);
             kxsim_damage_next_record();
         },
         "ERROR\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        chooserAnswer =
            WriteFile("firmware.dat", FirmwareFile(TestImage(2048), kFlashBase, kDeviceId));
        if (std::string(c.what) == "wrong id") {
            c.provoke();
        } else {
            ASSERT_TRUE(RunUntil([] { return kxsim_device_state() == KXSIM_STATE_BULK; }));
            c.provoke();
        }
        ASSERT_TRUE(RunUntil([&] { return window.Transfer() == "Transfer aborted"; }));
        EXPECT_EQ(dlg->LastAbortReason() + "\r\n", c.logLine);
        // The dongle starts over after its error and announces itself again: on a slow
        // machine that announcement may already have been read in the pass of the abort,
        // and it clears the log. Otherwise the log ends with the reason.
        const std::string& log = window.Log();
        if (log != std::string(kDeviceName) + "\r\n") {
            ASSERT_GE(log.size(), std::strlen(c.logLine));
            EXPECT_EQ(log.substr(log.size() - std::strlen(c.logLine)), c.logLine) << log;
        }
        EXPECT_TRUE(window.ExitEnabled());
        EXPECT_FALSE(dlg->Transferring());
        const std::vector<std::string> calls = ConfigCalls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[calls.size() - 2], "FT_SetBaudRate(38400) = 0");
        EXPECT_EQ(calls.back(), "FT_Purge(1) = 0");
    }
}

TEST_F(UpgradeTest, AnAnnouncementMadeBeforeTheToolOpenedThePortIsLostAndTheNextOneHeard) {
    // At power-up (the reset), long before the first timer tick opens the port; then every
    // 200 ms at speed 20.
    kxsim_set_announce(0, 4000);
    const std::vector<std::uint8_t> image = TestImage(256);
    chooserAnswer = WriteFile("firmware.dat", FirmwareFile(image, kFlashBase, kDeviceId));
    ASSERT_TRUE(RunUntil([&] { return window.Transfer() == "Transfer completed"; }));
    EXPECT_EQ(requests.size(), 1u);
    // What reached the chip at 9600 8N1 before the profile was purged, never shown.
    EXPECT_TRUE(window.Log().starts_with(std::string(kDeviceName) + "\r\n")) << window.Log();
    std::string sent(kxsim_device_sent(nullptr, 0), '\0');
    kxsim_device_sent(reinterpret_cast<unsigned char*>(sent.data()), sent.size());
    std::size_t announcements = 0;
    for (std::size_t at = sent.find(kDeviceName); at != std::string::npos;
         at = sent.find(kDeviceName, at + 1)) {
        ++announcements;
    }
    EXPECT_GE(announcements, 2u) << "the first one was heard";
    const std::vector<std::uint8_t> flash = Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

TEST_F(UpgradeTest, CancelledChooserChangesNothingAndTheNextAnnouncementAsksAgain) {
    kxsim_set_announce(100, 2000);  // again after 100 ms at speed 20
    ASSERT_TRUE(RunUntil([&] { return requests.size() == 1; }));
    EXPECT_EQ(window.Transfer(), "");
    EXPECT_TRUE(window.ExitEnabled());
    EXPECT_EQ(window.ProgressPos(), 0u);
    EXPECT_FALSE(dlg->Transferring());
    ASSERT_TRUE(RunUntil([&] { return requests.size() == 2; }));
    EXPECT_EQ(kxsim_packet_count(), 0u);
}

TEST_F(UpgradeTest, TheChooserOpensInTheStoredFolderAndKeepsIt) {
    chooserAnswer = WriteFile("firmware.dat", FirmwareFile(TestImage(256), kFlashBase, kDeviceId));
    ASSERT_TRUE(RunUntil([&] { return window.Transfer() == "Transfer completed"; }));
    ASSERT_EQ(requests.size(), 1u);
    const FileChooserRequest& request = requests[0];
    EXPECT_EQ(request.initialFolder, "C:\\Tessaro\\");
    EXPECT_TRUE(request.openMode);
    EXPECT_EQ(request.defaultExtension, "dat");
    EXPECT_EQ(request.initialName, "");
    EXPECT_EQ(request.filter, "Data (*.dat)| *.dat|");
    EXPECT_EQ(static_cast<unsigned>(request.flags), 0x1004u);  // the common dialog's values
    // Written back as read, not as the folder of the chosen file.
    EXPECT_EQ(window.profile["Settings/Path"], "C:\\Tessaro\\");
}

TEST_F(UpgradeTest, ARequestWhileTheChooserIsOpenIsIgnored) {
    chooserAnswer = WriteFile("firmware.dat", FirmwareFile(TestImage(256), kFlashBase, kDeviceId));
    window.chooser = [this](const FileChooserRequest& request) {
        requests.push_back(request);
        // The chooser's modal loop keeps dispatching, and a second request arrives.
        window.PostToWindow(WindowMessage::StartTransfer);
        window.PumpFor(std::chrono::milliseconds(50));
        return chooserAnswer;
    };
    ASSERT_TRUE(RunUntil([&] { return window.Transfer() == "Transfer completed"; }));
    window.PumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(requests.size(), 1u);
}

TEST_F(UpgradeTest, AReadEndingInAnIoErrorStillDeliversItsByte) {
    kxsim_read_io_error_next();
    ASSERT_TRUE(RunUntil([&] { return requests.size() == 1; }));
    EXPECT_EQ(window.Log(), std::string(kDeviceName) + "\r\n");
}

// At the real line rate the chip's transmit FIFO still holds the switch record and the last
// packet when the driver's queue reads empty: the link may change only once they have left.
TEST_F(UpgradeTest, AtLineRateTheLinkChangesOnlyOnceTheChipHasSentItsLastBytes) {
    kxsim_set_speed(1);
    kxsim_set_erase_ms(50);
    const std::vector<std::uint8_t> image = TestImage(1024, 3);
    chooserAnswer = WriteFile("firmware.dat", FirmwareFile(image, kFlashBase, kDeviceId));
    ASSERT_TRUE(RunUntil([&] { return window.Transfer() == "Transfer completed"; }, 20000))
        << window.Transfer();
    const std::vector<std::uint8_t> flash = Flash();
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    const std::string file = FirmwareFile(image, kFlashBase, kDeviceId);
    std::string received(kxsim_device_received(nullptr, 0), '\0');
    kxsim_device_received(reinterpret_cast<unsigned char*>(received.data()), received.size());
    std::string sent;
    for (const WirePacket& packet : Packets()) {
        sent += packet.bytes;
    }
    EXPECT_EQ(received, sent) << "every byte reached the device as written";

    // Closing the window gives the chip back its own latency timer.
    dlg->OnClose();
    const std::vector<std::string> calls = ConfigCalls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "FT_SetLatencyTimer(16) = 0");
    EXPECT_EQ(calls.back(), "FT_Close() = 0");
}

// The list the fleet and --list read, the first dongle pulled out while it is read: just
// before the driver is asked for the first entry's location, so that its serial has been
// read and the location would be the second dongle's.
TEST(DongleList, ADonglePulledOutWhileTheListIsReadMixesNoEntries) {
    UnbindDriverForTesting();
    kxsim_reset();
    kxsim_set_device_count(2);
    platform::LibraryHandle library = nullptr;
    ASSERT_TRUE(BindDriver(platform::kDriverLibraryName, library, [](const std::string&) {}));
    ASSERT_EQ(ListDongles(text::kDeviceDescription).size(), 2u);
    kxsim_select(0);
    kxsim_unplug_after_calls(4);  // the count, then the description, serial and location
    FT_STATUS status = FT_OTHER_ERROR;
    const std::vector<ListedDongle> dongles = ListDongles(text::kDeviceDescription, &status);
    EXPECT_EQ(status, FT_OK);
    ASSERT_EQ(dongles.size(), 1u);
    EXPECT_EQ(dongles[0].serial, "KX000002");
    EXPECT_EQ(dongles[0].location, 0x102u);
    kxsim_set_device_count(1);
    UnbindDriverForTesting();
}

}  // namespace
}  // namespace kx::test
