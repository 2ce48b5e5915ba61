// The production record and events against simulated dongles, whatever happens at the
// bench: a dongle swapped into a port, a file replaced, a child killed, a hang-up, a dongle
// pulled for good, a hostile announced name. Each record line must name the dongle that
// was flashed and the bytes it got.
#include <gtest/gtest.h>

#include "cli_sim_fixture.h"
#include "dongle_events.h"
#include "sha256.h"

namespace kx::test {
namespace {

// One record line's fields by column name (RFC 4180 quoting undone).
std::map<std::string, std::string> RecordFields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back().push_back('"');
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back().push_back(c);
        }
    }
    std::map<std::string, std::string> byName;
    std::istringstream header(cli::kRecordHeader);
    std::size_t column = 0;
    for (std::string name; std::getline(header, name, ',');) {
        byName[name] = column < fields.size() ? fields[column++] : "<missing>";
    }
    EXPECT_EQ(fields.size(), column) << line;
    return byName;
}

class ProductionTest : public CliFleetTest {
  protected:
    // The record's lines after the header, by serial number (the last line of each).
    std::map<std::string, std::map<std::string, std::string>> RecordBySerial() const {
        std::map<std::string, std::map<std::string, std::string>> bySerial;
        const std::vector<std::string> lines = Record();
        EXPECT_FALSE(lines.empty());
        for (std::size_t i = 1; i < lines.size(); ++i) {
            auto fields = RecordFields(lines[i]);
            bySerial[fields["serial"]] = fields;
        }
        return bySerial;
    }
    std::string Digest(const std::string& text) const {
        return Sha256Hex(
            std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    std::string RecordPath() const { return m_folder + "/record.csv"; }
};

// A dongle plugged into the socket of one pulled out during its transfer is another
// dongle: it gets the file from the first record, and each has its own line.
TEST_F(ProductionTest, ADongleSwappedIntoAStationPortIsRecordedAsItself) {
    env["KXSIM_SERIALS"] = "KX000001,KX000009";
    env["KXSIM_LOCATION"] = "0x101,0x101";
    env["KXSIM_UNPLUG_AFTER_BYTES"] = "600,0";  // the first, during its transfer, for good
    env["KXSIM_PLUG_DELAY_MS"] = "-1,2500";
    ChildProcess::ShareConsoleWithChildren();
    ChildProcess cli = Start({"--station", "--record", RecordPath(), m_file});
    ASSERT_TRUE(cli.WaitForOutput("(completed 1 / aborted 1)", kHangLimit)) << cli.Out();
    cli.Interrupt();
    EXPECT_EQ(cli.Wait(kHangLimit), 1) << cli.Err();
    auto record = RecordBySerial();
    ASSERT_EQ(record.size(), 2u) << ReadFile(RecordPath());
    EXPECT_EQ(record["KX000001"]["result"], "removed");
    EXPECT_EQ(record["KX000001"]["reason"],
              "pulled out during the transfer; KX000009 took its place");
    EXPECT_EQ(record["KX000009"]["result"], "completed");
    EXPECT_EQ(record["KX000009"]["location"], "0x101");
    EXPECT_EQ(record["KX000009"]["restarts"], "0");  // not a restart of the one that left
    EXPECT_TRUE(Holds(FlashOf("KX000009")));
    EXPECT_FALSE(Holds(FlashOf("KX000001")));
}

// A single flasher whose dongle is pulled for good while another with the same description
// is plugged in goes on with that one, from the first record, and records both.
TEST_F(ProductionTest, ASingleFlasherRecordsTheDongleThatTookTheLostOnesPlace) {
    env["KXSIM_DEVICES"] = "2";
    env["KXSIM_UNPLUG_AFTER_BYTES"] = "600,0";
    ChildProcess cli = Start({"--record", RecordPath(), m_file});
    EXPECT_EQ(cli.Wait(kHangLimit), 0) << cli.Err() << cli.Out();
    auto record = RecordBySerial();
    ASSERT_EQ(record.size(), 2u) << ReadFile(RecordPath());
    EXPECT_EQ(record["KX000001"]["result"], "removed");
    EXPECT_EQ(record["KX000001"]["location"], "0x101");
    EXPECT_EQ(record["KX000002"]["result"], "completed");
    EXPECT_EQ(record["KX000002"]["location"], "0x102");
    EXPECT_EQ(record["KX000002"]["restarts"], "0");
    EXPECT_TRUE(Holds(FlashOf("KX000002")));
    EXPECT_FALSE(Holds(FlashOf("KX000001")));
}

// With two dongles plugged in, the record names the one the flasher opened, not the
// first one listed when it ends: here the first is plugged in only after the open.
TEST_F(ProductionTest, ASingleRecordNamesTheDongleItFlashed) {
    env["KXSIM_DEVICES"] = "2";
    env["KXSIM_SPEED"] = "1";  // the erase alone outlasts the first dongle's plug delay
    env["KXSIM_PLUG_DELAY_MS"] = "400,-1";
    ChildProcess cli = Start({"--record", RecordPath(), m_file});
    EXPECT_EQ(cli.Wait(kHangLimit), 0) << cli.Err();
    const std::vector<std::string> lines = Record();
    ASSERT_EQ(lines.size(), 2u) << ReadFile(RecordPath());
    auto fields = RecordFields(lines[1]);
    // Only the process that opened a dongle writes its flash dump.
    EXPECT_TRUE(Holds(FlashOf(fields["serial"]))) << lines[1];
    EXPECT_EQ(fields["location"], fields["serial"] == "KX000001" ? "0x101" : "0x102");
    EXPECT_EQ(fields["sha256"], Digest(ReadFile(m_file)));
    EXPECT_EQ(fields["size"], std::to_string(ReadFile(m_file).size()));
}

// The file replaced on disk between two dongles of a station: each record names the bytes
// its own dongle got.
TEST_F(ProductionTest, EveryStationRecordNamesTheBytesItsDongleGot) {
    env["KXSIM_DEVICES"] = "2";
    env["KXSIM_PLUG_DELAY_MS"] = "-1,3000";
    const std::string before = ReadFile(m_file);
    const std::vector<std::uint8_t> oldImage = m_image;
    ChildProcess::ShareConsoleWithChildren();
    ChildProcess cli = Start({"--station", "--record", RecordPath(), m_file});
    ASSERT_TRUE(cli.WaitForOutput("(completed 1 / aborted 0)", kHangLimit)) << cli.Out();
    m_image = TestImage(1024, 9);
    const std::string after = FirmwareFile(m_image, kBase, "KX-DONGLE-2");
    {
        // Replaced as an editor saves: a new file renamed over the old one.
        std::ofstream(PathFromUtf8(m_file + ".new"), std::ios::binary) << after;
        fs::rename(PathFromUtf8(m_file + ".new"), PathFromUtf8(m_file));
    }
    ASSERT_TRUE(cli.WaitForOutput("(completed 2 / aborted 0)", kHangLimit)) << cli.Out();
    cli.Interrupt();
    EXPECT_EQ(cli.Wait(kHangLimit), 0) << cli.Err();
    auto record = RecordBySerial();
    ASSERT_EQ(record.size(), 2u) << ReadFile(RecordPath());
    const std::vector<std::uint8_t> newImage = m_image;
    for (const char* serial : {"KX000001", "KX000002"}) {
        SCOPED_TRACE(serial);
        m_image = oldImage;
        const bool gotOld = Holds(FlashOf(serial));
        m_image = newImage;
        const bool gotNew = Holds(FlashOf(serial));
        ASSERT_TRUE(gotOld || gotNew);
        EXPECT_EQ(record[serial]["sha256"], Digest(gotNew ? after : before));
        EXPECT_EQ(record[serial]["size"], std::to_string((gotNew ? after : before).size()));
    }
    m_image = oldImage;
    EXPECT_TRUE(Holds(FlashOf("KX000001")));  // done before the file changed
}

// A child killed in the middle of its transfer still gets a final event and a record line.
TEST_F(ProductionTest, AKilledChildsDongleGetsAFinalEvent) {
    env["KXSIM_DEVICES"] = "2";
    env["KXSIM_SPEED"] = "1";
    m_image = TestImage(64 * 1024 - 256, 3);
    m_file = Write("big.dat", FirmwareFile(m_image, kBase, "KX-DONGLE-2"));
    ChildProcess cli = Start({"--all", "--json", "--record", RecordPath(), m_file});
    ASSERT_TRUE(WaitForProgressOfEach(cli, {"KX000001", "KX000002"})) << cli.Out();
    const std::vector<unsigned long> children = cli.Children();
    ASSERT_EQ(children.size(), 2u);
    ChildProcess::KillProcess(children[0]);
    EXPECT_EQ(cli.Wait(kHangLimit), 1) << cli.Err();
    std::map<std::string, cli::JsonObject> last;
    for (const cli::JsonObject& event : Events(cli.Out())) {
        last.insert_or_assign(event.Text("serial").value_or(""), event);
    }
    ASSERT_EQ(last.size(), 2u) << cli.Out();
    int killed = 0;
    for (const auto& [serial, event] : last) {
        SCOPED_TRACE(serial);
        const std::string kind = event.Text("event").value_or("");
        ASSERT_TRUE(kind == "completed" || kind == "aborted") << kind;
        if (kind == "aborted") {
            ++killed;
            EXPECT_NE(event.Text("reason").value_or("").find("without a verdict"),
                      std::string::npos);
            EXPECT_EQ(event.Number("schema"), cli::kEventSchema);
        }
    }
    EXPECT_EQ(killed, 1) << cli.Out();
    EXPECT_EQ(RecordBySerial().size(), 2u);
}

// --timeout reaches every dongle's flasher: a dongle pulled for good ends the run.
TEST_F(ProductionTest, AllWithATimeoutGivesUpADonglePulledForGood) {
    env["KXSIM_DEVICES"] = "2";
    env["KXSIM_UNPLUG_AFTER_BYTES"] = "0,600";
    ChildProcess cli = Start({"--all", "--timeout", "0.5", "--record", RecordPath(), m_file});
    EXPECT_EQ(cli.Wait(kHangLimit), 1) << cli.Err();
    auto record = RecordBySerial();
    EXPECT_EQ(record["KX000001"]["result"], "completed");
    EXPECT_EQ(record["KX000002"]["result"], "aborted");
    EXPECT_EQ(record["KX000002"]["reason"], "NO PROGRESS FOR 0.5 SECONDS: TRANSFER GIVEN UP");
    // The summary gives the command that retries just the one that failed.
    EXPECT_NE(cli.Out().find(" --all --serial KX000002 --timeout 0.500 --record "),
              std::string::npos)
        << cli.Out();
}

// A name the dongle announces is device text: nothing of it may act in a spreadsheet or
// on a terminal that shows the record.
TEST_F(ProductionTest, AHostileAnnouncedNameIsRecordedHarmlessly) {
    env["KXSIM_NAME"] = "=HYPERLINK(\"http://x\")\x1b[2J\x07";
    ChildProcess cli = Start({"--record", RecordPath(), m_file});
    EXPECT_EQ(cli.Wait(kHangLimit), 0) << cli.Err();
    const std::string text = ReadFile(RecordPath());
    for (const char c : text) {
        EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << text;
    }
    const std::vector<std::string> lines = Record();
    ASSERT_EQ(lines.size(), 2u) << text;
    EXPECT_EQ(RecordFields(lines[1])["name"], "'=HYPERLINK(\"http://x\")\\x1B[2J\\x07");
}

#ifndef _WIN32
// A hang-up to the whole process group (the terminal closed) ends the run as Ctrl+C does:
// every child closes its dongle, and every dongle is recorded.
TEST_F(ProductionTest, AHangUpClosesEveryDongleAndRecordsIt) {
    env["KXSIM_DEVICES"] = "3";
    env["KXSIM_SPEED"] = "1";
    env["KXSIM_DUMP_PACKETS"] = m_folder + "/packets-%s.txt";
    m_image = TestImage(64 * 1024 - 256, 3);
    m_file = Write("big.dat", FirmwareFile(m_image, kBase, "KX-DONGLE-2"));
    ChildProcess cli = Start({"--all", "--json", "--record", RecordPath(), m_file});
    for (const char* serial : {"KX000001", "KX000002", "KX000003"}) {
        ASSERT_TRUE(cli.WaitForOutput(std::string("\"event\":\"started\",\"serial\":\"") + serial,
                                      kHangLimit))
            << cli.Out();
    }
    cli.HangUp();
    EXPECT_EQ(cli.Wait(kHangLimit), 130) << cli.Err();
    auto record = RecordBySerial();
    ASSERT_EQ(record.size(), 3u) << ReadFile(RecordPath());
    for (const char* serial : {"KX000001", "KX000002", "KX000003"}) {
        SCOPED_TRACE(serial);
        EXPECT_EQ(record[serial]["result"], "aborted");
        EXPECT_TRUE(fs::exists(m_folder + "/packets-" + serial + ".txt"));  // closed
    }
}
#endif

}  // namespace
}  // namespace kx::test
