#include "main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QStyle>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>
#include <algorithm>
#include <limits>
#include <memory>

#include "about_dlg.h"
#include "app_icon.h"
#include "dialog_layouts.h"
#include "dialog_units.h"
#include "host/printable_text.h"
#include "host/progress_figures.h"
#include "string_table.h"
#include "system_menu.h"
#include "window_placement.h"

namespace kx {

namespace {

// A message posted to the window, carried as a Qt event.
class PostedMessage : public QEvent {
  public:
    static QEvent::Type EventType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    explicit PostedMessage(WindowMessage message) : QEvent(EventType()), m_message(message) {}
    WindowMessage Message() const { return m_message; }

  private:
    WindowMessage m_message;
};

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

// A file the window takes when it is dropped on it: an existing firmware file.
QString DroppedFirmware(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls() || data->urls().size() != 1) {
        return {};
    }
    const QUrl url = data->urls().constFirst();
    if (!url.isLocalFile()) {
        return {};
    }
    const QFileInfo file(url.toLocalFile());
    if (!file.isFile() || file.suffix().compare(QStringLiteral("dat"), Qt::CaseInsensitive) != 0) {
        return {};
    }
    return file.absoluteFilePath();
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
    setAcceptDrops(true);
    m_rateTimer = new QTimer(this);
    connect(m_rateTimer, &QTimer::timeout, this, [this] { RefreshProgressText(true); });
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
    // The log scrolls both ways: a long line stays one line.
    m_log->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_log->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // A file dropped on the log is meant for the window, not as text.
    m_log->setAcceptDrops(false);
    m_log->viewport()->setAcceptDrops(false);
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
    m_openLogAction = new QAction(QString::fromUtf8(text::kOpenLogFolder), this);
    m_openLogAction->setObjectName(QStringLiteral("OpenLogFolder"));
    connect(m_openLogAction, &QAction::triggered, this, &MainWindow::OpenLogFolder);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    // The log keeps its own menu (copy, select all) and gains the entries below it.
    m_log->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_log, &QWidget::customContextMenuRequested, this, &MainWindow::ShowLogContextMenu);

    if (AppendAboutToSystemMenu(*this, text::kAboutMenuEntry)) {
        addAction(m_openLogAction);
        return;
    }
    m_aboutAction = new QAction(QString::fromUtf8(text::kAboutMenuEntry), this);
    m_aboutAction->setObjectName(QStringLiteral("IDM_ABOUTBOX"));
    m_aboutAction->setShortcut(QKeySequence(Qt::Key_F1));
    m_aboutAction->setShortcutContext(Qt::WindowShortcut);
    connect(m_aboutAction, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    addAction(m_aboutAction);
    addAction(m_openLogAction);

    // Without a system menu nothing would point to F1 or the context menu: a small button
    // in the free corner beside EXIT offers both entries. It takes no focus, so Tab still
    // goes between EXIT and the log only.
    m_help = new QToolButton(this);
    m_help->setObjectName(QStringLiteral("HelpButton"));
    m_help->setText(QString::fromUtf8(text::kHelpButton));
    m_help->setToolTip(QString::fromUtf8(text::kAboutCaption) + QStringLiteral(" (F1)"));
    m_help->setFocusPolicy(Qt::NoFocus);
    m_help->setPopupMode(QToolButton::InstantPopup);
    auto* menu = new QMenu(m_help);
    menu->addAction(m_aboutAction);
    menu->addAction(m_openLogAction);
    m_help->setMenu(menu);
    const QRect exit = m_exit->geometry();
    const int side = exit.height();
    m_help->setGeometry(m_log->geometry().right() - side + 1, exit.top(), side, side);
}

void MainWindow::ShowLogContextMenu(const QPoint& position) {
    std::unique_ptr<QMenu> menu(m_log->createStandardContextMenu(position));
    menu->addSeparator();
    if (m_aboutAction != nullptr) {
        menu->addAction(m_aboutAction);
    }
    menu->addAction(m_openLogAction);
    menu->exec(m_log->viewport()->mapToGlobal(position));
}

void MainWindow::OpenLogFolder() {
    const SessionLog& session = m_host.Session();
    const QString folder = session.IsOpen()
                               ? QFileInfo(QString::fromStdString(session.Path())).absolutePath()
                               : QString::fromStdString(SessionLogFolder());
    if (folder.isEmpty()) {
        return;
    }
    QDir().mkpath(folder);
    if (m_folderOpener) {
        m_folderOpener(folder);
    } else {
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    }
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

void MainWindow::OpenSession() {
    m_host.OpenSession();
}

// A second window open at the same time opens a title bar's height below and to the right
// of the first, not exactly over it; the first opens centred, as the template says.
void MainWindow::PlaceBesideOthers() {
    const unsigned slot = m_host.TakeWindowSlot();
    const QScreen* shown = QGuiApplication::primaryScreen();
    if (slot == 0 || shown == nullptr) {
        return;
    }
    const int step = style()->pixelMetric(QStyle::PM_TitleBarHeight) + DialogUnits(font()).Y(4);
    move(WindowCorner(size(), slot, step, shown->availableGeometry()));
}

bool MainWindow::Start() {
    OpenSession();
    PlaceBesideOthers();
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
    OpenSession();
    PlaceBesideOthers();
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
        m_host.Ended(result == QDialog::Accepted);
    }
    QDialog::done(result);
}

bool MainWindow::MayQuit() {
    return m_host.MayQuit(m_dlg.Transferring() && !m_finished, [this] { return AskQuit(); });
}

bool MainWindow::AskQuit() {
    QMessageBox question(QMessageBox::Warning, QCoreApplication::applicationName(),
                         QString::fromUtf8(text::kQuitQuestion), QMessageBox::NoButton, this);
    question.setObjectName(QStringLiteral("QuitQuestion"));
    QPushButton* quit =
        question.addButton(QString::fromUtf8(text::kQuitAnyway), QMessageBox::DestructiveRole);
    QPushButton* keep =
        question.addButton(QString::fromUtf8(text::kKeepTransferring), QMessageBox::RejectRole);
    quit->setObjectName(QStringLiteral("Quit"));
    keep->setObjectName(QStringLiteral("Keep"));
    // The safe answer is the one Enter and Esc give.
    question.setDefaultButton(keep);
    question.setEscapeButton(keep);
    m_question = &question;
    question.exec();
    m_question = nullptr;
    return question.clickedButton() == quit;
}

void MainWindow::reject() {
    if (MayQuit()) {
        QDialog::reject();
    }
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // The log is a want-return control: Enter there is the log's, never the dialog's.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && focusWidget() == m_log) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!DroppedFirmware(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QString file = DroppedFirmware(event->mimeData());
    if (file.isEmpty()) {
        return;
    }
    event->acceptProposedAction();
    m_droppedFile = file;
    m_host.Session().Note("file dropped for the next announcement: " + file.toStdString());
    RefreshTransferLine();
}

QString MainWindow::TransferLine() const {
    QString line = FromLatin1(m_host.Transfer());
    if (m_dlg.Outcome().state == TransferState::Aborted && !m_dlg.LastAbortReason().empty()) {
        line +=
            QString::fromUtf8(text::kAbortReasonSeparator) + FromLatin1(m_dlg.LastAbortReason());
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
    if (!m_dlg.Transferring()) {
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
    const ProgressFigures figures = m_host.Figures(m_dlg.Held(), FrontEndHost::Clock::now());
    const std::string summary = FormatRateSummary(figures);
    m_percentDrawn = figures.percent;
    // The bar's placeholders are %p, %v and %m; the summary's "%" is followed by a space.
    m_progressBar->setFormat(QString::fromStdString(summary));
    m_progressBar->setTextVisible(true);
    m_rateDrawn.start();
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == PostedMessage::EventType()) {
        const WindowMessage message = static_cast<PostedMessage*>(event)->Message();
        m_host.Taken(message);
        if (!m_finished) {
            m_dlg.OnMessage(message);
        }
        return true;
    }
    return QDialog::event(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The close box and Alt+F4: asked before the device is let go, not after.
    if (!MayQuit()) {
        event->ignore();
        return;
    }
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
        if (QMessageBox* question = m_question; question != nullptr && !m_dlg.Transferring()) {
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

void MainWindow::TransferRestarted(unsigned /*restart*/, unsigned /*limit*/) {
    m_host.TransferRestarted(FrontEndHost::Clock::now());
}

void MainWindow::FileAccepted(const std::string& path, std::span<const std::uint8_t> image) {
    m_host.FileChosen(path, image);
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

void MainWindow::ShowMessageBoxNow(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok,
                    isVisible() ? this : nullptr);
    box.exec();
}

void MainWindow::ShowMessageBox(const std::string& text) {
    m_host.Session().Note("message box: " + text);
    const QString shown = QString::fromUtf8(text);
    if (QThread::currentThread() == thread()) {
        ShowMessageBoxNow(shown);
    } else {
        // A poll thread never waits for the user.
        QMetaObject::invokeMethod(
            this, [this, shown] { ShowMessageBoxNow(shown); }, Qt::QueuedConnection);
    }
}

void MainWindow::PostToWindow(WindowMessage message) {
    // A pass drains everything the device has sent, so one pending poll is enough.
    if (!m_host.Admit(message)) {
        return;
    }
    QCoreApplication::postEvent(this, new PostedMessage(message));
}

void MainWindow::StartTimer(TimerId id, UINT periodMs) {
    QTimer*& timer = m_timers[id];
    if (timer == nullptr) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, id] {
            if (!m_finished) {
                m_dlg.OnMessage(WindowMessage::Timer, id);
            }
        });
    }
    timer->start(static_cast<int>(periodMs));
}

void MainWindow::EndModal(DialogResult result) {
    if (m_running) {
        done(static_cast<int>(result));
    } else {
        m_endedEarly = true;
        m_finished = true;
        setResult(static_cast<int>(result));
    }
}

std::optional<std::string> MainWindow::ChooseFile(const FileChooserRequest& request) {
    // A file dropped on the window beforehand is the user's choice for this announcement.
    if (!m_droppedFile.isEmpty()) {
        const std::string dropped = m_droppedFile.toUtf8().toStdString();
        m_droppedFile.clear();
        m_host.Session().Note("dropped file taken: " + dropped);
        RefreshTransferLine();
        return dropped;
    }
    // A stored folder that is no folder here (the default is a Windows path) would end up
    // in the file name box: open in the user's home instead, and keep the stored value.
    QString folder = QString::fromUtf8(request.initialFolder);
    if (!QDir(folder).exists()) {
        folder = QDir::homePath();
    }
    QFileDialog chooser(this, QString(), folder, QtFilterFromPairs(request.filter));
    chooser.setObjectName(QStringLiteral("FileChooser"));
    chooser.setAcceptMode(request.openMode ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    chooser.setFileMode(HasFlag(request.flags, ChooserFlags::FileMustExist)
                            ? QFileDialog::ExistingFile
                            : QFileDialog::AnyFile);
    chooser.setDefaultSuffix(QString::fromUtf8(request.defaultExtension));
    if (!request.initialName.empty()) {
        chooser.selectFile(QString::fromUtf8(request.initialName));
    }
    PlaceChooser(chooser);
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return chooser.selectedFiles().constFirst().toUtf8().toStdString();
}

// The chooser opens below the two status lines, so that they stay readable while it is
// open (the reason of an abort that came just before it, say), large enough for its
// columns, and never larger than the screen: at 150 % on a small screen its buttons stay
// on it.
void MainWindow::PlaceChooser(QDialog& chooser) {
    const DialogUnits units(font());
    const QSize wanted(std::max(chooser.sizeHint().width(), width() + units.X(120)),
                       std::max(chooser.sizeHint().height(), height()));
    const QScreen* shown = isVisible() ? screen() : QGuiApplication::primaryScreen();
    const QRect available = shown != nullptr ? shown->availableGeometry() : QRect();
    // The window manager frames the chooser as it frames this window.
    const QSize margins = isVisible() ? frameGeometry().size() - size() : QSize(0, 0);
    const QRect frame =
        ChooserFrame(wanted, margins, frameGeometry().center().x(),
                     mapToGlobal(m_transfer->geometry().bottomLeft()).y() + units.Y(4), available);
    chooser.resize(frame.size() - margins);
    if (isVisible()) {
        chooser.move(frame.topLeft());
    }

    // Once the folder is read, the columns take what they need and the name the rest.
    auto* model = chooser.findChild<QFileSystemModel*>();
    auto* view = chooser.findChild<QTreeView*>(QStringLiteral("treeView"));
    if (model != nullptr && view != nullptr) {
        connect(model, &QFileSystemModel::directoryLoaded, view, [view] {
            QHeaderView* header = view->header();
            int others = 0;
            for (int column = 1; column < header->count(); ++column) {
                view->resizeColumnToContents(column);
                others += header->sectionSize(column);
            }
            header->resizeSection(
                0, std::max(header->sectionSize(0), view->viewport()->width() - others));
        });
    }
}

std::string MainWindow::ReadProfileText(const std::string& section, const std::string& entry,
                                        const std::string& defaultValue) {
    QSettings settings;
    const QString key = QString::fromUtf8(section) + QLatin1Char('/') + QString::fromUtf8(entry);
    return settings.value(key, QString::fromUtf8(defaultValue)).toString().toUtf8().toStdString();
}

bool MainWindow::WriteProfileText(const std::string& section, const std::string& entry,
                                  const std::string& value) {
    QSettings settings;
    settings.setValue(QString::fromUtf8(section) + QLatin1Char('/') + QString::fromUtf8(entry),
                      QString::fromUtf8(value));
    settings.sync();
    return settings.status() == QSettings::NoError;
}

}  // namespace kx
