// Preloaded into the guest's programs by tests/serial/kernel/cases.sh to bridge a gap of
// QEMU's emulated FTDI chip: its line status never shows the transmitter empty, so the
// kernel's driver answers TIOCSERGETLSR without TIOCSER_TEMT for ever, where a real chip
// sets it once its last byte has left. QEMU's chip hands every byte on as it gets it: its
// transmitter is empty whenever the driver's queue is, and this says so. Every other call,
// and the kernel's answer otherwise, passes unchanged.
#include <dlfcn.h>
#include <sys/ioctl.h>

#include <cstdarg>

#include <linux/serial.h>

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
        if (next(fd, TIOCOUTQ, &unsent) == 0 && unsent == 0) {
            *static_cast<unsigned int*>(argument) |= TIOCSER_TEMT;
        }
    }
    return result;
}
