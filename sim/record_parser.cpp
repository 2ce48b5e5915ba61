#include "record_parser.h"

namespace kxsim {
namespace {

int HexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Bytes of address for each record type; 0 for a type this bootloader does not know.
std::size_t AddressBytes(char lead, char type) {
    if (lead == 'Z') {
        return type == '0' ? 2 : 0;
    }
    switch (type) {
        case '0':
        case '1':
        case '5':
        case '9':
            return 2;
        case '2':
        case '6':
        case '8':
            return 3;
        case '3':
        case '7':
            return 4;
        default:
            return 0;
    }
}

}  // namespace

RecordParser::Step RecordParser::Feed(std::uint8_t byte) {
    switch (m_state) {
        case State::Lead:
            if (byte != 'S' && byte != 'Z') {
                m_state = State::Lost;
                return Step::Lost;
            }
            m_record = Record{};
            m_record.lead = static_cast<char>(byte);
            m_bytes.clear();
            m_digitsSeen = 0;
            m_badDigit = false;
            m_state = State::Type;
            return Step::Pending;
        case State::Type:
            m_record.type = static_cast<char>(byte);
            m_state = State::Count;
            return Step::Pending;
        case State::Count: {
            const int value = HexValue(byte);
            if (value < 0) {
                m_state = State::Lost;
                return Step::Lost;
            }
            if (m_digitsSeen++ == 0) {
                m_highNibble = value;
                return Step::Pending;
            }
            const auto count = static_cast<std::uint8_t>(m_highNibble * 16 + value);
            m_bytes.push_back(count);
            m_bodyDigits = std::size_t{count} * 2;
            m_digitsSeen = 0;
            m_state = State::Body;
            return m_bodyDigits == 0 ? Finish() : Step::Pending;
        }
        case State::Body: {
            int value = HexValue(byte);
            if (value < 0) {
                m_badDigit = true;
                value = 0;
            }
            if (m_digitsSeen++ % 2 == 0) {
                m_highNibble = value;
            } else {
                m_bytes.push_back(static_cast<std::uint8_t>(m_highNibble * 16 + value));
            }
            return m_digitsSeen == m_bodyDigits ? Finish() : Step::Pending;
        }
        case State::Lost:
            return Step::Pending;
    }
    return Step::Pending;
}

bool RecordParser::InRecord() const {
    return m_state == State::Type || m_state == State::Count || m_state == State::Body;
}

void RecordParser::Restart() {
    m_state = State::Lead;
}

RecordParser::Step RecordParser::Finish() {
    m_state = State::Lead;
    const std::size_t addressBytes = AddressBytes(m_record.lead, m_record.type);
    // m_bytes: count, address, data, checksum.
    bool damaged = m_badDigit || addressBytes == 0 || m_bytes.size() < 2 + addressBytes;
    if (!damaged) {
        unsigned sum = 0;
        for (std::size_t i = 0; i + 1 < m_bytes.size(); ++i) {
            sum += m_bytes[i];
        }
        damaged = static_cast<std::uint8_t>(~sum) != m_bytes.back();
    }
    m_record.damaged = damaged;
    if (!damaged) {
        for (std::size_t i = 0; i < addressBytes; ++i) {
            m_record.address = (m_record.address << 8) | m_bytes[1 + i];
        }
        m_record.data.assign(m_bytes.begin() + static_cast<std::ptrdiff_t>(1 + addressBytes),
                             m_bytes.end() - 1);
    }
    return Step::Complete;
}

}  // namespace kxsim
