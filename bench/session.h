// One dialog on a toolkit-free window, answering the file request with a given file and
// timing the transfer from that answer to its end.
#pragma once

#include <chrono>
#include <string>

#include "bench_util.h"
#include "device/driver_binding.h"
#include "dialog/upgrade_dlg.h"
#include "host/headless_window.h"
#include "instant_dongle.h"

namespace kx::bench {

// A headless window that notes the process's CPU time once the dialog has accepted its
// file (read whole, checked, hashed for the session note), before the first byte goes out.
class AcceptanceTimedWindow : public HeadlessWindow {
  public:
    void FileAccepted(const std::string& path, std::span<const std::uint8_t> image) override {
        HeadlessWindow::FileAccepted(path, image);
        acceptedCpu = CpuSeconds();
    }
    double acceptedCpu = 0;
};

class Session {
  public:
    // The driver is bound by its plain name (the simulated dongle); `instant` then puts
    // the instant device in its place.
    Session(HeadlessWindow& window, std::string file, bool instant)
        : m_window(window), m_file(std::move(file)) {
        UnbindDriverForTesting();
        m_window.chooser = [this](const FileChooserRequest&) -> std::optional<std::string> {
            if (m_startWall > 0) {
                return std::nullopt;
            }
            m_startWall = WallSeconds();
            m_startCpu = CpuSeconds();
            return m_file;
        };
        m_window.Attach(&m_dlg);
        m_dlg.OnInitDialog();
        if (instant) {
            InstallInstantDongle();
        }
    }
    ~Session() {
        m_dlg.OnEndDialog();
        m_window.Attach(nullptr);
        m_window.chooser = nullptr;
        UnbindDriverForTesting();
    }

    bool WaitForStart(std::chrono::milliseconds limit) {
        return m_window.RunUntil([this] { return m_startWall > 0; }, limit);
    }
    // Runs until the transfer has ended; false on time-out.
    bool RunTransfer(std::chrono::milliseconds limit) {
        const bool ended =
            m_window.RunUntil([this] { return m_startWall > 0 && !m_dlg.Transferring(); }, limit);
        m_wall = WallSeconds() - m_startWall;
        m_cpu = CpuSeconds() - m_startCpu;
        return ended;
    }

    CUpgradeDlg& Dialog() { return m_dlg; }
    double TransferWall() const { return m_wall; }
    double TransferCpu() const { return m_cpu; }
    double StartCpu() const { return m_startCpu; }

  private:
    HeadlessWindow& m_window;
    std::string m_file;
    CUpgradeDlg m_dlg{m_window};
    double m_startWall = 0;
    double m_startCpu = 0;
    double m_wall = 0;
    double m_cpu = 0;
};

}  // namespace kx::bench
