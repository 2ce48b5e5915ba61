// The dongle unplugged and plugged in again: while idle, and in each stage of a transfer.
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

TEST_F(UpgradeTest, LossInTheFirstStagePausesAndTheStageResumesOnReconnection) {
    const std::string file = FirmwareFile(TestImage(512), kFlashBase, kDeviceId);
    chooserAnswer = WriteFile("firmware.dat", file);
    // The header stays in the driver's queue rather than in the chip's FIFO, so that the
    // pacing rule holds the next record back until the loss is seen.
    kxsim_set_tx_fifo(0);
    kxsim_unplug_after_bytes(10);  // inside the S0 header
    ASSERT_TRUE(RunUntil([&] { return NotResponding(); }));
    EXPECT_TRUE(dlg->Transferring());
    EXPECT_EQ(window.Transfer(), "Transfer in Progress...");
    const std::size_t written = kxsim_packet_count();

    kxsim_plug();
    ASSERT_TRUE(RunUntil([&] { return Connected(); }));
    EXPECT_TRUE(window.ExitEnabled());
    // The pacing rule sends the next record as soon as the link is back.
    ASSERT_TRUE(RunUntil([&] { return kxsim_packet_count() > written; }));
    EXPECT_EQ(Packets()[written].bytes, ExpectedPackets(file)[written]);
}

TEST_F(UpgradeTest, LossInTheSecondStagePausesUntilTheDeviceAsksAgain) {
    const std::string file = FirmwareFile(TestImage(8192), kFlashBase, kDeviceId);
    chooserAnswer = WriteFile("firmware.dat", file);
    ASSERT_TRUE(RunUntil([] { return kxsim_device_state() == KXSIM_STATE_BULK; }));
    kxsim_unplug_after_bytes(1000);
    ASSERT_TRUE(RunUntil([&] { return NotResponding(); }));
    EXPECT_TRUE(dlg->Transferring());
    EXPECT_FALSE(dlg->FirstStage());

    const std::size_t written = kxsim_packet_count();
    kxsim_plug();
    ASSERT_TRUE(RunUntil([&] { return Connected(); }));
    EXPECT_TRUE(window.ExitEnabled());
    // The power-cycled device announces itself; in the second stage those bytes are
    // echoed, and no packet goes out without a reply asking for one.
    const std::string echoed = std::string("KX ") + kDeviceName;
    ASSERT_TRUE(RunUntil([&] { return window.Log().find(echoed) != std::string::npos; }));
    window.PumpFor(std::chrono::milliseconds(100));
    EXPECT_EQ(kxsim_packet_count(), written);
    EXPECT_TRUE(dlg->Transferring());
    EXPECT_EQ(window.Transfer(), "Transfer in Progress...");
}

}  // namespace
}  // namespace kx::test
