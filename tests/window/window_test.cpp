// The main window, offscreen: layout, focus, keys, and start-up without a driver.
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include "device/driver_binding.h"
#include "main_window.h"

using kx::MainWindow;

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
