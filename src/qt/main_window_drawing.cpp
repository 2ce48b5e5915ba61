// What the logic pushes, drawn: the link line, the log (in one piece per turn of the event
// loop), the transfer line, and the bar with its percent, rate and time left.
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCursor>
#include <QTimer>
#include <algorithm>
#include <limits>

#include "host/printable_text.h"
#include "host/progress_figures.h"
#include "main_window.h"
#include "string_table.h"

namespace kx {

namespace {

// The log holds the device's 8-bit text with CR LF line ends, and the program's own lines
// (a refused file's path) in UTF-8; the view shows each LF as a line break, leaves the
// CRs out, and shows well-formed UTF-8 as the characters it stands for.
QString LogForDisplay(std::string_view bytes) {
    QString shown;
    shown.reserve(static_cast<qsizetype>(bytes.size()));
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = Utf8SequenceLength(bytes, i);
        if (length > 0) {
            shown += QString::fromUtf8(bytes.data() + i, static_cast<qsizetype>(length));
            i += length;
            continue;
        }
        if (bytes[i] != '\r') {
            shown.append(QChar(static_cast<unsigned char>(bytes[i])));
        }
        ++i;
    }
    return shown;
}

QString FromLatin1(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The rate and time left are redrawn at most this often: they would only flicker faster.
constexpr qint64 kRateRedrawMs = 250;

}  // namespace

QString MainWindow::TransferLine() const {
    QString line = FromLatin1(m_host.Transfer());
    if (Dialog().Outcome().state == TransferState::Aborted && !Dialog().LastAbortReason().empty()) {
        line +=
            QString::fromUtf8(text::kAbortReasonSeparator) + FromLatin1(Dialog().LastAbortReason());
    }
    if (!m_droppedFile.isEmpty()) {
        if (!line.isEmpty()) {
            line += QStringLiteral("    ");
        }
        line += QString::fromUtf8(text::kNextFilePrefix) + QFileInfo(m_droppedFile).fileName();
    }
    return line;
}

void MainWindow::RefreshTransferLine() {
    const QString line = TransferLine();
    if (line != m_shownTransferLine) {
        m_shownTransferLine = line;
        m_transfer->setText(line);
        m_host.Session().Transfer(line.toLatin1().toStdString());
    }
}

void MainWindow::RefreshProgressText(bool force) {
    if (!Dialog().Transferring()) {
        m_rateTimer->stop();
        m_progressBar->setTextVisible(false);
        return;
    }
    // The time left goes on changing while the device is busy (erasing, say) and the
    // counter stands still.
    if (!m_rateTimer->isActive()) {
        m_rateTimer->start(static_cast<int>(kRateRedrawMs));
    }
    // The percent keeps step with the bar; the rate and time left change at most every
    // kRateRedrawMs.
    const int percent = m_progressMaximum == 0
                            ? 100
                            : static_cast<int>(static_cast<std::uint64_t>(m_progressPosition) *
                                               100 / m_progressMaximum);
    if (!force && m_progressBar->isTextVisible() && m_rateDrawn.isValid() &&
        m_rateDrawn.elapsed() < kRateRedrawMs && m_progressPosition < m_progressMaximum &&
        percent == m_percentDrawn) {
        return;
    }
    const ProgressFigures figures = m_host.Figures(Dialog().Held(), FrontEndHost::Clock::now());
    const std::string summary = FormatRateSummary(figures);
    m_percentDrawn = figures.percent;
    // The bar's placeholders are %p, %v and %m; the summary's "%" is followed by a space.
    m_progressBar->setFormat(QString::fromStdString(summary));
    m_progressBar->setTextVisible(true);
    m_rateDrawn.start();
}

void MainWindow::PullTexts(std::string& connection, std::string& log, std::string& transfer) {
    m_host.PullTexts(connection, log, transfer);
}

void MainWindow::PushTexts(std::string_view connection, const LogUpdate& log,
                           std::string_view transfer) {
    const FrontEndHost::TextsPushed pushed = m_host.PushTexts(connection, log, transfer);
    if (pushed.connection) {
        m_connection->setText(FromLatin1(connection));
    }
    if (pushed.transfer) {
        RefreshProgressText(true);
        // A question about a running transfer means nothing once it has ended.
        if (QMessageBox* question = m_question; question != nullptr && !Dialog().Transferring()) {
            m_host.Session().Note("quit question closed: the transfer ended");
            question->reject();
        }
    }
    RefreshTransferLine();
    if (log.replace) {
        m_logPending.clear();
        m_logReplacePending = true;
        QueueLogFlush();
    } else if (!log.text.empty()) {
        m_logPending.append(log.text);
        QueueLogFlush();
    }
}

void MainWindow::QueueLogFlush() {
    if (m_logFlushQueued) {
        return;
    }
    m_logFlushQueued = true;
    QMetaObject::invokeMethod(
        this, [this] { FlushLog(); }, Qt::QueuedConnection);
}

void MainWindow::FlushLog() {
    if (!m_logFlushQueued) {
        return;
    }
    m_logFlushQueued = false;
    if (m_logReplacePending) {
        // The whole text, including whatever was appended after the replacement.
        m_log->setPlainText(LogForDisplay(m_host.Log()));
    } else {
        const QString shown = LogForDisplay(m_logPending);
        if (!shown.isEmpty()) {
            QTextCursor end(m_log->document());
            end.movePosition(QTextCursor::End);
            end.insertText(shown);
        }
    }
    m_logReplacePending = false;
    m_logPending.clear();
    if (m_logScrollPending) {
        m_logScrollPending = false;
        ScrollLogNow();
    }
}

void MainWindow::ScrollLogToEnd() {
    if (m_logFlushQueued) {
        m_logScrollPending = true;  // once the text is drawn
        return;
    }
    ScrollLogNow();
}

void MainWindow::ScrollLogNow() {
    QTextCursor cursor = m_log->textCursor();
    cursor.movePosition(QTextCursor::End);
    m_log->setTextCursor(cursor);
    m_log->ensureCursorVisible();
}

void MainWindow::InvalidateLog() {
    if (m_logFlushQueued) {
        return;  // the queued flush changes the text, and the control repaints then
    }
    m_log->viewport()->update();
}

void MainWindow::RepaintNow() {
    repaint();
}

void MainWindow::EnableExit(bool enable) {
    m_exit->setEnabled(enable);
    // Disabled, EXIT handed the focus to the log; back, it takes it again so that Enter
    // quits after a transfer.
    if (enable && (focusWidget() == nullptr || focusWidget() == m_log)) {
        m_exit->setFocus(Qt::OtherFocusReason);
    }
}

void MainWindow::SetProgressRange(std::uint32_t maximum) {
    // QProgressBar counts in int: larger files are shown in coarser steps.
    constexpr auto kIntMax = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
    m_progressScale = maximum > kIntMax ? 2 : 1;
    m_progressMaximum = maximum;
    m_progressPosition = 0;
    m_host.ProgressRanged(maximum, FrontEndHost::Clock::now());
    m_progressBar->setRange(
        0, static_cast<int>(maximum / static_cast<std::uint32_t>(m_progressScale)));
}

void MainWindow::SetProgressPos(std::uint32_t position) {
    m_progressPosition = position;
    m_host.ProgressMoved(position, FrontEndHost::Clock::now());
    const auto scaled = position / static_cast<std::uint32_t>(m_progressScale);
    m_progressBar->setValue(
        std::min(static_cast<int>(std::min<std::uint32_t>(scaled, std::numeric_limits<int>::max())),
                 m_progressBar->maximum()));
    RefreshProgressText(false);
}

}  // namespace kx
