// The tool's own dialog logic, bound to the serial-port library, against the simulated
// dongle's bootloader on the far end of a pty (kxsim-pty): every byte and every line
// setting goes through the kernel's tty layer, and the device garbles what the host sends
// or receives with settings other than its own.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "device/driver_binding.h"
#include "device_process.h"
#include "dialog/upgrade_dlg.h"
#include "fake_devices.h"
#include "recording_window.h"

namespace kxserial::test {
namespace {

std::vector<char> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class PtyUpgradeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kx::UnbindDriverForTesting();
        m_flashDump = devices.Sysfs() + "/../flash.bin";
        device = std::make_unique<DeviceProcess>(
            KX_PTY_DEVICE,
            std::vector<std::string>{"--sysfs", devices.Sysfs(), "--dev", devices.Dev()},
            std::vector<std::string>{"KXSIM_SPEED=10", "KXSIM_DUMP_FLASH=" + m_flashDump});
        ASSERT_NE(device->WaitFor("plugged "), "");

        window.chooser = [](const kx::FileChooserRequest&) {
            return std::optional<std::string>(std::string(KX_EXAMPLES_DIR) + "/firmware-2.0.dat");
        };
        dlg = std::make_unique<kx::CUpgradeDlg>(window, KX_SERIAL_LIBRARY);
        window.Attach(dlg.get());
        dlg->OnInitDialog();
        ASSERT_TRUE(kx::g_driverLoaded);
    }

    void TearDown() override {
        dlg->OnEndDialog();
        window.Attach(nullptr);
        dlg.reset();
        kx::UnbindDriverForTesting();
    }

    bool RunUntil(const std::function<bool()>& done) {
        return window.RunUntil(done, std::chrono::seconds(30));
    }
    bool Connected() const { return window.Connection() == "KX Upgrade - Dongle connected"; }
    bool Completed() const { return window.Transfer() == "Transfer completed"; }

    // The tool lets go of the port, the device writes its flash out, and that image must be
    // the firmware's from the flash base on, erased (0xFF) after it.
    void ExpectFlashHoldsTheFirmware() {
        dlg->OnEndDialog();
        ASSERT_NE(device->WaitFor("closed"), "");
        const std::vector<char> flash = ReadFile(m_flashDump);
        const std::vector<char> image =
            ReadFile(std::string(KX_EXAMPLES_DIR) + "/firmware-2.0.bin");
        ASSERT_EQ(flash.size(), 0x10000u);
        ASSERT_EQ(image.size(), 8192u);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
        EXPECT_TRUE(std::all_of(flash.begin() + 8192, flash.end(),
                                [](char byte) { return byte == '\xFF'; }));
    }

    FakeDevices devices;
    std::unique_ptr<DeviceProcess> device;
    kx::test::RecordingWindow window;
    std::unique_ptr<kx::CUpgradeDlg> dlg;

  private:
    std::string m_flashDump;
};

TEST_F(PtyUpgradeTest, AWholeUpgradeLeavesTheFirmwareInFlash) {
    ASSERT_TRUE(RunUntil([&] { return Completed(); })) << window.Transfer() << "\n" << window.Log();
    EXPECT_NE(window.Log().find("DONGLE BOOT 1.3"), std::string::npos);
    EXPECT_TRUE(window.Boxes().empty());
    ExpectFlashHoldsTheFirmware();
}

TEST_F(PtyUpgradeTest, UnplugAndReplugThenUpgrade) {
    window.chooser = [](const kx::FileChooserRequest&) { return std::optional<std::string>(); };
    ASSERT_TRUE(RunUntil([&] { return Connected(); }));

    device->Command("unplug");
    ASSERT_NE(device->WaitFor("unplugged"), "");
    ASSERT_TRUE(
        RunUntil([&] { return window.Connection() == "KX Upgrade - Dongle not responding"; }));

    window.chooser = [](const kx::FileChooserRequest&) {
        return std::optional<std::string>(std::string(KX_EXAMPLES_DIR) + "/firmware-2.0.dat");
    };
    device->Command("plug");
    ASSERT_NE(device->WaitFor("plugged "), "");
    ASSERT_TRUE(RunUntil([&] { return Completed(); })) << window.Transfer() << "\n" << window.Log();
    ExpectFlashHoldsTheFirmware();
}

}  // namespace
}  // namespace kxserial::test
