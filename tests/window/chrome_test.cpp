// The window's chrome, offscreen: where the about entry is offered, what the about box
// says, how it is laid out and placed, that device work goes on while it is open, and
// the application icon.
#include <dlfcn.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "about_dlg.h"
#include "app_icon.h"
#include "device/driver_binding.h"
#include "dialog_units.h"
#include "main_window.h"
#include "system_menu.h"

using kx::CAboutDlg;
using kx::MainWindow;

namespace {

const QString kEntryText = QStringLiteral(u"Inf&o \u00FCber KXUpgradeDongle...");
const QString kCaption = QStringLiteral(u"Info \u00FCber KXUpgradeDongle");

struct BoxSeen {
    QString caption;
    QWidget* parent = nullptr;
    bool modal = false;
    QPoint centre;
};

// Answers the menus and about boxes that open while a test runs, from whichever event
// loop is running them: a menu is handed to `onMenu`, which activates or closes it; a box
// is noted and closed with its OK button once `keepOpen` (called on every tick) says so.
class UiDriver : public QObject {
  public:
    UiDriver() {
        connect(&m_timer, &QTimer::timeout, this, [this] { Tick(); });
        m_timer.start(10);
    }

    std::function<void(QMenu&)> onMenu = [](QMenu& menu) { menu.close(); };
    std::function<bool(CAboutDlg&)> keepOpen = [](CAboutDlg&) { return false; };
    QStringList menuEntries;
    QList<BoxSeen> boxes;

  private:
    void Tick() {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            menuEntries.clear();
            for (QAction* action : menu->actions()) {
                if (!action->isSeparator()) {
                    menuEntries << action->text();
                }
            }
            // Activating an entry runs the box's own loop: from here that would block
            // this timer, so the menu is answered once this tick has returned.
            if (!m_menuPending) {
                m_menuPending = true;
                QMetaObject::invokeMethod(
                    this,
                    [this, menu = QPointer<QMenu>(menu)] {
                        m_menuPending = false;
                        if (menu != nullptr) {
                            onMenu(*menu);
                        }
                    },
                    Qt::QueuedConnection);
            }
            return;
        }
        auto* box = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        if (box != m_open) {
            m_open = box;
            boxes.append({box->windowTitle(), box->parentWidget(), box->isModal(),
                          box->geometry().center()});
        }
        if (!keepOpen(*box)) {
            m_open = nullptr;
            QTest::mouseClick(box->OkButton(), Qt::LeftButton);
        }
    }

    QTimer m_timer;
    CAboutDlg* m_open = nullptr;
    bool m_menuPending = false;
};

QAction* ActionNamed(QMenu& menu, const QString& text) {
    for (QAction* action : menu.actions()) {
        if (action->text() == text) {
            return action;
        }
    }
    return nullptr;
}

}  // namespace

class ChromeTest : public QObject {
    Q_OBJECT

  private slots:
    void init() { kx::UnbindDriverForTesting(); }
    void cleanup() { kx::UnbindDriverForTesting(); }

    void boxShowsTheGermanTextsInTheMainWindowsUnits() {
        MainWindow window;
        CAboutDlg box(&window);
        QCOMPARE(box.windowTitle(), kCaption);
        QCOMPARE(box.VersionLabel()->text(), QStringLiteral("KXUpgradeDongle Version 1.0"));
        QCOMPARE(box.VersionLabel()->textFormat(), Qt::PlainText);
        QCOMPARE(box.OkButton()->text(), QStringLiteral("OK"));
        QVERIFY(box.OkButton()->isDefault());
        QVERIFY(!box.IconLabel()->pixmap().isNull());
        QVERIFY(!(box.windowFlags() & Qt::WindowMinimizeButtonHint));

        // One conversion for both dialogs: 235 x 55 units against the main window's 414 x 253.
        QVERIFY(qAbs(double(box.width()) / window.width() - 235.0 / 414.0) < 0.01);
        QVERIFY(qAbs(double(box.height()) / window.height() - 55.0 / 253.0) < 0.02);
        // Icon, text, OK from left to right, all inside the box, and the text not clipped.
        const QRect icon = box.IconLabel()->geometry();
        const QRect version = box.VersionLabel()->geometry();
        const QRect ok = box.OkButton()->geometry();
        QVERIFY(icon.right() < version.left() && version.right() < ok.left());
        QVERIFY(box.rect().contains(icon) && box.rect().contains(ok));
        QVERIFY(box.VersionLabel()->fontMetrics().horizontalAdvance(box.VersionLabel()->text()) <=
                version.width());
    }

    void f1OpensOneModalBoxCentredOverTheWindow() {
        MainWindow window;
        QVERIFY(window.Start());
        QVERIFY(QTest::qWaitForWindowActive(&window));
        UiDriver driver;
        QTest::keyClick(&window, Qt::Key_F1);
        QCOMPARE(driver.boxes.size(), 1);
        const BoxSeen& box = driver.boxes.first();
        QCOMPARE(box.caption, kCaption);
        QCOMPARE(box.parent, static_cast<QWidget*>(&window));
        QVERIFY(box.modal);
        QVERIFY((box.centre - window.geometry().center()).manhattanLength() <= 2);
        QVERIFY(window.isVisible());
    }

    void rightClickOnTheWindowOffersTheEntryWithItsAccessKey() {
        MainWindow window;
        QVERIFY(window.Start());
        UiDriver driver;
        driver.onMenu = [](QMenu& menu) { QTest::keyClick(&menu, Qt::Key_O); };
        // On a status line: the lines pass the click on to the window.
        QLabel* line = window.ConnectionLabel();
        QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5),
                                line->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(line, &click);
        QCOMPARE(driver.menuEntries, (QStringList{kEntryText, QStringLiteral("Open log folder")}));
        QCOMPARE(driver.boxes.size(), 1);
    }

    void theLogsMenuKeepsCopyAndGainsTheEntry() {
        MainWindow window;
        QVERIFY(window.Start());
        UiDriver driver;
        driver.onMenu = [](QMenu& menu) {
            QAction* entry = ActionNamed(menu, kEntryText);
            if (entry == nullptr) {
                menu.close();
                return;
            }
            menu.setActiveAction(entry);
            QTest::keyClick(&menu, Qt::Key_Return);
        };
        QWidget* viewport = window.LogView()->viewport();
        QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(10, 10),
                                viewport->mapToGlobal(QPoint(10, 10)));
        QApplication::sendEvent(viewport, &click);
        QVERIFY(driver.menuEntries.size() > 1);
        QCOMPARE(driver.menuEntries.mid(driver.menuEntries.size() - 2),
                 (QStringList{kEntryText, QStringLiteral("Open log folder")}));
        QVERIFY(driver.menuEntries.filter(QStringLiteral("Copy")).size() == 1);
        QCOMPARE(driver.boxes.size(), 1);
    }

    void systemCommandsOtherThanTheEntryArePassedOn() {
        MainWindow window;
        QVERIFY(window.Start());
        UiDriver driver;
        QVERIFY(!window.OnSysCommand(0xF060));
        QVERIFY(!window.OnSysCommand(0xF120));  // restore
        QCOMPARE(driver.boxes.size(), 0);
        QVERIFY(window.isVisible());
        QVERIFY(window.OnSysCommand(0x0013));  // the low four bits are the system's own
        QCOMPARE(driver.boxes.size(), 1);
    }

    void pollPassesAndTimerTicksGoOnWhileTheBoxIsOpen() {
        MainWindow window;
        QVERIFY(window.Start());
        // The stub driver counts its calls; the window loaded it by name.
        void* stub = dlopen("libftd2xx.so", RTLD_NOW | RTLD_NOLOAD);
        QVERIFY(stub != nullptr);
        const auto callCount = reinterpret_cast<int (*)()>(dlsym(stub, "stub_call_count"));
        QVERIFY(callCount != nullptr);

        UiDriver driver;
        QString lineAtOpen = QStringLiteral("(box not seen)");
        int callsWhenConnected = -1;
        QElapsedTimer open;
        driver.keepOpen = [&](CAboutDlg&) {
            if (!open.isValid()) {
                open.start();
                lineAtOpen = window.ConnectionLabel()->text();
            }
            // A timer tick connects; from then on only poll passes call the driver.
            if (callsWhenConnected < 0 && !window.ConnectionLabel()->text().isEmpty()) {
                callsWhenConnected = callCount();
            }
            const bool polled = callsWhenConnected >= 0 && callCount() >= callsWhenConnected + 5;
            return !polled && open.elapsed() < 5000;
        };
        // No event has run since Start, so the box opens before the first timer tick.
        window.ShowAboutBox();
        QCOMPARE(driver.boxes.size(), 1);
        QCOMPARE(lineAtOpen, QString());
        QCOMPARE(window.ConnectionLabel()->text(), QStringLiteral("KX Upgrade - Dongle connected"));
        QVERIFY(callsWhenConnected >= 0);
        QVERIFY(callCount() >= callsWhenConnected + 5);
        dlclose(stub);
    }

    void theWindowCarriesTheIconInEverySize() {
        MainWindow window;
        const QIcon icon = window.windowIcon();
        QVERIFY(!icon.isNull());
        for (int size : kx::kAppIconSizes) {
            QVERIFY2(icon.availableSizes().contains(QSize(size, size)),
                     qPrintable(QString::number(size)));
            // The image drawn at that size really is that big and not blank.
            const QImage image = icon.pixmap(QSize(size, size)).toImage();
            QCOMPARE(image.size(), QSize(size, size));
            QVERIFY(qAlpha(image.pixel(size / 2, size / 2)) == 255);
            QVERIFY(qAlpha(image.pixel(0, 0)) < 255);
        }
    }
};

QTEST_MAIN(ChromeTest)
#include "chrome_test.moc"
