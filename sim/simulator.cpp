#include "simulator.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

#include "device_bank.h"
#include "dump.h"

namespace kxsim {
namespace {

// Kinds of event, in the order they are handled when they fall due at the same moment: a
// whole write reaches the device before the device's idle timer looks at the line.
enum class EventKind { HostByte, DeviceByte, ChipFlush, Bootloader, PlugIn, Unplug };

std::string DefaultSerial(std::size_t index) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "KX%06zu", index + 1);
    return serial;
}

// Dongle n sits at location 0x100 + n: bus 1, port n.
std::uint32_t DefaultLocation(std::size_t index) {
    return static_cast<std::uint32_t>(0x101 + index);
}

// A dump file's name with %s replaced by the dongle's serial number.
std::string DumpPath(const std::string& pattern, const std::string& serial) {
    std::string path = pattern;
    for (std::size_t at = path.find("%s"); at != std::string::npos;
         at = path.find("%s", at + serial.size())) {
        path.replace(at, 2, serial);
    }
    return path;
}

// Handles are opaque tokens, never null, never reused within a run, unique across the
// dongles; the low byte names the dongle.
std::uintptr_t NextHandle(std::size_t index) {
    static std::atomic<std::uintptr_t> counter{0};
    return 0x4B580000u + 0x100u * ++counter + index;
}

}  // namespace

Simulator& Simulator::Instance() {
    return DeviceBank::Get().Selected();
}

Simulator::Simulator(std::size_t index, const std::string& serial, double sinceStartMs)
    : m_index(index), m_boot(m_settings, m_scale, m_flash, *this) {
    ResetState();
    if (sinceStartMs < 0) {
        return;  // a test's extra dongle: defaults only
    }
    const Settings before = m_settings;
    if (const int result = LoadSettingsFromEnvironment({m_settings, index}); result != 0) {
        std::fprintf(stderr, "kxsim: configuration not fully applied (%d)\n", result);
    }
    if (!serial.empty()) {
        m_settings.serial = serial;
    }
    // Plugged in and pulled at the same moments in every process of the run.
    if (m_settings.plugDelayMs >= 0) {
        m_settings.plugDelayMs = std::max(0.0, m_settings.plugDelayMs - sinceStartMs);
    }
    if (m_settings.unplugAtMs >= 0) {
        m_unplugAt = FromMs(m_settings.unplugAtMs - sinceStartMs);
        m_settings.unplugAtMs = -1;
    }
    ApplySettings(before);
}

std::unique_lock<std::mutex> Simulator::Lock() {
    std::unique_lock lock = LockQuiet();
    WakeChipClock();  // what the caller changes may move the next delivery
    return lock;
}

std::unique_lock<std::mutex> Simulator::LockQuiet(std::chrono::steady_clock::time_point wall) {
    std::unique_lock lock(m_mutex);
    Advance(m_clock.At(wall));
    return lock;
}

void Simulator::WakeChipClock() {
    m_chipWakeStale = true;
    if (m_chipClockRunning && !m_clock.Manual()) {
        m_tick.notify_one();
    }
}

std::optional<Nanos> Simulator::PlannedChipWake() {
    if (m_chipWakeStale) {
        m_chipWake = NextWake();
        m_chipWakeStale = false;
    }
    return m_chipWake;
}

void Simulator::RunChipClock() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        Advance(m_clock.Now());
        m_chipWakeStale = true;
        const std::optional<Nanos> wake = PlannedChipWake();
        if (!wake || m_clock.Manual()) {
            m_tick.wait(lock);
        } else {
            m_tick.wait_until(lock, m_clock.WallTimeAt(*wake));
        }
    }
}

std::optional<Nanos> Simulator::NextWake() const {
    if (m_event == nullptr) {
        return std::nullopt;  // nobody waits: the host's next call brings the model up to date
    }
    // Only a flush of the chip's buffer reaches the host, and the chip holds every byte the
    // device sends for at least a frame and the latency timer (or 62 frames): waking when
    // the device may speak, and then for its bytes, is in time for it. In between the model
    // moves only when the host calls in.
    std::optional<Nanos> wake;
    for (const std::optional<Nanos>& when :
         {NextChipFlush(), m_deviceLine.NextArrival(), m_plugAt, NextSpeech()}) {
        if (when && (!wake || *when < *wake)) {
            wake = when;
        }
    }
    return wake;
}

std::optional<Nanos> Simulator::NextSpeech() const {
    Bootloader::Lookahead ahead(m_boot);
    std::optional<Nanos> speech;
    m_hostLine.ForEachUpcoming([&](const SerialLine::Frame& frame, Nanos at) {
        speech = ahead.Byte(Receive(frame.byte, frame.link, m_deviceLink), at);
        return !speech;
    });
    return speech ? speech : ahead.End();
}

std::unique_lock<std::mutex> Simulator::Enter(int entry,
                                              std::chrono::steady_clock::time_point wall) {
    std::unique_lock lock = LockQuiet(wall);
    // The host's polls and lists take what has arrived and change nothing the chip's clock
    // waits for.
    if (entry != KXSIM_FT_GET_STATUS && entry != KXSIM_FT_GET_QUEUE_STATUS &&
        entry != KXSIM_FT_READ && entry != KXSIM_FT_LIST_DEVICES) {
        WakeChipClock();
    }
    ++m_calls[static_cast<std::size_t>(entry)];
    if (m_unplugAfterCalls > 0 && --m_unplugAfterCalls == 0) {
        ScheduledUnplug();
    }
    return lock;
}

Simulator::HandleState Simulator::Lookup(FT_HANDLE handle) const {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value != 0 && value == m_openHandle) {
        return HandleState::Open;
    }
    return m_staleHandles.count(value) != 0 ? HandleState::Stale : HandleState::Unknown;
}

FT_STATUS Simulator::Usable(FT_HANDLE handle) const {
    switch (Lookup(handle)) {
        case HandleState::Open:
            return FT_OK;
        case HandleState::Stale:
            return FT_IO_ERROR;
        default:
            return FT_INVALID_HANDLE;
    }
}

std::optional<Nanos> Simulator::NextEvent() const {
    std::optional<Nanos> next;
    for (const std::optional<Nanos>& when :
         {m_hostLine.NextArrival(), m_deviceLine.NextArrival(), NextChipFlush(),
          m_boot.NextDeadline(), m_plugAt, m_unplugAt}) {
        if (when && (!next || *when < *next)) {
            next = when;
        }
    }
    return next;
}

void Simulator::Advance(Nanos target) {
    for (;;) {
        const std::array<std::optional<Nanos>, 6> due = {m_hostLine.NextArrival(),
                                                         m_deviceLine.NextArrival(),
                                                         NextChipFlush(),
                                                         m_boot.NextDeadline(),
                                                         m_plugAt,
                                                         m_unplugAt};
        std::optional<std::size_t> first;
        for (std::size_t i = 0; i < due.size(); ++i) {
            if (due[i] && *due[i] <= target && (!first || *due[i] < *due[*first])) {
                first = i;
            }
        }
        if (!first) {
            break;
        }
        const Nanos when = *due[*first];
        m_now = std::max(m_now, when);
        switch (static_cast<EventKind>(*first)) {
            case EventKind::HostByte:
                HostByteArrived();
                break;
            case EventKind::DeviceByte:
                DeviceByteArrived();
                break;
            case EventKind::ChipFlush:
                FlushChip();
                break;
            case EventKind::Bootloader:
                m_boot.OnDeadline(m_now);
                break;
            case EventKind::PlugIn:
                m_plugAt.reset();
                PlugNow();
                break;
            case EventKind::Unplug:
                m_unplugAt.reset();
                ScheduledUnplugAt(when);
                break;
        }
    }
    m_now = std::max(m_now, target);
}

void Simulator::HostByteArrived() {
    const SerialLine::Frame frame = m_hostLine.PopArrived();
    const std::uint8_t received = Receive(frame.byte, frame.link, m_deviceLink);
    // A byte that arrived as it was written is kept as its place in the write log.
    m_deviceReceived.Add(received, received == frame.byte ? frame.written : std::nullopt,
                         m_written);
    m_boot.OnByte(received, m_now);
    if (m_unplugAfterBytes > 0 && --m_unplugAfterBytes == 0) {
        ScheduledUnplug();
    }
}

void Simulator::DeviceByteArrived() {
    const SerialLine::Frame frame = m_deviceLine.PopArrived();
    if (!m_plugged) {
        return;  // the FTDI chip has no power: a self-powered dongle talks into the void
    }
    // The chip's UART receives at whatever the host last set, its power-on default until then.
    const std::uint8_t received = Receive(frame.byte, frame.link, m_hostLink);
    if (m_openHandle == 0 && m_chip.Size() >= kChipReceiveBuffer) {
        return;  // nobody reads the chip, and its buffer is full: the byte is lost
    }
    if (m_chip.Push(received, m_now, m_scale.Scaled(m_latencyMs / 1000.0)) && m_openHandle != 0) {
        FlushChip();
    }
}

std::optional<Nanos> Simulator::NextChipFlush() const {
    // With the port closed the driver does not ask the chip for its bytes: they wait there.
    return m_openHandle != 0 ? m_chip.NextFlush() : std::nullopt;
}

void Simulator::FlushChip() {
    Deliver(m_chip.Take());
}

void Simulator::Deliver(const std::deque<std::uint8_t>& bytes) {
    if (bytes.empty()) {
        return;
    }
    m_rx.insert(m_rx.end(), bytes.begin(), bytes.end());
    m_eventStatus |= FT_EVENT_RXCHAR;
    if (m_event != nullptr && (m_eventMask & FT_EVENT_RXCHAR) != 0) {
#ifdef _WIN32
        ::SetEvent(static_cast<HANDLE>(m_event));
#else
        auto* event = static_cast<KX_EVENT_HANDLE*>(m_event);
        pthread_mutex_lock(&event->eMutex);
        event->iVar = 1;
        pthread_cond_signal(&event->eCondVar);
        pthread_mutex_unlock(&event->eMutex);
#endif
    }
    m_changed.notify_all();
}

DWORD Simulator::DriverTxCount() const {
    // The chip takes bytes from the driver as soon as its FIFO has room; the frame on the
    // wire is still in the FIFO until its stop bit has left.
    // A line slowed below real speed holds each byte longer than any real chip, and the host
    // waits out a real chip's hold before it changes the link: no hidden FIFO there.
    const std::size_t queued = m_hostLine.Size();
    const bool slowed = m_settings.speed > 0 && m_settings.speed < 1;
    const std::size_t fifo = slowed ? 0 : m_settings.txFifoBytes;
    return static_cast<DWORD>(queued > fifo ? queued - fifo : 0);
}

void Simulator::Send(std::span<const std::uint8_t> bytes, Nanos now) {
    for (std::uint8_t byte : bytes) {
        m_deviceSent.push_back(byte);
        m_deviceLine.Push(byte, m_deviceLink, now);
    }
}

void Simulator::PlugNow() {
    if (m_plugged) {
        return;
    }
    m_plugged = true;
    // The FTDI chip is powered by the bus: it starts at its defaults whatever the dongle is.
    m_hostLink = LinkSettings{};
    m_latencyMs = m_settings.latencyMs;
    if (!m_settings.selfPowered || !m_boot.Powered()) {
        m_boot.PowerUp(m_now);
    }
}

void Simulator::UnplugNow() {
    if (!m_plugged) {
        return;
    }
    m_plugged = false;
    if (m_openHandle != 0) {
        m_staleHandles.insert(m_openHandle);
        m_openHandle = 0;
        m_event = nullptr;
    }
    ClearQueues();
    if (!m_settings.selfPowered) {
        m_boot.PowerDown();
    }
    m_changed.notify_all();
}

void Simulator::ScheduledUnplug() {
    ScheduledUnplugAt(m_now);
}

void Simulator::ScheduledUnplugAt(Nanos when) {
    UnplugNow();
    if (m_settings.replugAfterMs >= 0) {
        m_plugAt = when + FromMs(m_settings.replugAfterMs);
    }
}

FT_STATUS Simulator::OpenPort(FT_HANDLE* handle) {
    m_openHandle = NextHandle(m_index);
    m_opened = true;
    *handle = reinterpret_cast<FT_HANDLE>(m_openHandle);
    // The chip keeps its UART settings and what it has received while it is powered; only
    // the driver's queues start empty.
    m_latencyMs = m_settings.latencyMs;
    m_readTimeoutMs = 0;
    m_eventMask = 0;
    m_event = nullptr;
    m_eventStatus = 0;
    m_hostLine.Clear();
    m_rx.clear();
    m_boot.PortOpened(m_now);
    return FT_OK;
}

void Simulator::ClosePort() {
    m_openHandle = 0;
    m_event = nullptr;  // the host may free it once the port is closed
    // The driver's queues go; the dongle goes on, and the chip keeps what it receives.
    m_hostLine.Clear();
    m_rx.clear();
    if (!m_settings.selfPowered) {
        m_boot.PortClosed();
    }
    m_changed.notify_all();
}

void Simulator::ClearQueues() {
    m_hostLine.Clear();
    m_deviceLine.Clear();
    m_chip.Clear();
    m_rx.clear();
}

void Simulator::ApplySettings(const Settings& before) {
    m_scale.SetSpeed(m_settings.speed);
    if (m_settings.latencyMs != before.latencyMs) {
        m_latencyMs = m_settings.latencyMs;
    }
    if (m_settings.flashBase != before.flashBase || m_settings.flashSize != before.flashSize) {
        m_flash.Configure(m_settings.flashBase, m_settings.flashSize);
    }
    if (m_settings.plugDelayMs >= 0) {
        UnplugNow();
        m_plugAt = m_now + FromMs(m_settings.plugDelayMs);
        m_settings.plugDelayMs = -1;  // a one-off event, not a lasting setting
    }
    if (m_settings.unplugAtMs >= 0) {
        m_unplugAt = m_now + FromMs(m_settings.unplugAtMs);
        m_settings.unplugAtMs = -1;
    }
    if (m_settings.unplugAfterBytes > 0) {
        m_unplugAfterBytes = m_settings.unplugAfterBytes;
        m_settings.unplugAfterBytes = 0;
    }
    if (m_settings.speed != before.speed || m_settings.announceDelayMs != before.announceDelayMs ||
        m_settings.announceRepeatMs != before.announceRepeatMs ||
        m_settings.announceFromOpen != before.announceFromOpen) {
        m_boot.TimingChanged(m_now, m_openHandle != 0);
    }
}

void Simulator::ResetState() {
    m_settings = Settings{};
    m_settings.serial = DefaultSerial(m_index);
    m_settings.location = DefaultLocation(m_index);
    m_scale.SetSpeed(m_settings.speed);
    m_clock.Restart();  // a manual clock stays manual, at exactly 0: tests time from here
    m_now = 0;
    m_flash.Configure(m_settings.flashBase, m_settings.flashSize);
    m_plugged = false;
    m_plugAt.reset();
    m_unplugAt.reset();
    m_opened = false;
    m_openHandle = 0;
    m_event = nullptr;
    m_staleHandles.clear();
    ClearQueues();
    m_hostLine.Stall(false, m_now);
    m_hostLink = LinkSettings{};
    m_latencyMs = m_settings.latencyMs;
    m_unplugAfterBytes = 0;
    m_unplugAfterCalls = 0;
    m_stallAtWrite = 0;
    m_readIoErrorNext = false;
    m_chipWake.reset();
    m_chipWakeStale = true;
    m_written.Clear();  // with the received log, which refers to it
    m_configCalls.clear();
    m_calls.fill(0);
    m_deviceReceived.Clear();
    m_deviceSent.clear();
    PlugNow();
    m_changed.notify_all();
}

void Simulator::Log(int entry, std::array<unsigned long, 3> args, FT_STATUS status,
                    std::string text) {
    ConfigCall logged;
    logged.call.entry = entry;
    for (std::size_t i = 0; i < args.size(); ++i) {
        logged.call.args[i] = args[i];
    }
    logged.call.status = status;
    logged.text = std::move(text) + " = " + std::to_string(status);
    m_configCalls.push_back(std::move(logged));
}

bool Simulator::WriteDumps() const {
    bool written = true;
    if (!m_settings.dumpPackets.empty()) {
        written =
            WritePacketsFile(DumpPath(m_settings.dumpPackets, m_settings.serial), m_written) &&
            written;
    }
    if (!m_settings.dumpFlash.empty()) {
        written =
            WriteFlashFile(DumpPath(m_settings.dumpFlash, m_settings.serial), m_flash.Bytes()) &&
            written;
    }
    return written;
}

}  // namespace kxsim
