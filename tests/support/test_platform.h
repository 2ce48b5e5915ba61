// The operating-system services the tests use, in one place: loading a driver library by
// name or path, temporary folders, environment variables, the process id.
#pragma once

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "d2xx_api.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kx::test {

// The driver library's file name in its folder.
#ifdef _WIN32
inline constexpr char kDriverFile[] = "Ftd2xx.dll";
#else
inline constexpr char kDriverFile[] = "libftd2xx.so";
#endif

// A plain name as the tool's loader takes it (beside the executable on Windows, the
// loader's search on Linux), or a path. Null when it cannot be loaded.
inline void* OpenLibrary(const std::string& name) {
#ifdef _WIN32
    const DWORD flags = name.find_first_of("/\\") == std::string::npos
                            ? LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
                            : LOAD_WITH_ALTERED_SEARCH_PATH;
    return reinterpret_cast<void*>(::LoadLibraryExA(name.c_str(), nullptr, flags));
#else
    return ::dlopen(name.c_str(), RTLD_NOW);
#endif
}

inline void* Symbol(void* library, const char* name) {
#ifdef _WIN32
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
#else
    return ::dlsym(library, name);
#endif
}

inline int ProcessId() {
#ifdef _WIN32
    return static_cast<int>(::GetCurrentProcessId());
#else
    return static_cast<int>(::getpid());
#endif
}

// A new, empty folder under the system's temporary folder, as a UTF-8 path with '/'.
inline std::string MakeTempFolder(const std::string& prefix) {
    static std::atomic<int> counter{0};
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (;;) {
        const std::filesystem::path folder =
            base / (prefix + "-" + std::to_string(ProcessId()) + "-" + std::to_string(counter++));
        if (std::filesystem::create_directory(folder)) {
            const std::u8string text = folder.generic_u8string();
            return std::string(text.begin(), text.end());
        }
    }
}

// The variable that names the folder of the per-user state the session logs go under.
#ifdef _WIN32
inline constexpr char kStateFolderVariable[] = "LOCALAPPDATA";
#else
inline constexpr char kStateFolderVariable[] = "XDG_STATE_HOME";
#endif

inline void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    ::_putenv_s(name, value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

inline void UnsetEnv(const char* name) {
#ifdef _WIN32
    ::_putenv_s(name, "");
#else
    ::unsetenv(name);
#endif
}

// A FIFO at `path`; false where the file system has none (Windows).
inline bool MakeFifo(const std::string& path) {
#ifdef _WIN32
    (void)path;
    return false;
#else
    return ::mkfifo(path.c_str(), 0600) == 0;
#endif
}

// A program that writes to a file: open for writing and, once locked, keeping readers
// out (an exclusive lock on Linux; a writer's open already does it on Windows).
class LockedWriter {
  public:
#ifdef _WIN32
    explicit LockedWriter(const std::string& utf8Path) {
        const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8Path.c_str(), -1, nullptr, 0);
        std::wstring path(static_cast<std::size_t>(n), L'\0');
        ::MultiByteToWideChar(CP_UTF8, 0, utf8Path.c_str(), -1, path.data(), n);
        m_file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    bool Opened() const {
        return m_file != INVALID_HANDLE_VALUE;
    }
    bool Lock() {
        return Opened();
    }
    void Close() {
        if (Opened()) {
            ::CloseHandle(m_file);
            m_file = INVALID_HANDLE_VALUE;
        }
    }
#else
    explicit LockedWriter(const std::string& path)
        : m_file(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
    bool Opened() const {
        return m_file >= 0;
    }
    bool Lock() {
        return ::flock(m_file, LOCK_EX | LOCK_NB) == 0;
    }
    void Close() {
        if (Opened()) {
            ::close(m_file);
            m_file = -1;
        }
    }
#endif
    ~LockedWriter() {
        Close();
    }
    LockedWriter(const LockedWriter&) = delete;
    LockedWriter& operator=(const LockedWriter&) = delete;

  private:
#ifdef _WIN32
    HANDLE m_file;
#else
    int m_file;
#endif
};

// A program that reads a file and lets other readers in: a shared lock on Linux, an open
// that shares reading on Windows.
class SharedReader {
  public:
#ifdef _WIN32
    explicit SharedReader(const std::string& utf8Path) {
        const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8Path.c_str(), -1, nullptr, 0);
        std::wstring path(static_cast<std::size_t>(n), L'\0');
        ::MultiByteToWideChar(CP_UTF8, 0, utf8Path.c_str(), -1, path.data(), n);
        m_file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    bool Held() const {
        return m_file != INVALID_HANDLE_VALUE;
    }
    ~SharedReader() {
        if (Held()) {
            ::CloseHandle(m_file);
        }
    }
#else
    explicit SharedReader(const std::string& path)
        : m_file(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (m_file >= 0 && ::flock(m_file, LOCK_SH | LOCK_NB) != 0) {
            ::close(m_file);
            m_file = -1;
        }
    }
    bool Held() const {
        return m_file >= 0;
    }
    ~SharedReader() {
        if (Held()) {
            ::close(m_file);
        }
    }
#endif
    SharedReader(const SharedReader&) = delete;
    SharedReader& operator=(const SharedReader&) = delete;

  private:
#ifdef _WIN32
    HANDLE m_file;
#else
    int m_file;
#endif
};

// The event object FT_SetEventNotification takes: a Windows auto-reset event, or the
// condition-variable form of the Linux driver.
class DriverEvent {
  public:
#ifdef _WIN32
    DriverEvent() : m_event(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    ~DriverEvent() {
        ::CloseHandle(m_event);
    }
    void* Handle() {
        return m_event;
    }
    // Whether the driver has signalled it (and, being auto-reset, it is reset again).
    bool Signalled() {
        return ::WaitForSingleObject(m_event, 0) == WAIT_OBJECT_0;
    }
#else
    DriverEvent() {
        pthread_mutex_init(&m_event.eMutex, nullptr);
        pthread_cond_init(&m_event.eCondVar, nullptr);
    }
    ~DriverEvent() {
        pthread_cond_destroy(&m_event.eCondVar);
        pthread_mutex_destroy(&m_event.eMutex);
    }
    void* Handle() {
        return &m_event;
    }
    bool Signalled() {
        pthread_mutex_lock(&m_event.eMutex);
        const bool set = m_event.iVar != 0;
        m_event.iVar = 0;
        pthread_mutex_unlock(&m_event.eMutex);
        return set;
    }
#endif
    DriverEvent(const DriverEvent&) = delete;
    DriverEvent& operator=(const DriverEvent&) = delete;

  private:
#ifdef _WIN32
    HANDLE m_event;
#else
    KX_EVENT_HANDLE m_event{};
#endif
};

}  // namespace kx::test
