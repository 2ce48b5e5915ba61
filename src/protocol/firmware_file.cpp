#include "firmware_file.h"

#include <algorithm>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
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

// The one place a firmware file is opened: shared with other readers, closed to writers.
std::optional<std::intptr_t> OpenShared(const std::string& utf8Path, std::string& problem) {
    const std::wstring path = Widen(utf8Path);
    if (path.empty()) {
        problem = "cannot be opened for reading";
        return std::nullopt;
    }
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A folder is refused by the open itself, as access denied.
        const DWORD attributes = GetFileAttributesW(path.c_str());
        problem =
            error == ERROR_SHARING_VIOLATION ? "in use by a program that writes to it"
            : attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                ? "not a regular file"
                : "cannot be opened for reading";
        return std::nullopt;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        problem = "not a regular file";
        return std::nullopt;
    }
    return reinterpret_cast<std::intptr_t>(h);
}

void CloseRaw(std::intptr_t h) {
    CloseHandle(AsHandle(h));
}

// The size the file has now, 0 when it cannot be told: only room to read into.
std::uint64_t SizeHint(std::intptr_t h) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(AsHandle(h), &size) && size.QuadPart > 0
               ? static_cast<std::uint64_t>(size.QuadPart)
               : 0;
}

// Bytes read, 0 at end of file, -1 on failure.
long long ReadRaw(std::intptr_t h, std::uint8_t* into, std::size_t size) {
    DWORD got = 0;
    if (!ReadFile(AsHandle(h), into, static_cast<DWORD>(size), &got, nullptr)) {
        return -1;
    }
    return static_cast<long long>(got);
}

void AdviseRoom(std::uint8_t* /*data*/, std::size_t /*size*/) {}

#else

// The one place a firmware file is opened: shared with other readers, closed to writers.
std::optional<std::intptr_t> OpenShared(const std::string& utf8Path, std::string& problem) {
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused just below.
    const int fd = ::open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        problem = "cannot be opened for reading";
        return std::nullopt;
    }
    struct stat st {};
    // Only a regular file ends: a device or a FIFO could feed the reader for ever.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        problem = "not a regular file";
        return std::nullopt;
    }
    // A shared lock: other flashers may read the file at once, a writer that takes the
    // (advisory) exclusive lock may not change it meanwhile.
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        ::close(fd);
        problem = "in use by a program that writes to it";
        return std::nullopt;
    }
    return fd;
}

void CloseRaw(std::intptr_t h) {
    ::close(static_cast<int>(h));
}

// The size the file has now, 0 when it cannot be told: only room to read into.
std::uint64_t SizeHint(std::intptr_t h) {
    struct stat st {};
    return ::fstat(static_cast<int>(h), &st) == 0 && st.st_size > 0
               ? static_cast<std::uint64_t>(st.st_size)
               : 0;
}

// Room for a large image is faulted in 2 MiB at a time where the kernel allows it: each
// first touch of a 4 KiB page is a fault of its own, and a 40 MiB file is ten thousand of
// them (13 us each on a virtual machine: more than reading the file costs).
void AdviseRoom(std::uint8_t* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kLarge = 4u << 20;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto at = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = (at + page - 1) / page * page;
    const std::uintptr_t end = (at + size) / page * page;
    if (page > 0 && end > begin + kLarge) {
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // advice only
    }
#else
    (void)data;
    (void)size;
#endif
}

long long ReadRaw(std::intptr_t h, std::uint8_t* into, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(h), into, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

#endif

}  // namespace

FirmwareFile::~FirmwareFile() {
    Close();
}

bool FirmwareFile::Open(const std::string& utf8Path) {
    if (IsOpen()) {
        m_problem = "another firmware file is open";
        return false;
    }
    std::string problem;
    const std::optional<std::intptr_t> handle = OpenShared(utf8Path, problem);
    if (!handle) {
        m_problem = problem;
        return false;
    }
    // Read to the end rather than to the size found at the open: what is sent is what was
    // read, whatever the size said. Each piece goes through a buffer of its own, so the
    // image grows by what was read, not by zero-filled room for a piece that never came.
    // Room for the size found at the open is taken at once: one allocation and no copies
    // for a file that keeps its size, where growing piece by piece held up to twice the
    // file at the end of the read.
    std::vector<std::uint8_t> image;
    image.reserve(static_cast<std::size_t>(std::min(SizeHint(*handle), kMaxFirmwareFileSize + 1)));
    AdviseRoom(image.data(), image.capacity());
    std::uint8_t piece[16 * 1024];
    for (;;) {
        const long long got = ReadRaw(*handle, piece, sizeof piece);
        if (got < 0) {
            CloseRaw(*handle);
            m_problem = "cannot be read";
            return false;
        }
        if (got == 0) {
            break;
        }
        image.insert(image.end(), piece, piece + got);
        if (image.size() > kMaxFirmwareFileSize) {
            CloseRaw(*handle);
            m_problem = "larger than 64 MiB: not a firmware image";
            return false;
        }
    }
    image.shrink_to_fit();
    m_handle = *handle;
    m_image = std::move(image);
    m_pos = 0;
    m_problem.clear();
    return true;
}

bool FirmwareFile::OpenImage(std::span<const std::uint8_t> image) {
    if (IsOpen()) {
        m_problem = "another firmware file is open";
        return false;
    }
    m_image.assign(image.begin(), image.end());
    m_inMemory = true;
    m_pos = 0;
    m_problem.clear();
    return true;
}

void FirmwareFile::Close() {
    if (m_handle != kNoHandle) {
        CloseRaw(m_handle);
        m_handle = kNoHandle;
    }
    m_inMemory = false;
    m_image.clear();
    m_image.shrink_to_fit();
    m_pos = 0;
}

bool FirmwareFile::SeekToBegin() {
    if (!IsOpen()) {
        return false;
    }
    m_pos = 0;
    return true;
}

int FirmwareFile::Next() {
    if (!IsOpen()) {
        return kError;
    }
    if (m_pos == m_image.size()) {
        return kEnd;
    }
    return m_image[m_pos++];
}

}  // namespace kx
