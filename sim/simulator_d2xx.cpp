// The D2XX operations on the simulated port.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "simulator.h"

namespace kxsim {
namespace {

// The FTDI chips' range of baud rates.
constexpr ULONG kMinBaud = 183;
constexpr ULONG kMaxBaud = 3000000;

std::string Call(const char* name, std::initializer_list<unsigned long> args) {
    std::string text = std::string(name) + "(";
    bool first = true;
    for (unsigned long arg : args) {
        text += (first ? "" : ", ") + std::to_string(arg);
        first = false;
    }
    return text + ")";
}

}  // namespace

FT_STATUS Simulator::Write(FT_HANDLE handle, const void* buffer, DWORD count, DWORD* written) {
    std::unique_lock lock = Enter(KXSIM_FT_WRITE);
    FT_STATUS status = Usable(handle);
    if (status == FT_OK && (written == nullptr || (buffer == nullptr && count > 0))) {
        status = FT_INVALID_PARAMETER;
    }
    if (status != FT_OK) {
        if (written != nullptr) {
            *written = 0;
        }
        return status;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    const std::uint64_t start = m_written.Add(bytes, count, m_hostLink);
    for (DWORD i = 0; i < count; ++i) {
        m_hostLine.Push(bytes[i], m_hostLink, m_now, start + i);
    }
    if (m_stallAtWrite > 0 && --m_stallAtWrite == 0) {
        m_hostLine.Stall(true, m_now);  // this write's bytes stay in the host's queue
    }
    *written = count;
    return FT_OK;
}

FT_STATUS Simulator::Read(FT_HANDLE handle, void* buffer, DWORD count, DWORD* got) {
    std::unique_lock lock = Enter(KXSIM_FT_READ);
    if (got != nullptr) {
        *got = 0;
    }
    FT_STATUS status = Usable(handle);
    if (status == FT_OK && (got == nullptr || (buffer == nullptr && count > 0))) {
        status = FT_INVALID_PARAMETER;
    }
    if (status != FT_OK) {
        return status;
    }
    // A read time-out of 0 waits for ever, as D2XX's default does.
    const std::optional<Nanos> deadline =
        m_readTimeoutMs == 0 ? std::nullopt : std::optional<Nanos>(m_now + FromMs(m_readTimeoutMs));
    while (m_rx.size() < count && (!deadline || m_now < *deadline)) {
        std::optional<Nanos> wake = NextEvent();
        if (deadline && (!wake || *deadline < *wake)) {
            wake = deadline;
        }
        if (m_clock.Manual()) {
            if (!wake) {
                break;  // nothing can ever arrive, and nobody else moves a manual clock
            }
            m_clock.AdvanceTo(*wake);
        } else if (wake) {
            m_changed.wait_until(lock, m_clock.WallTimeAt(*wake));
        } else {
            m_changed.wait(lock);
        }
        Advance(m_clock.Now());
        if (const FT_STATUS now = Usable(handle); now != FT_OK) {
            return now;  // closed, reset or unplugged meanwhile
        }
    }
    const std::size_t n = std::min<std::size_t>(count, m_rx.size());
    std::copy_n(m_rx.begin(), n, static_cast<std::uint8_t*>(buffer));
    m_rx.erase(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(n));
    *got = static_cast<DWORD>(n);
    if (n > 0 && m_readIoErrorNext) {
        m_readIoErrorNext = false;
        return FT_IO_ERROR;
    }
    return FT_OK;
}

FT_STATUS Simulator::Open(int index, bool exists, FT_HANDLE* handle) {
    std::unique_lock lock = Enter(KXSIM_FT_OPEN);
    FT_STATUS status = FT_OK;
    if (handle == nullptr) {
        status = FT_INVALID_PARAMETER;
    } else if (!exists || !m_plugged) {
        status = FT_DEVICE_NOT_FOUND;
    } else if (m_openHandle != 0) {
        status = FT_DEVICE_NOT_OPENED;
    } else {
        status = OpenPort(handle);
    }
    Log(KXSIM_FT_OPEN, {static_cast<unsigned long>(index), 0, 0}, status,
        "FT_Open(" + std::to_string(index) + ")");
    return status;
}

FT_STATUS Simulator::OpenEx(const void* arg, DWORD flags, FT_HANDLE* handle, bool logFailure) {
    std::unique_lock lock = Enter(KXSIM_FT_OPEN_EX);
    const char* text = static_cast<const char*>(arg);
    bool answers = false;  // found only by its whole description or serial number
    if (flags == FT_OPEN_BY_DESCRIPTION && text != nullptr) {
        answers = m_settings.description == text;
    } else if (flags == FT_OPEN_BY_SERIAL_NUMBER && text != nullptr) {
        answers = m_settings.serial == text;
    } else if (flags == FT_OPEN_BY_LOCATION) {
        answers = reinterpret_cast<std::uintptr_t>(arg) == m_settings.location;
    }
    FT_STATUS status = FT_OK;
    if (handle == nullptr || (text == nullptr && flags != FT_OPEN_BY_LOCATION)) {
        status = FT_INVALID_PARAMETER;
    } else if (!answers || !m_plugged) {
        status = FT_DEVICE_NOT_FOUND;
    } else if (m_openHandle != 0) {
        status = FT_DEVICE_NOT_OPENED;
    } else {
        status = OpenPort(handle);
    }
    if (status == FT_OK || logFailure) {
        lock.unlock();
        LogOpenEx(arg, flags, status);
    }
    return status;
}

void Simulator::LogOpenEx(const void* arg, DWORD flags, FT_STATUS status) {
    std::unique_lock lock(m_mutex);
    const char* text = static_cast<const char*>(arg);
    const std::string shown = flags == FT_OPEN_BY_DESCRIPTION || flags == FT_OPEN_BY_SERIAL_NUMBER
                                  ? "\"" + std::string(text != nullptr ? text : "") + "\""
                                  : std::to_string(reinterpret_cast<std::uintptr_t>(arg));
    Log(KXSIM_FT_OPEN_EX, {flags, 0, 0}, status,
        "FT_OpenEx(" + shown + ", " + std::to_string(flags) + ")");
}

bool Simulator::Listed(bool countCall, std::chrono::steady_clock::time_point wall) {
    std::unique_lock lock = countCall ? Enter(KXSIM_FT_LIST_DEVICES, wall) : LockQuiet(wall);
    return m_plugged;
}

DongleInfo Simulator::Info() {
    std::unique_lock lock = LockQuiet();
    return DongleInfo{m_plugged, m_settings.description, m_settings.serial, m_settings.location};
}

// Whether a handle was ever opened does not depend on the model's time: the device is not
// advanced to now for it (every process asks it of every dongle of the bank as it exits).
bool Simulator::WasOpened() {
    std::lock_guard lock(m_mutex);
    return m_opened;
}

FT_STATUS Simulator::Close(FT_HANDLE handle) {
    std::unique_lock lock = Enter(KXSIM_FT_CLOSE);
    FT_STATUS status = FT_OK;
    switch (Lookup(handle)) {
        case HandleState::Open:
            ClosePort();
            break;
        case HandleState::Stale:
            m_staleHandles.erase(reinterpret_cast<std::uintptr_t>(handle));
            break;
        case HandleState::Unknown:
            status = FT_INVALID_HANDLE;
            break;
    }
    Log(KXSIM_FT_CLOSE, {0, 0, 0}, status, "FT_Close()");
    if (status == FT_OK) {
        WriteDumps();
    }
    return status;
}

FT_STATUS Simulator::ResetDevice(FT_HANDLE handle) {
    std::unique_lock lock = Enter(KXSIM_FT_RESET_DEVICE);
    const FT_STATUS status = Usable(handle);
    if (status == FT_OK) {
        // Resets the FTDI chip's port, not the dongle behind it: bytes still queued in
        // either direction are lost, the link settings stay.
        m_hostLine.Clear();
        m_chip.Clear();
        m_rx.clear();
    }
    Log(KXSIM_FT_RESET_DEVICE, {0, 0, 0}, status, "FT_ResetDevice()");
    return status;
}

FT_STATUS Simulator::Purge(FT_HANDLE handle, ULONG mask) {
    std::unique_lock lock = Enter(KXSIM_FT_PURGE);
    const FT_STATUS status = Usable(handle);
    if (status == FT_OK) {
        if ((mask & FT_PURGE_RX) != 0) {
            m_chip.Clear();
            m_rx.clear();
        }
        if ((mask & FT_PURGE_TX) != 0) {
            m_hostLine.Clear();
        }
    }
    Log(KXSIM_FT_PURGE, {mask, 0, 0}, status, Call("FT_Purge", {mask}));
    return status;
}

FT_STATUS Simulator::SetTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) {
    std::unique_lock lock = Enter(KXSIM_FT_SET_TIMEOUTS);
    const FT_STATUS status = Usable(handle);
    if (status == FT_OK) {
        m_readTimeoutMs = readMs;  // writes never wait: the queue takes everything
    }
    Log(KXSIM_FT_SET_TIMEOUTS, {readMs, writeMs, 0}, status,
        Call("FT_SetTimeouts", {readMs, writeMs}));
    return status;
}

FT_STATUS Simulator::GetQueueStatus(FT_HANDLE handle, DWORD* rx) {
    std::unique_lock lock = Enter(KXSIM_FT_GET_QUEUE_STATUS);
    FT_STATUS status = Usable(handle);
    if (status == FT_OK && rx == nullptr) {
        status = FT_INVALID_PARAMETER;
    }
    if (status == FT_OK) {
        *rx = static_cast<DWORD>(m_rx.size());
    }
    return status;
}

FT_STATUS Simulator::GetStatus(FT_HANDLE handle, DWORD* rx, DWORD* tx, DWORD* events) {
    std::unique_lock lock = Enter(KXSIM_FT_GET_STATUS);
    FT_STATUS status = Usable(handle);
    if (status == FT_OK && (rx == nullptr || tx == nullptr || events == nullptr)) {
        status = FT_INVALID_PARAMETER;
    }
    if (status == FT_OK) {
        *rx = static_cast<DWORD>(m_rx.size());
        *tx = DriverTxCount();
        *events = m_eventStatus;
        m_eventStatus = 0;
    }
    return status;
}

FT_STATUS Simulator::SetBaudRate(FT_HANDLE handle, ULONG baud) {
    std::unique_lock lock = Enter(KXSIM_FT_SET_BAUD_RATE);
    FT_STATUS status = Usable(handle);
    if (status == FT_OK && (baud < kMinBaud || baud > kMaxBaud)) {
        status = FT_INVALID_BAUD_RATE;
    }
    if (status == FT_OK) {
        m_hostLink.baud = baud;
        m_hostLine.Retune(m_hostLink);
    }
    Log(KXSIM_FT_SET_BAUD_RATE, {baud, 0, 0}, status, Call("FT_SetBaudRate", {baud}));
    return status;
}

FT_STATUS Simulator::SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                            UCHAR parity) {
    std::unique_lock lock = Enter(KXSIM_FT_SET_DATA_CHARACTERISTICS);
    FT_STATUS status = Usable(handle);
    if (status == FT_OK &&
        ((wordLength != FT_BITS_7 && wordLength != FT_BITS_8) ||
         (stopBits != FT_STOP_BITS_1 && stopBits != FT_STOP_BITS_2) || parity > FT_PARITY_SPACE)) {
        status = FT_INVALID_PARAMETER;
    }
    if (status == FT_OK) {
        m_hostLink.wordLength = wordLength;
        m_hostLink.stopBits = stopBits == FT_STOP_BITS_2 ? 2 : 1;
        m_hostLink.parity = parity;
        m_hostLine.Retune(m_hostLink);
    }
    Log(KXSIM_FT_SET_DATA_CHARACTERISTICS, {wordLength, stopBits, parity}, status,
        Call("FT_SetDataCharacteristics", {wordLength, stopBits, parity}));
    return status;
}

FT_STATUS Simulator::SetFlowControl(FT_HANDLE handle, USHORT mode, UCHAR xon, UCHAR xoff) {
    std::unique_lock lock = Enter(KXSIM_FT_SET_FLOW_CONTROL);
    // Recorded only: the dongle's bootloader neither sends XOFF nor drives handshake lines.
    const FT_STATUS status = Usable(handle);
    Log(KXSIM_FT_SET_FLOW_CONTROL, {mode, xon, xoff}, status,
        Call("FT_SetFlowControl", {mode, xon, xoff}));
    return status;
}

FT_STATUS Simulator::SetDivisor(FT_HANDLE handle, USHORT divisor) {
    std::unique_lock lock = Enter(KXSIM_FT_SET_DIVISOR);
    const FT_STATUS status = Usable(handle);
    if (status == FT_OK) {
        // The chip's 3 MHz base clock; divisors 0 and 1 are its special 3 and 2 Mbaud.
        m_hostLink.baud = divisor == 0 ? 3000000.0 : divisor == 1 ? 2000000.0 : 3000000.0 / divisor;
        m_hostLine.Retune(m_hostLink);
    }
    Log(KXSIM_FT_SET_DIVISOR, {divisor, 0, 0}, status, Call("FT_SetDivisor", {divisor}));
    return status;
}

FT_STATUS Simulator::SetEventNotification(FT_HANDLE handle, DWORD mask, void* event) {
    std::unique_lock lock = Enter(KXSIM_FT_SET_EVENT_NOTIFICATION);
    const FT_STATUS status = Usable(handle);
    if (status == FT_OK) {
        m_eventMask = mask;
        m_event = event;
        if (!m_chipClockRunning) {
            m_chipClockRunning = true;
            std::thread([this] { RunChipClock(); }).detach();
        }
    }
    Log(KXSIM_FT_SET_EVENT_NOTIFICATION, {mask, 0, 0}, status,
        Call("FT_SetEventNotification", {mask}));
    return status;
}

FT_STATUS Simulator::SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    std::unique_lock lock = Enter(KXSIM_FT_SET_LATENCY_TIMER);
    FT_STATUS status = Usable(handle);
    if (status == FT_OK && ms == 0) {
        status = FT_INVALID_PARAMETER;
    }
    if (status == FT_OK) {
        // Bytes already waiting in the chip keep the flush time they were given.
        m_latencyMs = ms;
    }
    Log(KXSIM_FT_SET_LATENCY_TIMER, {ms, 0, 0}, status, Call("FT_SetLatencyTimer", {ms}));
    return status;
}

FT_STATUS Simulator::GetLatencyTimer(FT_HANDLE handle, UCHAR* ms) {
    std::unique_lock lock = Enter(KXSIM_FT_GET_LATENCY_TIMER);
    FT_STATUS status = Usable(handle);
    if (status == FT_OK && ms == nullptr) {
        status = FT_INVALID_PARAMETER;
    }
    if (status == FT_OK) {
        *ms = static_cast<UCHAR>(std::clamp(m_latencyMs, 0.0, 255.0));
    }
    Log(KXSIM_FT_GET_LATENCY_TIMER, {0, 0, 0}, status, "FT_GetLatencyTimer()");
    return status;
}

}  // namespace kxsim
