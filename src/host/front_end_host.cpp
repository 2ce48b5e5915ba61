#include "front_end_host.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "dialog/upgrade_dlg.h"
#include "sha256.h"
#include "string_table.h"

namespace kx {

FrontEndHost::FrontEndHost() = default;

// A harness's own dialog may be gone by now: only the host's own is stopped here.
FrontEndHost::~FrontEndHost() {
    if (m_ownDialog != nullptr) {
        Stop();
    }
}

CUpgradeDlg& FrontEndHost::MakeDialog(WindowSurface& surface, const char* driverLibrary) {
    AttachDialog(nullptr);
    m_ownDialog = std::make_unique<CUpgradeDlg>(surface, driverLibrary);
    m_dialog = m_ownDialog.get();
    return *m_dialog;
}

void FrontEndHost::AttachDialog(CUpgradeDlg* dialog) {
    if (m_ownDialog != nullptr) {
        Stop();
        m_ownDialog.reset();
    }
    m_dialog = dialog;
    m_started = false;
    m_finished = false;
}

bool FrontEndHost::Start(bool sessionLog) {
    if (sessionLog) {
        OpenSession();
    }
    if (m_dialog != nullptr && !m_finished) {
        m_dialog->OnInitDialog();  // may end the window at once: no driver
    }
    m_started = !m_finished;
    return m_started;
}

void FrontEndHost::Dispatch(WindowMessage message, TimerId timer) {
    if (m_dialog != nullptr && !m_finished) {
        m_dialog->OnMessage(message, timer);
    }
}

void FrontEndHost::CloseBox() {
    if (m_dialog != nullptr && !m_finished) {
        m_dialog->OnClose();
    }
}

bool FrontEndHost::End(bool byExit) {
    if (m_finished) {
        return false;
    }
    m_finished = true;
    if (m_dialog != nullptr) {
        m_dialog->OnEndDialog();
    }
    m_session.Note(byExit ? "window closed by EXIT" : "window closed");
    m_session.Close();
    return true;
}

void FrontEndHost::Stop() {
    if (m_dialog != nullptr && !m_finished) {
        m_dialog->OnEndDialog();
    }
}

bool FrontEndHost::Admit(WindowMessage message) {
    return message != WindowMessage::PollDevice || !m_pollQueued.exchange(true);
}

void FrontEndHost::Taken(WindowMessage message) {
    if (message == WindowMessage::PollDevice) {
        m_pollQueued = false;
    }
}

void FrontEndHost::SetBoxes(std::function<void(const std::string&)> show,
                            std::function<void()> wake) {
    m_showBox = std::move(show);
    m_wakeForBoxes = std::move(wake);
}

void FrontEndHost::ShowBox(const std::string& text) {
    if (OnWindowThread()) {
        ShowQueuedBoxes();
        ShowBoxNow(text);
        return;
    }
    bool first = false;
    {
        std::lock_guard lock(m_boxMutex);
        first = m_queuedBoxes.empty();
        m_queuedBoxes.push_back(text);
    }
    if (first && m_wakeForBoxes) {
        m_wakeForBoxes();
    }
}

void FrontEndHost::ShowQueuedBoxes() {
    std::vector<std::string> boxes;
    {
        std::lock_guard lock(m_boxMutex);
        boxes.swap(m_queuedBoxes);
    }
    for (const std::string& text : boxes) {
        ShowBoxNow(text);
    }
}

bool FrontEndHost::BoxesQueued() const {
    std::lock_guard lock(m_boxMutex);
    return !m_queuedBoxes.empty();
}

void FrontEndHost::ShowBoxNow(const std::string& text) {
    m_session.Note("message box: " + text);
    if (m_showBox) {
        m_showBox(text);
    }
}

void FrontEndHost::PullTexts(std::string& connection, std::string& log,
                             std::string& transfer) const {
    connection = m_connection;
    log = m_log;
    transfer = m_transfer;
}

FrontEndHost::TextsPushed FrontEndHost::PushTexts(std::string_view connection, const LogUpdate& log,
                                                  std::string_view transfer) {
    TextsPushed pushed;
    pushed.connection = connection != m_connection;
    pushed.transfer = transfer != m_transfer;
    pushed.log = log.replace || !log.text.empty();
    if (pushed.connection) {
        m_connection = connection;
        m_session.Connection(connection);
    }
    if (pushed.transfer) {
        m_transfer = transfer;
    }
    if (log.replace) {
        m_log = log.text;
        m_session.LogReplaced(log.text);
    } else if (!log.text.empty()) {
        m_log.append(log.text);
        m_session.LogAppended(log.text);
    }
    return pushed;
}

void FrontEndHost::ProgressRanged(std::uint32_t maximum, Clock::time_point now) {
    m_maximum = maximum;
    TransferRestarted(now);
}

void FrontEndHost::TransferRestarted(Clock::time_point now) {
    m_position = 0;
    m_moving = {};
    m_lastMove = now;
    m_moved = false;
}

void FrontEndHost::ProgressMoved(std::uint32_t position, Clock::time_point now) {
    if (position < m_position) {
        TransferRestarted(now);  // the count went back: a new start
    }
    if (position > m_position) {
        if (m_moved) {
            m_moving += std::min<Clock::duration>(now - m_lastMove, kLongestCountedPause);
        }
        // Bytes that the first packet took before any time was counted say nothing of the
        // rate: the clock starts with them.
        if (!m_moved) {
            m_counted = position;
        }
        m_moved = true;
        m_lastMove = now;
    }
    m_position = position;
}

ProgressFigures FrontEndHost::Figures(bool held, Clock::time_point now) const {
    Clock::duration counted = m_moving;
    if (m_moved && !held) {
        counted += std::min<Clock::duration>(now - m_lastMove, kLongestCountedPause);
    }
    ProgressFigures figures = FiguresOf(m_position, m_maximum, 0);
    const std::uint32_t moved = m_moved ? m_position - m_counted : 0;
    const std::uint32_t left = m_maximum > m_position ? m_maximum - m_position : 0;
    const ProgressFigures rated =
        FiguresOf(moved, moved + left, std::chrono::duration<double>(counted).count());
    if (moved < std::min(kSmallestSample, m_maximum / 20)) {
        return figures;  // too few bytes to tell the rate
    }
    figures.bytesPerSecond = rated.bytesPerSecond;
    if (!held) {
        figures.secondsLeft = rated.secondsLeft;
    }
    return figures;
}

bool FrontEndHost::MayQuit(bool transferring, const std::function<bool()>& ask) {
    if (!transferring || m_quitAgreed) {
        return true;
    }
    if (m_asking) {
        return false;  // one question at a time
    }
    m_session.Note(text::kQuitQuestion);
    m_asking = true;
    m_quitAgreed = ask();
    m_asking = false;
    m_session.Note(m_quitAgreed ? "answer: quit" : "answer: continue transfer");
    return m_quitAgreed;
}

bool FrontEndHost::MayQuit(const std::function<bool()>& ask) {
    return MayQuit(m_dialog != nullptr && m_dialog->Transferring() && !m_finished, ask);
}

void FrontEndHost::OpenSession() {
    if (!m_session.IsOpen()) {
        m_session.Open(SessionLogFolder());
    }
}

void FrontEndHost::FileChosen(const std::string& path, std::span<const std::uint8_t> image) {
    m_chosenDigest = Sha256Hex(image);
    m_session.Note("file: " + path + " (" + std::to_string(image.size()) + " bytes, SHA-256 " +
                   m_chosenDigest + ")");
}

}  // namespace kx
