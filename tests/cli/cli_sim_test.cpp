// kxupgrade as a script runs it: a separate process, the simulated dongle behind the
// driver's plain name, configured through its KXSIM_* variables.
#include <gtest/gtest.h>

#include "cli_sim_fixture.h"

namespace kx::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

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

// A dongle slowed below real speed holds each byte longer than the chip's hold the flasher
// waits out before the switch; the upgrade must still reach the bulk stage and complete.
TEST_F(CliSimTest, ADongleSlowerThanRealSpeedIsStillFlashedWhole) {
    env["KXSIM_SPEED"] = "0.5";
    ChildProcess cli = Start({m_file});
    EXPECT_EQ(cli.Wait(kHangLimit), 0) << cli.Out() << cli.Err();
    const std::vector<std::uint8_t> flash = FlashImage();
    ASSERT_GE(flash.size(), m_image.size());
    EXPECT_TRUE(std::equal(m_image.begin(), m_image.end(), flash.begin()));
}

// A name outside ASCII and outside any one ANSI code page reaches the file intact: on
// Windows the command line is taken in UTF-16 and the file opened by its wide name.
TEST_F(CliSimTest, AFileWhoseNameIsNotAsciiIsSent) {
    const std::string file =
        Write("firmw\u00e4re-\u03a9.dat", FirmwareFile(m_image, kBase, "KX-DONGLE-2"));
    ChildProcess cli = Start({file});
    EXPECT_EQ(cli.Wait(kHangLimit), 0) << cli.Err();
    EXPECT_NE(cli.Out().find("transfer: Transfer completed\n"), std::string::npos) << cli.Out();
    const std::vector<std::uint8_t> flash = FlashImage();
    ASSERT_GE(flash.size(), m_image.size());
    EXPECT_TRUE(std::equal(m_image.begin(), m_image.end(), flash.begin()));
}

// A driver library in the current folder only, say beside a downloaded firmware file, is
// never loaded: the flasher takes the driver from its own folder or the system's.
TEST_F(CliSimTest, ADriverLibraryInTheCurrentFolderIsNotLoaded) {
    const fs::path planted = PathFromUtf8(m_folder) / "planted";
    fs::create_directories(planted);
    fs::copy_file(PathFromUtf8(KX_SIM_DIR) / kDriverFile, planted / kDriverFile);
    env.erase("LD_LIBRARY_PATH");
    ChildProcess cli({KX_CLI_ALONE_PATH, "--wait", "1", m_file}, env, m_folder,
                     Utf8FromPath(planted));
    const int status = cli.Wait(kHangLimit);
    EXPECT_NE(status, 0) << cli.Err();
    EXPECT_NE(status, -1) << "hung";
    EXPECT_EQ(cli.Err().find("planted"), std::string::npos) << cli.Err();
    EXPECT_EQ(cli.Out().find("Transfer in Progress"), std::string::npos) << cli.Out();
    EXPECT_FALSE(fs::exists(PathFromUtf8(m_folder) / "flash.bin"));
#ifdef _WIN32
    EXPECT_EQ(status, 4) << cli.Err();
#endif
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
        {"examples", "cut-short.dat", 5},
        {"examples", "header-only.dat", 5},
        {"examples", "two-files.dat", 5},
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
    ChildProcess::ShareConsoleWithChildren();
    ChildProcess cli = Start({m_file});
    ASSERT_TRUE(cli.WaitForOutput("link: KX Upgrade - Dongle not responding\n", kHangLimit))
        << cli.Out();
    std::this_thread::sleep_for(300ms);
    cli.Interrupt();
    EXPECT_EQ(cli.Wait(kHangLimit), 130);
    EXPECT_NE(cli.Err().find("interrupted during the transfer"), std::string::npos) << cli.Err();
    EXPECT_EQ(cli.Out().find("transfer: Transfer completed"), std::string::npos);
}

TEST_F(CliSimTest, AnInterruptDuringTheTransferClosesTheDongleAndEndsWith130) {
    // Ctrl+C in the middle of a transfer on a live link (on Windows the console's event):
    // the dongle is closed before the flasher ends, which is what writes the packet dump.
    env["KXSIM_SPEED"] = "1";
    env["KXSIM_DUMP_PACKETS"] = m_folder + "/packets.txt";
    m_image = TestImage(64 * 1024 - 256, 3);
    m_file = Write("big.dat", FirmwareFile(m_image, kBase, "KX-DONGLE-2"));
    ChildProcess::ShareConsoleWithChildren();
    ChildProcess cli = Start({m_file});
    ASSERT_TRUE(cli.WaitForOutput("transfer: Transfer in Progress...\n", kHangLimit)) << cli.Out();
    std::this_thread::sleep_for(200ms);
    ASSERT_FALSE(fs::exists(m_folder + "/packets.txt")) << "closed before the interrupt";
    cli.Interrupt();
    EXPECT_EQ(cli.Wait(kHangLimit), 130) << cli.Err();
    EXPECT_NE(cli.Err().find("interrupted during the transfer"), std::string::npos) << cli.Err();
    EXPECT_EQ(cli.Out().find("transfer: Transfer completed"), std::string::npos) << cli.Out();
    EXPECT_TRUE(fs::exists(m_folder + "/packets.txt")) << "the dongle was not closed";
    const std::vector<std::uint8_t> flash = FlashImage();
    EXPECT_FALSE(flash.size() >= m_image.size() &&
                 std::equal(m_image.begin(), m_image.end(), flash.begin()))
        << "the whole image went out before the interrupt";
}

TEST_F(CliSimTest, ADongleThatStartsAfreshInTheBulkStageIsFlashedAgainFromTheStart) {
    // Unplugged and plugged in again, the dongle announces itself anew: the file goes
    // again from its first record, and the flash ends up holding it whole.
    env["KXSIM_UNPLUG_AFTER_BYTES"] = "600";
    env["KXSIM_REPLUG_AFTER_MS"] = "100";
    const std::string record = m_folder + "/record.csv";
    ChildProcess cli = Start({"--record", record, m_file});
    EXPECT_EQ(cli.Wait(kHangLimit), 0) << cli.Err();
    const std::string out = cli.Out();
    // The record says the transfer completed after one restart.
    std::ifstream in(record);
    std::string header, line;
    std::getline(in, header);
    std::getline(in, line);
    EXPECT_NE(line.find(",completed,"), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.rfind(',') + 1), "1") << line;
    EXPECT_LT(out.find("link: KX Upgrade - Dongle not responding\n"),
              out.rfind("link: KX Upgrade - Dongle connected\n"))
        << out;
    EXPECT_NE(out.find("log: RESTART 1 OF 3\n"), std::string::npos) << out;
    EXPECT_NE(out.find("transfer: Transfer completed"), std::string::npos) << out;
    EXPECT_EQ(FlashImage().size() >= m_image.size() &&
                  std::equal(m_image.begin(), m_image.end(), FlashImage().begin()),
              true);
}

TEST_F(CliSimTest, ATransferWithoutProgressForTheTimeoutEndsWithOne) {
    env["KXSIM_UNPLUG_AFTER_BYTES"] = "600";  // and never back
    ChildProcess cli = Start({"--timeout", "0.5", m_file});
    EXPECT_EQ(cli.Wait(kHangLimit), 1) << cli.Err();
    EXPECT_NE(cli.Err().find(
                  "kxupgrade: Transfer aborted: NO PROGRESS FOR 0.5 SECONDS: TRANSFER GIVEN UP"),
              std::string::npos)
        << cli.Err();
    EXPECT_NE(cli.Out().find("transfer: Transfer aborted"), std::string::npos) << cli.Out();
}

TEST_F(CliFleetTest, ListShowsEveryDongleWithItsSerialAndLocation) {
    env["KXSIM_SERIALS"] = "KXA,KXA,KXB";
    ChildProcess cli = Start({"--list"});
    EXPECT_EQ(cli.Wait(kHangLimit), 0) << cli.Err();
    EXPECT_EQ(cli.Out(), "KXA  0x101\nKXA  0x102\nKXB  0x103\n");
}

TEST_F(CliFleetTest, AllFlashesEveryDongleAndRecordsEachOne) {
    env["KXSIM_DEVICES"] = "4";
    env["KXSIM_ID"] = "KX-DONGLE-2,KX-DONGLE-2,KX-DONGLE-9,KX-DONGLE-2";  // the third refuses
    env["KXSIM_NAME"] = "BOOT A,BOOT B,BOOT C,BOOT D";
    ChildProcess cli = Start({"--all", "--record", m_folder + "/record.csv", m_file});
    EXPECT_EQ(cli.Wait(kHangLimit), 1) << cli.Err();
    for (const char* serial : {"KX000001", "KX000002", "KX000004"}) {
        EXPECT_TRUE(Holds(FlashOf(serial))) << serial;
    }
    EXPECT_FALSE(Holds(FlashOf("KX000003")));
    const std::string out = cli.Out();
    const std::size_t table = out.find("SERIAL    NAME    RESULT     REASON");
    ASSERT_NE(table, std::string::npos) << out;
    for (const char* row : {"KX000001  BOOT A  completed", "KX000002  BOOT B  completed",
                            "KX000003  BOOT C  aborted    UPDATE FILE ID DOESNT MATCH DEVICE ID",
                            "KX000004  BOOT D  completed"}) {
        EXPECT_NE(out.find(row, table), std::string::npos) << row << " in:\n" << out;
    }
    const std::vector<std::string> record = Record();
    ASSERT_EQ(record.size(), 5u) << ReadFile(m_folder + "/record.csv");
    EXPECT_EQ(record[0], cli::kRecordHeader);
    std::map<std::string, std::string> bySerial;
    for (std::size_t i = 1; i < record.size(); ++i) {
        bySerial[record[i].substr(25, 8)] = record[i].substr(34);
    }
    EXPECT_EQ(bySerial["KX000003"].rfind("0x103,BOOT C," + m_file + ",", 0), 0u)
        << bySerial["KX000003"];
    EXPECT_NE(bySerial["KX000003"].find(",aborted,UPDATE FILE ID DOESNT MATCH DEVICE ID,"),
              std::string::npos);
    EXPECT_NE(bySerial["KX000001"].find(",completed,,"), std::string::npos);
}

TEST_F(CliFleetTest, AllWithJsonWritesOnlyEventsEachWithItsDongle) {
    env["KXSIM_DEVICES"] = "2";
    ChildProcess cli = Start({"--all", "--json", m_file});
    EXPECT_EQ(cli.Wait(kHangLimit), 0) << cli.Err();
    std::map<std::string, std::vector<std::string>> kinds;
    for (const cli::JsonObject& event : Events(cli.Out())) {
        const std::string serial = event.Text("serial").value_or("");
        kinds[serial].push_back(event.Text("event").value_or(""));
        EXPECT_EQ(event.Number("location"), serial == "KX000001" ? 0x101 : 0x102);
        EXPECT_TRUE(event.Text("time"));
        if (event.Text("event") == "started") {
            EXPECT_EQ(event.Text("file"), m_file);
            EXPECT_EQ(event.Text("sha256").value_or("").size(), 64u);
        }
        if (event.Text("event") == "announced") {
            EXPECT_EQ(event.Text("name"), "DONGLE BOOT 1.3");
        }
    }
    ASSERT_EQ(kinds.size(), 2u) << cli.Out();
    for (auto& [serial, events] : kinds) {
        SCOPED_TRACE(serial);
        ASSERT_GE(events.size(), 5u);
        EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 3),
                  (std::vector<std::string>{"connected", "announced", "started"}));
        EXPECT_EQ(events[events.size() - 2], "progress");
        EXPECT_EQ(events.back(), "completed");
    }
}

TEST_F(CliFleetTest, LocationOpensOneOfTwoDonglesThatShareASerial) {
    env["KXSIM_SERIALS"] = "KXSAME,KXSAME";
    ChildProcess cli = Start({"--location", "0x102", "--json", m_file});
    EXPECT_EQ(cli.Wait(kHangLimit), 0) << cli.Err();
    // Only the dongle this process opened writes its flash: the second one.
    EXPECT_TRUE(Holds(FlashOf("KXSAME")));
    const std::vector<cli::JsonObject> events = Events(cli.Out());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().Text("event"), "completed");
    for (const cli::JsonObject& event : events) {
        EXPECT_EQ(event.Number("location"), 0x102);
        EXPECT_EQ(event.Text("serial"), "KXSAME");
    }
    ChildProcess absent = Start({"--location", "0x109", "--wait", "0.5", m_file});
    EXPECT_EQ(absent.Wait(kHangLimit), 3) << absent.Err();
}

TEST_F(CliFleetTest, StationFlashesEachDongleAsItIsPluggedInAndAgainAfterAReplug) {
    env["KXSIM_DEVICES"] = "2";
    // The first is plugged in at once, pulled after its upgrade and plugged in again; the
    // second comes later. Parent and children agree on these times, which are the
    // machine's: the pull leaves a loaded machine several seconds for a flasher to start
    // and flash the small file (under a second unloaded).
    env["KXSIM_PLUG_DELAY_MS"] = "0,1500";
    env["KXSIM_UNPLUG_AT_MS"] = "6000,-1";
    env["KXSIM_REPLUG_AFTER_MS"] = "500,-1";
    ChildProcess::ShareConsoleWithChildren();
    ChildProcess cli = Start({"--station", "--record", m_folder + "/record.csv", m_file});
    const std::string third = "(completed 3 / aborted 0)";
    ASSERT_TRUE(cli.WaitForOutput(third, kHangLimit)) << cli.Out();
    // Staying plugged in, neither is flashed again.
    std::this_thread::sleep_for(1500ms);
    cli.Interrupt();
    EXPECT_EQ(cli.Wait(kHangLimit), 0) << cli.Err();
    std::vector<std::string> results;
    for (const std::string& line : Lines(cli.Out())) {
        if (line.find("  completed  ") != std::string::npos) {
            results.push_back(line.substr(0, 8));
        }
    }
    EXPECT_EQ(results, (std::vector<std::string>{"KX000001", "KX000002", "KX000001"})) << cli.Out();
    EXPECT_NE(cli.Out().find("KX000002  DONGLE BOOT 1.3  completed"), std::string::npos);
    EXPECT_TRUE(Holds(FlashOf("KX000001")));
    EXPECT_TRUE(Holds(FlashOf("KX000002")));
    EXPECT_EQ(Record().size(), 4u);
}

TEST_F(CliFleetTest, AnInterruptStopsEveryChildAndClosesEachDongle) {
    env["KXSIM_DEVICES"] = "3";
    env["KXSIM_SPEED"] = "1";
    env["KXSIM_DUMP_PACKETS"] = m_folder + "/packets-%s.txt";
    m_image = TestImage(64 * 1024 - 256, 3);
    m_file = Write("big.dat", FirmwareFile(m_image, kBase, "KX-DONGLE-2"));
    ChildProcess::ShareConsoleWithChildren();
    ChildProcess cli = Start({"--all", "--json", m_file});
    ASSERT_TRUE(WaitForProgressOfEach(cli, {"KX000001", "KX000002", "KX000003"})) << cli.Out();
    cli.Interrupt();
    EXPECT_EQ(cli.Wait(kHangLimit), 130) << cli.Err();
    int aborted = 0;
    for (const cli::JsonObject& event : Events(cli.Out())) {
        if (event.Text("event") == "aborted") {
            ++aborted;
            EXPECT_EQ(event.Number("exit"), 130);
        }
    }
    EXPECT_EQ(aborted, 3) << cli.Out();
    // Each child closed its dongle: closing is what writes the packet dump.
    for (const char* serial : {"KX000001", "KX000002", "KX000003"}) {
        EXPECT_TRUE(std::filesystem::exists(m_folder + "/packets-" + serial + ".txt")) << serial;
        EXPECT_FALSE(Holds(FlashOf(serial)));
    }
}

}  // namespace
}  // namespace kx::test
