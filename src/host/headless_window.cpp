#include "headless_window.h"

#include <algorithm>

namespace kx {

namespace {

// The longest a harness's clock is slept on at once while nothing is posted: its polls
// come at the end of a sleep, and the loop looks at the queue after each.
constexpr std::chrono::microseconds kHarnessWait{1000};

}  // namespace

HeadlessWindow::HeadlessWindow() {
    m_host.SetBoxes(
        [this](const std::string& text) {
            if (messageBox) {
                messageBox(text);
            }
        },
        [this] {
            { std::lock_guard lock(m_mutex); }  // not between the loop's look and its wait
            m_posted.notify_one();
        });
}

bool HeadlessWindow::RunUntil(const std::function<bool()>& done,
                              std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Now() + timeout;
    while (!done()) {
        if (m_ended || Now() >= deadline) {
            return done();
        }
        DispatchOne(deadline);
    }
    return true;
}

void HeadlessWindow::PumpFor(std::chrono::milliseconds duration) {
    const Clock::time_point deadline = Now() + duration;
    while (!m_ended && Now() < deadline) {
        DispatchOne(deadline);
    }
}

// Runs one due timer tick or one posted message, waiting until `deadline` at most.
bool HeadlessWindow::DispatchOne(Clock::time_point deadline) {
    Clock::time_point wakeUp = deadline;
    for (auto& [id, timer] : m_timers) {
        if (timer.due <= Now()) {
            timer.due = Now() + timer.period;
            m_host.Dispatch(WindowMessage::Timer, id);
            return true;
        }
        wakeUp = std::min(wakeUp, timer.due);
    }
    WindowMessage message{};
    {
        std::unique_lock lock(m_mutex);
        const auto ready = [this] { return !m_queue.empty() || m_host.BoxesQueued(); };
        if (m_clock != nullptr && !ready()) {
            lock.unlock();
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(wakeUp - Now());
            m_clock->Sleep(std::clamp(left, std::chrono::microseconds(0), kHarnessWait));
            return false;
        }
        if (!m_posted.wait_until(lock, wakeUp, ready)) {
            return false;
        }
        if (m_queue.empty()) {
            lock.unlock();
            m_host.ShowQueuedBoxes();  // boxes from other threads
            return true;
        }
        message = m_queue.front();
        m_queue.pop_front();
        m_host.Taken(message);
    }
    if (!m_ended) {
        m_host.Dispatch(message);
    }
    return true;
}

void HeadlessWindow::Changed() {
    if (displayChanged) {
        displayChanged();
    }
}

void HeadlessWindow::PullTexts(std::string& connection, std::string& log, std::string& transfer) {
    m_host.PullTexts(connection, log, transfer);
}

void HeadlessWindow::PushTexts(std::string_view connection, const LogUpdate& log,
                               std::string_view transfer) {
    const FrontEndHost::TextsPushed pushed = m_host.PushTexts(connection, log, transfer);
    if (pushed.connection || pushed.transfer || pushed.log) {
        Changed();
    }
}

void HeadlessWindow::EnableExit(bool enable) {
    m_exitEnabled = enable;
}

void HeadlessWindow::SetProgressRange(std::uint32_t maximum) {
    m_progressMax = maximum;
    m_host.ProgressRanged(maximum, Now());
}

void HeadlessWindow::SetProgressPos(std::uint32_t position) {
    m_host.ProgressMoved(position, Now());
    if (position != m_progressPos) {
        m_progressPos = position;
        Changed();
    }
}

void HeadlessWindow::ShowMessageBox(const std::string& text) {
    m_host.ShowBox(text);
}

void HeadlessWindow::PostToWindow(WindowMessage message) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_host.Admit(message)) {
            return;
        }
        m_queue.push_back(message);
    }
    m_posted.notify_one();
}

void HeadlessWindow::StartTimer(TimerId id, UINT periodMs) {
    const std::chrono::milliseconds period(periodMs);
    m_timers[id] = Timer{period, Now() + period};
}

void HeadlessWindow::TransferRestarted(unsigned /*restart*/, unsigned /*limit*/) {
    m_host.TransferRestarted(Now());
}

void HeadlessWindow::FileAccepted(const std::string& path, std::span<const std::uint8_t> image) {
    m_host.FileChosen(path, image);
}

void HeadlessWindow::EndModal(DialogResult result) {
    m_ended = true;
    m_endResult = result;
    m_host.End(result == DialogResult::Ok);
}

std::optional<std::string> HeadlessWindow::ChooseFile(const FileChooserRequest& request) {
    return chooser ? chooser(request) : std::nullopt;
}

std::string HeadlessWindow::ReadProfileText(const std::string& section, const std::string& entry,
                                            const std::string& defaultValue) {
    const auto it = profile.find(section + "/" + entry);
    return it == profile.end() ? defaultValue : it->second;
}

bool HeadlessWindow::WriteProfileText(const std::string& section, const std::string& entry,
                                      const std::string& value) {
    profile[section + "/" + entry] = value;
    return true;
}

}  // namespace kx
