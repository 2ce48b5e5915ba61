// The device's end of a pseudo-terminal. The host opens the slave as it would open
// /dev/ttyUSB0; the master tells whether it has, and which settings it gave the line.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "link.h"

namespace kxsim::pty {

class PtyPort {
  public:
    // A new pty whose slave nobody holds open yet.
    PtyPort();
    // Closing the master hangs the slave up: the host sees its device vanish.
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    int MasterFd() const { return m_master; }
    const std::string& SlaveName() const { return m_slaveName; }

    // Whether some process holds the slave open.
    bool HostOpen() const;
    // The host's line settings (the master reads the slave's termios).
    LinkSettings HostLink() const;
    // What the host has written so far; nothing when the slave is closed.
    std::vector<std::uint8_t> TakeWritten();
    // Puts bytes into the host's receive queue; dropped when it is full.
    void Deliver(std::span<const std::uint8_t> bytes);

  private:
    int m_master = -1;
    std::string m_slaveName;
};

}  // namespace kxsim::pty
