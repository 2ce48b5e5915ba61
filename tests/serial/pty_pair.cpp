#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace kxserial::test {

PtyPair::PtyPair() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    m_slaveName = ptsname(m_master);
    m_slave = open(m_slaveName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slave < 0) {
        throw std::runtime_error("cannot open " + m_slaveName);
    }
}

PtyPair::~PtyPair() {
    CloseMaster();
    close(m_slave);
}

void PtyPair::CloseMaster() {
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
}

void PtyPair::Send(const std::string& bytes) {
    if (write(m_master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("short write to the pty master");
    }
}

std::string PtyPair::Receive(int ms) {
    std::string received;
    pollfd fd{m_master, POLLIN, 0};
    while (poll(&fd, 1, received.empty() ? ms : 50) > 0 && (fd.revents & POLLIN) != 0) {
        char buffer[256];
        const ssize_t n = read(m_master, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        received.append(buffer, static_cast<std::size_t>(n));
    }
    return received;
}

}  // namespace kxserial::test
