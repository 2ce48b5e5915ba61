// The flasher's run against driver libraries that cannot be loaded, lack an entry point,
// or open a device that never announces itself; and the checks made before any waiting.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "console_platform.h"
#include "device/driver_binding.h"
#include "dialog/poll_thread.h"
#include "exit_codes.h"
#include "firmware_file.h"
#include "flasher.h"
#include "srecord_writer.h"
#include "test_platform.h"

namespace kx::cli {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string StubPath(const std::string& name) {
    return std::string(KX_STUB_DIR) + "/" + name + "/" + kx::test::kDriverFile;
}

class FlasherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UnbindDriverForTesting();
        m_dir = fs::temp_directory_path() /
                ("kxupgrade-cli-" + std::to_string(kx::test::ProcessId()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir);
        m_file = (m_dir / "fw.dat").string();
        std::ofstream(m_file) << kx::test::FirmwareFile(kx::test::TestImage(16), 0x08000000,
                                                        "KX-DONGLE-2");
    }
    void TearDown() override {
        UnbindDriverForTesting();
        fs::remove_all(m_dir);
    }

    int Run(const std::string& file, const std::string& library,
            std::optional<std::chrono::milliseconds> wait,
            const std::atomic<bool>* stop = nullptr) {
        ConsoleReport report([this](std::string_view t) { out += t; });
        ConsoleWindow window(report);
        const std::string path = StubPath(library);
        return RunFlashJob(
            FlashJob{file, wait, path.c_str(), {}, std::nullopt}, window,
            [this](std::string_view t) { errors += t; }, stop);
    }

    fs::path m_dir;
    std::string m_file;
    std::string out;
    std::string errors;
};

TEST_F(FlasherTest, FileCheckTellsWhyAFileCannotBeSent) {
    EXPECT_EQ(CheckReadable(m_file), std::nullopt);
    const std::string empty = (m_dir / "empty.dat").string();
    std::ofstream{empty};
    EXPECT_EQ(CheckReadable(empty), std::nullopt);  // readable: the check refuses it later

    const auto missing = CheckReadable((m_dir / "none.dat").string());
    ASSERT_TRUE(missing);
    EXPECT_NE(missing->find("No such file"), std::string::npos) << *missing;
    EXPECT_EQ(CheckReadable(m_dir.string()), "not a regular file");
    const std::string fifo = (m_dir / "fifo.dat").string();
    if (kx::test::MakeFifo(fifo)) {
        EXPECT_EQ(CheckReadable(fifo), "not a regular file");
    }

    // Held by a writer that takes the lock: it could not be opened when the dongle asks.
    // Another flasher reading it does not keep it from us.
    FirmwareFile reader;
    ASSERT_TRUE(reader.Open(m_file));
    EXPECT_EQ(CheckReadable(m_file), std::nullopt);
    reader.Close();
    kx::test::LockedWriter writer(m_file);
    ASSERT_TRUE(writer.Opened());
    ASSERT_TRUE(writer.Lock());
    EXPECT_EQ(CheckReadable(m_file), "in use by a program that writes to it");
    writer.Close();
    // The check itself does not keep the file.
    EXPECT_EQ(CheckReadable(m_file), std::nullopt);
}

TEST_F(FlasherTest, AnUnreadableFileIsRefusedBeforeTheDriverIsLoaded) {
    // Without --wait a refused file still returns at once: nothing waits for the dongle.
    EXPECT_EQ(Run((m_dir / "none.dat").string(), "stub_complete", std::nullopt), kExitUsage);
    EXPECT_FALSE(g_driverLoaded);
    EXPECT_NE(errors.find("none.dat: "), std::string::npos) << errors;
    EXPECT_EQ(out, "");
}

// A file that fails the check is refused with its first problem and status 5 before the
// driver is loaded or the dongle waited for; so is a file with no records at all.
TEST_F(FlasherTest, AFileThatFailsTheCheckIsRefusedWithFive) {
    std::string text = kx::test::FirmwareFile(kx::test::TestImage(64), 0x08000000, "KX-DONGLE-2");
    text[text.find("\r\nS3") + 10] ^= 1;  // a digit of the first data record's address
    const std::string bad = (m_dir / "bad.dat").string();
    std::ofstream(bad, std::ios::binary) << text;
    EXPECT_EQ(Run(bad, "stub_complete", std::nullopt), kExitRefused);
    EXPECT_FALSE(g_driverLoaded);
    EXPECT_EQ(errors.substr(0, bad.size() + 4), bad + ":3: ") << errors;
    EXPECT_NE(errors.find("checksum mismatch"), std::string::npos) << errors;
    EXPECT_EQ(out, "");

    errors.clear();
    const std::string empty = (m_dir / "empty.dat").string();
    std::ofstream{empty};
    EXPECT_EQ(Run(empty, "stub_complete", std::nullopt), kExitRefused);
    EXPECT_EQ(errors, empty + ": no records\n");
    EXPECT_FALSE(g_driverLoaded);
}

TEST_F(FlasherTest, ADriverThatCannotBeLoadedOrLacksAnEntryPointEndsWithFour) {
    EXPECT_EQ(Run(m_file, "no_such_stub", std::nullopt), kExitNoDriver);
    EXPECT_NE(errors.find("kxupgrade: Error: Can't Load ft8u245.dll\n"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find(kDriverAdvice), std::string::npos) << errors;

    errors.clear();
    UnbindDriverForTesting();
    EXPECT_EQ(Run(m_file, "stub_omit_9", std::nullopt), kExitNoDriver);
    EXPECT_NE(errors.find("kxupgrade: Error: Can't Find FT_GetQueueStatus\n"), std::string::npos)
        << errors;
}

TEST_F(FlasherTest, NoAnnouncementWithinTheWaitEndsWithThree) {
    // The stub opens a device that never says a word.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(m_file, "stub_complete", 300ms), kExitNoAnnouncement);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_NE(errors.find("within 0.3 s (it is connected"), std::string::npos) << errors;
    EXPECT_NE(out.find("link: KX Upgrade - Dongle connected\n"), std::string::npos) << out;
    EXPECT_FALSE(DeviceIsOpen());  // the run closes the device it opened
    EXPECT_FALSE(g_polling);
}

TEST_F(FlasherTest, AStopRequestEndsTheWaitWithoutATransfer) {
    std::atomic<bool> stop{true};
    EXPECT_EQ(Run(m_file, "stub_complete", std::nullopt, &stop), kExitInterrupted);
    EXPECT_EQ(errors, "kxupgrade: interrupted\n");
}

}  // namespace
}  // namespace kx::cli
