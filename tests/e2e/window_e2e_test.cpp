// The Qt window end to end, offscreen: the simulated dongle announces itself, the test
// answers the file chooser, and the firmware goes through the real window.
#include <QApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <fstream>
#include <functional>

#include "device/driver_binding.h"
#include "front_end_scenarios.h"
#include "kxsim.h"
#include "main_window.h"
#include "srecord_writer.h"
#include "string_table.h"
#include "window_actions.h"

using kx::MainWindow;

class WindowUpgradeTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        // Session logs of their own: other tests running at the same time write theirs,
        // and a folder keeps only its newest sessions.
        qputenv("XDG_STATE_HOME", m_state.path().toUtf8());
    }

    void init() {
        kx::UnbindDriverForTesting();
        kxsim_reset();
        QVERIFY(m_folder.isValid());
    }

    void cleanup() {
        delete m_answerer;
        m_answerer = nullptr;
        delete m_questionAnswerer;
        m_questionAnswerer = nullptr;
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
        // The bar's own text: percent, rate and time left, once the rate is known.
        const QRegularExpression rate(
            QStringLiteral("^\\d{1,3}%  \\d+\\.\\d KiB/s  (\\d+:\\d\\d|--) left$"));
        QTRY_VERIFY2_WITH_TIMEOUT(
            window.Progress()->isTextVisible() && rate.match(window.Progress()->text()).hasMatch(),
            qPrintable(window.Progress()->text()), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(window.TransferLabel()->text(),
                                  QStringLiteral("Transfer completed"), 30000);

        QVERIFY(!window.Progress()->isTextVisible());
        QVERIFY(window.ExitButton()->isEnabled());
        QCOMPARE(window.ConnectionLabel()->text(), QStringLiteral("KX Upgrade - Dongle connected"));
        QCOMPARE(window.LogView()->toPlainText(), QStringLiteral("DONGLE BOOT 1.3\n"));
        QCOMPARE(chooserFilters, QStringList{QStringLiteral("Data (*.dat)")});
        // The bar ends full at "Transfer completed".
        QVERIFY(window.Progress()->maximum() > 0);
        QCOMPARE(window.Progress()->value(), window.Progress()->maximum());

        std::vector<std::uint8_t> flash(kxsim_flash(nullptr, 0));
        kxsim_flash(flash.data(), flash.size());
        QVERIFY(std::equal(image.begin(), image.end(), flash.begin()));

        // The session log names what was sent, with its size and digest.
        const QString session = ReadAll(QString::fromStdString(window.Session().Path()));
        QVERIFY2(
            session.contains(QStringLiteral("note: file: ") + path +
                             QStringLiteral(" (%1 bytes, SHA-256 ").arg(QFileInfo(path).size())),
            qPrintable(session));
        // EXIT has the focus back: Enter quits.
        QTRY_COMPARE(window.focusWidget(), static_cast<QWidget*>(window.ExitButton()));
        QTest::keyClick(window.focusWidget(), Qt::Key_Return);
        QVERIFY(!window.isVisible());
    }

    // Start-up and end as the host orders them for every front end, here by the close box.
    void theHostOrdersStartUpAndEnd() {
        MainWindow window;
        QtProbe probe(window);
        for (const std::string& fault : kx::test::StartUpAndEnd(probe, false)) {
            QFAIL(fault.c_str());
        }
        QVERIFY(!window.isVisible());
    }

    // The refused file's box, as the shared scenario checks it on every front end; then,
    // after the good file, Enter quits (EXIT has the focus back).
    void aRefusedFilesBoxIsAnsweredBeforeTheNextFileIsAskedFor() {
        kxsim_set_speed(5);
        MainWindow window;
        QtProbe probe(window);
        QVERIFY(window.Start());
        for (const std::string& fault :
             kx::test::RefusedFileThenGoodFile(probe, m_folder.path().toStdString())) {
            QFAIL(fault.c_str());
        }
        QTRY_COMPARE(window.focusWidget(), static_cast<QWidget*>(window.ExitButton()));
        QTest::keyClick(window.focusWidget(), Qt::Key_Return);
        QVERIFY(!window.isVisible());
    }

    // The quit question is about a running transfer: it closes when the transfer ends, and
    // the window stays to show how it ended. The line is stalled from the first packet on,
    // so that the transfer cannot end before the question is up, and the end is the test's
    // own (given up), so that no line timing decides whether or when it comes.
    void theQuitQuestionClosesWhenTheTransferEnds() {
        kxsim_set_speed(5);
        kxsim_stall_tx_at_write(1);
        AnswerChooserWith(WriteFirmware(kx::test::TestImage(8 * 1024, 4)), nullptr);
        MainWindow window;
        QVERIFY(window.Start());
        QTRY_COMPARE_WITH_TIMEOUT(window.TransferLabel()->text(),
                                  QStringLiteral("Transfer in Progress..."), 10000);
        bool asked = false;
        QTimer ender;
        connect(&ender, &QTimer::timeout, this, [&asked, &window] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!asked && box != nullptr && box->objectName() == QStringLiteral("QuitQuestion")) {
                asked = true;
                kxsim_stall_tx(0);
                window.Dialog().EndTransfer("given up by the test");
            }
        });
        ender.start(5);
        QTest::keyClick(FocusedIn(window), Qt::Key_Escape);  // returns once the question closed
        ender.stop();
        QVERIFY(asked);
        QCOMPARE(window.TransferLabel()->text(),
                 QStringLiteral("Transfer aborted: given up by the test"));
        QVERIFY(window.isVisible());
        QVERIFY(!window.Dialog().Transferring());
        QVERIFY(window.ExitButton()->isEnabled());
        QVERIFY(ReadAll(QString::fromStdString(window.Session().Path()))
                    .contains(QStringLiteral("quit question closed: the transfer ended")));
    }

    void quittingDuringATransferAsksFirstAndTheSafeAnswerIsTheDefault() {
        kxsim_set_speed(1);
        AnswerChooserWith(WriteFirmware(kx::test::TestImage(48 * 1024, 5)), nullptr);
        MainWindow window;
        QVERIFY(window.Start());
        QTRY_COMPARE_WITH_TIMEOUT(window.TransferLabel()->text(),
                                  QStringLiteral("Transfer in Progress..."), 10000);
        QTest::keyClick(FocusedIn(window), Qt::Key_Return);  // EXIT is disabled: nothing happens
        QVERIFY(window.isVisible());

        // Esc: the question, answered with Enter, keeps the transfer going.
        QStringList asked;
        AnswerQuestionsWith(nullptr, &asked);
        QTest::keyClick(FocusedIn(window), Qt::Key_Escape);
        QCOMPARE(asked, QStringList{QString::fromUtf8(kx::text::kQuitQuestion) + "|Keep"});
        QVERIFY(window.isVisible());
        QVERIFY(window.Dialog().Transferring());
        QCOMPARE(kxsim_is_open(), 1);
        // The close box (and Alt+F4, which the window manager turns into the same close).
        asked.clear();
        window.close();
        QCOMPARE(asked.size(), 1);
        QVERIFY(window.isVisible());
        const std::uint32_t sent = window.Dialog().BytesSent();
        QTRY_VERIFY_WITH_TIMEOUT(window.Dialog().BytesSent() > sent, 10000);

        // Quit, chosen on purpose, ends the dialog and lets the device go.
        asked.clear();
        AnswerQuestionsWith("Quit", &asked);
        QTest::keyClick(FocusedIn(window), Qt::Key_Escape);
        QCOMPARE(asked.size(), 1);
        QVERIFY(!window.isVisible());
        QCOMPARE(window.Dialog().PollThreadsRunning(), std::size_t{0});
        QCOMPARE(kxsim_is_open(), 0);
    }

    void theAbortReasonStaysInViewWhenTheDongleAnnouncesAgain() {
        kxsim_set_speed(5);
        const QString refused = m_folder.filePath(QStringLiteral("other-device.dat"));
        std::ofstream(refused.toStdString(), std::ios::binary)
            << kx::test::FirmwareFile(kx::test::TestImage(4 * 1024, 9), 0x08000000, "KX-OTHER-1");
        // The first chooser takes the refused file; the second, opened by the device's next
        // announcement, is looked at and cancelled.
        QString lineWithSecondChooser, logWithSecondChooser;
        int choosers = 0;
        OnEachChooser([&](QFileDialog& chooser) {
            if (++choosers == 1) {
                TypeInto(chooser, refused);
                return;
            }
            lineWithSecondChooser = m_window->TransferLabel()->text();
            logWithSecondChooser = m_window->LogView()->toPlainText();
            QMetaObject::invokeMethod(&chooser, "reject", Qt::QueuedConnection);
        });
        MainWindow window;
        m_window = &window;
        QVERIFY(window.Start());
        QTRY_VERIFY_WITH_TIMEOUT(choosers >= 2 && !lineWithSecondChooser.isEmpty(), 30000);
        const QString expected = QStringLiteral("Transfer aborted: ") + kx::text::kIdMismatch;
        QCOMPARE(lineWithSecondChooser, expected);
        // The announcement cleared the log as it always does: the line is where it shows.
        QCOMPARE(logWithSecondChooser, QStringLiteral("DONGLE BOOT 1.3\n"));
        QCOMPARE(window.Dialog().TransferText(), std::string(kx::text::kAborted));
        // Still there after the chooser closed, until the next transfer starts.
        QTRY_VERIFY(!window.Dialog().Transferring());
        QCOMPARE(window.TransferLabel()->text(), expected);
        m_window = nullptr;
    }

    void boxesFromAnotherThreadAreShownOnTheWindowsThread() {
        MainWindow window;
        QtProbe probe(window);
        QVERIFY(window.Start());
        for (const std::string& fault : kx::test::BoxesFromAnotherThread(probe)) {
            QFAIL(fault.c_str());
        }
        // Noted in the session log as they were shown.
        const QString session = ReadAll(QString::fromStdString(window.Session().Path()));
        QVERIFY2(session.contains(QStringLiteral("note: message box: FT_Read is not valid!")),
                 qPrintable(session));
    }

    void aDroppedFileIsTakenAtTheNextAnnouncementWithoutTheChooser() {
        kxsim_set_speed(5);
        const std::vector<std::uint8_t> image = kx::test::TestImage(8 * 1024, 11);
        const QString path = WriteFirmware(image);
        int choosers = 0;
        OnEachChooser([&choosers](QFileDialog& chooser) {
            ++choosers;
            QMetaObject::invokeMethod(&chooser, "reject", Qt::QueuedConnection);
        });
        MainWindow window;
        QVERIFY(kx::test::DropFile(window, path));
        QCOMPARE(window.TransferLabel()->text(), QStringLiteral("Next file: firmware.dat"));
        QVERIFY(window.Start());
        QTRY_COMPARE_WITH_TIMEOUT(window.TransferLabel()->text(),
                                  QStringLiteral("Transfer completed"), 30000);
        QCOMPARE(choosers, 0);
        QVERIFY(window.DroppedFile().isEmpty());
        std::vector<std::uint8_t> flash(kxsim_flash(nullptr, 0));
        kxsim_flash(flash.data(), flash.size());
        QVERIFY(std::equal(image.begin(), image.end(), flash.begin()));
    }

  private:
    static QString ReadAll(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QString WriteFirmware(const std::vector<std::uint8_t>& image) {
        const QString path = m_folder.filePath(QStringLiteral("firmware.dat"));
        std::ofstream(path.toStdString(), std::ios::binary)
            << kx::test::FirmwareFile(image, 0x08000000, "KX-DONGLE-2");
        return path;
    }

    // Answers the file chooser with `path` when it opens, as a user would.
    void AnswerChooserWith(const QString& path, QStringList* filters) {
        OnEachChooser([path, filters](QFileDialog& chooser) {
            if (filters != nullptr) {
                *filters = chooser.nameFilters();
            }
            TypeInto(chooser, path);
        });
    }

    // The widget keys go to, as a person's keys would.
    static QWidget* FocusedIn(QWidget& window) {
        QWidget* focused = QApplication::focusWidget();
        return focused != nullptr && window.isAncestorOf(focused) ? focused : &window;
    }

    // Answers the quit question: with the button named `button`, or with Enter when null.
    // Each question asked is noted as "text|name of the button that answered".
    void AnswerQuestionsWith(const char* button, QStringList* asked) {
        delete m_questionAnswerer;
        m_questionAnswerer = new QTimer(this);
        const QString name = button != nullptr ? QString::fromLatin1(button) : QString();
        connect(m_questionAnswerer, &QTimer::timeout, this, [name, asked] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || box->objectName() != QStringLiteral("QuitQuestion")) {
                return;
            }
            if (name.isEmpty()) {
                QTest::keyClick(box, Qt::Key_Return);
            } else if (auto* chosen = box->findChild<QPushButton*>(name)) {
                chosen->click();
            }
            const QAbstractButton* clicked = box->clickedButton();
            *asked << box->text() + "|" + (clicked != nullptr ? clicked->objectName() : QString());
        });
        m_questionAnswerer->start(20);
    }

    // The file name typed into the chooser's name box, then OK.
    static void TypeInto(QFileDialog& chooser, const QString& path) {
        auto* name = chooser.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (name == nullptr) {
            qWarning("the chooser has no file name box");
            return;
        }
        name->setText(path);
        QMetaObject::invokeMethod(&chooser, "accept", Qt::QueuedConnection);
    }

    // Calls `answer` once for each file chooser that opens.
    void OnEachChooser(std::function<void(QFileDialog&)> answer) {
        m_answerer = new QTimer(this);
        connect(m_answerer, &QTimer::timeout, this, [this, answer] {
            QFileDialog* chooser = nullptr;
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* box = qobject_cast<QMessageBox*>(widget);
                    box && box->isVisible() &&
                    box->objectName() != QStringLiteral("QuitQuestion")) {
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
            answer(*chooser);
        });
        m_answerer->start(20);
    }

    // The front end's duties as the Qt window carries them out, its modal choosers and
    // boxes answered from a timer, as a user would.
    class QtProbe : public kx::test::FrontEndProbe {
      public:
        explicit QtProbe(MainWindow& window) : m_window(window) {
            QObject::connect(&m_timer, &QTimer::timeout, [this] { Look(); });
            m_timer.start(10);
        }
        kx::CUpgradeDlg& Dialog() override { return m_window.Dialog(); }
        bool RunUntil(const std::function<bool()>& done, int ms) override {
            QDeadlineTimer deadline(ms);
            while (!done()) {
                if (deadline.hasExpired()) {
                    return done();
                }
                QTest::qWait(5);
            }
            return true;
        }
        std::string TransferLine() override {
            return m_window.TransferLabel()->text().toStdString();
        }
        std::string LogShown() override { return m_window.LogView()->toPlainText().toStdString(); }
        void AnswerChoosers(std::vector<std::string> paths) override { m_paths = std::move(paths); }
        int Choosers() const override { return m_choosers; }
        void WhileEachBoxIsOpen(std::function<void(const std::string&)> whileOpen) override {
            m_whileOpen = std::move(whileOpen);
        }
        int BoxesAnswered() const override { return m_answered; }
        kx::WindowSurface& Surface() override { return m_window; }
        bool Start() override { return m_window.Start(); }
        void End(bool byExit) override {
            if (byExit) {
                m_window.ExitButton()->click();
            } else {
                m_window.close();
            }
        }
        std::string SessionPath() override { return m_window.Session().Path(); }

      private:
        void Look() {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (!widget->isVisible()) {
                    continue;
                }
                if (auto* chooser = qobject_cast<QFileDialog*>(widget);
                    chooser != nullptr && chooser != m_chooser) {
                    m_chooser = chooser;
                    const auto next = static_cast<std::size_t>(m_choosers++);
                    if (next < m_paths.size()) {
                        TypeInto(*chooser, QString::fromStdString(m_paths[next]));
                    } else {
                        QMetaObject::invokeMethod(chooser, "reject", Qt::QueuedConnection);
                    }
                }
                auto* box = qobject_cast<QMessageBox*>(widget);
                if (box != nullptr && box->objectName() != QStringLiteral("QuitQuestion") &&
                    m_whileOpen && box != m_inBox) {
                    if (m_inBox == nullptr) {
                        m_inBox = box;
                        m_whileOpen(box->text().toStdString());
                        m_inBox = nullptr;
                    }
                    ++m_answered;
                    box->accept();
                }
            }
        }

        MainWindow& m_window;
        QTimer m_timer;
        std::vector<std::string> m_paths;
        int m_choosers = 0;
        QPointer<QFileDialog> m_chooser;
        std::function<void(const std::string&)> m_whileOpen;
        QMessageBox* m_inBox = nullptr;  // the box whose `m_whileOpen` runs
        int m_answered = 0;
    };

    QTemporaryDir m_folder;
    QTemporaryDir m_state;
    QTimer* m_answerer = nullptr;
    QTimer* m_questionAnswerer = nullptr;
    MainWindow* m_window = nullptr;
    QPointer<QFileDialog> m_answered;
};

QTEST_MAIN(WindowUpgradeTest)
#include "window_e2e_test.moc"
