#include "bootloader.h"

#include <string>
#include <utility>

namespace kxsim {
namespace {

// Model-time floors, whatever the speed factor: pauses the host must be able to outlast.
constexpr double kAnnounceFloorSeconds = 0.020;
constexpr double kRepeatFloorSeconds = 0.100;
constexpr double kEraseFloorSeconds = 0.040;
// The pause before a refusal is repeated after the switch record (no erase happens).
constexpr double kRefusalPauseSeconds = 0.040;

bool IsData(const Record& record) {
    return record.lead == 'S' && (record.type == '1' || record.type == '2' || record.type == '3');
}

bool IsTermination(const Record& record) {
    return record.lead == 'S' && (record.type == '7' || record.type == '8' || record.type == '9');
}

std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

void Bootloader::PowerUp(Nanos now) {
    m_state = State::Dormant;
    m_deadline.reset();
    m_damageNext = false;
    m_uart.SetLink(CommandLink());
    if (!m_settings.announceFromOpen) {
        Restart(now);  // a real bootloader does not know whether anyone listens
    }
}

void Bootloader::PowerDown() {
    m_state = State::Off;
    m_deadline.reset();
    m_repeatPending = false;
}

void Bootloader::PortOpened(Nanos now) {
    if (m_settings.announceFromOpen && m_state == State::Dormant) {
        Restart(now);
    }
}

void Bootloader::PortClosed() {
    if (m_settings.announceFromOpen && m_state != State::Off && m_state != State::Done) {
        m_state = State::Dormant;
        m_deadline.reset();
        m_repeatPending = false;
    }
}

void Bootloader::TimingChanged(Nanos now, bool portOpen) {
    if (m_settings.announceFromOpen && m_state != State::Off && m_state != State::Done) {
        if (!portOpen && (m_state == State::Starting || m_repeatPending)) {
            PortClosed();  // switched to the old timing: asleep until the host opens
            return;
        }
    } else if (m_state == State::Dormant) {
        Restart(now);  // switched to the new timing: powered, so it starts
        return;
    }
    if (m_state == State::Starting) {
        m_deadline = m_since + AnnounceDelay();
    } else if (m_repeatPending) {
        const std::optional<Nanos> period = RepeatPeriod();
        m_deadline.reset();
        if (period) {
            m_deadline = m_since + *period;
        }
    }
}

Nanos Bootloader::AnnounceDelay() const {
    return m_scale.ScaledAtLeast(m_settings.announceDelayMs / 1000.0, kAnnounceFloorSeconds);
}

std::optional<Nanos> Bootloader::RepeatPeriod() const {
    if (m_settings.announceRepeatMs <= 0) {
        return std::nullopt;
    }
    return m_scale.ScaledAtLeast(m_settings.announceRepeatMs / 1000.0, kRepeatFloorSeconds);
}

void Bootloader::Restart(Nanos now) {
    m_state = State::Starting;
    m_uart.SetLink(CommandLink());
    m_parser.Restart();
    m_refusal.reset();
    ClearPacket();
    m_resends = 0;
    m_since = now;
    m_repeatPending = false;
    m_deadline = now + AnnounceDelay();
}

void Bootloader::Announce(Nanos now) {
    m_uart.Send(Bytes("\r\n\r\nKX " + m_settings.name + "\r\n\x11"), now);
    m_state = State::Command;
    m_parser.Restart();
    m_refusal.reset();
    m_since = now;
    m_repeatPending = true;
    m_deadline.reset();
    if (const std::optional<Nanos> period = RepeatPeriod()) {
        m_deadline = now + *period;
    }
}

Nanos Bootloader::QuietTimeout() const {
    return AnnounceDelay();
}

void Bootloader::Reply(std::uint8_t code, std::string_view text, Nanos now) {
    if (m_settings.progressText && !text.empty()) {
        m_uart.Send(Bytes(std::string(text) + "\r\n"), now);
    }
    m_uart.Send(std::span(&code, 1), now);
}

// Bulk-stage error: the reply leaves at the bulk link, the announcement that follows the
// restart at the command link.
void Bootloader::Fail(Nanos now) {
    Reply(kReplyError, "ERROR", now);
    Restart(now);
}

// Command-stage error. The host paces its records by its transmit queue and switches its
// link right after the switch record, so an immediate answer may never be read: it is
// repeated after the switch record instead of the erase. Without a switch record the
// device goes back to its announcement once the line has been quiet for a while.
void Bootloader::Refuse(std::uint8_t code, std::string_view text, Nanos now) {
    if (!m_refusal) {
        Reply(code, text, now);
        m_refusal = code;
    }
    m_deadline = now + QuietTimeout();
}

void Bootloader::OnByte(std::uint8_t byte, Nanos now) {
    if (!Listening()) {
        return;  // busy or silent: the byte is lost
    }
    if (m_state == State::Command) {
        m_repeatPending = false;  // a record has begun: no more announcements
    }
    m_deadline = DeadlineAfterByte(now);
    switch (m_parser.Feed(byte)) {
        case RecordParser::Step::Complete:
            TakeRecord(m_parser.Last(), now);
            break;
        case RecordParser::Step::Lost:
            if (m_state == State::Command) {
                Refuse(kReplyError, "ERROR", now);
                m_parser.Restart();  // keep looking for the switch record
            } else {
                m_packetDamaged = true;  // answered when the line goes quiet
            }
            break;
        case RecordParser::Step::Pending:
            break;
    }
}

std::optional<Nanos> Bootloader::DeadlineAfterByte(Nanos now) const {
    if (m_state == State::Bulk) {
        return now + m_idleTime.Of(m_uart.Link());
    }
    if (m_refusal) {
        return now + QuietTimeout();  // a refused command stage still times out
    }
    return std::nullopt;
}

Bootloader::Lookahead::Lookahead(const Bootloader& boot)
    : m_boot(boot),
      m_parser(boot.m_parser),
      m_deadline(boot.m_deadline),
      m_damageNext(boot.m_damageNext),
      m_packetDamaged(boot.m_packetDamaged),
      m_s3Count(boot.m_s3Count) {}

std::optional<Nanos> Bootloader::Lookahead::Byte(std::uint8_t byte, Nanos at) {
    if (m_deadline && *m_deadline < at) {
        return m_deadline;  // falls due before the byte arrives (a byte at the same moment first)
    }
    if (!m_boot.Listening()) {
        return std::nullopt;
    }
    const bool command = m_boot.m_state == State::Command;
    m_deadline = m_boot.DeadlineAfterByte(at);
    switch (m_parser.Feed(byte)) {
        case RecordParser::Step::Complete: {
            if (command) {
                return at;
            }
            const bool damaged = m_parser.Last().damaged || std::exchange(m_damageNext, false);
            m_packetDamaged = m_packetDamaged || damaged;
            if (m_packetDamaged ||
                (m_parser.Last().Is('S', '3') && ++m_s3Count < kRecordsPerPacket)) {
                return std::nullopt;
            }
            return at;
        }
        case RecordParser::Step::Lost:
            if (command) {
                return at;
            }
            m_packetDamaged = true;
            return std::nullopt;
        case RecordParser::Step::Pending:
            break;
    }
    return std::nullopt;
}

void Bootloader::TakeRecord(Record record, Nanos now) {
    if (m_damageNext) {
        m_damageNext = false;
        record.damaged = true;
    }
    if (m_state == State::Command) {
        OnCommandRecord(record, now);
    } else {
        OnBulkRecord(record, now);
    }
}

void Bootloader::OnCommandRecord(const Record& record, Nanos now) {
    if (record.lead == 'Z') {
        if (record.damaged) {
            Refuse(kReplyError, "ERROR", now);
        }
        Switch(now);
        return;
    }
    if (m_refusal) {
        return;  // already refused: wait for the switch record
    }
    // The command stage has no resend: a damaged record, or data before the erase, is an error.
    if (record.damaged || IsData(record) || IsTermination(record)) {
        Refuse(kReplyError, "ERROR", now);
        return;
    }
    if (record.type == '0' &&
        std::string(record.data.begin(), record.data.end()) != m_settings.id) {
        Refuse(kReplyIdMismatch, "WRONG ID", now);
        return;
    }
    if (m_settings.commandAck) {
        Reply(kReplyNext, "", now);
    }
}

void Bootloader::Switch(Nanos now) {
    m_uart.SetLink(BulkLink());
    if (m_refusal) {
        m_state = State::Refusing;
        m_deadline = now + m_scale.ScaledAtLeast(kRefusalPauseSeconds, kRefusalPauseSeconds);
        return;
    }
    m_flash.Erase();
    m_state = State::Erasing;
    m_deadline = now + m_scale.ScaledAtLeast(m_settings.eraseMs / 1000.0, kEraseFloorSeconds);
}

void Bootloader::OnBulkRecord(const Record& record, Nanos now) {
    m_packet.push_back(record);
    if (record.damaged) {
        m_packetDamaged = true;
    }
    if (m_packetDamaged) {
        return;  // framing is in doubt: the packet ends when the line goes quiet
    }
    if (record.Is('S', '3') && ++m_s3Count < kRecordsPerPacket) {
        return;
    }
    EndPacket(now);
}

void Bootloader::OnDeadline(Nanos now) {
    m_deadline.reset();
    switch (m_state) {
        case State::Starting:
        case State::Command:
            Announce(now);
            break;
        case State::Erasing:
            m_state = State::Bulk;
            m_parser.Restart();
            ClearPacket();
            m_resends = 0;
            m_packetsWritten = 0;
            Reply(kReplyNext, "FLASH ERASED", now);
            break;
        case State::Refusing:
            Reply(m_refusal.value_or(kReplyError), "REFUSED", now);
            Restart(now);
            break;
        case State::Bulk:
            EndPacket(now);
            break;
        default:
            break;
    }
}

void Bootloader::EndPacket(Nanos now) {
    m_deadline.reset();
    if (m_parser.InRecord()) {
        m_packetDamaged = true;  // the line went quiet inside a record
    }
    m_parser.Restart();
    if (m_packetDamaged) {
        ClearPacket();
        if (++m_resends > m_settings.maxResends) {
            Fail(now);
        } else {
            Reply(kReplyRepeat, "RESEND", now);
        }
        return;
    }
    m_resends = 0;
    WritePacket(now);
    ClearPacket();
}

void Bootloader::WritePacket(Nanos now) {
    bool complete = false;
    for (const Record& record : m_packet) {
        if (IsData(record)) {
            if (m_flash.Check(record.address, record.data) != Flash::Fault::None) {
                Fail(now);
                return;
            }
            m_flash.Program(record.address, record.data);
        }
        complete = complete || IsTermination(record);
    }
    ++m_packetsWritten;
    if (complete) {
        m_state = State::Done;
        Reply(kReplyNext, "UPGRADE COMPLETE", now);
        return;
    }
    Reply(kReplyNext, "PACKET " + std::to_string(m_packetsWritten), now);
}

void Bootloader::ClearPacket() {
    m_packet.clear();
    m_packetDamaged = false;
    m_s3Count = 0;
}

}  // namespace kxsim
