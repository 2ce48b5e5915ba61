// The pieces of the production modes that need no dongle: JSON lines written and read
// back, the record's CSV, the parent's view of a child's events, and the final table.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "dongle_events.h"
#include "flash_record.h"
#include "fleet.h"
#include "json_line.h"
#include "sha256.h"

namespace kx::cli {
namespace {

TEST(JsonLine, StringsAreEscapedSoThatAnyDeviceTextStaysValid) {
    EXPECT_EQ(JsonString("plain"), "\"plain\"");
    EXPECT_EQ(JsonString("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(JsonString("\r\n\t"), "\"\\r\\n\\t\"");
    EXPECT_EQ(JsonString(std::string("\x00\x11\x1f\x1b", 4)), "\"\\u0000\\u0011\\u001f\\u001b\"");
    EXPECT_EQ(JsonString("gr\xc3\xbc\xc3\x9f"), "\"gr\xc3\xbc\xc3\x9f\"");  // UTF-8 stays
    // Bytes that are not UTF-8 (a garbled line, an overlong form, a lone surrogate, a
    // sequence cut short) become U+FFFD.
    const std::string replacement = "\xef\xbf\xbd";
    EXPECT_EQ(JsonString("\xff"), "\"" + replacement + "\"");
    EXPECT_EQ(JsonString("\xc0\xaf"), "\"" + replacement + replacement + "\"");
    EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"" + replacement + replacement + replacement + "\"");
    EXPECT_EQ(JsonString("a\xe2\x82"), "\"a" + replacement + "\"");
}

TEST(JsonLine, ObjectsReadBackWhatWasWritten) {
    JsonObject object;
    object.Set("event", "aborted").Set("reason", "WRONG \"ID\"\r\n\x01").Set("exit", 1);
    object.Set("rate", 4050.25).Set("serial", "A").Set("serial", "B");  // set twice: last wins
    const std::string line = object.Line();
    EXPECT_EQ(line,
              "{\"event\":\"aborted\",\"reason\":\"WRONG \\\"ID\\\"\\r\\n\\u0001\",\"exit\":1,"
              "\"rate\":4050.25,\"serial\":\"B\"}");
    const std::optional<JsonObject> back = ParseJsonObject(line);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Text("reason"), "WRONG \"ID\"\r\n\x01");
    EXPECT_EQ(back->Number("exit"), 1.0);
    EXPECT_EQ(back->Number("rate"), 4050.25);
    EXPECT_EQ(back->Number("reason"), std::nullopt);
    EXPECT_EQ(back->Text("missing"), std::nullopt);

    const std::optional<JsonObject> escapes =
        ParseJsonObject(R"( {"a" : "\u00fc\ud83d\ude00\/", "b":true, "c":null, "d":-1.5e2} )");
    ASSERT_TRUE(escapes);
    EXPECT_EQ(escapes->Text("a"), "\xc3\xbc\xf0\x9f\x98\x80/");
    EXPECT_EQ(escapes->Number("d"), -150.0);
    for (const char* bad :
         {"", "{", "{\"a\"}", "{\"a\":}", "{\"a\":1,}", "{\"a\":\"x}", "{\"a\":[1]}", "{\"a\":{}}",
          "{\"a\":\"\\ud800\"}", "{} x", "{\"a\":\"tab\there\"}", "{\"a\":1e}"}) {
        EXPECT_FALSE(ParseJsonObject(bad)) << bad;
    }
}

TEST(DongleEvents, EveryLineCarriesTheDongleAndTheTime) {
    std::vector<std::string> lines;
    std::vector<DongleEnd> ends;
    DongleEvents events([&](std::string_view line) { lines.emplace_back(line); },
                        DongleIdentity{"", 0x107}, "fw.dat");
    std::vector<DongleIdentity> opened{{"KX000007", 0x107}, {"KX000009", 0x107}};
    std::size_t opens = 0;
    events.identify = [&]() -> std::optional<DongleIdentity> { return opened[opens]; };
    events.ended = [&](const DongleEnd& end) { ends.push_back(end); };
    const std::vector<std::uint8_t> image(1000, 0x53);
    events.ConnectionChanged("KX Upgrade - Dongle not responding");  // not connected yet
    events.ConnectionChanged("KX Upgrade - Dongle connected");
    events.Announced("DONGLE BOOT 1.3");
    events.TransferChanged(TransferState::InProgress, Sha256Hex(image), image.size());
    const auto now = DongleEvents::Clock::now();
    events.ProgressMoved(10, now);   // too soon after the start
    events.ProgressMoved(600, now);  // nor this
    events.ConnectionChanged("KX Upgrade - Dongle not responding");
    // Another dongle is opened in its place: the one that left ends, the new one starts.
    opens = 1;
    events.Replaced();
    events.ConnectionChanged("KX Upgrade - Dongle connected");
    events.ProgressMoved(1000, now);  // the end always shows
    events.Finished(1, "UPDATE FILE ID DOESNT MATCH DEVICE ID");
    std::vector<std::string> kinds;
    for (const std::string& line : lines) {
        ASSERT_EQ(line.back(), '\n');
        const std::optional<JsonObject> event = ParseJsonObject(line);
        ASSERT_TRUE(event) << line;
        kinds.push_back(event->Text("event").value_or("?") + " " +
                        event->Text("serial").value_or("?"));
        EXPECT_EQ(event->Number("location"), 0x107);
        EXPECT_EQ(event->Number("schema"), kEventSchema);
        EXPECT_EQ(event->Text("version"), ToolVersion());
        const std::string time = event->Text("time").value_or("");
        EXPECT_EQ(time.size(), 24u) << time;  // 2026-12-08T06:05:47.123Z
        EXPECT_EQ(time.back(), 'Z');
    }
    EXPECT_EQ(kinds,
              (std::vector<std::string>{
                  "connected KX000007", "announced KX000007", "started KX000007", "lost KX000007",
                  "progress KX000007", "removed KX000007", "connected KX000009", "started KX000009",
                  "progress KX000009", "aborted KX000009"}));
    // The digest and size of the bytes the transfer sends from.
    const std::string digest = Sha256Hex(image);
    const JsonObject started = *ParseJsonObject(lines[2]);
    EXPECT_EQ(started.Text("file"), "fw.dat");
    EXPECT_EQ(started.Text("sha256"), digest);
    EXPECT_EQ(started.Number("total"), 1000);
    const JsonObject removed = *ParseJsonObject(lines[5]);
    EXPECT_EQ(removed.Number("bytes"), 600);
    EXPECT_EQ(removed.Text("reason"), "pulled out during the transfer; KX000009 took its place");
    EXPECT_EQ(ParseJsonObject(lines[8])->Number("bytes"), 1000);
    const JsonObject aborted = *ParseJsonObject(lines[9]);
    EXPECT_EQ(aborted.Text("reason"), "UPDATE FILE ID DOESNT MATCH DEVICE ID");
    EXPECT_EQ(aborted.Number("exit"), 1);
    // One end per dongle, for the record: each names its own dongle and the bytes sent.
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0].dongle.serial, "KX000007");
    EXPECT_EQ(ends[0].result, "removed");
    EXPECT_EQ(ends[0].name, "DONGLE BOOT 1.3");
    EXPECT_EQ(ends[1].dongle.serial, "KX000009");
    EXPECT_EQ(ends[1].result, "aborted");
    EXPECT_EQ(ends[1].name, "");  // it was not heard announcing itself
    for (const DongleEnd& end : ends) {
        EXPECT_EQ(end.sha256, digest);
        EXPECT_EQ(end.size, 1000u);
    }
}

TEST(FlashRecord, LinesAreAppendedUnderOneHeaderAndQuotedWhereNeeded) {
    EXPECT_EQ(CsvField("plain"), "plain");
    EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    // Nothing a terminal or a spreadsheet would act on.
    EXPECT_EQ(CsvField("two\nlines\r"), "two\\x0Alines\\x0D");
    EXPECT_EQ(CsvField("\x1b[2J\x07"
                       "bell\x7f"),
              "\\x1B[2J\\x07bell\\x7F");
    for (const char* formula : {"=1+1", "+1", "-1", "@SUM(A1)", "\tx", "\rx"}) {
        EXPECT_EQ(CsvField(formula).substr(0, 1), "'") << formula;
    }
    EXPECT_EQ(CsvField("=HYPERLINK(\"x\",\"y\")"), "\"'=HYPERLINK(\"\"x\"\",\"\"y\"\")\"");
    EXPECT_EQ(CsvField("a=b"), "a=b");

    const std::string path = (std::filesystem::temp_directory_path() /
                              ("kx-record-" + std::to_string(::getpid()) + ".csv"))
                                 .string();
    std::filesystem::remove(path);
    FlashRecord record{"2026-12-08T06:00:00.000Z",
                       "KX1",
                       "0x101",
                       "BOOT, 1.3",
                       "fw.dat",
                       "ab12",
                       3814,
                       "aborted",
                       "ERROR",
                       2.25,
                       1};
    ASSERT_FALSE(CheckRecordWritable(path));
    ASSERT_FALSE(AppendRecord(path, record));
    record.serial = "KX2";
    record.result = "completed";
    record.reason.clear();
    ASSERT_FALSE(AppendRecord(path, record));
    ASSERT_FALSE(CheckRecordWritable(path));  // its own layout: appended to
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(),
              std::string(kRecordHeader) +
                  "\n2026-12-08T06:00:00.000Z,KX1,0x101,\"BOOT, 1.3\",fw.dat,ab12,3814,aborted,"
                  "ERROR,2.2,1\n2026-12-08T06:00:00.000Z,KX2,0x101,\"BOOT, 1.3\",fw.dat,ab12,"
                  "3814,completed,,2.2,1\n");
    in.close();  // Windows removes no open file
    // A file of another layout is not appended to.
    std::ofstream(path, std::ios::binary) << "time,serial,location,name\nx,y,z,w\n";
    EXPECT_TRUE(CheckRecordWritable(path));
    std::filesystem::remove(path);
    EXPECT_TRUE(AppendRecord("/nonexistent-folder/r.csv", record));
}

TEST(Fleet, TheParentFollowsAChildsEventsIntoItsTable) {
    DongleRun run;
    run.dongle = ListedDongle{"KX000003", 0x103};
    EXPECT_FALSE(ApplyEvent(run, "not json"));
    EXPECT_FALSE(ApplyEvent(run, R"({"event":"unheard-of"})"));
    for (const char* line :
         {R"({"event":"connected"})", R"({"event":"announced","name":"BOOT 9"})",
          R"({"event":"started","total":2000})", R"({"event":"progress","bytes":500,"total":2000})",
          R"({"event":"restart","count":1})"}) {
        EXPECT_TRUE(ApplyEvent(run, line)) << line;
    }
    EXPECT_EQ(run.name, "BOOT 9");
    EXPECT_EQ(run.bytes, 500u);
    EXPECT_EQ(run.total, 2000u);
    EXPECT_EQ(run.restarts, 1);
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(ApplyEvent(
        run, R"({"event":"aborted","reason":"ERROR","exit":1,"duration":61.4,"bytes":700})"));
    EXPECT_EQ(run.result, "aborted");
    EXPECT_EQ(run.reason, "ERROR");
    EXPECT_EQ(run.exit, 1);

    DongleRun done;
    done.dongle = ListedDongle{"KX000001", 0x101};
    ApplyEvent(done, R"({"event":"announced","name":"DONGLE BOOT 1.3"})");
    ApplyEvent(done, R"({"event":"completed","exit":0,"duration":2.4})");
    EXPECT_EQ(ResultTable({done, run}),
              "SERIAL    NAME             RESULT     REASON  TIME\n"
              "KX000001  DONGLE BOOT 1.3  completed          0:02\n"
              "KX000003  BOOT 9           aborted    ERROR   1:01\n");
}

TEST(Fleet, TheRetryCommandNamesJustTheDonglesThatFailed) {
    FleetJob job;
    job.self = "/usr/bin/kxupgrade";
    job.file = "line 7/fw's.dat";
    job.record = "r.csv";
    job.transferArgs = {"--timeout", "0.500"};
#ifdef _WIN32
    const std::string file = "\"line 7/fw's.dat\"";
#else
    const std::string file = "'line 7/fw'\\''s.dat'";
#endif
    EXPECT_EQ(
        RetryCommand(job, {"KX5", "KX3", "KX5"}),
        "/usr/bin/kxupgrade --all --serial KX3,KX5 --timeout 0.500 --record r.csv -- " + file);
}

}  // namespace
}  // namespace kx::cli
