// The duties every front end has around the dialog, checked the same way on each: a
// scenario drives one front end (the headless window, the Qt window) through a
// FrontEndProbe against the simulated dongle and returns what it found wrong.
#pragma once

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "device/driver_binding.h"
#include "dialog/upgrade_dlg.h"
#include "kxsim.h"
#include "srecord_writer.h"

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
    // `whileOpen` runs while the next message box is up, given its text; then the box is
    // answered.
    virtual void WhileNextBoxIsOpen(std::function<void(const std::string&)> whileOpen) = 0;
    virtual bool BoxAnswered() const = 0;
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
    front.WhileNextBoxIsOpen([&](const std::string& text) {
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
    if (!front.RunUntil([&front] { return front.BoxAnswered(); }, 20000)) {
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

}  // namespace kx::test
