// The window surface of the command-line flasher: the headless window's controls and
// message loop, with every visible change reported on the console.
#pragma once

#include "app/headless_window.h"
#include "console_report.h"

namespace kx::cli {

class ConsoleWindow : public HeadlessWindow {
  public:
    explicit ConsoleWindow(ConsoleReport& report) : m_report(report) {}

    void PushTexts(std::string_view connection, const LogUpdate& log,
                   std::string_view transfer) override;
    void SetProgressRange(std::uint32_t maximum) override;
    void SetProgressPos(std::uint32_t position) override;

  private:
    ConsoleReport& m_report;
};

}  // namespace kx::cli
