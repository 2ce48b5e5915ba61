// The dongle's bootloader: announces itself, takes the command-stage records one at a time,
// switches its link and erases on the switch record, then takes bulk packets and writes
// them into flash, answering each packet with one byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "flash.h"
#include "link.h"
#include "model_clock.h"
#include "record_parser.h"
#include "settings.h"

namespace kxsim {

inline constexpr std::uint8_t kReplyNext = 0xA9;
inline constexpr std::uint8_t kReplyRepeat = 0xB6;
inline constexpr std::uint8_t kReplyError = 0xC8;
inline constexpr std::uint8_t kReplyIdMismatch = 0xD5;
inline constexpr unsigned kRecordsPerPacket = 32;

// The bootloader's UART.
class BootloaderUart {
  public:
    virtual ~BootloaderUart() = default;
    virtual void Send(std::span<const std::uint8_t> bytes, Nanos now) = 0;
    virtual void SetLink(const LinkSettings& link) = 0;
    virtual const LinkSettings& Link() const = 0;
};

class Bootloader {
  public:
    enum class State {
        Off,       // unplugged
        Dormant,   // powered, waiting for the host to open the port (the old timing only)
        Starting,  // waiting to announce; input is ignored
        Command,   // announced; one record at a time at the command link
        Erasing,   // switched to the bulk link; input is ignored
        Refusing,  // switched to the bulk link after a refused command stage; input is ignored
        Bulk,      // packets of records
        Done       // image complete; silent until the next power-up
    };

    Bootloader(const Settings& settings, const TimeScale& scale, Flash& flash, BootloaderUart& uart)
        : m_settings(settings),
          m_scale(scale),
          m_flash(flash),
          m_uart(uart),
          m_idleTime(scale, kIdleCharacters) {}

    // Power-up: the bootloader starts and announces after the announce delay (with the old
    // timing it waits for the host to open the port instead).
    void PowerUp(Nanos now);
    bool Powered() const { return m_state != State::Off; }
    void PowerDown();
    // The host's open and close of the port reach the bootloader only with the old timing:
    // opening then starts it afresh unless the image is complete, closing puts it to sleep.
    void PortOpened(Nanos now);
    void PortClosed();
    // The timing settings (announcement, speed factor) changed at `now`: a pending
    // announcement falls due by the new ones, counted from when it was scheduled.
    void TimingChanged(Nanos now, bool portOpen);

    void OnByte(std::uint8_t byte, Nanos now);
    std::optional<Nanos> NextDeadline() const { return m_deadline; }
    void OnDeadline(Nanos now);

    void DamageNextRecord() { m_damageNext = true; }
    State GetState() const { return m_state; }

    // When the bootloader may next send anything if nothing reaches it but the host's bytes
    // already on their way. Feed them in order, as received, with their arrival times,
    // until one call gives a time; then End() if none did. It errs early, never late: every
    // record of the command stage counts, and in the bulk stage the record that may end a
    // packet and every deadline that falls due before the next byte.
    class Lookahead {
      public:
        explicit Lookahead(const Bootloader& boot);
        std::optional<Nanos> Byte(std::uint8_t byte, Nanos at);
        std::optional<Nanos> End() const { return m_deadline; }

      private:
        const Bootloader& m_boot;
        RecordParser m_parser;
        std::optional<Nanos> m_deadline;
        bool m_damageNext;
        bool m_packetDamaged;
        unsigned m_s3Count;
    };

  private:
    // A packet also ends when the line has been quiet this many character times.
    static constexpr int kIdleCharacters = 4;

    void Restart(Nanos now);
    void Announce(Nanos now);
    Nanos AnnounceDelay() const;
    std::optional<Nanos> RepeatPeriod() const;
    void Reply(std::uint8_t code, std::string_view text, Nanos now);
    void Fail(Nanos now);
    void Refuse(std::uint8_t code, std::string_view text, Nanos now);
    void Switch(Nanos now);
    Nanos QuietTimeout() const;
    // The deadline a byte received at `now` leaves behind (the state takes bytes).
    std::optional<Nanos> DeadlineAfterByte(Nanos now) const;
    bool Listening() const { return m_state == State::Command || m_state == State::Bulk; }
    void TakeRecord(Record record, Nanos now);
    void OnCommandRecord(const Record& record, Nanos now);
    void OnBulkRecord(const Record& record, Nanos now);
    void EndPacket(Nanos now);
    void WritePacket(Nanos now);
    void ClearPacket();

    const Settings& m_settings;
    const TimeScale& m_scale;
    Flash& m_flash;
    BootloaderUart& m_uart;
    FrameTimer m_idleTime;  // the quiet that ends a packet, at the UART's link

    State m_state = State::Off;
    std::optional<Nanos> m_deadline;
    // When the bootloader started or last announced, and whether a repeated announcement
    // is due after it (no byte has arrived since).
    Nanos m_since = 0;
    bool m_repeatPending = false;
    RecordParser m_parser;
    bool m_damageNext = false;
    // The first command-stage error: answered at once, and again after the switch record.
    std::optional<std::uint8_t> m_refusal;

    std::vector<Record> m_packet;
    bool m_packetDamaged = false;
    unsigned m_s3Count = 0;
    unsigned m_resends = 0;
    unsigned m_packetsWritten = 0;
};

}  // namespace kxsim
