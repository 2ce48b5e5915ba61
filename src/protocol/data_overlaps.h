// Data records that write different bytes to one address, and the ranges the data covers,
// taken record by record as the check reads the file. An image in address order, the usual
// case, is checked as it goes with nothing kept per record; the first record that goes back
// below an earlier one's address turns it to sorting every data record by address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "firmware_check.h"

namespace kx {

// The data of one data record that passed the check, in the image.
struct DataSegment {
    std::uint64_t first;  // its first address
    std::size_t dataAt;   // the offset in the image of its first data byte's two digits
    std::size_t length;
    std::uint32_t line;
};

// Data segments taken in address order: each run of contiguous or overlapping data is one
// range, and each segment that writes a byte of its run differently from the first
// segment in address order to cover that byte is one finding.
class AddressSweep {
  public:
    explicit AddressSweep(std::span<const std::uint8_t> image) : m_image(image) {}

    void Add(const DataSegment& s);  // s.first at least every earlier one's
    // Closes the last run; the findings go after those already in `check`.
    void Finish(ImageCheck& check);

  private:
    void CloseRun();

    // Who wrote the run's bytes: each segment that made it longer, with the run's end after
    // it, in rising order. A file written twice over is one long run full of conflicts;
    // each conflict finds its other line among the few owners not yet left behind.
    struct Owner {
        std::uint64_t end;
        DataSegment segment;
    };

    std::span<const std::uint8_t> m_image;
    // The current run, [m_runFirst, m_runEnd), and the owners that later segments can
    // still meet: those from m_head on.
    bool m_inRun = false;
    std::uint64_t m_runFirst = 0;
    std::uint64_t m_runEnd = 0;
    std::vector<Owner> m_owners;
    std::size_t m_head = 0;
    std::vector<AddressRange> m_ranges;
    std::uint64_t m_bytes = 0;
    std::vector<CheckFinding> m_findings;
};

class DataOverlaps {
  public:
    explicit DataOverlaps(std::span<const std::uint8_t> image) : m_image(image), m_sweep(image) {}

    // The data records in file order; `recordBegin` is where the segment's record begins.
    void Add(const DataSegment& s, std::size_t recordBegin);

    // Whether the data went out of address order, and where the record that did so begins:
    // Finish then needs the segments of every record before that one.
    bool OutOfOrder() const { return m_outOfOrder; }
    std::size_t OrderBrokenAt() const { return m_brokenAt; }

    // Ranges, bytes and findings into `check`; `earlier` is empty unless OutOfOrder().
    void Finish(std::vector<DataSegment> earlier, ImageCheck& check);

  private:
    std::span<const std::uint8_t> m_image;
    AddressSweep m_sweep;
    std::uint64_t m_lastFirst = 0;
    bool m_outOfOrder = false;
    std::size_t m_brokenAt = 0;
    std::vector<DataSegment> m_later;  // from the record that broke the order on
};

}  // namespace kx
