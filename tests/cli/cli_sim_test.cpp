// kxupgrade as a script runs it: a separate process, the simulated dongle behind the
// driver's plain name, configured through its KXSIM_* variables.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "child_process.h"
#include "srecord_writer.h"
#include "test_platform.h"

namespace kx::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint32_t kBase = 0x08000000;
// Generous: a hung flasher is killed after this and the test fails.
constexpr auto kHangLimit = 30s;

class CliSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_folder = MakeTempFolder("kx-cli-sim");
        m_image = TestImage(1024, 7);
        m_file = Write("firmware.dat", FirmwareFile(m_image, kBase, "KX-DONGLE-2"));
        env = {{"LD_LIBRARY_PATH", KX_SIM_DIR},
               {"KXSIM_SPEED", "20"},
               {"KXSIM_DUMP_FLASH", m_folder + "/flash.bin"}};
    }
    void TearDown() override { fs::remove_all(m_folder); }

    std::string Write(const std::string& name, const std::string& content) {
        const std::string path = m_folder + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    ChildProcess Start(const std::vector<std::string>& args) {
        std::vector<std::string> argv{KX_CLI_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        return ChildProcess(argv, env, m_folder);
    }

    std::vector<std::uint8_t> FlashImage() const {
        std::ifstream in(m_folder + "/flash.bin", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    ChildProcess::Env env;
    std::string m_folder;
    std::string m_file;
    std::vector<std::uint8_t> m_image;
};

TEST_F(CliSimTest, AWholeUpgradeEndsWithZeroAndTheImageInFlash) {
    ChildProcess cli = Start({m_file});
    EXPECT_EQ(cli.Wait(kHangLimit), 0) << cli.Err();
    const std::string out = cli.Out();
    // The lines appear in the order the window shows them.
    std::size_t at = 0;
    for (const char* line :
         {"link: KX Upgrade - Dongle connected\n", "log: DONGLE BOOT 1.3\n",
          "transfer: Transfer in Progress...\n", "transfer: Transfer completed\n"}) {
        at = out.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " in:\n" << out;
    }
    const std::vector<std::uint8_t> flash = FlashImage();
    ASSERT_GE(flash.size(), m_image.size());
    EXPECT_TRUE(std::equal(m_image.begin(), m_image.end(), flash.begin()));
    // Not a terminal: no progress bar, no escape sequences.
    EXPECT_EQ(cli.Err().find('\033'), std::string::npos);
}

TEST_F(CliSimTest, RefusalsEndWithOneAndTheDevicesReason) {
    struct Case {
        std::string content;
        std::string reason;
    };
    // A data record before the switch record is refused with 0xC8.
    std::string early = FirmwareFile(m_image, kBase, "KX-DONGLE-2");
    early.insert(early.find("\r\n") + 2, RecordLine('S', '3', kBase, 4, m_image.data(), 16));
    const Case cases[] = {
        {FirmwareFile(m_image, kBase, "KX-DONGLE-1"), "UPDATE FILE ID DOESNT MATCH DEVICE ID"},
        {early, "ERROR"},
    };
    for (const Case& c : cases) {
        const std::string file = Write("refused.dat", c.content);
        ChildProcess cli = Start({file});
        EXPECT_EQ(cli.Wait(kHangLimit), 1) << cli.Err();
        EXPECT_NE(cli.Err().find("kxupgrade: Transfer aborted: " + c.reason + "\n"),
                  std::string::npos)
            << cli.Err();
        EXPECT_NE(cli.Out().find("transfer: Transfer aborted\nlog: " + c.reason + "\n"),
                  std::string::npos)
            << cli.Out();
    }
}

// --check on every example and on a few broken files prints what tests/cli/check/expected
// holds, with no dongle and no driver library to be found.
TEST_F(CliSimTest, CheckReportsEachFileAsExpected) {
    struct Case {
        const char* folder;
        const char* name;
        int status;
    };
    const Case cases[] = {
        {"examples", "firmware-mini.dat", 0},
        {"examples", "firmware-2.0.dat", 0},
        {"examples", "wrong-id.dat", 0},
        {"examples", "bad-checksum.dat", 5},
        {"examples", "garbage.dat", 5},
        {"tests/cli/check", "cr-line-ends.dat", 0},
        {"tests/cli/check", "empty.dat", 5},
        {"tests/cli/check", "overlap-and-count.dat", 5},
        {"tests/cli/check", "packet-too-long.dat", 5},
    };
    const ChildProcess::Env noDriver{{"LD_LIBRARY_PATH", m_folder}};
    for (const Case& c : cases) {
        const std::string folder = std::string(KX_SOURCE_DIR) + "/" + c.folder;
        std::ifstream in(std::string(KX_SOURCE_DIR) + "/tests/cli/check/expected/" + c.name +
                         ".txt");
        std::stringstream expected;
        expected << in.rdbuf();
        ASSERT_FALSE(expected.str().empty()) << c.name;
        ChildProcess check({KX_CLI_PATH, "--check", folder + "/" + c.name}, noDriver, m_folder);
        EXPECT_EQ(check.Wait(kHangLimit), c.status) << c.name << ": " << check.Err();
        // The report names the file as it was given; the expected text names it bare.
        std::string out = check.Out();
        for (std::size_t at; (at = out.find(folder + "/")) != std::string::npos;) {
            out.erase(at, folder.size() + 1);
        }
        EXPECT_EQ(out, expected.str()) << c.name;
        EXPECT_EQ(check.Err(), "") << c.name;
    }
}

// Several flashers may send one file at once: two kxupgrade processes, each with its own
// dongle, while a third reader holds the file's shared lock throughout.
TEST_F(CliSimTest, TwoFlashersSendOneFileAtTheSameTime) {
    auto reader = std::make_unique<SharedReader>(m_file);
    ASSERT_TRUE(reader->Held());
    env["KXSIM_DUMP_FLASH"] = m_folder + "/flash-a.bin";
    ChildProcess first = Start({m_file});
    env["KXSIM_DUMP_FLASH"] = m_folder + "/flash-b.bin";
    ChildProcess second = Start({m_file});
    EXPECT_EQ(first.Wait(kHangLimit), 0) << first.Err();
    EXPECT_EQ(second.Wait(kHangLimit), 0) << second.Err();
    reader.reset();
    for (const char* dump : {"/flash-a.bin", "/flash-b.bin"}) {
        std::ifstream in(m_folder + dump, std::ios::binary);
        const std::vector<std::uint8_t> flash{std::istreambuf_iterator<char>(in),
                                              std::istreambuf_iterator<char>()};
        ASSERT_GE(flash.size(), m_image.size()) << dump;
        EXPECT_TRUE(std::equal(m_image.begin(), m_image.end(), flash.begin())) << dump;
    }
}

TEST_F(CliSimTest, ItWaitsForADonglePluggedInLater) {
    env["KXSIM_PLUG_DELAY_MS"] = "400";
    ChildProcess cli = Start({"--wait", "20", m_file});
    EXPECT_EQ(cli.Wait(kHangLimit), 0) << cli.Err();
    const std::string out = cli.Out();
    EXPECT_LT(out.find("link: KX Upgrade - Dongle not responding\n"),
              out.find("link: KX Upgrade - Dongle connected\n"))
        << out;
}

TEST_F(CliSimTest, WithoutAnAnnouncementTheWaitEndsWithThree) {
    env["KXSIM_PLUG_DELAY_MS"] = "600000";
    ChildProcess absent = Start({"--wait", "0.3", m_file});
    EXPECT_EQ(absent.Wait(kHangLimit), 3);
    EXPECT_NE(absent.Err().find("within 0.3 s (it was not found"), std::string::npos)
        << absent.Err();
}

TEST_F(CliSimTest, ALostDonglePausesTheTransferUntilStopped) {
    // Pulled out in the bulk stage and never back: the transfer waits for it.
    env["KXSIM_UNPLUG_AFTER_BYTES"] = "600";
    ChildProcess cli = Start({m_file});
    ASSERT_TRUE(cli.WaitForOutput("link: KX Upgrade - Dongle not responding\n", kHangLimit))
        << cli.Out();
    std::this_thread::sleep_for(300ms);
    cli.Interrupt();
    EXPECT_EQ(cli.Wait(kHangLimit), 130);
    EXPECT_NE(cli.Err().find("interrupted during the transfer"), std::string::npos) << cli.Err();
    EXPECT_EQ(cli.Out().find("transfer: Transfer completed"), std::string::npos);
}

TEST_F(CliSimTest, ADongleThatStartsAfreshInTheBulkStageEndsTheTransferWithOne) {
    // Unplugged and plugged in again, the dongle announces itself anew and will never
    // answer the paused transfer; its announcement reaches the log as echoed text.
    env["KXSIM_UNPLUG_AFTER_BYTES"] = "600";
    env["KXSIM_REPLUG_AFTER_MS"] = "100";
    ChildProcess cli = Start({m_file});
    EXPECT_EQ(cli.Wait(kHangLimit), 1) << cli.Err();
    const std::string out = cli.Out();
    EXPECT_LT(out.find("link: KX Upgrade - Dongle not responding\n"),
              out.rfind("link: KX Upgrade - Dongle connected\n"))
        << out;
    EXPECT_NE(out.find("log: KX DONGLE BOOT 1.3\n"), std::string::npos) << out;
    EXPECT_NE(cli.Err().find("kxupgrade: Transfer aborted: the dongle started afresh"),
              std::string::npos)
        << cli.Err();
    EXPECT_EQ(out.find("transfer: Transfer completed"), std::string::npos) << out;
}

}  // namespace
}  // namespace kx::test
