// What every front end does around the dialog, written once and free of any toolkit:
// poll passes coalesced, message boxes carried from any thread to the window's, the three
// texts as the dialog last pushed them, the progress figures and their clock, the quit
// question and its answer, the session log with the file that was sent, and the dialog
// itself with the order of its start-up, close and end. A front end makes its surface,
// hands it to the host and draws what the host decides.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "progress_figures.h"
#include "session_log.h"
#include "window_slot.h"
#include "window_surface.h"

namespace kx {

class CUpgradeDlg;

class FrontEndHost {
  public:
    FrontEndHost();
    ~FrontEndHost();
    FrontEndHost(const FrontEndHost&) = delete;
    FrontEndHost& operator=(const FrontEndHost&) = delete;

    using Clock = std::chrono::steady_clock;
    // A pause in the progress longer than this (the dongle erasing, or away) counts only
    // this long on the transfer's clock.
    static constexpr std::chrono::milliseconds kLongestCountedPause{1000};
    // A rate measured on fewer bytes than this (or than a twentieth of the file, when that
    // is less) says nothing of the rate nor of the time left: the header and the switch record that
    // go before the erase are a few dozen bytes, and the erase may take seconds.
    static constexpr std::uint32_t kSmallestSample = 1024;

    // ---- The dialog, and the order of its start-up, close and end ----
    // The flags the poll threads read on every turn (g_polling, g_pacing) and g_connected
    // stay the dialog's: its protocol code sets them, and no front end touches them.
    // Makes the dialog on `surface`, the front end's window that holds this host. One
    // made before replaces it, stopped first.
    CUpgradeDlg& MakeDialog(WindowSurface& surface, const char* driverLibrary);
    // A dialog a harness made itself (null: none); the host drives it as its own but
    // leaves it to the harness to destroy.
    void AttachDialog(CUpgradeDlg* dialog);
    CUpgradeDlg* Dialog() { return m_dialog; }
    const CUpgradeDlg* Dialog() const { return m_dialog; }
    // Start-up, in this order: the session log opened (unless `sessionLog` is false), then
    // the dialog initialised: the driver bound and the reconnect timer started (a poll
    // thread comes with the first connection). False when the dialog ended while
    // initialising (no driver): End has then run, and the window is not to be shown.
    bool Start(bool sessionLog = true);
    // Started and not yet ended: the window shows, and its end goes through End.
    bool Started() const { return m_started && !m_finished; }
    bool Finished() const { return m_finished; }
    // Ended before it was ever shown: while initialising.
    bool EndedWhileStarting() const { return m_finished && !m_started; }
    // A posted message or a timer tick, handed to the dialog; none once it has ended.
    void Dispatch(WindowMessage message, TimerId timer = TimerId::Reconnect);
    // The close box (or Alt+F4), the user having agreed: the poll threads stopped and
    // the device let go before the window ends.
    void CloseBox();
    // The end, once: the poll threads stopped and joined and the device closed, then the
    // end noted in the session log (by EXIT, or by the close box, Esc or a failed start)
    // and the log closed. True the first time: the front end then stops its timers.
    bool End(bool byExit);
    // The front end goes: if End has not run, the poll threads are stopped and the device
    // closed, with no end noted. For a window's destructor, before its members go.
    void Stop();

    // ---- Posted messages ----
    // True when `message` is to be queued: one poll pending is enough, since a pass
    // drains everything the device has sent. Safe from any thread.
    bool Admit(WindowMessage message);
    // The queued `message` is dispatched now: the next poll may be queued.
    void Taken(WindowMessage message);

    // ---- Message boxes from any thread ----
    // How the front end shows a box, on its window's thread and until the user answers it,
    // and how another thread wakes the window's (a posted message there that calls
    // ShowQueuedBoxes). Set before the dialog starts.
    void SetBoxes(std::function<void(const std::string&)> show, std::function<void()> wake);
    // A box the logic shows, from any thread. On the window's thread (the one that made
    // the host) it is shown now, after any still queued; from another (a poll thread, which
    // never waits for the user) it is queued, and the first box queued wakes the window's
    // thread. Each box is noted in the session log as it is shown.
    void ShowBox(const std::string& text);
    // On the window's thread: shows the queued boxes in the order they came, one at a time.
    void ShowQueuedBoxes();
    bool BoxesQueued() const;
    bool OnWindowThread() const { return std::this_thread::get_id() == m_windowThread; }

    // ---- The texts: the link line, the log and the transfer line ----
    // What a push changed, for the front end to draw.
    struct TextsPushed {
        bool connection = false;
        bool transfer = false;
        bool log = false;  // replaced (when the update says so) or grown by its text
    };
    void PullTexts(std::string& connection, std::string& log, std::string& transfer) const;
    // Keeps the texts and writes the link line's and the log's changes to the session log.
    TextsPushed PushTexts(std::string_view connection, const LogUpdate& log,
                          std::string_view transfer);
    const std::string& Connection() const { return m_connection; }
    const std::string& Log() const { return m_log; }
    const std::string& Transfer() const { return m_transfer; }

    // ---- Progress: the figures of the running transfer ----
    void ProgressRanged(std::uint32_t maximum, Clock::time_point now);
    void ProgressMoved(std::uint32_t position, Clock::time_point now);
    // The transfer went back to its first record: the figures start over.
    void TransferRestarted(Clock::time_point now);
    // The time left counts only the time in which bytes moved; unknown while the dongle
    // is away (`held`); neither rate nor time left until enough bytes have moved.
    ProgressFigures Figures(bool held, Clock::time_point now) const;
    std::string Summary(bool held, Clock::time_point now) const {
        return FormatRateSummary(Figures(held, now));
    }

    // ---- The quit question ----
    // True when the window may end now: no transfer runs, or the user agreed to leave it
    // when `ask` put the question (true: quit). The question and its answer go to the
    // session log.
    bool MayQuit(bool transferring, const std::function<bool()>& ask);
    // The same for the dialog's transfer, which an ended dialog no longer runs.
    bool MayQuit(const std::function<bool()>& ask);
    bool Asking() const { return m_asking; }

    // ---- The session log (opened by Start) ----
    SessionLog& Session() { return m_session; }
    const SessionLog& Session() const { return m_session; }
    // The file the dongle is about to get: named with its size and SHA-256. The digest is
    // kept for whatever else names those bytes (one pass over the file per transfer).
    void FileChosen(const std::string& path, std::span<const std::uint8_t> image);
    const std::string& ChosenDigest() const { return m_chosenDigest; }

    // ---- Where the window opens ----
    // Which of the windows open at once this one is (0 for the first), held until the
    // host goes: a window with a number above 0 opens that many steps beside the first.
    unsigned TakeWindowSlot() { return m_slot.Take(SessionLogFolder()); }

  private:
    void ShowBoxNow(const std::string& text);
    void OpenSession();

    std::unique_ptr<CUpgradeDlg> m_ownDialog;
    CUpgradeDlg* m_dialog = nullptr;
    bool m_started = false;
    bool m_finished = false;

    std::atomic<bool> m_pollQueued{false};

    const std::thread::id m_windowThread = std::this_thread::get_id();
    std::function<void(const std::string&)> m_showBox;
    std::function<void()> m_wakeForBoxes;
    mutable std::mutex m_boxMutex;
    std::vector<std::string> m_queuedBoxes;

    std::string m_connection;
    std::string m_log;
    std::string m_transfer;
    std::string m_chosenDigest;  // SHA-256 of the bytes last chosen to send, in hex

    std::uint32_t m_maximum = 0;
    std::uint32_t m_position = 0;
    Clock::duration m_moving{};  // counted time up to m_lastMove
    Clock::time_point m_lastMove{};
    bool m_moved = false;         // the clock starts with the first bytes taken
    std::uint32_t m_counted = 0;  // the position the clock started at

    bool m_asking = false;
    bool m_quitAgreed = false;
    SessionLog m_session;
    WindowSlot m_slot;
};

}  // namespace kx
