// Preloaded into the guest's programs by tests/serial/kernel/cases.sh to bridge two gaps of
// QEMU's emulated FTDI chip and the host pty behind it:
//
// - Its line status never shows the transmitter empty, so the kernel's driver answers
//   TIOCSERGETLSR without TIOCSER_TEMT for ever, where a real chip sets it once its last
//   byte has left. QEMU's chip hands every byte on as it gets it: its transmitter is empty
//   whenever the driver's queue is, and this says so.
// - The pty carries no line time. QEMU writes the bytes into it at once and applies a line
//   change to it at once, so a change made right after the queue emptied can overtake
//   bytes the simulated dongle has not read yet, which it then takes with the new settings,
//   garbled (a switch record read at 500000 baud). A real chip's bytes are on the wire by
//   then. So the transmitter shows empty only once nothing was written to the tty for
//   kHold, time for the host's side to read them.
//
// Every other call, and the kernel's answer otherwise, passes unchanged.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>

#include <linux/serial.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kHold = std::chrono::milliseconds(100);
constexpr int kFds = 1024;
std::atomic<Clock::rep> g_lastWrite[kFds];

}  // namespace

extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
    using Write = ssize_t (*)(int, const void*, size_t);
    static const auto next = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
    const ssize_t written = next(fd, buffer, count);
    if (written > 0 && fd >= 0 && fd < kFds) {
        g_lastWrite[fd] = Clock::now().time_since_epoch().count();
    }
    return written;
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    using Ioctl = int (*)(int, unsigned long, void*);
    static const auto next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    const int result = next(fd, request, argument);
    if (result == 0 && request == TIOCSERGETLSR) {
        int unsent = 0;
        const bool quiet =
            fd < 0 || fd >= kFds ||
            Clock::now() - Clock::time_point(Clock::duration(g_lastWrite[fd])) >= kHold;
        if (next(fd, TIOCOUTQ, &unsent) == 0 && unsent == 0 && quiet) {
            *static_cast<unsigned int*>(argument) |= TIOCSER_TEMT;
        }
    }
    return result;
}
