// Splits the byte stream from the host into records. Records arrive without line ends, so
// each one is delimited by its byte-count field: lead ('S' or 'Z'), type digit, two hex
// digits of count, then count pairs of hex digits (address, data, checksum).
#pragma once

#include <cstdint>
#include <vector>

namespace kxsim {

struct Record {
    char lead = 'S';
    char type = '0';
    // A bad hex digit, a wrong checksum, an unknown type or a count too short for the address.
    bool damaged = false;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data;

    bool Is(char recordLead, char recordType) const {
        return lead == recordLead && type == recordType;
    }
};

class RecordParser {
  public:
    enum class Step {
        Pending,   // the byte belongs to a record not yet complete (or is ignored after Lost)
        Complete,  // a record is complete: see Last()
        Lost  // a byte cannot start a record, or a count is not hex: no framing until Restart()
    };

    Step Feed(std::uint8_t byte);
    const Record& Last() const { return m_record; }
    // Part of a record has arrived and it is not complete yet.
    bool InRecord() const;
    // Drops any partial record and waits for the next record start.
    void Restart();

  private:
    enum class State { Lead, Type, Count, Body, Lost };

    Step Finish();

    State m_state = State::Lead;
    Record m_record;
    std::vector<std::uint8_t> m_bytes;  // count, then the body bytes
    std::size_t m_bodyDigits = 0;
    std::size_t m_digitsSeen = 0;
    int m_highNibble = 0;
    bool m_badDigit = false;
};

}  // namespace kxsim
