// Shared set-up for the simulator tests: a fresh device on a manual clock, and the host
// calls the tool makes, through the D2XX table.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "d2xx.h"
#include "kxsim.h"

inline constexpr char kDescription[] = "KX Upgrade - Dongle";
inline const std::string kAnnouncement = "\r\n\r\nKX DONGLE BOOT 1.3\r\n\x11";

using Bytes = std::vector<std::uint8_t>;

struct QueueStatus {
    FT_STATUS status;
    DWORD rx;
    DWORD tx;
    DWORD events;
};

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kxsim_set_manual_clock(1);
        kxsim_reset();  // powered up at model time 0 exactly
    }
    void TearDown() override { kxsim_reset(); }

    const D2xx& ft = D2xx::Get();

    FT_HANDLE Open() {
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(ft.OpenEx(const_cast<char*>(kDescription), FT_OPEN_BY_DESCRIPTION, &handle),
                  FT_OK);
        return handle;
    }
    void CommandProfile(FT_HANDLE h) {
        ft.ResetDevice(h);
        ft.SetBaudRate(h, 38400);
        ft.SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
        ft.SetFlowControl(h, FT_FLOW_NONE, 0x11, 0x13);
        ft.SetTimeouts(h, 60000, 60000);
        ft.Purge(h, FT_PURGE_RX);
    }
    void BulkProfile(FT_HANDLE h) {
        ft.ResetDevice(h);
        ft.SetDivisor(h, 6);
        ft.SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE);
        ft.SetFlowControl(h, FT_FLOW_NONE, 0x11, 0x13);
        ft.SetTimeouts(h, 60000, 60000);
        ft.Purge(h, FT_PURGE_RX);
    }
    FT_HANDLE OpenConnected() {
        FT_HANDLE h = Open();
        CommandProfile(h);
        return h;
    }
    QueueStatus Status(FT_HANDLE h) {
        QueueStatus s{};
        s.status = ft.GetStatus(h, &s.rx, &s.tx, &s.events);
        return s;
    }
    // Everything in the receive queue now, read the way the tool reads: one byte per call.
    Bytes Drain(FT_HANDLE h) {
        Bytes bytes;
        DWORD rx = 0, tx = 0, events = 0;
        while (ft.GetStatus(h, &rx, &tx, &events) == FT_OK && rx > 0) {
            std::uint8_t byte = 0;
            DWORD got = 0;
            if (ft.Read(h, &byte, 1, &got) == FT_OK && got == 1) {
                bytes.push_back(byte);
            }
        }
        return bytes;
    }
    // Advances the manual clock by `ms`, then drains.
    Bytes After(FT_HANDLE h, double ms) {
        kxsim_advance_ms(ms);
        return Drain(h);
    }
    void Write(FT_HANDLE h, const std::string& text) {
        DWORD written = 0;
        ASSERT_EQ(
            ft.Write(h, const_cast<char*>(text.data()), static_cast<DWORD>(text.size()), &written),
            FT_OK);
        ASSERT_EQ(written, text.size());
    }
    // Until the driver's queue is empty and the chip's FIFO (which the status leaves out)
    // has sent its last byte.
    void WaitDrained(FT_HANDLE h) {
        for (int i = 0; i < 1000000 && Status(h).tx > 0; ++i) {
            kxsim_advance_ms(0.05);
        }
        kxsim_link link{};
        kxsim_host_link(&link);
        const double twoFrames = 2 * 12 / link.baud * 1000.0;
        for (std::size_t before = SIZE_MAX; before != kxsim_device_received(nullptr, 0);) {
            before = kxsim_device_received(nullptr, 0);
            kxsim_advance_ms(twoFrames);
        }
    }
    // Opens, sets the command profile and reads the announcement.
    FT_HANDLE OpenAnnounced() {
        FT_HANDLE h = OpenConnected();
        const Bytes announcement = After(h, 200);
        EXPECT_EQ(std::string(announcement.begin(), announcement.end()), kAnnouncement);
        return h;
    }
    std::vector<std::string> ConfigLog() {
        std::vector<std::string> log;
        for (std::size_t i = 0; i < kxsim_config_count(); ++i) {
            char text[256];
            kxsim_config_text(i, text, sizeof text);
            log.emplace_back(text);
        }
        return log;
    }
    Bytes Flash() {
        Bytes flash(kxsim_flash(nullptr, 0));
        kxsim_flash(flash.data(), flash.size());
        return flash;
    }
    Bytes DeviceReceived() {
        Bytes bytes(kxsim_device_received(nullptr, 0));
        kxsim_device_received(bytes.data(), bytes.size());
        return bytes;
    }
};

inline std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// One record line with its count and checksum: Record('S', '3', "08000000" "0102").
std::string Record(char lead, char type, const std::string& hexBody);

// Reads a file whole.
Bytes ReadFile(const std::string& path);
