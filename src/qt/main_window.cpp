// The main window's life and its messages: start-up, the modal loop and its end, the quit
// question, posted messages and timers for the logic, message boxes, and the settings.
#include "main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

#include "app_icon.h"
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
    explicit PostedMessage(WindowMessage message) : QEvent(EventType()), m_message(message) {}
    WindowMessage Message() const { return m_message; }

  private:
    WindowMessage m_message;
};

}  // namespace

MainWindow::MainWindow(const char* driverLibrary, QWidget* parent) : QDialog(parent) {
    m_host.MakeDialog(*this, driverLibrary);
    BuildControls();
    // The big and the small icon both come from this one set of sizes. A minimized
    // window's icon is painted by Qt and the system, so there is no paint code for it here.
    setWindowIcon(AppIcon());
    InstallAboutEntry();
    setAcceptDrops(true);
    m_rateTimer = new QTimer(this);
    connect(m_rateTimer, &QTimer::timeout, this, [this] { RefreshProgressText(true); });
    // A box from a poll thread waits in the host for this thread's event loop.
    m_host.SetBoxes([this](const std::string& text) { ShowMessageBoxNow(text); },
                    [this] {
                        QMetaObject::invokeMethod(
                            this, [this] { m_host.ShowQueuedBoxes(); }, Qt::QueuedConnection);
                    });
}

MainWindow::~MainWindow() {
    for (auto& [id, timer] : m_timers) {
        timer->stop();
    }
    m_host.Stop();
}

bool MainWindow::Start() {
    PlaceBesideOthers();
    if (!m_host.Start()) {
        return false;
    }
    show();
    m_exit->setFocus(Qt::OtherFocusReason);
    return true;
}

int MainWindow::RunModal() {
    PlaceBesideOthers();
    if (!m_host.Start()) {
        return result();
    }
    return exec();
}

void MainWindow::done(int result) {
    if (m_host.End(result == QDialog::Accepted)) {
        for (auto& [id, timer] : m_timers) {
            timer->stop();
        }
    }
    QDialog::done(result);
}

bool MainWindow::MayQuit() {
    return m_host.MayQuit([this] { return AskQuit(); });
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

bool MainWindow::event(QEvent* event) {
    if (event->type() == PostedMessage::EventType()) {
        const WindowMessage message = static_cast<PostedMessage*>(event)->Message();
        m_host.Taken(message);
        m_host.Dispatch(message);
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
    m_host.CloseBox();
    QDialog::closeEvent(event);
}

bool MainWindow::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    if (const auto command = SysCommandOf(eventType, message); command && OnSysCommand(*command)) {
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}

void MainWindow::TransferRestarted(unsigned /*restart*/, unsigned /*limit*/) {
    m_host.TransferRestarted(FrontEndHost::Clock::now());
}

void MainWindow::FileAccepted(const std::string& path, std::span<const std::uint8_t> image) {
    m_host.FileChosen(path, image);
}

void MainWindow::ShowMessageBoxNow(const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                    QString::fromUtf8(text), QMessageBox::Ok, isVisible() ? this : nullptr);
    box.exec();
}

void MainWindow::ShowMessageBox(const std::string& text) {
    m_host.ShowBox(text);
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
        connect(timer, &QTimer::timeout, this,
                [this, id] { m_host.Dispatch(WindowMessage::Timer, id); });
    }
    timer->start(static_cast<int>(periodMs));
}

void MainWindow::EndModal(DialogResult result) {
    if (m_host.Started()) {
        done(static_cast<int>(result));
    } else {
        setResult(static_cast<int>(result));  // while initialising: nothing was shown
        m_host.End(result == DialogResult::Ok);
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
