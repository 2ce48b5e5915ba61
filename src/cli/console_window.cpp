#include "console_window.h"

#include "dialog/upgrade_dlg.h"

namespace kx::cli {

void ConsoleWindow::PushTexts(std::string_view connection, const LogUpdate& log,
                              std::string_view transfer) {
    const bool connectionChanged = connection != Connection();
    const bool transferChanged = transfer != Transfer();
    HeadlessWindow::PushTexts(connection, log, transfer);
    if (connectionChanged) {
        m_report.ConnectionChanged(connection);
        if (m_events != nullptr) {
            m_events->ConnectionChanged(connection);
        }
    }
    if (log.replace) {
        m_report.LogReplaced(log.text);
    } else {
        m_report.LogAppended(log.text);
    }
    if (transferChanged) {
        const TransferState state =
            Dialog() != nullptr ? Dialog()->Outcome().state : TransferState::Idle;
        m_report.TransferChanged(transfer, state);
        if (m_events != nullptr) {
            m_events->TransferChanged(state, Host().ChosenDigest(), m_sentSize);
        }
    }
}

void ConsoleWindow::FileAccepted(const std::string& path, std::span<const std::uint8_t> image) {
    HeadlessWindow::FileAccepted(path, image);
    m_sentSize = image.size();
}

void ConsoleWindow::SetProgressRange(std::uint32_t maximum) {
    HeadlessWindow::SetProgressRange(maximum);
    m_report.ProgressStarted(maximum, ConsoleReport::Clock::now());
}

void ConsoleWindow::SetProgressPos(std::uint32_t position) {
    HeadlessWindow::SetProgressPos(position);
    m_report.ProgressMoved(position, ConsoleReport::Clock::now());
    if (m_events != nullptr) {
        m_events->ProgressMoved(position, ConsoleReport::Clock::now());
    }
}

void ConsoleWindow::TransferRestarted(unsigned restart, unsigned limit) {
    HeadlessWindow::TransferRestarted(restart, limit);
    m_restarts = restart;
    if (m_events != nullptr) {
        m_events->Restarted(static_cast<int>(restart));
    }
}

void ConsoleWindow::DongleReplaced() {
    m_restarts = 0;
    if (m_events != nullptr) {
        m_events->Replaced();
    }
}

}  // namespace kx::cli
