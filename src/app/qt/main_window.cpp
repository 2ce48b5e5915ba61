#include "main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <limits>
#include <memory>

#include "about_dlg.h"
#include "app_icon.h"
#include "dialog_layouts.h"
#include "dialog_units.h"
#include "string_table.h"
#include "system_menu.h"

namespace kx {

namespace {

// A message posted to the window, carried as a Qt event.
class PostedMessage : public QEvent {
  public:
    static QEvent::Type EventType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    explicit PostedMessage(UINT message) : QEvent(EventType()), m_message(message) {}
    UINT Message() const { return m_message; }

  private:
    UINT m_message;
};

// The log holds the device's 8-bit text with CR LF line ends; the view shows each LF as
// a line break and leaves the CRs out.
QString LogForDisplay(std::string_view bytes) {
    QString shown;
    shown.reserve(static_cast<qsizetype>(bytes.size()));
    for (char c : bytes) {
        if (c != '\r') {
            shown.append(QChar(static_cast<unsigned char>(c)));
        }
    }
    return shown;
}

QString FromLatin1(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QString QtFilterFromPairs(const std::string& filter) {
    QStringList filters;
    const QStringList parts = QString::fromUtf8(filter).split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString name = parts[i];
        const QString pattern = parts[i + 1].trimmed();
        if (name.isEmpty()) {
            continue;
        }
        filters << (name.contains(QLatin1Char('(')) ? name : name + " (" + pattern + ")");
    }
    return filters.join(QStringLiteral(";;"));
}

MainWindow::MainWindow(const char* driverLibrary, QWidget* parent)
    : QDialog(parent), m_dlg(*this, driverLibrary) {
    BuildControls();
    // The big and the small icon both come from this one set of sizes. A minimized
    // window's icon is painted by Qt and the system, so there is no paint code for it here.
    setWindowIcon(AppIcon());
    InstallAboutEntry();
}

MainWindow::~MainWindow() {
    for (auto& [id, timer] : m_timers) {
        timer->stop();
    }
    m_dlg.OnEndDialog();
}

void MainWindow::BuildControls() {
    setWindowTitle(QString::fromUtf8(text::kMainCaption));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    const DialogUnits units(font());
    setFixedSize(units.ToPixels(layout::main::kFrame).size());

    m_exit = new QPushButton(QString::fromUtf8(text::kExitButton), this);
    m_exit->setObjectName(QStringLiteral("IDOK"));
    m_exit->setGeometry(units.ToPixels(layout::main::kExit));
    m_exit->setDefault(true);
    m_exit->setFocusPolicy(Qt::StrongFocus);
    connect(m_exit, &QPushButton::clicked, this, &QDialog::accept);

    m_log = new QPlainTextEdit(this);
    m_log->setObjectName(QStringLiteral("IDC_LOG"));
    m_log->setGeometry(units.ToPixels(layout::main::kLog));
    m_log->setReadOnly(true);
    m_log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_log->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_log->setFocusPolicy(Qt::StrongFocus);
    m_log->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    m_connection = new QLabel(this);
    m_connection->setObjectName(QStringLiteral("IDC_CONNECTION_TEXT"));
    m_connection->setGeometry(units.ToPixels(layout::main::kConnectionText));
    m_connection->setTextFormat(Qt::PlainText);

    m_progressBar = new QProgressBar(this);
    m_progressBar->setObjectName(QStringLiteral("IDC_PROGRESS"));
    m_progressBar->setGeometry(units.ToPixels(layout::main::kProgress));
    m_progressBar->setTextVisible(false);
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(0);

    m_transfer = new QLabel(this);
    m_transfer->setObjectName(QStringLiteral("IDC_TRANSFER_TEXT"));
    m_transfer->setGeometry(units.ToPixels(layout::main::kTransferText));
    m_transfer->setTextFormat(Qt::PlainText);

    for (QWidget* passive :
         {static_cast<QWidget*>(m_connection), static_cast<QWidget*>(m_progressBar),
          static_cast<QWidget*>(m_transfer)}) {
        passive->setFocusPolicy(Qt::NoFocus);
    }
    setTabOrder(m_exit, m_log);
    m_exit->setFocus(Qt::OtherFocusReason);
}

void MainWindow::InstallAboutEntry() {
    if (AppendAboutToSystemMenu(*this, text::kAboutMenuEntry)) {
        return;
    }
    m_aboutAction = new QAction(QString::fromUtf8(text::kAboutMenuEntry), this);
    m_aboutAction->setObjectName(QStringLiteral("IDM_ABOUTBOX"));
    m_aboutAction->setShortcut(QKeySequence(Qt::Key_F1));
    m_aboutAction->setShortcutContext(Qt::WindowShortcut);
    connect(m_aboutAction, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    addAction(m_aboutAction);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    // The log keeps its own menu (copy, select all) and gains the entry below it.
    m_log->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_log, &QWidget::customContextMenuRequested, this, &MainWindow::ShowLogContextMenu);
}

void MainWindow::ShowLogContextMenu(const QPoint& position) {
    std::unique_ptr<QMenu> menu(m_log->createStandardContextMenu(position));
    menu->addSeparator();
    menu->addAction(m_aboutAction);
    menu->exec(m_log->viewport()->mapToGlobal(position));
}

bool MainWindow::OnSysCommand(UINT id) {
    if (!IsAboutCommand(id)) {
        return false;
    }
    ShowAboutBox();
    return true;
}

void MainWindow::ShowAboutBox() {
    CAboutDlg about(this);
    about.RunModal();
}

bool MainWindow::Start() {
    m_dlg.OnInitDialog();
    if (m_endedEarly) {
        return false;
    }
    m_running = true;
    show();
    m_exit->setFocus(Qt::OtherFocusReason);
    return true;
}

int MainWindow::RunModal() {
    m_dlg.OnInitDialog();
    if (m_endedEarly) {
        return result();
    }
    m_running = true;
    return exec();
}

void MainWindow::done(int result) {
    if (!m_finished) {
        m_finished = true;
        for (auto& [id, timer] : m_timers) {
            timer->stop();
        }
        m_dlg.OnEndDialog();
    }
    QDialog::done(result);
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == PostedMessage::EventType()) {
        const UINT message = static_cast<PostedMessage*>(event)->Message();
        if (message == WM_POLL_DEVICE) {
            m_pollPosted = false;
        }
        if (!m_finished) {
            m_dlg.OnMessage(message);
        }
        return true;
    }
    return QDialog::event(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    m_dlg.OnClose();
    QDialog::closeEvent(event);
}

bool MainWindow::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    if (const auto command = SysCommandOf(eventType, message); command && OnSysCommand(*command)) {
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}

void MainWindow::PullTexts(std::string& connection, std::string& log, std::string& transfer) {
    connection = m_connectionText;
    log = m_logText;
    transfer = m_transferText;
}

void MainWindow::PushTexts(std::string_view connection, const LogUpdate& log,
                           std::string_view transfer) {
    if (connection != m_connectionText) {
        m_connectionText = connection;
        m_connection->setText(FromLatin1(connection));
    }
    if (transfer != m_transferText) {
        m_transferText = transfer;
        m_transfer->setText(FromLatin1(transfer));
    }
    if (log.replace) {
        m_logText = log.text;
        m_logPending.clear();
        m_logReplacePending = true;
        QueueLogFlush();
    } else if (!log.text.empty()) {
        m_logText.append(log.text);
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
        m_log->setPlainText(LogForDisplay(m_logText));
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
    m_log->viewport()->update();
}

void MainWindow::RepaintNow() {
    repaint();
}

void MainWindow::EnableExit(bool enable) {
    m_exit->setEnabled(enable);
}

void MainWindow::SetProgressRange(std::uint32_t maximum) {
    // QProgressBar counts in int: larger files are shown in coarser steps.
    constexpr auto kIntMax = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
    m_progressScale = maximum > kIntMax ? 2 : 1;
    m_progressBar->setRange(
        0, static_cast<int>(maximum / static_cast<std::uint32_t>(m_progressScale)));
}

void MainWindow::SetProgressPos(std::uint32_t position) {
    const auto scaled = position / static_cast<std::uint32_t>(m_progressScale);
    m_progressBar->setValue(
        std::min(static_cast<int>(std::min<std::uint32_t>(scaled, std::numeric_limits<int>::max())),
                 m_progressBar->maximum()));
}

void MainWindow::ShowMessageBoxNow(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok,
                    isVisible() ? this : nullptr);
    box.exec();
}

void MainWindow::MessageBox(const std::string& text) {
    const QString shown = QString::fromUtf8(text);
    if (QThread::currentThread() == thread()) {
        ShowMessageBoxNow(shown);
    } else {
        // A poll thread never waits for the user.
        QMetaObject::invokeMethod(
            this, [this, shown] { ShowMessageBoxNow(shown); }, Qt::QueuedConnection);
    }
}

void MainWindow::PostToWindow(UINT message) {
    // A pass drains everything the device has sent, so one pending poll is enough.
    if (message == WM_POLL_DEVICE && m_pollPosted.exchange(true)) {
        return;
    }
    QCoreApplication::postEvent(this, new PostedMessage(message));
}

void MainWindow::SetTimer(UINT id, UINT periodMs) {
    QTimer*& timer = m_timers[id];
    if (timer == nullptr) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, id] {
            if (!m_finished) {
                m_dlg.OnMessage(WM_TIMER, id);
            }
        });
    }
    timer->start(static_cast<int>(periodMs));
}

void MainWindow::EndDialog(int result) {
    if (m_running) {
        done(result);
    } else {
        m_endedEarly = true;
        m_finished = true;
        setResult(result);
    }
}

std::optional<std::string> MainWindow::ChooseFile(const FileChooserRequest& request) {
    // A stored folder that is no folder here (the default is a Windows path) would end up
    // in the file name box: open in the user's home instead, and keep the stored value.
    QString folder = QString::fromUtf8(request.initialFolder);
    if (!QDir(folder).exists()) {
        folder = QDir::homePath();
    }
    QFileDialog chooser(this, QString(), folder, QtFilterFromPairs(request.filter));
    chooser.setObjectName(QStringLiteral("FileChooser"));
    chooser.setAcceptMode(request.openMode ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    chooser.setFileMode((request.flags & OFN_FILEMUSTEXIST) != 0 ? QFileDialog::ExistingFile
                                                                 : QFileDialog::AnyFile);
    chooser.setDefaultSuffix(QString::fromUtf8(request.defaultExtension));
    if (!request.initialName.empty()) {
        chooser.selectFile(QString::fromUtf8(request.initialName));
    }
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return chooser.selectedFiles().constFirst().toUtf8().toStdString();
}

std::string MainWindow::GetProfileString(const std::string& section, const std::string& entry,
                                         const std::string& defaultValue) {
    QSettings settings;
    const QString key = QString::fromUtf8(section) + QLatin1Char('/') + QString::fromUtf8(entry);
    return settings.value(key, QString::fromUtf8(defaultValue)).toString().toUtf8().toStdString();
}

bool MainWindow::WriteProfileString(const std::string& section, const std::string& entry,
                                    const std::string& value) {
    QSettings settings;
    settings.setValue(QString::fromUtf8(section) + QLatin1Char('/') + QString::fromUtf8(entry),
                      QString::fromUtf8(value));
    settings.sync();
    return settings.status() == QSettings::NoError;
}

}  // namespace kx
