// The main window's controls where the dialog template puts them, its about entry and log
// folder entries, and where it opens beside other windows.
#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QToolButton>
#include <QUrl>
#include <memory>

#include "about_dlg.h"
#include "dialog_layouts.h"
#include "dialog_units.h"
#include "main_window.h"
#include "string_table.h"
#include "system_menu.h"
#include "window_placement.h"

namespace kx {

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

}  // namespace kx
