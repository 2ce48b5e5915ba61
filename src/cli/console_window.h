// The window surface of the command-line flasher: the headless window's controls and
// message loop, with every visible change reported on the console.
#pragma once

#include "console_report.h"
#include "dongle_events.h"
#include "host/headless_window.h"

namespace kx::cli {

class ConsoleWindow : public HeadlessWindow {
  public:
    explicit ConsoleWindow(ConsoleReport& report, DongleEvents* events = nullptr)
        : m_report(report), m_events(events) {}

    void PushTexts(std::string_view connection, const LogUpdate& log,
                   std::string_view transfer) override;
    void SetProgressRange(std::uint32_t maximum) override;
    void SetProgressPos(std::uint32_t position) override;
    // A dongle that restarted and is flashed again from the first record: counted for the
    // record, and an event with --json.
    void TransferRestarted(unsigned restart, unsigned limit) override;
    unsigned Restarts() const { return m_restarts; }
    // Another dongle in the lost one's place: the events end the one that left.
    void DongleReplaced() override;

    // The file passed its check: the digest the session note took of the bytes the transfer
    // sends from is the one the events and the record name (the file is hashed once).
    void FileAccepted(const std::string& path, std::span<const std::uint8_t> image) override;

  private:
    ConsoleReport& m_report;
    DongleEvents* m_events;  // --json: the changes as events too
    unsigned m_restarts = 0;
    std::uint64_t m_sentSize = 0;  // of the file accepted last
};

}  // namespace kx::cli
