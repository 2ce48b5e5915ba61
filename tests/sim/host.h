// A small host that drives an upgrade the way the tool does: it waits for the announcement,
// sends one record per packet while the transmit queue is nearly empty, switches to the bulk
// link after the switch record, then sends packets of up to 32 S3 records on every 0xA9,
// repeats on 0xB6 and stops on 0xC8 or 0xD5.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "d2xx.h"

struct UpgradeResult {
    enum class Outcome { Completed, Aborted, TimedOut } outcome = Outcome::TimedOut;
    std::uint8_t abortReply = 0;
    int repeats = 0;
    std::string echoed;  // bytes of the echo set received during the transfer
};

// Records as the tool takes them from a file: from an 'S' or 'Z' to the next CR, without
// the line end.
std::vector<std::string> SplitRecords(const std::string& file);

class Host {
  public:
    // With a manual clock each poll pass moves it 1 ms; otherwise the host sleeps 1 ms.
    Host(const D2xx& ft, bool manualClock) : m_ft(ft), m_manual(manualClock) {}

    bool Connect();
    // Polls until an announcement has been read; false after `limitMs`.
    bool WaitForAnnouncement(double limitMs);
    UpgradeResult Upgrade(const std::string& file, double limitMs);
    FT_HANDLE Handle() const { return m_handle; }
    // Called once the link has been switched to the bulk profile.
    std::function<void()> afterSwitch;
    // Moves a manual clock on by the given ms, instead of kxsim_advance_ms.
    std::function<void(double)> advance;

  private:
    void Advance(double ms);
    void Wait(double ms);
    void WaitTransmitDrained();
    void SendNext(bool repeat);
    void Complete();
    void Abort(std::uint8_t reply);

    const D2xx& m_ft;
    bool m_manual;
    FT_HANDLE m_handle = nullptr;

    std::vector<std::string> m_records;
    std::size_t m_next = 0;
    std::string m_packet;
    bool m_firstStage = true;
    bool m_lastWasSwitch = false;
    std::size_t m_writtenSinceDrain = 0;
    bool m_transferring = false;
    UpgradeResult m_result;
};
