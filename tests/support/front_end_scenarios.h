// The duties every front end has around the dialog, checked the same way on each: a
// scenario drives one front end (the headless window, the Qt window) through a
// FrontEndProbe against the simulated dongle and returns what it found wrong.
#pragma once

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/driver_binding.h"
#include "dialog/upgrade_dlg.h"
#include "dialog/window_surface.h"
#include "kxsim.h"
#include "srecord_writer.h"
#include "string_table.h"

namespace kx::test {

class FrontEndProbe {
  public:
    virtual ~FrontEndProbe() = default;
    virtual CUpgradeDlg& Dialog() = 0;
    // Runs the front end's message loop until `done` holds or `ms` pass; whether it held.
    virtual bool RunUntil(const std::function<bool()>& done, int ms) = 0;
    // The transfer line and the log as the user sees them.
    virtual std::string TransferLine() = 0;
    virtual std::string LogShown() = 0;
    // Each chooser that opens is answered with the next of `paths`, as a user would.
    virtual void AnswerChoosers(std::vector<std::string> paths) = 0;
    virtual int Choosers() const = 0;
    // `whileOpen` runs while each message box is up, given its text; then the box is
    // answered. A box that opens while `whileOpen` runs is answered without it.
    virtual void WhileEachBoxIsOpen(std::function<void(const std::string&)> whileOpen) = 0;
    virtual int BoxesAnswered() const = 0;
    // The window surface the dialog drives, for what another thread asks of it.
    virtual WindowSurface& Surface() = 0;
    // Starts the window as its program does; false when it ended at once.
    virtual bool Start() = 0;
    // The user ends the window: by EXIT, or by the close box.
    virtual void End(bool byExit) = 0;
    // The session log's file while it is open; empty when none is.
    virtual std::string SessionPath() = 0;
};

// The host has read every byte the dongle has put in its receive queue.
inline bool ReceiveQueueRead() {
    DWORD rx = 1, tx = 0, events = 0;
    return DrvGetStatus(&rx, &tx, &events) == FT_OK && rx == 0;
}

// After a transfer aborted (a file for another dongle), a refused file's box waits for the
// user: an announcement read while it is open neither clears the log nor opens a chooser
// over it, and the transfer line names the refused file, not the abort before it; after
// the answer the next announcement asks again, and a good file goes through.
inline std::vector<std::string> RefusedFileThenGoodFile(FrontEndProbe& front,
                                                        const std::string& folder) {
    std::vector<std::string> faults;
    const auto expect = [&faults](bool held, const std::string& what) {
        if (!held) {
            faults.push_back(what);
        }
    };
    const std::vector<std::uint8_t> image = TestImage(4 * 1024, 9);
    std::string broken = FirmwareFile(image, 0x08000000, "KX-DONGLE-2");
    broken.insert(broken.find("\r\n") + 2, "S3 not a record\r\n");
    const std::string otherPath = folder + "/other-device.dat";
    const std::string brokenPath = folder + "/broken.dat";
    const std::string goodPath = folder + "/good.dat";
    std::ofstream(otherPath, std::ios::binary) << FirmwareFile(image, 0x08000000, "KX-OTHER-1");
    std::ofstream(brokenPath, std::ios::binary) << broken;
    std::ofstream(goodPath, std::ios::binary) << FirmwareFile(image, 0x08000000, "KX-DONGLE-2");
    front.AnswerChoosers({otherPath, brokenPath, goodPath});

    std::string shown, lineWithBox, logWithBox;
    int choosersWithBox = -1;
    bool heard = false;
    front.WhileEachBoxIsOpen([&](const std::string& text) {
        if (!shown.empty()) {
            return;
        }
        shown = text;
        lineWithBox = front.TransferLine();
        // A whole announcement of another name, read by the host while the box is open.
        const std::string announcement = "\r\n\r\nKX DONGLE BOOT 9.9\r\n\x11";
        kxsim_inject(reinterpret_cast<const unsigned char*>(announcement.data()),
                     announcement.size());
        heard = front.RunUntil(ReceiveQueueRead, 10000);
        choosersWithBox = front.Choosers();
        logWithBox = front.LogShown();
    });
    if (!front.RunUntil([&front] { return front.BoxesAnswered() > 0; }, 20000)) {
        return {"no box was shown for the refused file"};
    }
    const std::string problem = ":2: ' ' is not a hexadecimal digit";
    expect(heard, "the announcement was not read while the box was open");
    expect(shown == "FILE REFUSED: " + brokenPath + problem, "the box said: " + shown);
    expect(choosersWithBox == 2,
           "choosers while the box was open: " + std::to_string(choosersWithBox));
    expect(lineWithBox == "FILE REFUSED: broken.dat" + problem,
           "the transfer line with the box: " + lineWithBox);
    expect(logWithBox.find("FILE REFUSED: " + brokenPath) != std::string::npos &&
               logWithBox.find("9.9") == std::string::npos,
           "the log with the box: " + logWithBox);
    expect(front.Dialog().Outcome().state == TransferState::Refused, "not a refusal");

    if (!front.RunUntil([&front] { return front.TransferLine() == "Transfer completed"; }, 30000)) {
        faults.push_back("the good file did not complete: " + front.TransferLine());
        return faults;
    }
    expect(front.Choosers() == 3, "choosers: " + std::to_string(front.Choosers()));
    std::vector<std::uint8_t> flash(kxsim_flash(nullptr, 0));
    kxsim_flash(flash.data(), flash.size());
    expect(std::equal(image.begin(), image.end(), flash.begin()), "the flash differs");
    return faults;
}

// Boxes the logic shows from another thread (a poll thread) wait for the window's thread
// and are shown there, in the order they came; the thread that showed them goes on at once,
// never waiting for the window or the user.
inline std::vector<std::string> BoxesFromAnotherThread(FrontEndProbe& front) {
    std::vector<std::string> faults;
    const std::thread::id windowThread = std::this_thread::get_id();
    const int answeredBefore = front.BoxesAnswered();
    std::vector<std::string> shown;
    bool elsewhere = false;
    front.WhileEachBoxIsOpen([&](const std::string& text) {
        shown.push_back(text);
        elsewhere = elsewhere || std::this_thread::get_id() != windowThread;
    });
    const std::vector<std::string> boxes{"FT_Read is not valid!", "Error: Can't Find FT_Read"};
    std::promise<void> returned;
    std::thread poller([&front, &boxes, &returned] {
        for (const std::string& text : boxes) {
            front.Surface().ShowMessageBox(text);
        }
        returned.set_value();
    });
    // The window's loop does not run meanwhile: a thread that waited for it would hang here.
    const bool wentOn =
        returned.get_future().wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    const bool shownEarly = !shown.empty();
    const bool answered = front.RunUntil(
        [&front, answeredBefore] { return front.BoxesAnswered() >= answeredBefore + 2; }, 30000);
    poller.join();
    if (!wentOn) {
        faults.push_back("the thread that showed the boxes waited for the window");
    }
    if (shownEarly) {
        faults.push_back("a box was shown before the window's loop ran");
    }
    if (!answered || shown != boxes) {
        std::string seen;
        for (const std::string& text : shown) {
            seen += " [" + text + "]";
        }
        faults.push_back("the boxes shown:" + seen);
    }
    if (elsewhere) {
        faults.push_back("a box was shown off the window's thread");
    }
    return faults;
}

// Start-up and end in the order the host keeps for every front end: the session log is
// open once the window has started, a connection brings one poll thread, and the end (by
// EXIT or the close box) stops the poll thread and lets the device go; the end is noted
// once, last, and the log closed. Another end changes nothing.
inline std::vector<std::string> StartUpAndEnd(FrontEndProbe& front, bool byExit) {
    std::vector<std::string> faults;
    if (!front.Start()) {
        return {"the window ended at start-up"};
    }
    const std::string path = front.SessionPath();
    if (path.empty()) {
        return {"no session log was open after start-up"};
    }
    if (!front.RunUntil(
            [&front] {
                return front.Dialog().ConnectionText() == text::kConnected &&
                       front.Dialog().PollThreadsRunning() == 1;
            },
            20000)) {
        faults.push_back("no connection with one poll thread: \"" +
                         front.Dialog().ConnectionText() + "\", " +
                         std::to_string(front.Dialog().PollThreadsRunning()) + " poll threads");
    }
    front.End(byExit);
    if (front.Dialog().PollThreadsRunning() != 0) {
        faults.push_back("a poll thread outlived the end");
    }
    if (kxsim_is_open() != 0) {
        faults.push_back("the device stayed open after the end");
    }
    front.End(false);
    std::stringstream read;
    read << std::ifstream(path).rdbuf();  // text: lines end in CR LF on Windows
    const std::string text = read.str();
    const std::string ended =
        std::string("note: ") + (byExit ? "window closed by EXIT" : "window closed") + "\n";
    const std::size_t link = text.find(std::string("link: ") + text::kConnected + "\n");
    const std::size_t end = text.find(ended);
    if (link == std::string::npos || end == std::string::npos || link > end ||
        end + ended.size() != text.size() ||
        text.find("window closed", end + ended.size()) != std::string::npos) {
        faults.push_back(
            "the session log, which should hold the link line, then the end once "
            "and last:\n" +
            text);
    }
    return faults;
}

}  // namespace kx::test
