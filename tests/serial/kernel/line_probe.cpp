// kernel_line_probe LIBRARY NODE: the line settings the kernel's driver refuses, through the
// serial-port library. Opens the dongle by description, sets the command profile, then asks
// for what the kernel may refuse and prints, one "name=value" per line, each call's status
// and the line the tty holds afterwards (read on NODE, apart from the library). Run in the
// guest by tests/serial/kernel/cases.sh, which judges the values.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <asm/termbits.h>

#include <cstdio>
#include <string>

#include "d2xx_api.h"

namespace {

void* g_library = nullptr;

template <typename Fn>
Fn Entry(const char* name) {
    void* address = dlsym(g_library, name);
    if (address == nullptr) {
        std::fprintf(stderr, "missing %s\n", name);
        std::_Exit(2);
    }
    return reinterpret_cast<Fn>(address);
}

// The tty's settings as another opener sees them.
std::string Line(const char* node) {
    const int fd = open(node, O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios2 line{};
    const bool read = fd >= 0 && ioctl(fd, TCGETS2, &line) == 0;
    if (fd >= 0) {
        close(fd);
    }
    if (!read) {
        return "unreadable";
    }
    char text[96];
    const char* parity = (line.c_cflag & PARENB) == 0 ? "N"
                         : (line.c_cflag & CMSPAR) != 0
                             ? ((line.c_cflag & PARODD) != 0 ? "M" : "S")
                             : ((line.c_cflag & PARODD) != 0 ? "O" : "E");
    std::snprintf(text, sizeof text, "%u-%d%s%d", line.c_ospeed,
                  (line.c_cflag & CSIZE) == CS7 ? 7 : 8, parity,
                  (line.c_cflag & CSTOPB) != 0 ? 2 : 1);
    return text;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fputs("usage: kernel_line_probe LIBRARY NODE\n", stderr);
        return 2;
    }
    g_library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (g_library == nullptr) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 2;
    }
    const char* node = argv[2];
    const auto openEx = Entry<PFN_FT_OpenEx>("FT_OpenEx");
    const auto close = Entry<PFN_FT_Close>("FT_Close");
    const auto setBaudRate = Entry<PFN_FT_SetBaudRate>("FT_SetBaudRate");
    const auto setData = Entry<PFN_FT_SetDataCharacteristics>("FT_SetDataCharacteristics");

    char description[] = "KX Upgrade - Dongle";
    FT_HANDLE handle = nullptr;
    const FT_STATUS opened = openEx(description, FT_OPEN_BY_DESCRIPTION, &handle);
    std::printf("open=%u\n", opened);
    if (opened != FT_OK) {
        return 1;
    }
    auto report = [&](const char* name, FT_STATUS status) {
        std::printf("%s=%u line=%s\n", name, status, Line(node).c_str());
    };
    report("rate_38400", setBaudRate(handle, 38400));
    report("data_8N1", setData(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE));
    // Above the FT232BM's 3 Mbaud: the kernel's driver sets the chip to 9600 instead.
    report("rate_4000000", setBaudRate(handle, 4000000));
    report("data_7E2", setData(handle, FT_BITS_7, FT_STOP_BITS_2, FT_PARITY_EVEN));
    report("data_8M1", setData(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_MARK));
    report("data_8N1_again", setData(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE));
    report("close", close(handle));
    return 0;
}
