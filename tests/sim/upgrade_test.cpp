// Whole upgrades with the example files, driven by a host loop that behaves like the tool.
#include <string>

#include "host.h"
#include "sim_fixture.h"
#include "test_platform.h"

namespace {

const std::string kExamples = KX_EXAMPLES_DIR;

std::string Example(const std::string& name) {
    return Text(ReadFile(kExamples + "/" + name));
}

class UpgradeTest : public SimTest {
  protected:
    // The flash after writing `image` at its base: the image, then erased bytes.
    static Bytes Expected(const Bytes& image) {
        Bytes flash(0x10000, 0xFF);
        std::copy(image.begin(), image.end(), flash.begin());
        return flash;
    }
};

TEST_F(UpgradeTest, ExampleImageLandsInFlash) {
    Host host(ft, true);
    ASSERT_TRUE(host.Connect());
    ASSERT_TRUE(host.WaitForAnnouncement(500));
    const UpgradeResult result = host.Upgrade(Example("firmware-2.0.dat"), 20000);
    EXPECT_EQ(result.outcome, UpgradeResult::Outcome::Completed);
    EXPECT_EQ(result.repeats, 0);
    EXPECT_EQ(Flash(), Expected(ReadFile(kExamples + "/firmware-2.0.bin")));

    // Header and switch record at the command link, one per write; the rest at the bulk link.
    ASSERT_GE(kxsim_packet_count(), 3u);
    kxsim_link link{};
    char first[4] = {};
    for (std::size_t i = 0; i < kxsim_packet_count(); ++i) {
        kxsim_packet(i, reinterpret_cast<unsigned char*>(first), 2, &link);
        SCOPED_TRACE(first);
        const bool command = i < 2;
        EXPECT_EQ(link.baud, command ? 38400.0 : 500000.0);
        EXPECT_EQ(link.word_length, 8);
        EXPECT_EQ(link.stop_bits, command ? 1 : 2);
        EXPECT_EQ(link.parity, FT_PARITY_NONE);
    }
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_DONE);
}

// The flash is held in pages, made as they are first programmed: every byte must read the
// same as a flash held whole, the partial last page of an odd size included.
TEST_F(UpgradeTest, FlashHoldsThePreviousFirmwareUntilErasedThenTheImage) {
    const std::size_t size = 0x10000 + 0x801;
    kxsim_set_flash(kxsim_flash_base(), size);
    Bytes previous(size);
    for (std::size_t i = 0; i < size; ++i) {
        previous[i] = static_cast<std::uint8_t>((37 * i + 11 * (i >> 8) + 0x5A) % 255);
    }
    EXPECT_EQ(Flash(), previous);

    Host host(ft, true);
    ASSERT_TRUE(host.Connect());
    ASSERT_TRUE(host.WaitForAnnouncement(500));
    ASSERT_EQ(host.Upgrade(Example("firmware-2.0.dat"), 20000).outcome,
              UpgradeResult::Outcome::Completed);
    Bytes expected = Expected(ReadFile(kExamples + "/firmware-2.0.bin"));
    expected.resize(size, 0xFF);
    EXPECT_EQ(Flash(), expected);
}

TEST_F(UpgradeTest, RealClockAtTwentyTimesSpeed) {
    kxsim_set_manual_clock(0);
    kxsim_set_speed(20);
    // The dongle answers the switch record at the bulk rate once its erase is over. Time
    // here is the machine's: a loaded one may take longer to switch the host's link than a
    // sped-up erase of a small flash (40 ms), and this host, unlike the tool, does not ask
    // again for a reply it missed. One second at this speed.
    kxsim_set_erase_ms(20000);
    Host host(ft, false);
    ASSERT_TRUE(host.Connect());
    ASSERT_TRUE(host.WaitForAnnouncement(2000));
    const UpgradeResult result = host.Upgrade(Example("firmware-mini.dat"), 10000);
    EXPECT_EQ(result.outcome, UpgradeResult::Outcome::Completed);
    EXPECT_EQ(Flash(), Expected(ReadFile(kExamples + "/firmware-mini.bin")));
}

TEST_F(UpgradeTest, UnlimitedSpeedStillCompletes) {
    kxsim_set_manual_clock(0);
    kxsim_set_speed(0);
    Host host(ft, false);
    ASSERT_TRUE(host.Connect());
    ASSERT_TRUE(host.WaitForAnnouncement(2000));
    const UpgradeResult result = host.Upgrade(Example("firmware-2.0.dat"), 10000);
    EXPECT_EQ(result.outcome, UpgradeResult::Outcome::Completed);
    EXPECT_EQ(Flash(), Expected(ReadFile(kExamples + "/firmware-2.0.bin")));
}

TEST_F(UpgradeTest, DamagedExamplesAbortWithTheDevicesReason) {
    const struct {
        const char* file;
        std::uint8_t reply;
        int repeats;
        bool erased;
    } cases[] = {
        {"wrong-id.dat", 0xD5, 0, false},
        {"bad-checksum.dat", 0xC8, 3, true},
        {"garbage.dat", 0xC8, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        kxsim_reset();
        kxsim_set_manual_clock(1);
        // With the chip's FIFO out of the count, this host's pacing reaches the end of a file
        // of one stray line before the device has read it: count every byte, so that the
        // host is still listening when the refusal comes.
        kxsim_set_tx_fifo(0);
        const Bytes before = Flash();
        Host host(ft, true);
        ASSERT_TRUE(host.Connect());
        ASSERT_TRUE(host.WaitForAnnouncement(500));
        const UpgradeResult result = host.Upgrade(Example(c.file), 20000);
        EXPECT_EQ(result.outcome, UpgradeResult::Outcome::Aborted);
        EXPECT_EQ(result.abortReply, c.reply);
        EXPECT_EQ(result.repeats, c.repeats);
        EXPECT_EQ(Flash() != before, c.erased);
        // The device starts over and announces again, and a good file then goes through.
        ASSERT_TRUE(host.WaitForAnnouncement(2000));
        EXPECT_EQ(host.Upgrade(Example("firmware-mini.dat"), 20000).outcome,
                  UpgradeResult::Outcome::Completed);
        EXPECT_EQ(Flash(), Expected(ReadFile(kExamples + "/firmware-mini.bin")));
    }
}

TEST_F(UpgradeTest, ResentPacketKeepsTheImageIntact) {
    kxsim_set_progress_text(1);
    Host host(ft, true);
    host.afterSwitch = [] { kxsim_damage_next_record(); };  // spoils the first bulk packet
    ASSERT_TRUE(host.Connect());
    ASSERT_TRUE(host.WaitForAnnouncement(500));
    const UpgradeResult result = host.Upgrade(Example("firmware-2.0.dat"), 20000);
    EXPECT_EQ(result.outcome, UpgradeResult::Outcome::Completed);
    EXPECT_EQ(result.repeats, 1);
    EXPECT_EQ(Flash(), Expected(ReadFile(kExamples + "/firmware-2.0.bin")));
    EXPECT_EQ(result.echoed.rfind("FLASH ERASED\r\nRESEND\r\nPACKET 1\r\n", 0), 0u);
    EXPECT_NE(result.echoed.find("UPGRADE COMPLETE\r\n"), std::string::npos);
}

// Once the host has registered its event, the library's own thread brings the dongle up to
// date only when the device may speak or its bytes may reach the host; in between the model
// moves only when the host calls in. So nothing may reach the host's queue before the wake
// that thread would take: the manual clock is moved on to 1 ns before each predicted wake,
// where the event must not have been signalled, through whole upgrades that go well, are
// resent, refused, or sent at the wrong link.
TEST_F(UpgradeTest, NothingReachesTheHostBeforeTheChipClockWouldWake) {
    const struct {
        const char* name;
        const char* file;
        bool damageFirstPacket;
        bool wrongBulkLink;
        double latencyMs;
    } cases[] = {
        {"good file, first packet damaged", "firmware-2.0.dat", true, false, 16},
        {"good file, timer at 1 ms", "firmware-2.0.dat", false, false, 1},
        {"resent until given up", "bad-checksum.dat", false, false, 2},
        {"wrong id", "wrong-id.dat", false, false, 1},
        {"not records", "garbage.dat", false, false, 1},
        {"host stays at the command link", "firmware-mini.dat", false, true, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kxsim_reset();
        kxsim_set_manual_clock(1);
        kxsim_set_tx_fifo(0);  // the host is still listening when a refusal comes
        kxsim_set_progress_text(1);
        kxsim_set_latency_ms(c.latencyMs);
        kx::test::DriverEvent event;
        int early = 0;
        int wakes = 0;
        int deliveries = 0;
        Host host(ft, true);
        const auto advance = [&](double ms) {
            const double target = kxsim_now_ms() + ms;
            for (;;) {
                const double wake = kxsim_chip_wake_ms();
                const bool wakesFirst = wake >= 0 && wake <= target;
                const double stop = wakesFirst ? wake : target;
                kxsim_advance_ms(stop - kxsim_now_ms() - 1e-6);
                early += event.Signalled() ? 1 : 0;
                kxsim_advance_ms(stop - kxsim_now_ms());
                deliveries += event.Signalled() ? 1 : 0;
                if (!wakesFirst) {
                    return;
                }
                ++wakes;
            }
        };
        host.advance = advance;
        if (c.damageFirstPacket) {
            host.afterSwitch = [] { kxsim_damage_next_record(); };
        } else if (c.wrongBulkLink) {
            // Records sent at the command link after the erase: each frame outlasts the four
            // quiet bulk characters that end a packet, so the device answers between bytes.
            host.afterSwitch = [&] {
                ft.SetBaudRate(host.Handle(), 38400);
                ft.SetDataCharacteristics(host.Handle(), FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
                advance(700);
                const std::vector<std::string> records = SplitRecords(Example(c.file));
                std::string bulk;
                for (std::size_t i = 2; i < 6; ++i) {
                    bulk += records[i];
                }
                DWORD written = 0;
                ft.Write(host.Handle(), bulk.data(), static_cast<DWORD>(bulk.size()), &written);
                advance(200);
            };
        }
        ASSERT_TRUE(host.Connect());
        ASSERT_EQ(ft.SetEventNotification(host.Handle(), FT_EVENT_RXCHAR, event.Handle()), FT_OK);
        ASSERT_TRUE(host.WaitForAnnouncement(4000));
        host.Upgrade(Example(c.file), 5000);
        EXPECT_EQ(early, 0);
        EXPECT_GT(deliveries, 1);
        EXPECT_GE(wakes, deliveries);
        ft.Close(host.Handle());
    }
}

}  // namespace
