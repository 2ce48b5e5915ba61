#include "host.h"

#include <algorithm>

#include <chrono>
#include <thread>

#include "kxsim.h"

std::vector<std::string> SplitRecords(const std::string& file) {
    std::vector<std::string> records;
    std::size_t i = 0;
    while (true) {
        i = file.find_first_of("SZ", i);
        if (i == std::string::npos || i + 1 >= file.size()) {
            return records;
        }
        const std::size_t cr = file.find('\r', i + 2);
        if (cr == std::string::npos) {
            return records;
        }
        records.push_back(file.substr(i, cr - i));
        i = cr + 2;
    }
}

void Host::Advance(double ms) {
    if (advance) {
        advance(ms);
    } else {
        kxsim_advance_ms(ms);
    }
}

void Host::Wait(double ms) {
    if (m_manual) {
        Advance(ms);
    } else {
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
    }
}

bool Host::Connect() {
    if (m_ft.OpenEx(const_cast<char*>("KX Upgrade - Dongle"), FT_OPEN_BY_DESCRIPTION, &m_handle) !=
        FT_OK) {
        return false;
    }
    m_ft.ResetDevice(m_handle);
    m_ft.SetBaudRate(m_handle, 38400);
    m_ft.SetDataCharacteristics(m_handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    m_ft.SetFlowControl(m_handle, FT_FLOW_NONE, 0x11, 0x13);
    m_ft.SetTimeouts(m_handle, 60000, 60000);
    m_ft.Purge(m_handle, FT_PURGE_RX);
    return true;
}

bool Host::WaitForAnnouncement(double limitMs) {
    static const std::string kTrailer = "\r\n\x11";
    std::string seen;
    for (double t = 0; t < limitMs; t += 1) {
        DWORD rx = 0, tx = 0, events = 0;
        while (m_ft.GetStatus(m_handle, &rx, &tx, &events) == FT_OK && rx > 0) {
            char byte = 0;
            DWORD got = 0;
            m_ft.Read(m_handle, &byte, 1, &got);
            seen += byte;
            if (seen.find("\r\n\r\nKX ") != std::string::npos && seen.size() >= kTrailer.size() &&
                seen.compare(seen.size() - kTrailer.size(), kTrailer.size(), kTrailer) == 0) {
                return true;
            }
        }
        Wait(1);
    }
    return false;
}

namespace {

double FrameBits(const kxsim_link& link) {
    return 1 + link.word_length + (link.parity != 0 ? 1 : 0) + link.stop_bits;
}

}  // namespace

void Host::WaitTransmitDrained() {
    DWORD rx = 0, tx = 1, events = 0;
    Wait(2);
    while (tx != 0 && m_ft.GetStatus(m_handle, &rx, &tx, &events) == FT_OK) {
        if (m_manual) {
            Advance(0.05);
        }
    }
    // The chip's own FIFO may still be sending what the driver's queue gave it.
    kxsim_link link{};
    kxsim_host_link(&link);
    const double held = static_cast<double>(std::min<std::size_t>(m_writtenSinceDrain, 256));
    m_writtenSinceDrain = 0;
    Wait(std::max(2.0, held * FrameBits(link) / link.baud * 1000.0));
}

void Host::Complete() {
    m_transferring = false;
    WaitTransmitDrained();
    m_ft.SetBaudRate(m_handle, 38400);
    m_ft.Purge(m_handle, FT_PURGE_RX);
    m_result.outcome = UpgradeResult::Outcome::Completed;
}

void Host::Abort(std::uint8_t reply) {
    m_transferring = false;
    WaitTransmitDrained();
    m_ft.SetBaudRate(m_handle, 38400);
    m_ft.Purge(m_handle, FT_PURGE_RX);
    m_result.outcome = UpgradeResult::Outcome::Aborted;
    m_result.abortReply = reply;
}

void Host::SendNext(bool repeat) {
    DWORD written = 0;
    if (repeat && !m_lastWasSwitch) {
        m_ft.Write(m_handle, m_packet.data(), static_cast<DWORD>(m_packet.size()), &written);
        m_writtenSinceDrain += written;
        return;
    }
    m_packet.clear();
    bool switchAfter = false;
    for (unsigned s3 = 0;;) {
        if (m_next == m_records.size()) {
            Complete();
            return;
        }
        const std::string& record = m_records[m_next++];
        m_packet += record;
        if (m_firstStage) {
            if (record[0] == 'Z') {
                m_firstStage = false;
                m_lastWasSwitch = true;
                switchAfter = true;
            }
            break;
        }
        m_lastWasSwitch = false;
        if (record[1] != '3' || ++s3 == 32) {
            break;
        }
    }
    m_ft.Write(m_handle, m_packet.data(), static_cast<DWORD>(m_packet.size()), &written);
    m_writtenSinceDrain += written;
    if (switchAfter) {
        WaitTransmitDrained();
        m_ft.ResetDevice(m_handle);
        m_ft.SetDivisor(m_handle, 6);
        m_ft.SetDataCharacteristics(m_handle, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE);
        m_ft.SetFlowControl(m_handle, FT_FLOW_NONE, 0x11, 0x13);
        m_ft.SetTimeouts(m_handle, 60000, 60000);
        m_ft.Purge(m_handle, FT_PURGE_RX);
        if (afterSwitch) {
            afterSwitch();
        }
    }
}

UpgradeResult Host::Upgrade(const std::string& file, double limitMs) {
    m_records = SplitRecords(file);
    m_next = 0;
    m_firstStage = true;
    m_lastWasSwitch = false;
    m_transferring = true;
    m_result = UpgradeResult{};
    m_ft.Purge(m_handle, FT_PURGE_RX);
    SendNext(false);
    for (double t = 0; m_transferring && t < limitMs; t += 1) {
        DWORD rx = 0, tx = 0, events = 0;
        if (m_ft.GetStatus(m_handle, &rx, &tx, &events) != FT_OK) {
            break;
        }
        while (m_transferring && rx > 0) {
            std::uint8_t byte = 0;
            DWORD got = 0;
            if (m_ft.Read(m_handle, &byte, 1, &got) == FT_OK && got == 1) {
                if (byte == 0xA9) {
                    SendNext(false);
                } else if (byte == 0xB6) {
                    ++m_result.repeats;
                    SendNext(true);
                } else if (byte == 0xC8 || byte == 0xD5) {
                    Abort(byte);
                } else if (byte == '\r' || byte == '\n' || byte == ' ' ||
                           (byte >= 0x28 && byte <= 0x5A)) {
                    m_result.echoed += static_cast<char>(byte);
                }
            }
            if (m_ft.GetStatus(m_handle, &rx, &tx, &events) != FT_OK) {
                break;
            }
        }
        if (m_transferring && m_firstStage && tx < 16) {
            SendNext(false);
        }
        Wait(1);
    }
    return m_result;
}
