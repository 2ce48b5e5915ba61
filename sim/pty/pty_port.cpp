#include "pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "termios_link.h"

namespace kxsim::pty {

PtyPort::PtyPort() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        throw std::runtime_error("cannot create a pseudo-terminal");
    }
    m_slaveName = ptsname(m_master);
    // The master reports a hang-up only once a slave has been opened and closed again;
    // doing that here makes "no hang-up" mean "the host has the port open" from the start.
    const int slave = open(m_slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        throw std::runtime_error("cannot open " + m_slaveName);
    }
    close(slave);
}

PtyPort::~PtyPort() {
    close(m_master);
}

bool PtyPort::HostOpen() const {
    pollfd fd{m_master, 0, 0};
    return poll(&fd, 1, 0) == 0 || (fd.revents & POLLHUP) == 0;
}

LinkSettings PtyPort::HostLink() const {
    termios2 line{};
    ioctl(m_master, TCGETS2, &line);
    return LinkFromTermios(line);
}

std::vector<std::uint8_t> PtyPort::TakeWritten() {
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = read(m_master, buffer, sizeof buffer);
        if (n <= 0) {
            break;  // EAGAIN: all read; EIO: the slave is closed
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

void PtyPort::Deliver(std::span<const std::uint8_t> bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = write(m_master, bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
}

}  // namespace kxsim::pty
