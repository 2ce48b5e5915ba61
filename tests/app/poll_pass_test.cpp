// One poll pass at a time against a scripted driver: what gets interpreted, when the log
// is refreshed, and how a driver that will not deliver is bounded.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "dialog/upgrade_dlg.h"
#include "fake_driver.h"
#include "firmware_check.h"
#include "recording_window.h"
#include "srecord_writer.h"
#include "test_platform.h"

namespace kx::test {
namespace {

// Counts how often the dialog refreshes the log (each refresh invalidates it twice).
class CountingWindow : public RecordingWindow {
  public:
    void InvalidateLog() override { ++invalidations; }
    int invalidations = 0;
};

class PollPassTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InstallFakeDriver();
        g_connected = 0;
        g_polling = false;
        // One file per test process: ctest runs the tests of this suite side by side.
        m_file.path = std::filesystem::temp_directory_path() /
                      ("kx-poll-pass-" + std::to_string(ProcessId()) + ".dat");
        std::ofstream(m_file.path, std::ios::binary)
            << FirmwareFile(TestImage(4096), 0x08000000, "KX-DONGLE-2");
        window.chooser = [this](const FileChooserRequest&) { return m_file.path.string(); };
        dlg.OnTimer(TimerId::Reconnect);  // opens the fake device and starts polling
        ASSERT_EQ(window.Connection(), "KX Upgrade - Dongle connected");
    }
    void TearDown() override {
        dlg.OnEndDialog();
        UnbindDriverForTesting();
    }

    void StartTransfer() {
        dlg.OnStartTransfer(0, 0);
        ASSERT_TRUE(dlg.Transferring());
        Fake().tx = 100;  // a full transmit queue holds the first stage back
    }

  private:
    // Removed once the dialog is gone: an abandoned transfer keeps its file open, and
    // Windows removes no open file.
    struct RemovedAtExit {
        std::filesystem::path path;
        ~RemovedAtExit() { std::filesystem::remove(path); }
    } m_file;

  protected:
    CountingWindow window;
    CUpgradeDlg dlg{window};
};

TEST_F(PollPassTest, ReadsThatKeepFailingWhileBytesAreReportedEndInLoss) {
    Fake().failingReads = 1000;
    dlg.OnPollDevice(0, 0);
    EXPECT_LT(Fake().reads, 1000);
    EXPECT_EQ(window.Connection(), "KX Upgrade - Dongle not responding");
    EXPECT_FALSE(g_polling.load());
}

TEST_F(PollPassTest, AFewFailedReadsAreSkippedAndTheNextByteStillCounts) {
    StartTransfer();
    Fake().failingReads = 3;
    Fake().rx = {'O', 'K'};
    dlg.OnPollDevice(0, 0);
    EXPECT_EQ(window.Connection(), "KX Upgrade - Dongle connected");
    EXPECT_TRUE(dlg.Transferring());  // the stale 0xC8 of the failed reads was not taken
    EXPECT_EQ(window.Log().substr(window.Log().size() - 2), "OK");
}

TEST_F(PollPassTest, AReadWithoutAByteInterpretsNothing) {
    StartTransfer();
    Fake().failingReads = 1;
    Fake().failingStatus = FT_OK;  // status 0, no byte, a stale 0xC8 in the buffer
    dlg.OnPollDevice(0, 0);
    EXPECT_TRUE(dlg.Transferring());
    EXPECT_EQ(window.Transfer(), "Transfer in Progress...");
}

TEST_F(PollPassTest, OnlyChangingBytesAndWhatFollowsThemInThePassRefreshTheLog) {
    StartTransfer();
    Fake().rx = {0xA9};  // the switch record; the link switch purges what would follow it
    dlg.OnPollDevice(0, 0);
    const std::size_t packetsBefore = Fake().writes.size();
    window.invalidations = 0;
    Fake().rx = {0xA9, 0xA9};
    dlg.OnPollDevice(0, 0);
    EXPECT_EQ(Fake().writes.size(), packetsBefore + 2);
    EXPECT_EQ(window.invalidations, 0);

    // An echoed byte refreshes, and so does every byte after it in the same pass.
    Fake().rx = {0xA9, 'A', 0xA9, 0x01};
    dlg.OnPollDevice(0, 0);
    EXPECT_EQ(window.invalidations, 3 * 2);
}

TEST_F(PollPassTest, TheFirstStageSendsWheneverTheTransmitQueueRunsLowTheSecondOnReplies) {
    StartTransfer();  // the S0 header went out with the start
    const std::size_t before = Fake().writes.size();
    dlg.OnPollDevice(0, 0);  // queue full: nothing
    EXPECT_EQ(Fake().writes.size(), before);
    Fake().tx = 15;
    dlg.OnPollDevice(0, 0);  // the switch record
    ASSERT_EQ(Fake().writes.size(), before + 1);
    EXPECT_EQ(Fake().writes.back().substr(0, 2), "Z0");
    EXPECT_FALSE(dlg.FirstStage());
    dlg.OnPollDevice(0, 0);  // the second stage waits for the device
    EXPECT_EQ(Fake().writes.size(), before + 1);
    Fake().rx = {0xA9};
    dlg.OnPollDevice(0, 0);
    EXPECT_EQ(Fake().writes.size(), before + 2);
}

// A file held in memory with its check (SetHeldFile) is taken for the path the chooser
// gives, with no file of that name on disk: an image its check refused is refused with the
// check's first finding and nothing written; a sendable one goes out from its first record.
TEST_F(PollPassTest, AHeldFileIsTakenFromMemoryWithTheCheckFoundInIt) {
    const std::string file = FirmwareFile(TestImage(4096), 0x08000000, "KX-DONGLE-2");
    const std::string cutShort = file.substr(0, file.rfind("S7"));
    const std::string path =
        (std::filesystem::temp_directory_path() / "kx-no-such-file.s19").string();
    ASSERT_FALSE(std::filesystem::exists(path));
    window.chooser = [&](const FileChooserRequest&) { return path; };

    const CheckedImage refused(std::vector<std::uint8_t>(cutShort.begin(), cutShort.end()));
    ASSERT_FALSE(refused.Check().Sendable());
    dlg.SetHeldFile(path, refused);
    dlg.OnStartTransfer(0, 0);
    EXPECT_FALSE(dlg.Transferring());
    EXPECT_EQ(
        dlg.FileRefusal().rfind(path + ":" + std::to_string(refused.Check().findings[0].line) +
                                    ": no termination record",
                                0),
        0u)
        << dlg.FileRefusal();
    EXPECT_TRUE(Fake().writes.empty());

    const CheckedImage held(std::vector<std::uint8_t>(file.begin(), file.end()));
    dlg.SetHeldFile(path, held);
    StartTransfer();
    EXPECT_TRUE(dlg.FileRefusal().empty());
    EXPECT_EQ(std::string(dlg.FileImage().begin(), dlg.FileImage().end()), file);
    EXPECT_EQ(dlg.FileLength(), file.size());
    ASSERT_EQ(Fake().writes.size(), 1u);
    EXPECT_EQ(Fake().writes[0], file.substr(0, file.find("\r\n")));
}

TEST_F(PollPassTest, ATransmitQueueThatStopsDrainingIsTakenForALostDevice) {
    StartTransfer();
    Fake().tx = 0;
    Fake().stickAtNextWrite = true;  // the device stops taking bytes with the switch record
    dlg.OnPollDevice(0, 0);          // the switch record, then the wait for the queue to drain
    EXPECT_EQ(window.Connection(), "KX Upgrade - Dongle not responding");
    EXPECT_TRUE(dlg.Transferring());  // paused, as on any loss of the device
}

}  // namespace
}  // namespace kx::test
