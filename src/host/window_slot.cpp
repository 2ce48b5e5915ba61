#include "window_slot.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <system_error>

#include "device/utf8_path.h"

namespace kx {

namespace {

constexpr std::intptr_t kNoLock = -1;

// The file locked for the whole run, or kNoLock when another window holds it.
std::intptr_t LockExclusively(const std::filesystem::path& path) {
#ifdef _WIN32
    // Opened without sharing: no other process (nor this one) opens it again until it is
    // closed; the file goes with the last handle.
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    return file == INVALID_HANDLE_VALUE ? kNoLock : reinterpret_cast<std::intptr_t>(file);
#else
    // flock's lock belongs to the open file, so a second open in this process is refused
    // as one in another process is.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return kNoLock;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return kNoLock;
    }
    return fd;
#endif
}

}  // namespace

unsigned WindowSlot::Take(const std::string& folder) {
    Release();
    if (folder.empty()) {
        return 0;
    }
    const std::filesystem::path base = PathFromUtf8(folder);
    std::error_code error;
    std::filesystem::create_directories(base, error);
    for (unsigned number = 0; number < kSlots; ++number) {
        const std::intptr_t lock =
            LockExclusively(base / ("window-" + std::to_string(number) + ".lock"));
        if (lock != kNoLock) {
            m_lock = lock;
            m_number = number;
            return number;
        }
    }
    return 0;
}

void WindowSlot::Release() {
    if (m_lock != kNoLock) {
#ifdef _WIN32
        CloseHandle(reinterpret_cast<HANDLE>(m_lock));
#else
        close(static_cast<int>(m_lock));
#endif
    }
    m_lock = kNoLock;
    m_number = 0;
}

}  // namespace kx
