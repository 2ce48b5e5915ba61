#include "serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/serial.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

namespace kxserial {

namespace {

using Clock = std::chrono::steady_clock;

// A D2XX time-out: 0 means wait as long as it takes.
class Deadline {
  public:
    explicit Deadline(ULONG timeoutMs) {
        if (timeoutMs != 0) {
            m_end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        }
    }
    // For poll(): -1 without a time-out, otherwise the milliseconds left, rounded up.
    int RemainingMs() const {
        if (!m_end) {
            return -1;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*m_end - Clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }

  private:
    std::optional<Clock::time_point> m_end;
};

// What a tty answers once its device has been unplugged (the kernel hangs it up).
bool MeansUnplugged(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

}  // namespace

FT_STATUS SerialPort::Open(const DeviceRoots& roots, const std::string& ttyName,
                           std::shared_ptr<SerialPort>& port) {
    const std::string node = roots.NodePath(ttyName);
    // Without O_NONBLOCK the open would wait for carrier; without O_NOCTTY the tty could
    // become this process's controlling terminal.
    const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? FT_DEVICE_NOT_FOUND : FT_DEVICE_NOT_OPENED;
    }
    // The driver starts reading from the chip inside open(). A tty new to the system (a
    // dongle plugged in again comes back as one) holds the kernel's default settings,
    // echo and line editing on: until the raw settings are in, every byte the dongle sends
    // goes straight back to it. So the raw settings come first, after only the lock
    // (one opener at a time, as with D2XX: a refused second open must leave the line of
    // the port's user alone; the lock covers other processes using this library, root
    // included, and TIOCEXCL below keeps out anyone else without privileges).
    termios2 line{};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TCGETS2, &line) != 0) {
        ::close(fd);
        return FT_DEVICE_NOT_OPENED;
    }
    MakeRaw(line);
    if (ioctl(fd, TCSETS2, &line) != 0) {
        ::close(fd);
        return FT_DEVICE_NOT_OPENED;
    }
    // What came in under the old settings is not this session's, and an echo of it that
    // has not left yet is dropped with the output queue.
    ioctl(fd, TCFLSH, TCIOFLUSH);
    ioctl(fd, TIOCEXCL);
    struct stat info {};
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fstat(fd, &info) != 0 || wakeFd < 0) {
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
        return FT_DEVICE_NOT_OPENED;
    }
    port.reset(new SerialPort(fd, wakeFd, info.st_rdev, node, roots.SysfsEntry(ttyName)));
    return FT_OK;
}

SerialPort::SerialPort(int fd, int wakeFd, dev_t rdev, std::string node, std::string sysfsEntry)
    : m_fd(fd),
      m_wakeFd(wakeFd),
      m_rdev(rdev),
      m_node(std::move(node)),
      m_sysfsEntry(std::move(sysfsEntry)) {}

SerialPort::~SerialPort() {
    m_events.Stop();
    ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
    ::close(m_wakeFd);
}

void SerialPort::Shutdown() {
    eventfd_write(m_wakeFd, 1);
    m_events.Stop();
}

FT_STATUS SerialPort::Failed(int error) {
    if (MeansUnplugged(error)) {
        m_lost = true;
    }
    return FT_IO_ERROR;
}

SerialPort::Wait SerialPort::WaitFor(short events, int timeoutMs) {
    pollfd fds[2] = {{m_fd, events, 0}, {m_wakeFd, POLLIN, 0}};
    const int ready = poll(fds, 2, timeoutMs);
    if (ready == 0) {
        return Wait::TimedOut;
    }
    if (ready > 0 && fds[1].revents != 0) {
        return Wait::ShutDown;
    }
    return Wait::Ready;  // ready, or interrupted: the caller tries again either way
}

FT_STATUS SerialPort::Read(void* buffer, DWORD count, DWORD* got) {
    std::lock_guard lock(m_readMutex);
    *got = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    const Deadline deadline(m_readTimeoutMs);
    while (*got < count) {
        if (m_lost) {
            return FT_IO_ERROR;
        }
        const ssize_t n = ::read(m_fd, bytes + *got, count - *got);
        if (n > 0) {
            *got += static_cast<DWORD>(n);
            continue;
        }
        if (n == 0) {
            return Failed(EIO);  // a hung-up tty reads as end of file
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            return Failed(errno);
        }
        switch (WaitFor(POLLIN, deadline.RemainingMs())) {
            case Wait::Ready:
                break;
            case Wait::TimedOut:
                return FT_OK;
            case Wait::ShutDown:
                return FT_IO_ERROR;
        }
    }
    return FT_OK;
}

FT_STATUS SerialPort::Write(const void* buffer, DWORD count, DWORD* written) {
    std::lock_guard lock(m_writeMutex);
    *written = 0;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    const Deadline deadline(m_writeTimeoutMs);
    while (*written < count) {
        if (m_lost) {
            return FT_IO_ERROR;
        }
        const ssize_t n = ::write(m_fd, bytes + *written, count - *written);
        if (n > 0) {
            *written += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return Failed(errno);
        }
        switch (WaitFor(POLLOUT, deadline.RemainingMs())) {
            case Wait::Ready:
                break;
            case Wait::TimedOut:
                return FT_OK;
            case Wait::ShutDown:
                return FT_IO_ERROR;
        }
    }
    return FT_OK;
}

void SerialPort::SetTimeouts(ULONG readMs, ULONG writeMs) {
    m_readTimeoutMs = readMs;
    m_writeTimeoutMs = writeMs;
}

bool SerialPort::StillPlugged() const {
    struct stat node {};
    return stat(m_node.c_str(), &node) == 0 && node.st_rdev == m_rdev &&
           access(m_sysfsEntry.c_str(), F_OK) == 0;
}

FT_STATUS SerialPort::QueueStatus(DWORD* rx, DWORD* tx) {
    if (m_lost || !StillPlugged()) {
        m_lost = true;
        return FT_IO_ERROR;
    }
    int received = 0;
    int unsent = 0;
    if (ioctl(m_fd, FIONREAD, &received) != 0 || ioctl(m_fd, TIOCOUTQ, &unsent) != 0) {
        return Failed(errno);
    }
    // The kernel's queue may be empty while the chip still sends its last bytes; drivers
    // that know (the FTDI one does) tell through the line status. A tty without it
    // (a pseudo-terminal) has nothing beyond its queue.
    unsigned int lineStatus = 0;
    if (unsent == 0 && ioctl(m_fd, TIOCSERGETLSR, &lineStatus) == 0 &&
        (lineStatus & TIOCSER_TEMT) == 0) {
        unsent = 1;
    }
    *rx = static_cast<DWORD>(received);
    *tx = static_cast<DWORD>(unsent);
    return FT_OK;
}

FT_STATUS SerialPort::Purge(ULONG mask) {
    const bool rx = (mask & FT_PURGE_RX) != 0;
    const bool tx = (mask & FT_PURGE_TX) != 0;
    if (m_lost) {
        return FT_IO_ERROR;
    }
    if (!rx && !tx) {
        return FT_OK;
    }
    const int queues = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
    if (ioctl(m_fd, TCFLSH, queues) != 0) {
        return Failed(errno);
    }
    if (rx) {
        m_events.ClearFired();
    }
    return FT_OK;
}

FT_STATUS SerialPort::Reset() {
    const FT_STATUS purged = Purge(FT_PURGE_RX | FT_PURGE_TX);
    if (purged != FT_OK) {
        return purged;
    }
    ioctl(m_fd, TCXONC, TCOON);
    return FT_OK;
}

FT_STATUS SerialPort::ChangeLine(const std::function<FT_STATUS(termios2&)>& change) {
    std::lock_guard lock(m_lineMutex);
    if (m_lost) {
        return FT_IO_ERROR;
    }
    termios2 before{};
    if (ioctl(m_fd, TCGETS2, &before) != 0) {
        return Failed(errno);
    }
    termios2 line = before;
    const FT_STATUS status = change(line);
    if (status != FT_OK) {
        return status;
    }
    if (ioctl(m_fd, TCSETSW2, &line) != 0) {
        return Failed(errno);
    }
    // The call succeeds whatever the driver made of the settings: what it took shows only
    // in the settings read back. A refused one leaves the line as it was, as D2XX does.
    termios2 taken{};
    if (ioctl(m_fd, TCGETS2, &taken) != 0) {
        return Failed(errno);
    }
    const FT_STATUS verdict = CompareTaken(line, taken);
    if (verdict != FT_OK) {
        ioctl(m_fd, TCSETS2, &before);
    }
    return verdict;
}

FT_STATUS SerialPort::SetLatencyTimer(UCHAR ms) {
    if (m_lost) {
        return FT_IO_ERROR;
    }
    if (FILE* attribute = std::fopen(LatencyTimerPath().c_str(), "w")) {
        const bool written = std::fprintf(attribute, "%u\n", static_cast<unsigned>(ms)) > 0;
        if (std::fclose(attribute) == 0 && written) {
            return FT_OK;
        }
    }
    serial_struct serial{};
    if (ioctl(m_fd, TIOCGSERIAL, &serial) == 0) {
        // The flag stands for "as low as the driver goes"; the tool asks for 2 ms or less
        // while it holds the dongle, and for the chip's own value (the attribute's, which
        // clearing the flag brings back, whatever it is) when it lets go.
        constexpr UCHAR kLowest = 2;
        const std::optional<UCHAR> own = AttributeLatency();
        if (ms <= kLowest && ms != own) {
            serial.flags |= ASYNC_LOW_LATENCY;
        } else {
            serial.flags &= ~ASYNC_LOW_LATENCY;
        }
        ioctl(m_fd, TIOCSSERIAL, &serial);  // the tty's owner may set this flag
    }
    return FT_OK;
}

std::optional<UCHAR> SerialPort::AttributeLatency() const {
    std::ifstream attribute(LatencyTimerPath());
    unsigned value = 0;
    if (attribute >> value && value <= 255) {
        return static_cast<UCHAR>(value);
    }
    return std::nullopt;
}

FT_STATUS SerialPort::GetLatencyTimer(UCHAR* ms) {
    if (m_lost) {
        return FT_IO_ERROR;
    }
    serial_struct serial{};
    if (ioctl(m_fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) != 0) {
        *ms = 1;
        return FT_OK;
    }
    // Whatever the chip reads is its value to put back, 0 included (an emulated chip reads
    // 0 where a real one reads 16).
    if (const std::optional<UCHAR> value = AttributeLatency()) {
        *ms = *value;
        return FT_OK;
    }
    return FT_NOT_SUPPORTED;
}

}  // namespace kxserial
