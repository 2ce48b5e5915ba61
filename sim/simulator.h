// One simulated dongle of the process (device_bank.h holds them all), behind a mutex: the host's
// D2XX port (handles, queues, link settings), the serial line in both directions, the FTDI chip's
// latency buffer, the bootloader and its flash. Time is advanced lazily: every call first brings
// the model up to the current model time, handling what fell due in time order.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bootloader.h"
#include "d2xx_api.h"
#include "dump.h"
#include "flash.h"
#include "kxsim.h"
#include "model_clock.h"
#include "serial_line.h"
#include "settings.h"

namespace kxsim {

struct ConfigCall {
    kxsim_config_call call;
    std::string text;
};

// What FT_ListDevices tells of a dongle.
struct DongleInfo {
    bool plugged = false;
    std::string description;
    std::string serial;
    DWORD location = 0;
};

// What the FTDI chip holds of received bytes while nobody reads them.
inline constexpr std::size_t kChipReceiveBuffer = 256;

class Simulator final : private BootloaderUart {
  public:
    // The dongle the control API acts on.
    static Simulator& Instance();

    // Dongle `index` of the bank, at its defaults and then the environment's settings
    // (`serial`, when not empty, over them). Plug and unplug times in the environment
    // count from the common start, `sinceStartMs` ago (< 0: from now).
    Simulator(std::size_t index, const std::string& serial, double sinceStartMs);

    // D2XX entry points (simulator_d2xx.cpp).
    FT_STATUS Write(FT_HANDLE handle, const void* buffer, DWORD count, DWORD* written);
    FT_STATUS Read(FT_HANDLE handle, void* buffer, DWORD count, DWORD* got);
    // `exists`: the bank has a dongle at `index`, this one.
    FT_STATUS Open(int index, bool exists, FT_HANDLE* handle);
    // Opens this dongle if it answers to `arg` and `flags`; FT_DEVICE_NOT_FOUND when it
    // does not. Logs the call when it opened the port or `logFailure` is set.
    FT_STATUS OpenEx(const void* arg, DWORD flags, FT_HANDLE* handle, bool logFailure);
    void LogOpenEx(const void* arg, DWORD flags, FT_STATUS status);
    // Whether FT_ListDevices lists it (plugged in) at `wall`; counts the call when
    // `countCall` is set. One listing asks every dongle of the bank at one moment.
    bool Listed(bool countCall, std::chrono::steady_clock::time_point wall);
    DongleInfo Info();
    bool WasOpened();
    FT_STATUS Close(FT_HANDLE handle);
    FT_STATUS ResetDevice(FT_HANDLE handle);
    FT_STATUS Purge(FT_HANDLE handle, ULONG mask);
    FT_STATUS SetTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs);
    FT_STATUS GetQueueStatus(FT_HANDLE handle, DWORD* rx);
    FT_STATUS GetStatus(FT_HANDLE handle, DWORD* rx, DWORD* tx, DWORD* events);
    FT_STATUS SetBaudRate(FT_HANDLE handle, ULONG baud);
    FT_STATUS SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                     UCHAR parity);
    FT_STATUS SetFlowControl(FT_HANDLE handle, USHORT mode, UCHAR xon, UCHAR xoff);
    FT_STATUS SetDivisor(FT_HANDLE handle, USHORT divisor);
    FT_STATUS SetEventNotification(FT_HANDLE handle, DWORD mask, void* event);
    FT_STATUS SetLatencyTimer(FT_HANDLE handle, UCHAR ms);
    FT_STATUS GetLatencyTimer(FT_HANDLE handle, UCHAR* ms);

    // Control and inspection (simulator_control.cpp); see kxsim.h.
    void Reset();
    void Plug();
    void Unplug();
    void PlugInMs(double ms);
    void ReplugAfterMs(double ms);
    bool Plugged();
    bool PortOpen();
    void UnplugAfterBytes(unsigned long n);
    void StallTxAtWrite(unsigned long k);
    void UnplugAfterCalls(unsigned long k);
    void Inject(const unsigned char* bytes, std::size_t len);
    void ReadIoErrorNext();
    void StallTx(bool on);
    void DamageNextRecord();
    // Changes settings through `change`, then applies what depends on them.
    template <class Change>
    void ChangeSettings(Change change) {
        std::unique_lock lock = Lock();
        const Settings before = m_settings;
        change(m_settings);
        ApplySettings(before);
    }
    void SetFlash(std::uint32_t base, std::uint32_t size);
    int LoadConfig(const char* path);
    int ApplyEnvironment();
    bool Dump();
    // The dump at the process's end, which passes over a lock held by an ended thread
    // (exit_lock.h).
    void DumpAtExit();
    void SetManualClock(bool on);
    void AdvanceMs(double ms);
    double NowMs();
    double ChipWakeMs();

    std::size_t PacketCount();
    std::size_t CopyPacket(std::size_t index, unsigned char* buf, std::size_t cap,
                           kxsim_link* link);
    std::size_t CopyFlash(unsigned char* buf, std::size_t cap);
    unsigned long FlashBase();
    std::size_t ConfigCount();
    bool CopyConfig(std::size_t index, kxsim_config_call* call);
    std::size_t CopyConfigText(std::size_t index, char* buf, std::size_t cap);
    unsigned long CallCount(int entry);
    std::size_t CopyDeviceReceived(unsigned char* buf, std::size_t cap);
    std::size_t CopyDeviceSent(unsigned char* buf, std::size_t cap);
    int DeviceState();
    LinkSettings HostLink();
    LinkSettings DeviceLink();
    double LatencyTimerMs();

  private:
    enum class HandleState { Unknown, Open, Stale };

    // Locks and brings the model up to now; the chip's clock then plans its next wake again.
    std::unique_lock<std::mutex> Lock();
    // The same for what changes nothing the chip's clock plans by.
    std::unique_lock<std::mutex> LockQuiet(
        std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now());
    // The same for an FT_ call: counts it and runs a due unplug first.
    std::unique_lock<std::mutex> Enter(
        int entry, std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now());
    HandleState Lookup(FT_HANDLE handle) const;
    // FT_OK for the open handle, FT_INVALID_HANDLE (1) for an unknown or closed one,
    // FT_IO_ERROR (4) for one whose device was unplugged.
    FT_STATUS Usable(FT_HANDLE handle) const;

    void Advance(Nanos target);
    std::optional<Nanos> NextEvent() const;
    // The chip's own USB side: while the host has an event registered, bytes reach its
    // receive queue (and signal the event) when they fall due, not at the host's next call.
    void RunChipClock();
    std::optional<Nanos> NextWake() const;
    // When the bootloader may next send, given the host's bytes on the line.
    std::optional<Nanos> NextSpeech() const;
    // The host changed something: the chip clock plans its next wake again.
    void WakeChipClock();
    // When the chip's clock next wakes by its plan, made afresh if something changed since.
    // With a manual clock nothing wakes: AdvanceMs keeps the plan as the thread would.
    std::optional<Nanos> PlannedChipWake();
    void HostByteArrived();
    void DeviceByteArrived();
    // When the chip hands its received bytes to the driver: only while the port is open.
    std::optional<Nanos> NextChipFlush() const;
    void FlushChip();
    void Deliver(const std::deque<std::uint8_t>& bytes);
    // What FT_GetStatus reports as the transmit queue: the driver's part only.
    DWORD DriverTxCount() const;

    void PlugNow();
    void UnplugNow();
    // An unplug the host's traffic triggered: plugs in again later if so configured.
    void ScheduledUnplug();
    // The same at a given moment, which may lie before this process started.
    void ScheduledUnplugAt(Nanos when);
    FT_STATUS OpenPort(FT_HANDLE* handle);
    void ClosePort();
    void ClearQueues();
    void ApplySettings(const Settings& before);
    void ResetState();
    void Log(int entry, std::array<unsigned long, 3> args, FT_STATUS status, std::string text);
    bool WriteDumps() const;

    // BootloaderUart.
    void Send(std::span<const std::uint8_t> bytes, Nanos now) override;
    void SetLink(const LinkSettings& link) override { m_deviceLink = link; }
    const LinkSettings& Link() const override { return m_deviceLink; }

    const std::size_t m_index;
    std::mutex m_mutex;
    std::condition_variable m_changed;  // bytes arrived or the port changed: wakes FT_Read
    std::condition_variable m_tick;     // the host called in: the chip clock looks again
    bool m_chipClockRunning = false;    // started by the first event registration
    std::optional<Nanos> m_chipWake;    // the chip clock's plan
    bool m_chipWakeStale = true;        // the host changed something since it was made

    Settings m_settings;
    TimeScale m_scale;
    ModelClock m_clock;
    Nanos m_now = 0;  // the model has been brought up to here
    Flash m_flash;
    LinkSettings m_deviceLink;
    Bootloader m_boot;

    // Device presence and the host's port.
    bool m_plugged = true;
    std::optional<Nanos> m_plugAt;
    std::optional<Nanos> m_unplugAt;
    bool m_opened = false;  // by this process, at some time
    std::uintptr_t m_openHandle = 0;
    std::set<std::uintptr_t> m_staleHandles;
    LinkSettings m_hostLink;
    double m_latencyMs = 16.0;  // the chip's latency timer now
    ULONG m_readTimeoutMs = 0;
    DWORD m_eventMask = 0;
    void* m_event = nullptr;
    DWORD m_eventStatus = 0;

    // The line and the host's queues.
    SerialLine m_hostLine{m_scale};    // host transmit queue, host to device
    SerialLine m_deviceLine{m_scale};  // device to host
    ChipBuffer m_chip;
    std::deque<std::uint8_t> m_rx;  // host receive queue

    // Faults.
    unsigned long m_unplugAfterBytes = 0;
    unsigned long m_unplugAfterCalls = 0;
    unsigned long m_stallAtWrite = 0;
    bool m_readIoErrorNext = false;

    // Records.
    WriteLog m_written;  // what the host wrote, packet by packet
    std::vector<ConfigCall> m_configCalls;
    std::array<unsigned long, KXSIM_FT_ENTRY_COUNT> m_calls{};
    ReceivedLog m_deviceReceived;
    std::vector<std::uint8_t> m_deviceSent;
};

}  // namespace kxsim
