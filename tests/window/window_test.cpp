// The main window, offscreen: layout, focus, keys, and start-up without a driver.
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <fstream>
#include <memory>

#include "device/driver_binding.h"
#include "main_window.h"
#include "string_table.h"
#include "window_actions.h"
#include "window_placement.h"

using kx::MainWindow;
using kx::test::DropFile;

namespace {

QString ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private slots:
    void init() { kx::UnbindDriverForTesting(); }
    void cleanup() { kx::UnbindDriverForTesting(); }

    void startsEmptyWithExitFocused() {
        MainWindow window;
        QVERIFY(window.Start());
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QStringLiteral("KX Upgrade - Dongle 1.1"));
        QCOMPARE(window.ConnectionLabel()->text(), QString());
        QCOMPARE(window.TransferLabel()->text(), QString());
        QCOMPARE(window.LogView()->toPlainText(), QString());
        QCOMPARE(window.Progress()->value(), 0);
        QVERIFY(window.ExitButton()->isEnabled());
        QVERIFY(window.ExitButton()->isDefault());
        QCOMPARE(window.ExitButton()->text(), QStringLiteral("EXIT"));
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.ExitButton()));
        QVERIFY(window.LogView()->isReadOnly());
        QCOMPARE(window.LogView()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QVERIFY(!(window.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
    }

    void controlsFollowTheTemplateLayout() {
        MainWindow window;
        // Top to bottom: EXIT, link line, transfer line, log, progress bar.
        const int exitY = window.ExitButton()->geometry().top();
        const int connectionY = window.ConnectionLabel()->geometry().top();
        const int transferY = window.TransferLabel()->geometry().top();
        const int logY = window.LogView()->geometry().top();
        const int progressY = window.Progress()->geometry().top();
        QVERIFY(exitY < connectionY && connectionY < transferY && transferY < logY &&
                logY < progressY);
        // One conversion for all: the log (385 units) and the progress bar (386) nearly
        // match, the window (414 x 253 units) holds them all.
        QVERIFY(qAbs(window.LogView()->width() - window.Progress()->width()) <= 2);
        QVERIFY(window.Progress()->geometry().bottom() < window.height());
        QVERIFY(window.LogView()->geometry().right() < window.width());
    }

    void tabCyclesOnlyBetweenExitAndLog() {
        MainWindow window;
        QVERIFY(window.Start());
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.ExitButton()));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.LogView()));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.ExitButton()));
        QCOMPARE(window.ConnectionLabel()->focusPolicy(), Qt::NoFocus);
        QCOMPARE(window.TransferLabel()->focusPolicy(), Qt::NoFocus);
        QCOMPARE(window.Progress()->focusPolicy(), Qt::NoFocus);
    }

    void enterEndsTheDialogWhileExitIsEnabled() {
        MainWindow window;
        QVERIFY(window.Start());
        QSignalSpy finished(&window, &QDialog::finished);
        QTest::keyClick(&window, Qt::Key_Return);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), static_cast<int>(QDialog::Accepted));
    }

    void exitButtonEndsTheDialog() {
        MainWindow window;
        QVERIFY(window.Start());
        QSignalSpy finished(&window, &QDialog::finished);
        QTest::mouseClick(window.ExitButton(), Qt::LeftButton);
        QCOMPARE(finished.count(), 1);
    }

    void whileExitIsDisabledEnterDoesNothingAndEscStillEnds() {
        MainWindow window;
        QVERIFY(window.Start());
        window.EnableExit(false);
        QSignalSpy finished(&window, &QDialog::finished);
        QTest::keyClick(&window, Qt::Key_Return);
        QTest::keyClick(&window, Qt::Key_Enter);
        QCOMPARE(finished.count(), 0);
        QVERIFY(window.isVisible());
        QTest::keyClick(&window, Qt::Key_Escape);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), static_cast<int>(QDialog::Rejected));
    }

    void endingStopsPollingAndClosesTheDevice() {
        MainWindow window;
        QVERIFY(window.Start());
        // The stub opens at the first timer tick, which starts a poll thread.
        QTRY_VERIFY_WITH_TIMEOUT(window.Dialog().PollThreadsRunning() == 1, 2000);
        QTRY_COMPARE(window.ConnectionLabel()->text(),
                     QStringLiteral("KX Upgrade - Dongle connected"));
        QTest::keyClick(&window, Qt::Key_Escape);
        QCOMPARE(window.Dialog().PollThreadsRunning(), std::size_t{0});
        QVERIFY(!kx::DeviceIsOpen());
    }

    void enterInTheLogNeverEndsTheDialog() {
        MainWindow window;
        QVERIFY(window.Start());
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QSignalSpy finished(&window, &QDialog::finished);
        // During a transfer the disabled EXIT hands the focus to the log; enabled again
        // after it, EXIT takes the focus back, so that Enter quits.
        window.EnableExit(false);
        window.LogView()->setFocus(Qt::OtherFocusReason);
        window.EnableExit(true);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.ExitButton()));
        // The user's own move into the log keeps Enter there.
        window.LogView()->setFocus(Qt::MouseFocusReason);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.LogView()));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter);
        QCOMPARE(finished.count(), 0);
        QVERIFY(window.isVisible());
        // From EXIT, Enter still ends the dialog.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.ExitButton()));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(finished.count(), 1);
    }

    void longLogLinesStayOneLineAndScrollSideways() {
        MainWindow window;
        QVERIFY(window.Start());
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const std::string longLine(300, 'A');
        window.PushTexts("", kx::LogUpdate{true, longLine + "\r\nSHORT\r\n"}, "");
        window.ScrollLogToEnd();
        QApplication::processEvents();
        const QTextBlock first = window.LogView()->document()->firstBlock();
        QVERIFY(first.layout() != nullptr);
        QCOMPARE(first.layout()->lineCount(), 1);
        QVERIFY(window.LogView()->horizontalScrollBar()->maximum() > 0);
        // Scrolled to the end: the last (empty) line, from its start.
        QCOMPARE(window.LogView()->horizontalScrollBar()->value(), 0);
    }

    void aHelpButtonPointsToTheAboutBoxAndTheLogFolder() {
        MainWindow window;
        QVERIFY(window.Start());
        QToolButton* help = window.HelpButton();
        QVERIFY(help != nullptr);  // no system menu on this platform
        QVERIFY(help->isVisible());
        QCOMPARE(help->focusPolicy(), Qt::NoFocus);
        QVERIFY(help->menu() != nullptr);
        QStringList entries;
        for (QAction* action : help->menu()->actions()) {
            entries << action->text();
        }
        QCOMPARE(entries, (QStringList{QString::fromUtf8(kx::text::kAboutMenuEntry),
                                       QStringLiteral("Open log folder")}));
        // Clear of the other controls, inside the window.
        QVERIFY(!help->geometry().intersects(window.ExitButton()->geometry()));
        QVERIFY(!help->geometry().intersects(window.ConnectionLabel()->geometry()));
        QVERIFY(window.rect().contains(help->geometry()));

        QStringList opened;
        window.SetFolderOpener([&opened](const QString& folder) { opened << folder; });
        window.OpenLogFolderAction()->trigger();
        QCOMPARE(opened.size(), 1);
        QCOMPARE(QDir(opened.first()).absolutePath(),
                 QDir(qEnvironmentVariable("XDG_STATE_HOME") + "/kxupgrade").absolutePath());
    }

    void theSessionLogHoldsWhatTheWindowShowed() {
        QTemporaryDir state;
        const QByteArray saved = qgetenv("XDG_STATE_HOME");
        qputenv("XDG_STATE_HOME", state.path().toUtf8());
        {
            MainWindow window;
            QVERIFY(window.Start());
            QTRY_COMPARE(window.ConnectionLabel()->text(),
                         QStringLiteral("KX Upgrade - Dongle connected"));
            window.PushTexts(kx::text::kConnected, kx::LogUpdate{true, "DONGLE BOOT 1.3\r\n"},
                             kx::text::kInProgress);
            const QString path = QString::fromStdString(window.Session().Path());
            QCOMPARE(QFileInfo(path).absolutePath(),
                     QDir(state.path() + "/kxupgrade").absolutePath());
            const QString text = ReadAll(path);
            QVERIFY2(text.contains(QStringLiteral(" link: KX Upgrade - Dongle connected\n")),
                     qPrintable(text));
            QVERIFY2(text.contains(QStringLiteral(" log: DONGLE BOOT 1.3\n")), qPrintable(text));
            QVERIFY2(text.contains(QStringLiteral(" transfer: Transfer in Progress...\n")),
                     qPrintable(text));
            QTest::keyClick(window.ExitButton(), Qt::Key_Return);
        }
        qputenv("XDG_STATE_HOME", saved);
    }

    void aDroppedFileWaitsOnTheTransferLineForTheNextAnnouncement() {
        QTemporaryDir folder;
        const QString firmware = folder.filePath(QStringLiteral("firmware-2.0.dat"));
        const QString other = folder.filePath(QStringLiteral("notes.txt"));
        std::ofstream(firmware.toStdString()) << "S0030000FC\r\nS1040000AA51\r\nS9030000FC\r\n";
        std::ofstream(other.toStdString()) << "text";
        MainWindow window;
        QVERIFY(window.Start());
        QTRY_COMPARE(window.ConnectionLabel()->text(),
                     QStringLiteral("KX Upgrade - Dongle connected"));
        QVERIFY(!DropFile(window, other));
        QVERIFY(!DropFile(window, folder.path()));
        QVERIFY(window.DroppedFile().isEmpty());
        QVERIFY(DropFile(window, firmware));
        QCOMPARE(window.TransferLabel()->text(), QStringLiteral("Next file: firmware-2.0.dat"));
        // The logic's own text is untouched.
        QCOMPARE(window.Dialog().TransferText(), std::string());

        // The next request for a file takes it without a chooser.
        QTimer chooserWatch;
        bool chooserSeen = false;
        connect(&chooserWatch, &QTimer::timeout, [&chooserSeen] {
            if (auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                chooserSeen = true;
                chooser->reject();
            }
        });
        chooserWatch.start(10);
        const std::optional<std::string> chosen = window.ChooseFile(kx::FileChooserRequest{});
        QVERIFY(chosen.has_value());
        QCOMPARE(QString::fromStdString(*chosen), QFileInfo(firmware).absoluteFilePath());
        QCOMPARE(window.TransferLabel()->text(), QString());
        QVERIFY(window.DroppedFile().isEmpty());
        QVERIFY(!chooserSeen);
        // Used once: the next request opens the chooser again.
        QVERIFY(!window.ChooseFile(kx::FileChooserRequest{}).has_value());
        QVERIFY(chooserSeen);
    }

    void theChooserOpensBelowTheStatusLinesWithRoomForItsColumns() {
        MainWindow window;
        QVERIFY(window.Start());
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QRect chooserFrame;
        QTimer chooserWatch;
        connect(&chooserWatch, &QTimer::timeout, [&chooserFrame] {
            if (auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                chooserFrame = chooser->frameGeometry();
                chooser->reject();
            }
        });
        chooserWatch.start(10);
        kx::FileChooserRequest request;
        request.filter = kx::text::kFileFilter;
        QVERIFY(!window.ChooseFile(request).has_value());
        QVERIFY(chooserFrame.isValid());
        const QRect transferLine(window.TransferLabel()->mapToGlobal(QPoint(0, 0)),
                                 window.TransferLabel()->size());
        const QRect connectionLine(window.ConnectionLabel()->mapToGlobal(QPoint(0, 0)),
                                   window.ConnectionLabel()->size());
        QVERIFY2(!chooserFrame.intersects(transferLine) && !chooserFrame.intersects(connectionLine),
                 qPrintable(QStringLiteral("chooser at y %1, transfer line ends at y %2")
                                .arg(chooserFrame.top())
                                .arg(transferLine.bottom())));
        QVERIFY(chooserFrame.width() > window.width());
        // The screen here is 800 pixels wide, less than the chooser wants: it is kept on it.
        const QRect available = window.screen()->availableGeometry();
        QVERIFY2(available.contains(chooserFrame),
                 qPrintable(QStringLiteral("chooser %1,%2 %3x%4 on a screen of %5x%6")
                                .arg(chooserFrame.x())
                                .arg(chooserFrame.y())
                                .arg(chooserFrame.width())
                                .arg(chooserFrame.height())
                                .arg(available.width())
                                .arg(available.height())));
    }

    // 150 % on a 1280 x 1024 screen: the chooser would want more than the screen's width.
    void theChooserFrameStaysOnTheScreenAtAnyScale() {
        const QRect screen(0, 0, 1280, 984);  // a panel takes 40 pixels
        const QSize margins(2, 22);
        for (const int wanted : {900, 1356, 2000}) {
            const QRect frame = kx::ChooserFrame(QSize(wanted, 700), margins, 1100, 600, screen);
            QVERIFY2(screen.contains(frame), qPrintable(QString::number(wanted)));
            QCOMPARE(frame.width(), std::min(wanted + margins.width(), screen.width()));
        }
        // Asked for before the main window was framed: its frame and client sizes are the
        // same, and the chooser still leaves room for the frame the window manager adds.
        const QSize unframed(20, 40);
        QCOMPARE(kx::FrameMargins(QSize(1002, 722), QSize(1000, 700), unframed), margins);
        const QSize early = kx::FrameMargins(QSize(1000, 700), QSize(1000, 700), unframed);
        QCOMPARE(early, unframed);
        const QRect asked = kx::ChooserFrame(QSize(1356, 700), early, 1100, 600, screen);
        QVERIFY(asked.width() - early.width() + margins.width() <= screen.width());
        QVERIFY(asked.height() - early.height() + margins.height() <= screen.height());
        // Room enough: centred where asked, below the given line.
        const QRect roomy = kx::ChooserFrame(QSize(600, 400), margins, 640, 300, screen);
        QVERIFY(qAbs(roomy.center().x() - 640) <= 1);
        QCOMPARE(roomy.top(), 300);
    }

    void aSecondWindowOpensBesideTheFirstNotOverIt() {
        auto first = std::make_unique<MainWindow>();
        QVERIFY(first->Start());
        QVERIFY(QTest::qWaitForWindowExposed(first.get()));
        MainWindow second;
        QVERIFY(second.Start());
        QVERIFY(QTest::qWaitForWindowExposed(&second));
        const QPoint firstPlace = first->frameGeometry().topLeft();
        const QPoint step = second.frameGeometry().topLeft() - firstPlace;
        QVERIFY2(step.x() >= 10 && step.y() >= 10,
                 qPrintable(QStringLiteral("%1, %2").arg(step.x()).arg(step.y())));
        QVERIFY(second.screen()->availableGeometry().contains(second.frameGeometry()));
        // Gone, the first window leaves its place to the next one.
        first.reset();
        MainWindow third;
        QVERIFY(third.Start());
        QVERIFY(QTest::qWaitForWindowExposed(&third));
        QCOMPARE(third.frameGeometry().topLeft(), firstPlace);
    }

    void withoutTheDriverOneBoxAndNoWindow() {
        QStringList boxes;
        QTimer answerer;
        connect(&answerer, &QTimer::timeout, [&boxes] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxes << box->text() + "|" + box->windowTitle();
                box->accept();
            }
        });
        answerer.start(20);
        MainWindow window("/nonexistent/libftd2xx.so");
        window.RunModal();
        answerer.stop();
        QCOMPARE(boxes, QStringList{QStringLiteral("Error: Can't Load ft8u245.dll|") +
                                    QCoreApplication::applicationName()});
        QVERIFY(window.EndedWhileInitialising());
        QVERIFY(!window.isVisible());
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
