#include "data_overlaps.h"

#include <algorithm>
#include <cstdio>

#include "firmware_record.h"

namespace kx {
namespace {

// Byte `i` of a segment, decoded again from its digits: the check keeps no copy of the data.
std::uint8_t DataByte(std::span<const std::uint8_t> image, const DataSegment& s, std::size_t i) {
    return HexByte(image.data() + s.dataAt + 2 * i);
}

}  // namespace

void AddressSweep::Add(const DataSegment& s) {
    if (s.length == 0) {
        return;
    }
    const std::uint64_t sEnd = s.first + s.length;
    if (!m_inRun || s.first >= m_runEnd) {
        // Nothing to overlap: a new run after a gap, or the run going on from its end, where
        // no owner before this segment can meet a later one.
        if (!m_inRun || s.first > m_runEnd) {
            if (m_inRun) {
                CloseRun();
            }
            m_inRun = true;
            m_runFirst = s.first;
        }
        m_runEnd = sEnd;
        m_head = 0;
        if (m_owners.empty()) {
            m_owners.push_back(Owner{sEnd, s});
        } else {
            m_owners.front() = Owner{sEnd, s};
            m_owners.resize(1);
        }
        return;
    }
    // An owner that ends at or below this segment's first address ends below every later
    // segment's too: the segments come in address order. What is left is what an overlap can
    // meet, so an image written twice over keeps a few. The last owner ends where the run
    // does, past this segment's first address: it always stays.
    while (m_owners[m_head].end <= s.first) {
        ++m_head;
    }
    if (m_head >= 64 && m_head * 2 >= m_owners.size()) {
        m_owners.erase(m_owners.begin(), m_owners.begin() + static_cast<std::ptrdiff_t>(m_head));
        m_head = 0;
    }
    // The run's byte at an address came from the first segment, in address order, that
    // covers it: the one whose extension of the run first reached past it.
    const std::uint64_t overlapEnd = std::min(m_runEnd, sEnd);
    std::size_t owner = m_head;
    for (std::uint64_t a = s.first; a < overlapEnd; ++a) {
        while (m_owners[owner].end <= a) {
            ++owner;
        }
        const DataSegment& other = m_owners[owner].segment;
        const std::uint8_t mine = DataByte(m_image, s, static_cast<std::size_t>(a - s.first));
        const std::uint8_t before =
            DataByte(m_image, other, static_cast<std::size_t>(a - other.first));
        if (mine == before) {
            continue;
        }
        const std::uint32_t here = std::max(s.line, other.line);
        const std::uint32_t there = std::min(s.line, other.line);
        char text[160];
        std::snprintf(text, sizeof text,
                      "data overlaps line %u with different bytes: address 0x%08llX "
                      "gets 0x%02X here and 0x%02X there",
                      static_cast<unsigned>(there), static_cast<unsigned long long>(a),
                      here == s.line ? mine : before, here == s.line ? before : mine);
        m_findings.push_back({here, text});
        break;  // one finding per record is enough to find it
    }
    if (sEnd > m_runEnd) {
        m_runEnd = sEnd;
        m_owners.push_back(Owner{m_runEnd, s});
    }
}

void AddressSweep::CloseRun() {
    m_ranges.push_back(
        {static_cast<std::uint32_t>(m_runFirst), static_cast<std::uint32_t>(m_runEnd - 1)});
    m_bytes += m_runEnd - m_runFirst;
}

void AddressSweep::Finish(ImageCheck& check) {
    if (m_inRun) {
        CloseRun();
        m_inRun = false;
    }
    check.ranges.insert(check.ranges.end(), m_ranges.begin(), m_ranges.end());
    check.imageBytes += m_bytes;
    check.findings.insert(check.findings.end(), m_findings.begin(), m_findings.end());
}

void DataOverlaps::Add(const DataSegment& s, std::size_t recordBegin) {
    if (s.length == 0) {
        return;  // writes nothing, wherever it is
    }
    if (!m_outOfOrder && s.first < m_lastFirst) {
        m_outOfOrder = true;
        m_brokenAt = recordBegin;
    }
    if (m_outOfOrder) {
        m_later.push_back(s);
        return;
    }
    m_lastFirst = s.first;
    m_sweep.Add(s);
}

void DataOverlaps::Finish(std::vector<DataSegment> earlier, ImageCheck& check) {
    if (!m_outOfOrder) {
        m_sweep.Finish(check);
        return;
    }
    // Every data record in address order, and in file order among those at one address:
    // the same sweep then finds what it finds in an image that was in order all along.
    earlier.insert(earlier.end(), m_later.begin(), m_later.end());
    std::stable_sort(earlier.begin(), earlier.end(),
                     [](const DataSegment& a, const DataSegment& b) { return a.first < b.first; });
    AddressSweep sweep(m_image);
    for (const DataSegment& s : earlier) {
        sweep.Add(s);
    }
    sweep.Finish(check);
}

}  // namespace kx
