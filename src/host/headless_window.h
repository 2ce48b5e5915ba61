// A window surface without a toolkit: the controls' state kept in memory and a message
// loop of its own (posted messages and timers). The console front end and the tests
// run the dialog on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "device/host_clock.h"
#include "front_end_host.h"
#include "window_surface.h"

namespace kx {

class CUpgradeDlg;

class HeadlessWindow : public WindowSurface {
  public:
    using Clock = std::chrono::steady_clock;

    HeadlessWindow();

    // The dialog whose handlers receive the posted messages and timer ticks: the host's
    // (FrontEndHost::MakeDialog), or a harness's own handed to the host here.
    void Attach(CUpgradeDlg* dialog) { m_host.AttachDialog(dialog); }
    const CUpgradeDlg* Dialog() const { return m_host.Dialog(); }

    // Dispatches messages and timer ticks until `done` holds, the dialog ends or
    // `timeout` passes. Returns whether `done` held.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Dispatches for the given time (a modal loop's worth of messages).
    void PumpFor(std::chrono::milliseconds duration);

    // A harness's clock, which the loop then reads and waits on instead of the steady clock.
    // Such a clock moves only while someone sleeps on it, and it posts the poll
    // itself from within its sleeps; no other thread posts. Null: the steady clock.
    void SetClock(HostClock* clock) { m_clock = clock; }

    // What the controls show.
    const std::string& Connection() const { return m_host.Connection(); }
    const std::string& Log() const { return m_host.Log(); }
    const std::string& Transfer() const { return m_host.Transfer(); }
    bool ExitEnabled() const { return m_exitEnabled; }
    std::uint32_t ProgressMax() const { return m_progressMax; }
    std::uint32_t ProgressPos() const { return m_progressPos; }
    bool Ended() const { return m_ended; }
    DialogResult EndResult() const { return m_endResult; }
    bool TimerArmed(TimerId id) const { return m_timers.count(id) != 0; }
    // The duties every front end shares: the progress figures, the session log.
    FrontEndHost& Host() { return m_host; }

    // Hooks for the front end: the chooser's answer, message boxes (on the loop's thread,
    // whichever thread showed them), and a call after every change of what the controls show.
    std::function<std::optional<std::string>(const FileChooserRequest&)> chooser;
    std::function<void(const std::string&)> messageBox;
    std::function<void()> displayChanged;

    // WindowSurface
    void PullTexts(std::string& connection, std::string& log, std::string& transfer) override;
    void PushTexts(std::string_view connection, const LogUpdate& log,
                   std::string_view transfer) override;
    void ScrollLogToEnd() override {}
    void InvalidateLog() override {}
    void RepaintNow() override {}
    void EnableExit(bool enable) override;
    void SetProgressRange(std::uint32_t maximum) override;
    void SetProgressPos(std::uint32_t position) override;
    void ShowMessageBox(const std::string& text) override;
    void PostToWindow(WindowMessage message) override;
    void StartTimer(TimerId id, UINT periodMs) override;
    void EndModal(DialogResult result) override;
    std::optional<std::string> ChooseFile(const FileChooserRequest& request) override;
    std::string ReadProfileText(const std::string& section, const std::string& entry,
                                const std::string& defaultValue) override;
    bool WriteProfileText(const std::string& section, const std::string& entry,
                          const std::string& value) override;
    void TransferRestarted(unsigned restart, unsigned limit) override;
    void FileAccepted(const std::string& path, std::span<const std::uint8_t> image) override;

    std::map<std::string, std::string> profile;  // "section/entry" -> value

  private:
    struct Timer {
        std::chrono::milliseconds period;
        Clock::time_point due;
    };
    bool DispatchOne(Clock::time_point deadline);
    Clock::time_point Now() const { return m_clock != nullptr ? m_clock->Now() : Clock::now(); }
    void Changed();

    bool m_exitEnabled = true;
    std::uint32_t m_progressMax = 100;
    std::uint32_t m_progressPos = 0;
    bool m_ended = false;
    DialogResult m_endResult = DialogResult::Ok;
    HostClock* m_clock = nullptr;
    std::map<TimerId, Timer> m_timers;

    std::mutex m_mutex;
    std::condition_variable m_posted;
    std::deque<WindowMessage> m_queue;
    FrontEndHost m_host;
};

}  // namespace kx
