// The duties every front end leaves to the host: polls coalesced, boxes from any thread,
// the texts, the progress figures and their clock, the quit question, and the order of
// start-up and end. The whole life against the simulated dongle is a front-end scenario
// (front_end_scenarios.h), run on the headless and the Qt window.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "device/driver_binding.h"
#include "dialog/upgrade_dlg.h"
#include "host/front_end_host.h"
#include "recording_window.h"
#include "test_platform.h"

namespace kx {
namespace {

using namespace std::chrono_literals;
using Clock = FrontEndHost::Clock;

TEST(FrontEndHost, OnePollIsQueuedAtATimeAndOtherMessagesAlways) {
    FrontEndHost host;
    EXPECT_TRUE(host.Admit(WindowMessage::PollDevice));
    EXPECT_FALSE(host.Admit(WindowMessage::PollDevice));
    EXPECT_TRUE(host.Admit(WindowMessage::StartTransfer));
    EXPECT_TRUE(host.Admit(WindowMessage::StartTransfer));
    host.Taken(WindowMessage::StartTransfer);
    EXPECT_FALSE(host.Admit(WindowMessage::PollDevice));
    host.Taken(WindowMessage::PollDevice);
    EXPECT_TRUE(host.Admit(WindowMessage::PollDevice));
}

// A box from another thread waits for the window's thread, which only the first box of a
// batch wakes; there the boxes are shown in the order they came, and one shown on the
// window's thread itself comes after those still waiting.
TEST(FrontEndHost, BoxesFromAnotherThreadWaitForTheWindowsThreadInOrder) {
    FrontEndHost host;
    std::vector<std::pair<std::string, bool>> shown;  // text, on the window's thread
    int wakes = 0;
    host.SetBoxes([&](const std::string& text) { shown.emplace_back(text, host.OnWindowThread()); },
                  [&] { ++wakes; });
    std::thread([&host] {
        EXPECT_FALSE(host.OnWindowThread());
        host.ShowBox("first");
        host.ShowBox("second");
    }).join();
    EXPECT_TRUE(shown.empty());
    EXPECT_TRUE(host.BoxesQueued());
    EXPECT_EQ(wakes, 1);
    host.ShowBox("third");
    const std::vector<std::pair<std::string, bool>> expected{
        {"first", true}, {"second", true}, {"third", true}};
    EXPECT_EQ(shown, expected);
    EXPECT_FALSE(host.BoxesQueued());
    // The queue emptied: the next box from another thread wakes the window's thread again.
    std::thread([&host] { host.ShowBox("fourth"); }).join();
    EXPECT_EQ(wakes, 2);
    host.ShowQueuedBoxes();
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown.back(), std::make_pair(std::string("fourth"), true));
}

TEST(FrontEndHost, KeepsTheTextsAndSaysWhatAPushChanged) {
    FrontEndHost host;
    auto pushed = host.PushTexts("KX Upgrade - Dongle connected", {false, "DONGLE"}, "");
    EXPECT_TRUE(pushed.connection);
    EXPECT_FALSE(pushed.transfer);
    EXPECT_TRUE(pushed.log);
    pushed = host.PushTexts("KX Upgrade - Dongle connected", {false, " BOOT\r\n"}, "");
    EXPECT_FALSE(pushed.connection);
    EXPECT_TRUE(pushed.log);
    EXPECT_EQ(host.Log(), "DONGLE BOOT\r\n");  // grown, not replaced
    pushed = host.PushTexts("KX Upgrade - Dongle connected", {false, ""}, "Transfer completed");
    EXPECT_TRUE(pushed.transfer);
    EXPECT_FALSE(pushed.log);
    pushed = host.PushTexts("KX Upgrade - Dongle connected", {true, ""}, "Transfer completed");
    EXPECT_TRUE(pushed.log);  // cleared
    std::string connection;
    std::string log = "stale";
    std::string transfer;
    host.PullTexts(connection, log, transfer);
    EXPECT_EQ(connection, "KX Upgrade - Dongle connected");
    EXPECT_EQ(log, "");
    EXPECT_EQ(transfer, "Transfer completed");
}

class ProgressClock : public ::testing::Test {
  protected:
    // 1000 bytes: 100 bytes a second from t0 + 1 s on.
    void Move(std::uint32_t position, Clock::duration at) { host.ProgressMoved(position, t0 + at); }
    ProgressFigures At(Clock::duration at, bool held = false) const {
        return host.Figures(held, t0 + at);
    }

    FrontEndHost host;
    const Clock::time_point t0 = Clock::now();
};

TEST_F(ProgressClock, TheTimeLeftCountsOnlyTheTimeInWhichBytesMoved) {
    host.ProgressRanged(1000, t0);
    Move(0, 0s);
    // The first bytes taken start the clock: the wait for them is not the rate's.
    Move(100, 3s);
    Move(200, 4s);
    ASSERT_TRUE(At(4s).secondsLeft.has_value());
    EXPECT_DOUBLE_EQ(*At(4s).secondsLeft, 8.0);
    // An erase of 20 s counts one second at most, however long it takes.
    EXPECT_DOUBLE_EQ(*At(24s).secondsLeft, 16.0);
    EXPECT_DOUBLE_EQ(*At(60s).secondsLeft, 16.0);
    Move(300, 24s);
    EXPECT_DOUBLE_EQ(*At(24s).secondsLeft, 7.0);  // 200 bytes in 2 counted seconds
    // Away: no time left is promised, and the clock does not run on.
    EXPECT_FALSE(At(30s, true).secondsLeft.has_value());
    EXPECT_EQ(At(30s, true).percent, 30);
}

TEST_F(ProgressClock, ARestartStartsTheFiguresOver) {
    host.ProgressRanged(1000, t0);
    Move(10, 1s);
    Move(900, 10h);  // hours of a slow first attempt
    host.TransferRestarted(t0 + 10h);
    EXPECT_EQ(At(10h).percent, 0);
    EXPECT_FALSE(At(10h).secondsLeft.has_value());
    Move(100, 10h + 1s);
    Move(200, 10h + 2s);
    ASSERT_TRUE(At(10h + 2s).secondsLeft.has_value());
    EXPECT_DOUBLE_EQ(*At(10h + 2s).secondsLeft, 8.0);
    // A count that goes back without a word is a restart too.
    Move(50, 10h + 3s);
    Move(150, 10h + 4s);
    EXPECT_DOUBLE_EQ(*At(10h + 4s).secondsLeft, 8.5);
}

// Back from a restart, the header and the switch record go out and the dongle erases:
// a few dozen bytes say nothing of the rate, so neither a rate nor a time left is shown
// until the file's packets move.
TEST_F(ProgressClock, NoTimeLeftIsPromisedOnTheFewBytesBeforeTheErase) {
    host.ProgressRanged(20000, t0);
    Move(9000, 5s);
    host.TransferRestarted(t0 + 6s);
    Move(30, 6100ms);  // the header
    Move(45, 6200ms);  // the switch record, then an erase of 8 s
    EXPECT_FALSE(At(10s).secondsLeft.has_value());
    EXPECT_FALSE(At(10s).bytesPerSecond.has_value());
    EXPECT_FALSE(At(14s).secondsLeft.has_value());
    Move(2600, 14200ms);  // the first packet after the erase
    ASSERT_TRUE(At(14200ms).secondsLeft.has_value());
    EXPECT_LT(*At(14200ms).secondsLeft, 60.0);
}

TEST(FrontEndHost, TheQuitQuestionIsPutOnlyDuringATransferAndOneAtATime) {
    FrontEndHost host;
    int asked = 0;
    EXPECT_TRUE(host.MayQuit(false, [&] { return ++asked, false; }));
    EXPECT_EQ(asked, 0);
    EXPECT_FALSE(host.MayQuit(true, [&] {
        ++asked;
        EXPECT_TRUE(host.Asking());
        // A second close while the question is open is not asked again.
        EXPECT_FALSE(host.MayQuit(true, [&] { return ++asked, true; }));
        return false;
    }));
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(host.Asking());
    EXPECT_TRUE(host.MayQuit(true, [&] { return ++asked, true; }));
    // Agreed once: the window ends without another question.
    EXPECT_TRUE(host.MayQuit(true, [&] { return ++asked, false; }));
    EXPECT_EQ(asked, 2);
}

// Windows open at once take the lowest free number, and a window that goes frees its own:
// the next one opens in its place, not over another.
TEST(FrontEndHost, EachWindowOpenAtOnceHasANumberOfItsOwn) {
    const std::string folder = test::MakeTempFolder("kx-slots") + "/state";
    {
        WindowSlot first;
        WindowSlot second;
        WindowSlot third;
        EXPECT_EQ(first.Take(folder), 0u);  // the folder is made
        EXPECT_EQ(second.Take(folder), 1u);
        EXPECT_EQ(third.Take(folder), 2u);
        second.Release();
        WindowSlot fourth;
        EXPECT_EQ(fourth.Take(folder), 1u);
        EXPECT_EQ(third.Number(), 2u);
    }
    WindowSlot again;
    EXPECT_EQ(again.Take(folder), 0u);
    // Without a folder there is no telling: the window opens where the first does.
    WindowSlot nowhere;
    EXPECT_EQ(nowhere.Take(""), 0u);
    again.Release();
    std::filesystem::remove_all(std::filesystem::path(folder).parent_path());
}

// Without a driver the dialog ends while it initialises: the session log, opened first,
// holds the box and then the end, noted once; the window is never shown, and neither a
// timer tick nor a posted message reaches the dialog after its end.
TEST(FrontEndHost, AStartWithoutTheDriverEndsOnceAndTheSessionLogSaysSo) {
    const char* const stateVariable = test::kStateFolderVariable;
    const char* const saved = std::getenv(stateVariable);
    const std::string savedValue = saved != nullptr ? saved : "";
    const std::string state = test::MakeTempFolder("kx-host-life");
    test::SetEnv(stateVariable, state);
    UnbindDriverForTesting();
    std::string sessionText;
    {
        test::RecordingWindow window;
        FrontEndHost& host = window.Host();
        const CUpgradeDlg& dialog = host.MakeDialog(window, "/nonexistent/kx-host/libftd2xx.so");
        EXPECT_EQ(window.Dialog(), &dialog);
        EXPECT_FALSE(host.Started());
        EXPECT_FALSE(host.Start());
        EXPECT_TRUE(host.EndedWhileStarting());
        EXPECT_FALSE(host.Started());
        EXPECT_TRUE(window.Ended());
        EXPECT_EQ(window.Boxes(), std::vector<std::string>{"Error: Can't Load ft8u245.dll"});
        EXPECT_FALSE(window.TimerArmed(TimerId::Reconnect));
        EXPECT_FALSE(host.Session().IsOpen());
        EXPECT_FALSE(host.End(true));         // once only
        host.Dispatch(WindowMessage::Timer);  // a tick would try the device: "not responding"
        host.Dispatch(WindowMessage::StartTransfer);
        EXPECT_EQ(window.Boxes().size(), 1u);
        EXPECT_EQ(dialog.ConnectionText(), "");
        for (const auto& entry : std::filesystem::recursive_directory_iterator(state)) {
            if (entry.path().extension() == ".log") {
                std::ifstream file(entry.path());
                std::stringstream text;
                text << file.rdbuf();
                sessionText += text.str();
            }
        }
    }
    UnbindDriverForTesting();
    if (saved != nullptr) {
        test::SetEnv(stateVariable, savedValue);
    } else {
        test::UnsetEnv(stateVariable);
    }
    std::filesystem::remove_all(state);
    const std::size_t box = sessionText.find("note: message box: Error: Can't Load ft8u245.dll\n");
    const std::string ended = "note: window closed\n";
    const std::size_t end = sessionText.find(ended);
    ASSERT_NE(box, std::string::npos) << sessionText;
    ASSERT_NE(end, std::string::npos) << sessionText;
    EXPECT_LT(box, end) << sessionText;
    EXPECT_EQ(end + ended.size(), sessionText.size()) << sessionText;  // last, and once
}

}  // namespace
}  // namespace kx
