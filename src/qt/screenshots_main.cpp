// Takes the pictures of the main window and the about box shown in the README, offscreen
// (scripts/screenshots.sh). Usage: kx_screenshots <driver library> <output folder> [firmware]
// With a firmware file the window runs a real upgrade (against the simulated dongle, say),
// the file chosen as a user would, and is pictured part-way through. Without one the
// driver need only open a device; the texts of a transfer are then set through the
// window surface.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "about_dlg.h"
#include "main_window.h"
#include "string_table.h"

namespace {

void WaitFor(const std::function<bool()>& ready, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!ready() && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

bool Save(QWidget& widget, const QDir& folder, const QString& name) {
    QCoreApplication::processEvents();
    const QString path = folder.filePath(name);
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// Picks `firmware` in every file chooser that opens, as a user would, until one takes it.
void AnswerChoosersWith(const QString& firmware) {
    auto* answerer = new QTimer(QCoreApplication::instance());
    QObject::connect(answerer, &QTimer::timeout, answerer, [firmware] {
        if (auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            // selectFile leaves the name box alone while it has the focus.
            if (QWidget* focused = QApplication::focusWidget()) {
                focused->clearFocus();
            }
            chooser->selectFile(firmware);
            QMetaObject::invokeMethod(chooser, "accept", Qt::QueuedConnection);
        }
    });
    answerer->start(50);
}

bool UpgradeIsPartWay(const kx::MainWindow& window) {
    const QProgressBar* progress = window.Progress();
    return window.TransferLabel()->text() == QString::fromUtf8(kx::text::kInProgress) &&
           progress->maximum() > 0 && progress->value() * 10 >= progress->maximum() * 3;
}

// A transfer part-way through, as the window shows it after the device announced itself
// and the user picked a file.
void SetTransferTexts(kx::MainWindow& window) {
    const std::string log = "Dongle KX-200 V1.4\r\n";
    window.PushTexts(kx::text::kConnected, kx::LogUpdate{true, log}, kx::text::kInProgress);
    window.SetProgressRange(48213);
    window.SetProgressPos(20736);
    window.EnableExit(false);
    window.ScrollLogToEnd();
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s <driver library> <output folder> [firmware]\n", argv[0]);
        return 2;
    }
    // A missing library would open a message box that nobody can answer offscreen.
    if (!QFileInfo(QString::fromLocal8Bit(argv[1])).isFile()) {
        std::fprintf(stderr, "no driver library at %s\n", argv[1]);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[2]));
    if (!QDir().mkpath(folder.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[2]);
        return 2;
    }

    kx::MainWindow window(argv[1]);
    if (argc == 4) {
        AnswerChoosersWith(QFileInfo(QString::fromLocal8Bit(argv[3])).absoluteFilePath());
    }
    if (!window.Start()) {
        return 1;
    }
    if (argc == 4) {
        WaitFor([&window] { return UpgradeIsPartWay(window); }, 60000);
        if (!UpgradeIsPartWay(window)) {
            std::fprintf(stderr, "the upgrade did not get under way: %s\n",
                         qPrintable(window.TransferLabel()->text()));
            window.done(QDialog::Rejected);
            return 1;
        }
    } else {
        // The first timer tick opens the device; its line is then the one users see.
        WaitFor([&window] { return !window.ConnectionLabel()->text().isEmpty(); }, 3000);
        SetTransferTexts(window);
    }
    bool saved = Save(window, folder, QStringLiteral("main-window.png"));

    kx::CAboutDlg about(&window);
    about.show();
    saved = Save(about, folder, QStringLiteral("about-box.png")) && saved;
    about.close();

    window.done(QDialog::Rejected);
    return saved ? 0 : 1;
}
