#include "restart_watch.h"

#include <algorithm>
#include <string_view>

#include "announce_matcher.h"

namespace kx::cli {

bool RestartWatch::Seen(const std::string& log) {
    const AnnouncePattern& header = kAnnouncePatterns[0];
    const std::string_view pattern(reinterpret_cast<const char*>(header.bytes), header.length);
    if (log.size() < m_scanned) {
        m_start = m_scanned = 0;  // cleared: everything in it is new
    }
    // A header split across two calls is found from its first byte.
    const std::size_t overlap = pattern.size() - 1;
    const std::size_t from = std::max(m_start, m_scanned >= overlap ? m_scanned - overlap : 0);
    m_scanned = log.size();
    return std::string_view(log).find(pattern, from) != std::string_view::npos;
}

}  // namespace kx::cli
