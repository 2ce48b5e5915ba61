// A dongle that comes back during a transfer: restarted with its announcement late (the
// first one unheard), or not restarted (a self-powered dongle's USB glitch), at every end
// of a stage; and a dongle that finished with its last reply lost. Every run ends in
// "Transfer completed" with the file's image in flash, or in "Transfer aborted" with a
// reason; nothing is streamed at the bulk rate into a dongle that restarted.
#include <algorithm>
#include <tuple>

#include "string_table.h"
#include "upgrade_fixture.h"

namespace kx::test {
namespace {

constexpr char kSwitchRecord[] = "Z0030000FC";

bool AtBulkRate(const WirePacket& packet) {
    return packet.link.baud > 100000;
}

bool IsProbe(const WirePacket& packet) {
    return AtBulkRate(packet) && packet.bytes == kSwitchRecord;
}

std::size_t Probes(const std::vector<WirePacket>& packets) {
    return static_cast<std::size_t>(std::count_if(packets.begin(), packets.end(), IsProbe));
}

// The bytes of the file's packets up to and including packet `n` (0-based).
unsigned long BytesThrough(const std::string& file, std::size_t n) {
    const std::vector<std::string> packets = ExpectedPackets(file);
    unsigned long bytes = 0;
    for (std::size_t i = 0; i <= n && i < packets.size(); ++i) {
        bytes += static_cast<unsigned long>(packets[i].size());
    }
    return bytes;
}

class DeviceReturnTest : public UpgradeTest {
  protected:
    // The file of a `size`-byte image, chosen when the dongle announces itself.
    void Start(std::size_t size) {
        image = TestImage(size);
        file = FirmwareFile(image, kFlashBase, kDeviceId);
        chooserAnswer = WriteFile("firmware.dat", file);
    }

    // The transfer has ended, one way or the other.
    bool Ended() {
        return RunUntil(
            [&] {
                return window.Transfer() == "Transfer completed" ||
                       window.Transfer() == "Transfer aborted";
            },
            40000);
    }

    bool Flashed() {
        const std::vector<std::uint8_t> flash = Flash();
        return flash.size() >= image.size() &&
               std::equal(image.begin(), image.end(), flash.begin());
    }

    std::string Describe() {
        return window.Log() + " | state " + std::to_string(kxsim_device_state()) + ", held " +
               std::to_string(dlg->Held()) + ", probes " + std::to_string(Probes(Packets()));
    }

    // A restarted dongle whose announcement comes after the host's first listen: the host
    // probes, hears no answer, listens again for longer than the announcement period, and
    // starts over when the announcement comes. At real proportions (speed 1 and 2), against
    // the one-second quiet wait this replaces.
    void RunLateAnnouncement(double speed, double delayMs, double repeatMs) {
        SetSpeed(speed);
        kxsim_set_announce(delayMs, repeatMs);
        Start(1024);
        ASSERT_TRUE(window.RunUntil([] { return kxsim_device_state() == KXSIM_STATE_BULK; },
                                    std::chrono::seconds(30)));
        kxsim_replug_after_ms(300);
        kxsim_unplug_after_bytes(200);  // inside the first bulk packet
        ASSERT_TRUE(window.RunUntil(
            [&] { return window.Connection() == "KX Upgrade - Dongle not responding"; },
            std::chrono::seconds(10)));
        const std::size_t lost = kxsim_packet_count();
        ASSERT_TRUE(window.RunUntil([&] { return !dlg->Transferring(); }, std::chrono::seconds(40)))
            << window.Log();
        EXPECT_EQ(window.Transfer(), "Transfer completed") << window.Log();
        EXPECT_EQ(dlg->Restarts(), 1u);
        EXPECT_TRUE(Flashed());
        ExpectOnlyProbesBeforeTheRestart(Packets(), lost);
    }

    std::vector<std::uint8_t> image;
    std::string file;
};

TEST_F(DeviceReturnTest, ARestartedDongleAnnouncingOnePointOneSecondsAfterPowerUpStartsOver) {
    RunLateAnnouncement(1, 1100, 3000);
}

TEST_F(DeviceReturnTest, ARestartedDongleAnnouncingFourSecondsAfterPowerUpStartsOver) {
    RunLateAnnouncement(2, 4000, 10000);
}

TEST_F(DeviceReturnTest, AProbeIntoADongleStillErasingIsSentAgainAfterTheNextListen) {
    // A self-powered dongle dropped right after the switch record keeps erasing through
    // the glitch: a probe it ignores is not taken for a restart, and a later one is
    // answered. The erase outlasts the first probe and ends before the last.
    kxsim_set_self_powered(1);
    kxsim_set_erase_ms(20000);  // 1 s at speed 20
    Start(2048);
    kxsim_replug_after_ms(30);
    kxsim_unplug_after_bytes(BytesThrough(file, 1));  // the header and the switch record
    ASSERT_TRUE(Ended()) << Describe();
    EXPECT_EQ(window.Transfer(), "Transfer completed") << Describe();
    EXPECT_EQ(dlg->Restarts(), 0u);
    EXPECT_GE(dlg->Resumes(), 1u);  // more where a reply came before a loaded host had switched
    EXPECT_GE(Probes(Packets()), 1u);
    std::printf("probes before the erase reply: %zu\n", Probes(Packets()));
    EXPECT_TRUE(Flashed());
}

TEST_F(DeviceReturnTest, ADongleThatRestartedRightAfterTheSwitchRecordStartsOver) {
    Start(2048);
    kxsim_replug_after_ms(30);
    kxsim_unplug_after_bytes(BytesThrough(file, 1));
    ASSERT_TRUE(Ended()) << Describe();
    EXPECT_EQ(window.Transfer(), "Transfer completed") << Describe();
    EXPECT_EQ(dlg->Restarts(), 1u);
    EXPECT_TRUE(Flashed());
}

TEST_F(DeviceReturnTest, ADongleThatRestartedAfterTheLastPacketStartsOver) {
    // Its reply to the last packet never came: the host does not claim the transfer.
    Start(2048);
    kxsim_replug_after_ms(30);
    kxsim_unplug_after_bytes(BytesThrough(file, ExpectedPackets(file).size()));
    ASSERT_TRUE(Ended()) << Describe();
    EXPECT_EQ(window.Transfer(), "Transfer completed") << Describe();
    EXPECT_EQ(dlg->Restarts(), 1u);
    EXPECT_TRUE(Flashed());
}

TEST_F(DeviceReturnTest, ADongleThatFinishedWithItsLastReplyLostEndsInAnAbortSayingWhatToCheck) {
    // Self-powered, it wrote the whole file and stays silent: neither an announcement nor
    // an answer to a probe comes, and the host does not know that the last packet arrived.
    kxsim_set_self_powered(1);
    Start(2048);
    kxsim_replug_after_ms(30);
    kxsim_unplug_after_bytes(BytesThrough(file, ExpectedPackets(file).size()));
    ASSERT_TRUE(Ended()) << Describe();
    EXPECT_EQ(window.Transfer(), "Transfer aborted");
    EXPECT_EQ(dlg->LastAbortReason(), text::kNoReplyToLastPacket);
    EXPECT_TRUE(window.Log().ends_with(std::string(text::kNoReplyToLastPacket) + "\r\n"));
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_DONE);
    EXPECT_EQ(Probes(Packets()), CUpgradeDlg::RecoveryTiming{}.probes);
    EXPECT_TRUE(window.ExitEnabled());
}

TEST_F(DeviceReturnTest, AStrayReplyBeforeTheLastPacketLeftIsNoCompletion) {
    // The last packet stays in the host's queue and a stray 0xA9 (a reply repeated on the
    // line) takes the tool to the end of the file: the final drain stalls, the dongle is
    // closed and opened again and, never unplugged, is still in its bulk stage. It
    // answers the probe, the last packet goes again, and only its reply completes.
    const std::vector<std::uint8_t> small = TestImage(32);
    file = FirmwareFile(small, kFlashBase, kDeviceId);
    image = small;
    ASSERT_EQ(ExpectedPackets(file).size(), 3u);
    chooserAnswer = WriteFile("short.dat", file);
    kxsim_set_tx_fifo(0);  // the stuck bytes show in the driver's count
    ASSERT_LT(kxsim_packet_count(), 3u);
    kxsim_stall_tx_at_write(static_cast<unsigned long>(3 - kxsim_packet_count()));
    ASSERT_TRUE(RunUntil([&] { return kxsim_packet_count() == 3; })) << Describe();
    const unsigned char next = 0xA9;
    kxsim_inject(&next, 1);
    ASSERT_TRUE(RunUntil([&] { return NotResponding(); })) << Describe();
    EXPECT_NE(window.Transfer(), "Transfer completed");
    kxsim_stall_tx(0);
    ASSERT_TRUE(Ended()) << Describe();
    EXPECT_EQ(window.Transfer(), "Transfer completed") << Describe();
    EXPECT_GE(dlg->Resumes(), 1u);  // more where a reply came before a loaded host had switched
    EXPECT_EQ(Packets().back().bytes, ExpectedPackets(file).back());
    EXPECT_TRUE(Flashed());
}

// A self-powered dongle dropped within the first-stage records (the header, 32 bytes, and
// the switch record, 10), with the chip's transmit FIFO (256 bytes) and without it. With
// the FIFO the host has written both records before the drop shows. Without it the switch
// record waits for the header to leave, so a drop inside the header shows before the
// switch record was written: the host hears no announcement, resumes with the header, and
// the dongle, holding the header's first bytes, refuses it and starts over. Every run must
// end with the file in flash.
class FirstBytesTest : public DeviceReturnTest,
                       public ::testing::WithParamInterface<std::tuple<unsigned, unsigned>> {};

TEST_P(FirstBytesTest, ASelfPoweredDongleDroppedInItsFirstBytesIsFlashedWhole) {
    const auto [cut, fifo] = GetParam();
    kxsim_set_self_powered(1);
    kxsim_set_tx_fifo(fifo);
    Start(2048);
    const unsigned long header = BytesThrough(file, 0);
    kxsim_replug_after_ms(30);
    kxsim_unplug_after_bytes(cut);
    ASSERT_TRUE(Ended()) << Describe();
    EXPECT_EQ(window.Transfer(), "Transfer completed") << Describe();
    EXPECT_TRUE(Flashed());
    if (cut == header + 10) {
        // The switch record whole: the dongle erased, did not restart, and answers the
        // probe; the transfer goes on with the first bulk packet.
        EXPECT_GE(dlg->Resumes(), 1u);  // more where a reply came before a loaded host had switched
        EXPECT_EQ(dlg->Restarts(), 0u);
    } else if (fifo == 0 && cut < header - 16) {
        // Lost before the switch record went: resumed with the header, refused, started
        // over once the dongle announced. (A reply awaited too long on a loaded machine
        // may add a probe and a resume later on.)
        EXPECT_GE(dlg->Resumes(), 1u) << Describe();
        EXPECT_EQ(dlg->Restarts(), 1u) << Describe();
        EXPECT_NE(window.Log().find(text::kResumeRefused), std::string::npos) << Describe();
        ExpectOnlyProbesBeforeTheRestart(Packets(), 0);
    }
    std::printf("cut after %u bytes, FIFO %u: %s, %u restarts, %u resumes\n", cut, fifo,
                window.Transfer().c_str(), dlg->Restarts(), dlg->Resumes());
}

INSTANTIATE_TEST_SUITE_P(Cuts, FirstBytesTest,
                         ::testing::Combine(::testing::Values(5u, 12u, 20u, 32u, 35u, 42u),
                                            ::testing::Values(256u, 0u)));

}  // namespace
}  // namespace kx::test
