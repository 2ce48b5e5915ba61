#include <gtest/gtest.h>

#include "console_report.h"
#include "console_window.h"

namespace kx::cli {
namespace {

using namespace std::chrono_literals;

struct Captured {
    std::string out;
    std::string bar;
    ConsoleReport Report(bool terminal) {
        return ConsoleReport([this](std::string_view t) { out += t; },
                             terminal
                                 ? ConsoleReport::Sink([this](std::string_view t) { bar += t; })
                                 : ConsoleReport::Sink());
    }
};

TEST(ConsoleReport, LogBytesArriveOneAtATimeAndFormLines) {
    Captured c;
    ConsoleReport report = c.Report(false);
    for (char b : std::string("DONGLE BOOT\r\nOK\r")) {
        report.LogAppended(std::string_view(&b, 1));
    }
    EXPECT_EQ(c.out, "log: DONGLE BOOT\nlog: OK");
    report.LogAppended("\n\r\n");
    EXPECT_EQ(c.out, "log: DONGLE BOOT\nlog: OK\nlog: \n");
}

TEST(ConsoleReport, StatusLinesCloseAnOpenLogLineAndTheLogGoesOnAfterThem) {
    Captured c;
    ConsoleReport report = c.Report(false);
    report.ConnectionChanged("KX Upgrade - Dongle connected");
    report.LogAppended("AB");
    report.TransferChanged("Transfer aborted", TransferState::Aborted);
    report.LogAppended("C\r\n");
    report.ConnectionChanged("");  // an empty line is not news
    report.Finish();
    EXPECT_EQ(c.out,
              "link: KX Upgrade - Dongle connected\n"
              "log: AB\n"
              "transfer: Transfer aborted\n"
              "log: C\n");
}

TEST(ConsoleReport, AReplacedLogStartsOnAFreshLine) {
    Captured c;
    ConsoleReport report = c.Report(false);
    report.LogAppended("partial");
    report.LogReplaced("");
    report.LogReplaced("NAME\r\n");
    report.LogAppended("tail");
    report.Finish();
    EXPECT_EQ(c.out, "log: partial\nlog: NAME\nlog: tail\n");
}

TEST(ConsoleReport, TheDevicesBytesCannotDriveTheTerminal) {
    // The announced name may hold any byte but CR: escape sequences are shown, not obeyed.
    Captured c;
    ConsoleReport report = c.Report(false);
    report.LogAppended(std::string("\x1B[2J\\\x7F\xC8\t\0z", 10));
    report.TransferChanged(std::string_view("a\x07", 2), TransferState::Idle);
    EXPECT_EQ(c.out, "log: \\x1B[2J\\\\\\x7F\\xC8\\x09\\x00z\ntransfer: a\\x07\n");
    EXPECT_EQ(c.out.find('\x1B'), std::string::npos);
}

TEST(ConsoleReport, WithoutATerminalThereIsNoBar) {
    Captured c;
    ConsoleReport report = c.Report(false);
    const auto t0 = ConsoleReport::Clock::now();
    report.ProgressStarted(1000, t0);
    report.ProgressMoved(500, t0 + 1s);
    report.TransferChanged("Transfer completed", TransferState::Completed);
    EXPECT_EQ(c.out, "transfer: Transfer completed\n");
    EXPECT_EQ(c.bar, "");
}

TEST(ConsoleReport, TheBarIsThrottledErasedForLinesAndLeftInPlaceAtTheEnd) {
    Captured c;
    ConsoleReport report = c.Report(true);
    const auto t0 = ConsoleReport::Clock::now();
    report.ProgressMoved(10, t0);  // no transfer yet: the matcher zeroes the bar
    EXPECT_EQ(c.bar, "");

    report.ProgressStarted(1000, t0);
    report.ProgressMoved(100, t0 + 1ms);
    const std::size_t draws = c.bar.size();
    EXPECT_NE(c.bar.find("10%"), std::string::npos) << c.bar;
    report.ProgressMoved(200, t0 + 2ms);  // too soon after the last draw
    EXPECT_EQ(c.bar.size(), draws);
    report.ProgressMoved(300, t0 + 150ms);
    EXPECT_NE(c.bar.find("30%"), std::string::npos) << c.bar;

    // A line on the console first takes the bar away, then puts it back.
    c.bar.clear();
    report.ConnectionChanged("KX Upgrade - Dongle not responding");
    EXPECT_EQ(c.bar.rfind("\r\033[K", 0), 0u) << c.bar;
    EXPECT_NE(c.bar.find("30%", 4), std::string::npos) << c.bar;

    c.bar.clear();
    report.ProgressMoved(1000, t0 + 151ms);  // the end is always drawn
    EXPECT_NE(c.bar.find("100%"), std::string::npos) << c.bar;
    c.bar.clear();
    report.TransferChanged("Transfer completed", TransferState::Completed);
    EXPECT_EQ(c.bar.back(), '\n');  // the final bar stays
    c.bar.clear();
    report.ProgressMoved(5, t0 + 1s);
    report.Finish();
    EXPECT_EQ(c.bar, "");
}

TEST(ConsoleWindow, ReportsOnlyWhatChangedAndStillServesTheDialog) {
    Captured c;
    ConsoleReport report = c.Report(false);
    ConsoleWindow window(report);
    window.PushTexts("KX Upgrade - Dongle not responding", {true, ""}, "");
    window.PushTexts("KX Upgrade - Dongle not responding", {false, ""}, "");
    window.PushTexts("KX Upgrade - Dongle connected", {false, "NAME\r\n"}, "");
    window.PushTexts("KX Upgrade - Dongle connected", {false, "X"}, "Transfer in Progress...");
    EXPECT_EQ(c.out,
              "link: KX Upgrade - Dongle not responding\n"
              "link: KX Upgrade - Dongle connected\n"
              "log: NAME\n"
              "log: X\n"
              "transfer: Transfer in Progress...\n");
    std::string connection, log, transfer;
    window.PullTexts(connection, log, transfer);
    EXPECT_EQ(connection, "KX Upgrade - Dongle connected");
    EXPECT_EQ(log, "NAME\r\nX");
    EXPECT_EQ(transfer, "Transfer in Progress...");
    window.SetProgressRange(4096);
    window.SetProgressPos(2048);
    EXPECT_EQ(window.ProgressMax(), 4096u);
    EXPECT_EQ(window.ProgressPos(), 2048u);
}

}  // namespace
}  // namespace kx::cli
