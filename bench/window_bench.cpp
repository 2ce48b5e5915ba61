// The Qt window's share of the benchmarks, each in a process of its own:
//   kx_bench_window --log-cost FILE   echoed-byte cost by log length, written to FILE
//   kx_bench_window --idle SECONDS    the window connected with nothing to do
//   kx_bench_window --floor SECONDS   a thread posting an event every 1 ms, nothing run
//   kx_bench_window --upgrade FILE    one upgrade of FILE, exit 0 when it completed
// The driver is the simulated dongle (LD_LIBRARY_PATH); the chooser answers by itself.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "device/driver_binding.h"
#include "log_cost.h"
#include "main_window.h"
#include "string_table.h"

namespace kx::bench {
namespace {

class BenchWindow : public MainWindow {
  public:
    explicit BenchWindow(std::string file) : m_file(std::move(file)) {}
    std::optional<std::string> ChooseFile(const FileChooserRequest&) override {
        if (m_asked) {
            return std::nullopt;
        }
        m_asked = true;
        return m_file;
    }
    bool Asked() const { return m_asked; }

  private:
    std::string m_file;
    bool m_asked = false;
};

bool RunQtUntil(const std::function<bool()>& done, int limitMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

int LogCost(const char* outPath) {
    if (std::freopen(outPath, "w", stdout) == nullptr) {
        return 2;
    }
    const std::string folder = TempFolder();
    const Firmware fw = MakeFirmware(1024, folder);
    std::vector<double> nanos;
    for (const std::size_t length : LogLengths()) {
        UnbindDriverForTesting();
        BenchWindow window(fw.path);
        if (!window.Start()) {
            return 3;
        }
        InstallInstantDongle();
        InstantHold(true);
        if (!RunQtUntil([&] { return window.Asked(); }, 10000)) {
            return 4;
        }
        nanos.push_back(
            EchoNanosAt(window.Dialog(), length, [] { QCoreApplication::processEvents(); }));
    }
    PrintLogCost("window (Qt, offscreen)", nanos);
    std::filesystem::remove_all(folder);
    return 0;
}

int Idle(int seconds) {
    BenchWindow window("");
    if (!window.Start()) {
        return 3;
    }
    QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
    QApplication::exec();
    return 0;
}

class Sink : public QObject {
  public:
    bool event(QEvent* e) override { return e->type() == QEvent::User || QObject::event(e); }
};

int Floor(int seconds) {
    Sink sink;
    std::atomic<bool> run{true};
    std::thread poster([&] {
        while (run.load()) {
            QCoreApplication::postEvent(&sink, new QEvent(QEvent::User));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
    QApplication::exec();
    run = false;
    poster.join();
    return 0;
}

int Upgrade(const char* file) {
    BenchWindow window(file);
    if (!window.Start()) {
        return 3;
    }
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (window.Asked() && !window.Dialog().Transferring()) {
            QCoreApplication::quit();
        }
    });
    check.start(20);
    QApplication::exec();
    return window.Dialog().Outcome().state == TransferState::Completed ? 0 : 1;
}

}  // namespace
}  // namespace kx::bench

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--log-cost") == 0) {
        return kx::bench::LogCost(argv[2]);
    }
    if (argc == 3 && std::strcmp(argv[1], "--idle") == 0) {
        return kx::bench::Idle(std::atoi(argv[2]));
    }
    if (argc == 3 && std::strcmp(argv[1], "--floor") == 0) {
        return kx::bench::Floor(std::atoi(argv[2]));
    }
    if (argc == 3 && std::strcmp(argv[1], "--upgrade") == 0) {
        return kx::bench::Upgrade(argv[2]);
    }
    std::fprintf(stderr,
                 "usage: %s --log-cost FILE | --idle SECONDS | --floor SECONDS | --upgrade FILE\n",
                 argv[0]);
    return 2;
}
