// Control and inspection of the simulated dongle (kxsim.h).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "exit_lock.h"
#include "simulator.h"

namespace kxsim {
namespace {

std::size_t CopyOut(const std::vector<std::uint8_t>& bytes, unsigned char* buf, std::size_t cap) {
    if (buf != nullptr) {
        std::copy_n(bytes.begin(), std::min(cap, bytes.size()), buf);
    }
    return bytes.size();
}

kxsim_link ToC(const LinkSettings& link) {
    return kxsim_link{link.baud, link.wordLength, link.stopBits, link.parity};
}

int StateCode(Bootloader::State state) {
    switch (state) {
        case Bootloader::State::Off:
            return KXSIM_STATE_OFF;
        case Bootloader::State::Dormant:
            return KXSIM_STATE_DORMANT;
        case Bootloader::State::Starting:
            return KXSIM_STATE_STARTING;
        case Bootloader::State::Command:
            return KXSIM_STATE_COMMAND;
        case Bootloader::State::Erasing:
            return KXSIM_STATE_ERASING;
        case Bootloader::State::Refusing:
            return KXSIM_STATE_REFUSING;
        case Bootloader::State::Bulk:
            return KXSIM_STATE_BULK;
        case Bootloader::State::Done:
            return KXSIM_STATE_DONE;
    }
    return KXSIM_STATE_OFF;
}

}  // namespace

void Simulator::Reset() {
    std::unique_lock lock(m_mutex);
    ResetState();
}

void Simulator::Plug() {
    std::unique_lock lock = Lock();
    m_plugAt.reset();
    PlugNow();
}

void Simulator::Unplug() {
    std::unique_lock lock = Lock();
    m_plugAt.reset();
    UnplugNow();
}

void Simulator::PlugInMs(double ms) {
    std::unique_lock lock = Lock();
    UnplugNow();
    m_plugAt = m_now + FromMs(ms);
}

void Simulator::ReplugAfterMs(double ms) {
    std::unique_lock lock = Lock();
    m_settings.replugAfterMs = ms;
}

bool Simulator::Plugged() {
    std::unique_lock lock = Lock();
    return m_plugged;
}

bool Simulator::PortOpen() {
    std::unique_lock lock = Lock();
    return m_openHandle != 0;
}

void Simulator::UnplugAfterBytes(unsigned long n) {
    std::unique_lock lock = Lock();
    m_unplugAfterBytes = n;
}

void Simulator::StallTxAtWrite(unsigned long k) {
    std::unique_lock lock = Lock();
    m_stallAtWrite = k;
}

void Simulator::UnplugAfterCalls(unsigned long k) {
    std::unique_lock lock = Lock();
    m_unplugAfterCalls = k;
}

void Simulator::Inject(const unsigned char* bytes, std::size_t len) {
    std::unique_lock lock = Lock();
    if (bytes != nullptr) {
        Deliver(std::deque<std::uint8_t>(bytes, bytes + len));
    }
}

void Simulator::ReadIoErrorNext() {
    std::unique_lock lock = Lock();
    m_readIoErrorNext = true;
}

void Simulator::StallTx(bool on) {
    std::unique_lock lock = Lock();
    m_hostLine.Stall(on, m_now);
}

void Simulator::DamageNextRecord() {
    std::unique_lock lock = Lock();
    m_boot.DamageNextRecord();
}

void Simulator::SetFlash(std::uint32_t base, std::uint32_t size) {
    std::unique_lock lock = Lock();
    m_settings.flashBase = base;
    m_settings.flashSize = size;
    m_flash.Configure(base, size);
}

int Simulator::LoadConfig(const char* path) {
    std::unique_lock lock = Lock();
    const Settings before = m_settings;
    const int result = path != nullptr ? LoadSettingsFile({m_settings, m_index}, path) : -1;
    ApplySettings(before);
    return result;
}

int Simulator::ApplyEnvironment() {
    std::unique_lock lock = Lock();
    const Settings before = m_settings;
    const int result = LoadSettingsFromEnvironment({m_settings, m_index});
    ApplySettings(before);
    return result;
}

bool Simulator::Dump() {
    std::unique_lock lock = Lock();
    return WriteDumps();
}

void Simulator::DumpAtExit() {
    std::unique_lock lock(m_mutex, std::defer_lock);
    const bool locked = LockAtExit(lock);
    if (!m_opened) {
        return;  // its dumps are left to the process that flashed it: nothing to bring up to now
    }
    if (locked) {
        Advance(m_clock.Now());
    }
    WriteDumps();
}

void Simulator::SetManualClock(bool on) {
    std::unique_lock lock = Lock();
    m_clock.SetManual(on);
    m_tick.notify_one();  // the chip's clock follows the wall clock again, or stops
}

// Moving time on changes nothing the chip's clock plans by: only the plan's own moment makes
// it look again, as its thread does when it wakes.
void Simulator::AdvanceMs(double ms) {
    std::unique_lock lock = LockQuiet();
    if (!m_clock.Manual()) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
        lock.lock();
        Advance(m_clock.Now());
    } else {
        PlannedChipWake();  // from what the host changed since the last look
        m_clock.AdvanceTo(m_now + FromMs(ms));
        Advance(m_clock.Now());
        if (m_chipWake && *m_chipWake <= m_now) {
            m_chipWake = NextWake();
        }
    }
    m_changed.notify_all();
}

double Simulator::NowMs() {
    std::unique_lock lock = LockQuiet();
    return ToMs(m_now);
}

double Simulator::ChipWakeMs() {
    std::unique_lock lock = LockQuiet();
    const std::optional<Nanos> wake = PlannedChipWake();
    return wake ? ToMs(*wake) : -1.0;
}

std::size_t Simulator::PacketCount() {
    std::unique_lock lock = Lock();
    return m_written.PacketCount();
}

std::size_t Simulator::CopyPacket(std::size_t index, unsigned char* buf, std::size_t cap,
                                  kxsim_link* link) {
    std::unique_lock lock = Lock();
    if (index >= m_written.PacketCount()) {
        return 0;
    }
    if (link != nullptr) {
        *link = ToC(m_written.PacketAt(index).link);
    }
    return m_written.CopyPacket(index, buf, cap);
}

std::size_t Simulator::CopyFlash(unsigned char* buf, std::size_t cap) {
    std::unique_lock lock = Lock();
    return CopyOut(m_flash.Bytes(), buf, cap);
}

unsigned long Simulator::FlashBase() {
    std::unique_lock lock = Lock();
    return m_flash.Base();
}

std::size_t Simulator::ConfigCount() {
    std::unique_lock lock = Lock();
    return m_configCalls.size();
}

bool Simulator::CopyConfig(std::size_t index, kxsim_config_call* call) {
    std::unique_lock lock = Lock();
    if (index >= m_configCalls.size() || call == nullptr) {
        return false;
    }
    *call = m_configCalls[index].call;
    return true;
}

std::size_t Simulator::CopyConfigText(std::size_t index, char* buf, std::size_t cap) {
    std::unique_lock lock = Lock();
    if (index >= m_configCalls.size()) {
        return 0;
    }
    const std::string& text = m_configCalls[index].text;
    if (buf != nullptr && cap > 0) {
        const std::size_t n = std::min(cap - 1, text.size());
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return text.size();
}

unsigned long Simulator::CallCount(int entry) {
    std::unique_lock lock = Lock();
    if (entry < 0 || entry >= KXSIM_FT_ENTRY_COUNT) {
        return 0;
    }
    return m_calls[static_cast<std::size_t>(entry)];
}

std::size_t Simulator::CopyDeviceReceived(unsigned char* buf, std::size_t cap) {
    std::unique_lock lock = Lock();
    return m_deviceReceived.Copy(m_written, buf, cap);
}

std::size_t Simulator::CopyDeviceSent(unsigned char* buf, std::size_t cap) {
    std::unique_lock lock = Lock();
    return CopyOut(m_deviceSent, buf, cap);
}

int Simulator::DeviceState() {
    std::unique_lock lock = Lock();
    return StateCode(m_boot.GetState());
}

LinkSettings Simulator::HostLink() {
    std::unique_lock lock = Lock();
    return m_hostLink;
}

LinkSettings Simulator::DeviceLink() {
    std::unique_lock lock = Lock();
    return m_deviceLink;
}

double Simulator::LatencyTimerMs() {
    std::unique_lock lock = Lock();
    return m_latencyMs;
}

}  // namespace kxsim
