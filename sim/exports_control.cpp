// The kxsim_* control and inspection API (kxsim.h).
#include <algorithm>
#include <string>

#include "device_bank.h"
#include "kxsim.h"
#include "simulator.h"

using kxsim::Settings;
using kxsim::Simulator;

namespace {

Simulator& Sim() {
    return Simulator::Instance();
}

std::string Text(const char* text) {
    return text != nullptr ? text : "";
}

void CopyLink(const kxsim::LinkSettings& from, kxsim_link* to) {
    if (to != nullptr) {
        *to = kxsim_link{from.baud, from.wordLength, from.stopBits, from.parity};
    }
}

}  // namespace

extern "C" {

KXSIM_API void kxsim_reset(void) {
    kxsim::DeviceBank::Get().SetCount(1);
}
KXSIM_API void kxsim_set_device_count(size_t count) {
    kxsim::DeviceBank::Get().SetCount(count);
}
KXSIM_API size_t kxsim_device_count(void) {
    return kxsim::DeviceBank::Get().Count();
}
KXSIM_API int kxsim_select(size_t index) {
    return kxsim::DeviceBank::Get().Select(index) ? 0 : -1;
}
KXSIM_API void kxsim_set_serial(const char* serial) {
    Sim().ChangeSettings([&](Settings& s) { s.serial = Text(serial); });
}
KXSIM_API void kxsim_set_location(unsigned long location) {
    Sim().ChangeSettings([&](Settings& s) { s.location = static_cast<std::uint32_t>(location); });
}
KXSIM_API void kxsim_plug(void) {
    Sim().Plug();
}
KXSIM_API void kxsim_unplug(void) {
    Sim().Unplug();
}
KXSIM_API void kxsim_plug_in_ms(double ms) {
    Sim().PlugInMs(ms);
}
KXSIM_API void kxsim_replug_after_ms(double ms) {
    Sim().ReplugAfterMs(ms);
}
KXSIM_API int kxsim_is_plugged(void) {
    return Sim().Plugged() ? 1 : 0;
}
KXSIM_API int kxsim_is_open(void) {
    return Sim().PortOpen() ? 1 : 0;
}
KXSIM_API void kxsim_unplug_after_bytes(unsigned long n) {
    Sim().UnplugAfterBytes(n);
}
KXSIM_API void kxsim_unplug_after_calls(unsigned long k) {
    Sim().UnplugAfterCalls(k);
}
KXSIM_API void kxsim_inject(const unsigned char* bytes, size_t len) {
    Sim().Inject(bytes, len);
}
KXSIM_API void kxsim_read_io_error_next(void) {
    Sim().ReadIoErrorNext();
}
KXSIM_API void kxsim_stall_tx(int on) {
    Sim().StallTx(on != 0);
}
KXSIM_API void kxsim_stall_tx_at_write(unsigned long k) {
    Sim().StallTxAtWrite(k);
}

KXSIM_API void kxsim_set_description(const char* description) {
    Sim().ChangeSettings([&](Settings& s) { s.description = Text(description); });
}
KXSIM_API void kxsim_set_name(const char* name) {
    Sim().ChangeSettings([&](Settings& s) { s.name = Text(name); });
}
KXSIM_API void kxsim_set_id(const char* id) {
    Sim().ChangeSettings([&](Settings& s) { s.id = Text(id); });
}
KXSIM_API void kxsim_set_flash(unsigned long base, unsigned long size) {
    Sim().SetFlash(static_cast<std::uint32_t>(base), static_cast<std::uint32_t>(size));
}
KXSIM_API void kxsim_set_latency_ms(double ms) {
    Sim().ChangeSettings([&](Settings& s) { s.latencyMs = ms < 0 ? 0 : ms; });
}
KXSIM_API double kxsim_latency_timer_ms(void) {
    return Sim().LatencyTimerMs();
}
KXSIM_API void kxsim_set_tx_fifo(unsigned bytes) {
    Sim().ChangeSettings([&](Settings& s) { s.txFifoBytes = bytes; });
}
KXSIM_API void kxsim_set_speed(double factor) {
    Sim().ChangeSettings([&](Settings& s) { s.speed = factor < 0 ? 0 : factor; });
}
KXSIM_API void kxsim_set_erase_ms(double ms) {
    Sim().ChangeSettings([&](Settings& s) { s.eraseMs = ms < 0 ? 0 : ms; });
}
KXSIM_API void kxsim_set_announce(double delay_ms, double repeat_ms) {
    Sim().ChangeSettings([&](Settings& s) {
        s.announceDelayMs = std::clamp(delay_ms, 0.0, kxsim::kMaxAnnounceMs);
        s.announceRepeatMs = std::clamp(repeat_ms, 0.0, kxsim::kMaxAnnounceMs);
    });
}
KXSIM_API void kxsim_set_announce_from_open(int on) {
    Sim().ChangeSettings([&](Settings& s) { s.announceFromOpen = on != 0; });
}
KXSIM_API void kxsim_set_max_resends(unsigned n) {
    Sim().ChangeSettings([&](Settings& s) { s.maxResends = n; });
}
KXSIM_API void kxsim_set_progress_text(int on) {
    Sim().ChangeSettings([&](Settings& s) { s.progressText = on != 0; });
}
KXSIM_API void kxsim_set_self_powered(int on) {
    Sim().ChangeSettings([&](Settings& s) { s.selfPowered = on != 0; });
}

KXSIM_API void kxsim_set_command_ack(int on) {
    Sim().ChangeSettings([&](Settings& s) { s.commandAck = on != 0; });
}
KXSIM_API void kxsim_damage_next_record(void) {
    Sim().DamageNextRecord();
}
KXSIM_API int kxsim_load_config(const char* path) {
    return Sim().LoadConfig(path);
}
KXSIM_API int kxsim_apply_environment(void) {
    return Sim().ApplyEnvironment();
}
KXSIM_API void kxsim_set_dump(const char* packets_path, const char* flash_path) {
    Sim().ChangeSettings([&](Settings& s) {
        s.dumpPackets = Text(packets_path);
        s.dumpFlash = Text(flash_path);
    });
}
KXSIM_API int kxsim_dump(void) {
    return Sim().Dump() ? 0 : -1;
}

KXSIM_API void kxsim_set_manual_clock(int on) {
    Sim().SetManualClock(on != 0);
}
KXSIM_API void kxsim_advance_ms(double ms) {
    Sim().AdvanceMs(ms);
}
KXSIM_API double kxsim_now_ms(void) {
    return Sim().NowMs();
}
KXSIM_API double kxsim_chip_wake_ms(void) {
    return Sim().ChipWakeMs();
}

KXSIM_API size_t kxsim_packet_count(void) {
    return Sim().PacketCount();
}
KXSIM_API size_t kxsim_packet(size_t index, unsigned char* buf, size_t cap, kxsim_link* link) {
    return Sim().CopyPacket(index, buf, cap, link);
}
KXSIM_API size_t kxsim_flash(unsigned char* buf, size_t cap) {
    return Sim().CopyFlash(buf, cap);
}
KXSIM_API unsigned long kxsim_flash_base(void) {
    return Sim().FlashBase();
}
KXSIM_API size_t kxsim_config_count(void) {
    return Sim().ConfigCount();
}
KXSIM_API int kxsim_config(size_t index, kxsim_config_call* call) {
    return Sim().CopyConfig(index, call) ? 0 : -1;
}
KXSIM_API size_t kxsim_config_text(size_t index, char* buf, size_t cap) {
    return Sim().CopyConfigText(index, buf, cap);
}
KXSIM_API unsigned long kxsim_call_count(int entry) {
    return Sim().CallCount(entry);
}
KXSIM_API size_t kxsim_device_received(unsigned char* buf, size_t cap) {
    return Sim().CopyDeviceReceived(buf, cap);
}
KXSIM_API size_t kxsim_device_sent(unsigned char* buf, size_t cap) {
    return Sim().CopyDeviceSent(buf, cap);
}
KXSIM_API int kxsim_device_state(void) {
    return Sim().DeviceState();
}
KXSIM_API void kxsim_host_link(kxsim_link* link) {
    CopyLink(Sim().HostLink(), link);
}
KXSIM_API void kxsim_device_link(kxsim_link* link) {
    CopyLink(Sim().DeviceLink(), link);
}

}  // extern "C"
