// The Qt window end to end, offscreen: the simulated dongle announces itself, the test
// answers the file chooser, and the firmware goes through the real window.
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <fstream>

#include "device/driver_binding.h"
#include "kxsim.h"
#include "main_window.h"
#include "srecord_writer.h"

using kx::MainWindow;

class WindowUpgradeTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() {
        kx::UnbindDriverForTesting();
        kxsim_reset();
        QVERIFY(m_folder.isValid());
    }

    void cleanup() {
        delete m_answerer;
        m_answerer = nullptr;
        kx::UnbindDriverForTesting();
    }

    void upgradesThroughTheWindow() {
        kxsim_set_speed(5);
        const std::vector<std::uint8_t> image = kx::test::TestImage(24 * 1024, 3);
        const QString path = WriteFirmware(image);
        QStringList chooserFilters;
        AnswerChooserWith(path, &chooserFilters);

        MainWindow window;
        QVERIFY(window.Start());
        QTRY_COMPARE_WITH_TIMEOUT(window.TransferLabel()->text(),
                                  QStringLiteral("Transfer in Progress..."), 10000);
        QVERIFY(!window.ExitButton()->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(window.TransferLabel()->text(),
                                  QStringLiteral("Transfer completed"), 30000);

        QVERIFY(window.ExitButton()->isEnabled());
        QCOMPARE(window.ConnectionLabel()->text(), QStringLiteral("KX Upgrade - Dongle connected"));
        QCOMPARE(window.LogView()->toPlainText(), QStringLiteral("DONGLE BOOT 1.3\n"));
        QCOMPARE(chooserFilters, QStringList{QStringLiteral("Data (*.dat)")});
        QVERIFY(window.Progress()->value() > 0);
        QVERIFY(window.Progress()->value() <= window.Progress()->maximum());

        std::vector<std::uint8_t> flash(kxsim_flash(nullptr, 0));
        kxsim_flash(flash.data(), flash.size());
        QVERIFY(std::equal(image.begin(), image.end(), flash.begin()));
    }

    void escDuringATransferClosesTheDevice() {
        kxsim_set_speed(1);
        AnswerChooserWith(WriteFirmware(kx::test::TestImage(32 * 1024, 5)), nullptr);
        MainWindow window;
        QVERIFY(window.Start());
        QTRY_COMPARE_WITH_TIMEOUT(window.TransferLabel()->text(),
                                  QStringLiteral("Transfer in Progress..."), 10000);
        QTest::keyClick(&window, Qt::Key_Return);  // EXIT is disabled: nothing happens
        QVERIFY(window.isVisible());
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(!window.isVisible());
        QCOMPARE(window.Dialog().PollThreadsRunning(), std::size_t{0});
        QCOMPARE(kxsim_is_open(), 0);
    }

  private:
    QString WriteFirmware(const std::vector<std::uint8_t>& image) {
        const QString path = m_folder.filePath(QStringLiteral("firmware.dat"));
        std::ofstream(path.toStdString(), std::ios::binary)
            << kx::test::FirmwareFile(image, 0x08000000, "KX-DONGLE-2");
        return path;
    }

    // Answers the file chooser with `path` when it opens, as a user would.
    void AnswerChooserWith(const QString& path, QStringList* filters) {
        m_answerer = new QTimer(this);
        connect(m_answerer, &QTimer::timeout, this, [this, path, filters] {
            QFileDialog* chooser = nullptr;
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                    qWarning("unexpected box: %s", qPrintable(box->text()));
                }
                if (auto* found = qobject_cast<QFileDialog*>(widget); found && found->isVisible()) {
                    chooser = found;
                }
            }
            if (chooser == nullptr || chooser == m_answered) {
                return;
            }
            m_answered = chooser;
            if (filters != nullptr) {
                *filters = chooser->nameFilters();
            }
            // Typed into the file name box, as a user would.
            auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (name == nullptr) {
                qWarning("the chooser has no file name box");
                return;
            }
            name->setText(path);
            QMetaObject::invokeMethod(chooser, "accept", Qt::QueuedConnection);
        });
        m_answerer->start(20);
    }

    QTemporaryDir m_folder;
    QTimer* m_answerer = nullptr;
    QPointer<QFileDialog> m_answered;
};

QTEST_MAIN(WindowUpgradeTest)
#include "window_e2e_test.moc"
