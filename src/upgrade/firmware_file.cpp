#include "firmware_file.h"

#include <optional>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace kx {
namespace {

#ifdef _WIN32

HANDLE AsHandle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int size = static_cast<int>(utf8.size());
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (n <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), n);
    return wide;
}

std::optional<std::intptr_t> OpenUnshared(const std::string& utf8Path) {
    const std::wstring path = Widen(utf8Path);
    if (path.empty()) {
        return std::nullopt;
    }
    // Share mode 0: no other opener, of ours or anyone's, until the transfer closes it.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return std::nullopt;
    }
    return reinterpret_cast<std::intptr_t>(h);
}

void CloseRaw(std::intptr_t h) {
    CloseHandle(AsHandle(h));
}

// Bytes read, 0 at end of file, -1 on failure.
long long ReadRaw(std::intptr_t h, std::uint8_t* into, std::size_t size) {
    DWORD got = 0;
    if (!ReadFile(AsHandle(h), into, static_cast<DWORD>(size), &got, nullptr)) {
        return -1;
    }
    return static_cast<long long>(got);
}

bool RewindRaw(std::intptr_t h) {
    LARGE_INTEGER zero{};
    return SetFilePointerEx(AsHandle(h), zero, nullptr, FILE_BEGIN) != 0;
}

std::uint64_t SizeRaw(std::intptr_t h) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(AsHandle(h), &size) || size.QuadPart < 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

#else

std::optional<std::intptr_t> OpenUnshared(const std::string& utf8Path) {
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused just below.
    const int fd = ::open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    // Only a regular file ends: a device or a FIFO could feed the builder for ever.
    // The lock is advisory: it keeps a second opener of ours out, as share mode 0 does.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    return fd;
}

void CloseRaw(std::intptr_t h) {
    ::close(static_cast<int>(h));
}

long long ReadRaw(std::intptr_t h, std::uint8_t* into, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(h), into, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

bool RewindRaw(std::intptr_t h) {
    return ::lseek(static_cast<int>(h), 0, SEEK_SET) == 0;
}

std::uint64_t SizeRaw(std::intptr_t h) {
    struct stat st {};
    if (::fstat(static_cast<int>(h), &st) != 0 || st.st_size < 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(st.st_size);
}

#endif

}  // namespace

FirmwareFile::~FirmwareFile() {
    Close();
}

bool FirmwareFile::Open(const std::string& utf8Path) {
    if (IsOpen()) {
        return false;
    }
    const std::optional<std::intptr_t> handle = OpenUnshared(utf8Path);
    if (!handle) {
        return false;
    }
    m_handle = *handle;
    m_buffer.resize(kBufferSize);
    ResetBuffer();
    return true;
}

void FirmwareFile::Close() {
    if (IsOpen()) {
        CloseRaw(m_handle);
        m_handle = kNoHandle;
    }
    ResetBuffer();
}

bool FirmwareFile::SeekToBegin() {
    if (!IsOpen() || !RewindRaw(m_handle)) {
        return false;
    }
    ResetBuffer();
    return true;
}

std::uint64_t FirmwareFile::Length() const {
    return IsOpen() ? SizeRaw(m_handle) : 0;
}

int FirmwareFile::Next() {
    if (m_pos == m_filled && !Refill()) {
        return m_failed ? kError : kEnd;
    }
    ++m_consumed;
    return m_buffer[m_pos++];
}

bool FirmwareFile::Refill() {
    if (m_failed) {
        return false;
    }
    if (!IsOpen()) {
        m_failed = true;
        return false;
    }
    const long long got = ReadRaw(m_handle, m_buffer.data(), m_buffer.size());
    if (got < 0) {
        m_failed = true;
        return false;
    }
    m_pos = 0;
    m_filled = static_cast<std::size_t>(got);
    return got > 0;
}

void FirmwareFile::ResetBuffer() {
    m_pos = m_filled = 0;
    m_consumed = 0;
    m_failed = false;
}

}  // namespace kx
