// Notices that the dongle started afresh during a transfer: its announcement header,
// which the reply interpreter echoes into the log like any text, shows up there. A
// restarted dongle waits for a new transfer and never answers the paused one.
#pragma once

#include <cstddef>
#include <string>

namespace kx::cli {

class RestartWatch {
  public:
    // `logSize`: the log's length when the transfer started; only text after it counts.
    explicit RestartWatch(std::size_t logSize) : m_start(logSize), m_scanned(logSize) {}

    // Looks at what the log gained since the last call.
    bool Seen(const std::string& log);

  private:
    std::size_t m_start;
    std::size_t m_scanned;
};

}  // namespace kx::cli
