// The dongle unplugged and plugged in again: while idle, and in each stage of a transfer,
// restarted (a power cycle) or not (a self-powered dongle's USB glitch); and drains that
// find it gone or stalled at the end of a transfer.
#include <algorithm>

#include "upgrade_fixture.h"

namespace kx::test {
namespace {

TEST_F(UpgradeTest, UnpluggedWhileIdleShowsNotRespondingAndReconnects) {
    ASSERT_TRUE(RunUntil([&] { return Connected(); }));
    kxsim_unplug();
    ASSERT_TRUE(RunUntil([&] { return NotResponding(); }));
    EXPECT_FALSE(kxsim_is_open());
    EXPECT_TRUE(window.ExitEnabled());
    kxsim_plug();
    ASSERT_TRUE(RunUntil([&] { return Connected(); }));
    EXPECT_TRUE(kxsim_is_open());
    // One poll thread serves the new connection; the old one has ended.
    EXPECT_TRUE(RunUntil([&] { return dlg->PollThreadsRunning() == 1; }, 2000));
}

TEST_F(UpgradeTest, StartingWithoutTheDongleWaitsForIt) {
    dlg->OnEndDialog();
    kxsim_unplug();
    dlg = std::make_unique<CUpgradeDlg>(window);
    window.Attach(dlg.get());
    dlg->OnInitDialog();
    ASSERT_TRUE(RunUntil([&] { return NotResponding(); }));
    EXPECT_TRUE(window.ExitEnabled());
    kxsim_plug();
    ASSERT_TRUE(RunUntil([&] { return Connected(); }));
}

// The whole image in flash, and the wire since the last restart carrying the file from
// its first record, packet for packet.
void ExpectFlashedFromTheStart(const std::string& file, const std::vector<std::uint8_t>& image,
                               const std::vector<WirePacket>& packets,
                               const std::vector<std::uint8_t>& flash) {
    EXPECT_EQ(PacketsSinceTheLastStart(packets), ExpectedPackets(file));
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

TEST_F(UpgradeTest, ADongleRestartedInTheFirstStageIsFlashedAgainFromTheStart) {
    const std::vector<std::uint8_t> image = TestImage(512);
    const std::string file = FirmwareFile(image, kFlashBase, kDeviceId);
    chooserAnswer = WriteFile("firmware.dat", file);
    // The header stays in the driver's queue rather than in the chip's FIFO, so that the
    // pacing rule holds the next record back until the loss is seen.
    kxsim_set_tx_fifo(0);
    kxsim_unplug_after_bytes(10);  // inside the S0 header
    ASSERT_TRUE(RunUntil([&] { return NotResponding(); }));
    EXPECT_TRUE(dlg->Transferring());
    EXPECT_EQ(window.Transfer(), "Transfer in Progress...");
    EXPECT_TRUE(window.ExitEnabled());  // the user may leave while the dongle is away

    kxsim_plug();
    ASSERT_TRUE(RunUntil([&] { return !dlg->Transferring(); }));
    EXPECT_EQ(window.Transfer(), "Transfer completed");
    EXPECT_EQ(dlg->Restarts(), 1u);
    EXPECT_NE(window.Log().find("RESTART 1 OF 3\r\n"), std::string::npos) << window.Log();
    ExpectFlashedFromTheStart(file, image, Packets(), Flash());
}

TEST_F(UpgradeTest, ADongleRestartedInTheSecondStageIsFlashedAgainFromTheStart) {
    const std::vector<std::uint8_t> image = TestImage(8192);
    const std::string file = FirmwareFile(image, kFlashBase, kDeviceId);
    chooserAnswer = WriteFile("firmware.dat", file);
    ASSERT_TRUE(RunUntil([] { return kxsim_device_state() == KXSIM_STATE_BULK; }));
    kxsim_unplug_after_bytes(1000);
    ASSERT_TRUE(RunUntil([&] { return NotResponding(); }));
    const std::size_t lost = kxsim_packet_count();
    EXPECT_FALSE(dlg->FirstStage());
    kxsim_plug();
    ASSERT_TRUE(RunUntil([&] { return !dlg->Transferring(); }));
    EXPECT_EQ(window.Transfer(), "Transfer completed") << window.Log();
    EXPECT_EQ(dlg->Restarts(), 1u);
    ExpectOnlyProbesBeforeTheRestart(Packets(), lost);
    ExpectFlashedFromTheStart(file, image, Packets(), Flash());
}

TEST_F(UpgradeTest, ADongleThatDidNotRestartGetsTheRestOfTheFile) {
    // A self-powered dongle across a USB glitch: in the bulk stage it keeps its link and
    // what it has taken; it answers the host's probe on the bulk link, and the host sends
    // the last packet again.
    kxsim_set_self_powered(1);
    const std::vector<std::uint8_t> image = TestImage(8192);
    const std::string file = FirmwareFile(image, kFlashBase, kDeviceId);
    chooserAnswer = WriteFile("firmware.dat", file);
    ASSERT_TRUE(RunUntil([] { return kxsim_device_state() == KXSIM_STATE_BULK; }));
    kxsim_plug_in_ms(50);
    ASSERT_TRUE(RunUntil([&] { return !dlg->Transferring(); }, 30000))
        << window.Log() << " state " << kxsim_device_state() << ", held " << dlg->Held();
    EXPECT_EQ(window.Transfer(), "Transfer completed") << window.Log();
    EXPECT_EQ(dlg->Restarts(), 0u);
    EXPECT_GE(dlg->Resumes(), 1u);  // more where a reply came before a loaded host had switched
    EXPECT_NE(window.Log().find("RESUME\r\n"), std::string::npos);
    const std::vector<std::uint8_t> flash = Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    // The switch record went out once at the command rate (the file was not started
    // again), and again at the bulk rate as the probe.
    const auto packets = Packets();
    EXPECT_EQ(std::count_if(
                  packets.begin(), packets.end(),
                  [](const WirePacket& p) { return p.bytes[0] == 'Z' && p.link.baud < 100000; }),
              1);
    EXPECT_GE(std::count_if(
                  packets.begin(), packets.end(),
                  [](const WirePacket& p) { return p.bytes[0] == 'Z' && p.link.baud > 100000; }),
              1);
}

TEST_F(UpgradeTest, InTheFirstStageNothingIsSentUntilTheDongleHasShownWhetherItRestarted) {
    // A self-powered dongle across a USB glitch in the first stage, where it sends no
    // replies: the host holds its records for longer than the announcement period, and
    // with no announcement goes on where it was, the record the drop may have cut first.
    // The header stays in the host's queue, so the drop takes all of it and nothing else.
    // The dongle announces once, when the host opens it: a dongle that has taken no byte
    // of a record would otherwise repeat its announcement, and be restarted rightly.
    kxsim_set_self_powered(1);
    kxsim_set_tx_fifo(0);
    kxsim_set_announce_from_open(1);
    kxsim_set_announce(100, 0);
    const std::vector<std::uint8_t> image = TestImage(512);
    const std::string file = FirmwareFile(image, kFlashBase, kDeviceId);
    chooserAnswer = WriteFile("firmware.dat", file);
    kxsim_stall_tx_at_write(1);
    ASSERT_TRUE(RunUntil([&] { return kxsim_packet_count() == 1; }));
    kxsim_unplug();
    ASSERT_TRUE(RunUntil([&] { return NotResponding(); }));
    kxsim_stall_tx(0);
    kxsim_plug();
    ASSERT_TRUE(RunUntil([&] { return dlg->Held() && Connected(); }));
    const std::size_t written = kxsim_packet_count();
    window.PumpFor(std::chrono::milliseconds(300));
    EXPECT_EQ(kxsim_packet_count(), written)
        << "records streamed into a dongle that may be starting";
    ASSERT_TRUE(RunUntil([&] { return !dlg->Transferring(); }));
    EXPECT_EQ(window.Transfer(), "Transfer completed") << window.Log();
    EXPECT_GE(dlg->Resumes(), 1u);  // more where a reply came before a loaded host had switched
    EXPECT_EQ(dlg->Restarts(), 0u);
    const std::vector<std::uint8_t> flash = Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    // The header went again first.
    const auto packets = Packets();
    ASSERT_GE(packets.size(), 2u);
    EXPECT_EQ(packets[0].bytes, packets[1].bytes);
}

TEST_F(UpgradeTest, AfterThreeRestartsTheNextOneAbortsTheTransfer) {
    const std::string file = FirmwareFile(TestImage(8192), kFlashBase, kDeviceId);
    chooserAnswer = WriteFile("firmware.dat", file);
    for (unsigned restart = 1; restart <= 4; ++restart) {
        ASSERT_TRUE(RunUntil([] { return kxsim_device_state() == KXSIM_STATE_BULK; }))
            << "restart " << restart;
        kxsim_plug_in_ms(30);
        ASSERT_TRUE(RunUntil([&] { return dlg->Restarts() == restart || !dlg->Transferring(); }));
    }
    EXPECT_FALSE(dlg->Transferring());
    EXPECT_EQ(window.Transfer(), "Transfer aborted");
    EXPECT_EQ(dlg->Restarts(), 3u);
    const std::string& log = window.Log();
    const std::size_t third = log.find("RESTART 3 OF 3\r\n");
    ASSERT_NE(third, std::string::npos) << log;
    EXPECT_LT(log.find("RESTART 1 OF 3\r\n"), log.find("RESTART 2 OF 3\r\n"));
    EXPECT_TRUE(log.ends_with("DONGLE RESTARTED AGAIN AFTER 3 RESTARTS: TRANSFER GIVEN UP\r\n"))
        << log;
    EXPECT_TRUE(window.ExitEnabled());
}

TEST_F(UpgradeTest, AFinalDrainThatStallsIsALossNotACompletion) {
    // A whole file whose bulk stage is one packet (two S3 records and the S7). That packet
    // stays in the host's queue, and a stray 0xA9 (a reply repeated on the line) takes the
    // tool to the end of the file with it still queued: the drain before "Transfer
    // completed" finds the queue stuck.
    const std::string file = FirmwareFile(TestImage(32), kFlashBase, kDeviceId);
    ASSERT_EQ(ExpectedPackets(file).size(), 3u);
    chooserAnswer = WriteFile("short.dat", file);
    // The old timing: reopened after the loss, the dongle starts afresh and announces.
    kxsim_set_announce_from_open(1);
    kxsim_set_tx_fifo(0);  // the stuck bytes show in the driver's count
    // The third write, the bulk packet, stays in the host's queue: the stall is armed in
    // the write itself, so however slowly this test runs the packet cannot slip out first.
    ASSERT_LT(kxsim_packet_count(), 3u);
    kxsim_stall_tx_at_write(static_cast<unsigned long>(3 - kxsim_packet_count()));
    ASSERT_TRUE(RunUntil([&] { return kxsim_packet_count() == 3; })) << window.Log();
    const unsigned char next = 0xA9;
    kxsim_inject(&next, 1);
    ASSERT_TRUE(RunUntil([&] { return NotResponding(); })) << window.Log();
    EXPECT_TRUE(dlg->Transferring());
    EXPECT_NE(window.Transfer(), "Transfer completed");
    kxsim_stall_tx(0);
    ASSERT_TRUE(RunUntil([&] { return !dlg->Transferring(); }));
    EXPECT_EQ(window.Transfer(), "Transfer completed") << window.Log();
    // The dongle went to sleep with the port closed and restarted when it was opened again.
    EXPECT_EQ(dlg->Restarts(), 1u);
    EXPECT_EQ(Packets().back().bytes, ExpectedPackets(file).back());
    const std::vector<std::uint8_t> image = TestImage(32);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), Flash().begin()));
}

TEST_F(UpgradeTest, AnAbortWhoseDrainFindsTheDongleGoneKeepsItsReason) {
    const std::string file = FirmwareFile(TestImage(512), kFlashBase, kDeviceId);
    chooserAnswer = WriteFile("firmware.dat", file);
    ASSERT_TRUE(RunUntil([&] { return Connected(); }));
    kxsim_set_tx_fifo(0);  // the stuck bytes show in the driver's count
    kxsim_stall_tx(1);     // records pile up; the abort's drain will not finish
    ASSERT_TRUE(RunUntil([&] { return dlg->Transferring(); }));
    const unsigned char error = 0xC8;
    kxsim_inject(&error, 1);
    ASSERT_TRUE(RunUntil([&] { return NotResponding(); }));
    EXPECT_EQ(window.Transfer(), "Transfer aborted");
    EXPECT_TRUE(window.Log().ends_with("ERROR\r\n")) << window.Log();
    EXPECT_FALSE(dlg->Transferring());
    kxsim_stall_tx(0);
}

}  // namespace
}  // namespace kx::test
