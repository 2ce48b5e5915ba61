// One opened dongle: the tty's file descriptor and the D2XX operations on it. Every method
// may be called from any thread; reads and writes may wait at the same time.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "d2xx_api.h"
#include "device_finder.h"
#include "event_notifier.h"
#include "line_settings.h"

namespace kxserial {

class SerialPort {
  public:
    // Opens the tty's node for this process alone and sets it raw, 9600 8N1.
    static FT_STATUS Open(const DeviceRoots& roots, const std::string& ttyName,
                          std::shared_ptr<SerialPort>& port);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // D2XX semantics: wait until `count` bytes have moved or the time-out (0 = none) has
    // passed; a time-out is FT_OK with fewer bytes. FT_IO_ERROR once the device is gone,
    // with the bytes moved before that still counted.
    FT_STATUS Read(void* buffer, DWORD count, DWORD* got);
    FT_STATUS Write(const void* buffer, DWORD count, DWORD* written);
    void SetTimeouts(ULONG readMs, ULONG writeMs);

    // Bytes waiting in each direction; fails once the node, its sysfs entry or the tty
    // itself is gone.
    FT_STATUS QueueStatus(DWORD* rx, DWORD* tx);
    FT_STATUS Purge(ULONG mask);
    // The nearest to the chip's reset that a tty offers: both queues emptied and output
    // resumed if an XOFF had stopped it. The line settings stay.
    FT_STATUS Reset();
    // Reads the line settings, lets `change` edit them and writes them back once the
    // output has drained (the kernel's FTDI driver waits there until the chip reports its
    // transmitter empty), so that no byte still on its way goes out with the new settings.
    FT_STATUS ChangeLine(const std::function<FT_STATUS(termios2&)>& change);

    // The chip's latency timer. Set through the device's latency_timer attribute in sysfs
    // where this process may write it, else through the tty's low-latency flag (the
    // kernel's FTDI driver then uses 1 ms; clearing it brings back the attribute's value).
    // A tty that takes neither (a pseudo-terminal) keeps its own timing: no error. Every
    // value GetLatencyTimer gives is taken back, 0 included.
    FT_STATUS SetLatencyTimer(UCHAR ms);
    // 1 while the low-latency flag is set, else the attribute's value (0 to 255);
    // FT_NOT_SUPPORTED when the tty shows neither.
    FT_STATUS GetLatencyTimer(UCHAR* ms);

    EventNotifier& Events() { return m_events; }
    int Fd() const { return m_fd; }

    // Ends every wait on this port and stops event notification (FT_Close). The descriptor
    // closes when the last caller lets go of the port.
    void Shutdown();

  private:
    SerialPort(int fd, int wakeFd, dev_t rdev, std::string node, std::string sysfsEntry);

    enum class Wait { Ready, TimedOut, ShutDown };
    Wait WaitFor(short events, int timeoutMs);
    bool StillPlugged() const;
    std::string LatencyTimerPath() const { return m_sysfsEntry + "/device/latency_timer"; }
    std::optional<UCHAR> AttributeLatency() const;
    // Remembers a lost device for the errors a vanished tty gives; returns FT_IO_ERROR.
    FT_STATUS Failed(int error);

    const int m_fd;
    const int m_wakeFd;  // eventfd, readable once Shutdown() ran
    const dev_t m_rdev;
    const std::string m_node;
    const std::string m_sysfsEntry;
    std::atomic<bool> m_lost{false};
    std::atomic<ULONG> m_readTimeoutMs{0};
    std::atomic<ULONG> m_writeTimeoutMs{0};
    std::mutex m_readMutex;
    std::mutex m_writeMutex;
    std::mutex m_lineMutex;
    EventNotifier m_events;
};

}  // namespace kxserial
