// One process: the dialog's logic on a headless window with a real poll thread, the
// driver bound at run time by its plain name, and the simulated dongle behind it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/driver_binding.h"
#include "dialog/upgrade_dlg.h"
#include "kxsim.h"
#include "recording_window.h"
#include "srecord_writer.h"
#include "test_platform.h"

namespace kx::test {

inline constexpr char kDeviceId[] = "KX-DONGLE-2";
inline constexpr char kDeviceName[] = "DONGLE BOOT 1.3";
inline constexpr std::uint32_t kFlashBase = 0x08000000;

struct WirePacket {
    std::string bytes;
    kxsim_link link;
};

class UpgradeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UnbindDriverForTesting();
        kxsim_reset();
        m_folder = MakeTempFolder("kx-e2e");
        window.chooser = [this](const FileChooserRequest& request) {
            requests.push_back(request);
            return chooserAnswer;
        };
        dlg = std::make_unique<CUpgradeDlg>(window);
        SetSpeed(20);
        window.Attach(dlg.get());
        ASSERT_TRUE(dlg->OnInitDialog());
        ASSERT_TRUE(g_driverLoaded);
    }

    void TearDown() override {
        dlg->OnEndDialog();
        window.Attach(nullptr);
        dlg.reset();
        UnbindDriverForTesting();
        std::filesystem::remove_all(m_folder);
    }

    // The dongle's times run `speed` times faster than real time (0: no line time), and
    // so do the dialog's waits for a dongle that comes back, so that the two keep the
    // proportions they have at real speed: a test at speed 20 is the real case, faster.
    // The host's own delays do not scale, though: the dongle answers the switch record at
    // the bulk rate once its erase is over, so the erase lasts at least half a second,
    // longer than a loaded machine takes to switch the host's link, and the wait for a
    // reply (the erase included) is longer still.
    void SetSpeed(double speed) {
        kxsim_set_speed(speed);
        kxsim_set_erase_ms(std::max(600.0, 500.0 * speed));
        CUpgradeDlg::RecoveryTiming timing;
        const double factor = speed > 0 ? speed : 20;
        const auto scaled = [factor](std::chrono::milliseconds real, int floorMs) {
            return std::chrono::milliseconds(std::max<long long>(
                floorMs, static_cast<long long>(static_cast<double>(real.count()) / factor)));
        };
        timing.firstListen = scaled(timing.firstListen, 20);
        timing.listen = scaled(timing.listen, 200);
        timing.probeReply = scaled(timing.probeReply, 25);
        timing.probeSettle = scaled(timing.probeSettle, 5);
        timing.replyWait = scaled(timing.replyWait, 1500);
        dlg->SetRecoveryTiming(timing);
    }

    bool RunUntil(const std::function<bool()>& done, int ms = 15000) {
        return window.RunUntil(done, std::chrono::milliseconds(ms));
    }

    const std::string& Folder() const { return m_folder; }

    std::string WriteFile(const std::string& name, const std::string& content) {
        const std::string path = m_folder + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    static std::vector<WirePacket> Packets() {
        std::vector<WirePacket> packets(kxsim_packet_count());
        for (std::size_t i = 0; i < packets.size(); ++i) {
            std::string bytes(kxsim_packet(i, nullptr, 0, nullptr), '\0');
            kxsim_packet(i, reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(),
                         &packets[i].link);
            packets[i].bytes = std::move(bytes);
        }
        return packets;
    }

    static std::vector<std::uint8_t> Flash() {
        std::vector<std::uint8_t> flash(kxsim_flash(nullptr, 0));
        kxsim_flash(flash.data(), flash.size());
        return flash;
    }

    // The host's configuration calls in order, without the poll thread's event
    // registration, whose place among them depends on thread timing.
    static std::vector<std::string> ConfigCalls() {
        std::vector<std::string> calls;
        for (std::size_t i = 0; i < kxsim_config_count(); ++i) {
            kxsim_config_call call{};
            kxsim_config(i, &call);
            if (call.entry == KXSIM_FT_SET_EVENT_NOTIFICATION) {
                continue;
            }
            char text[128];
            kxsim_config_text(i, text, sizeof text);
            calls.emplace_back(text);
        }
        return calls;
    }

    bool Connected() const { return window.Connection() == "KX Upgrade - Dongle connected"; }
    bool NotResponding() const {
        return window.Connection() == "KX Upgrade - Dongle not responding";
    }

    RecordingWindow window;
    std::unique_ptr<CUpgradeDlg> dlg;
    std::optional<std::string> chooserAnswer;
    std::vector<FileChooserRequest> requests;

  private:
    std::string m_folder;
};

// What the wire must carry for a file of CR LF lines with no stray text: one line per
// packet up to and including the Z line, then runs of up to 32 S3 lines, a run ended
// early by (and including) any other line.
inline std::vector<std::string> ExpectedPackets(const std::string& file) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < file.size();) {
        const std::size_t end = file.find("\r\n", start);
        lines.push_back(file.substr(start, end - start));
        start = end + 2;
    }
    std::vector<std::string> packets;
    std::size_t i = 0;
    for (; i < lines.size(); ++i) {
        packets.push_back(lines[i]);
        if (lines[i][0] == 'Z') {
            ++i;
            break;
        }
    }
    while (i < lines.size()) {
        std::string packet;
        int s3 = 0;
        while (i < lines.size()) {
            const std::string& line = lines[i++];
            packet += line;
            if (line.compare(0, 2, "S3") != 0 || ++s3 == 32) {
                break;
            }
        }
        packets.push_back(packet);
    }
    return packets;
}

// What the dongle was given since the file last started (its header at the command rate):
// the packets in order, with the host's probes (the switch record again, at the bulk rate)
// and its resends of the packet before taken out. A loaded host may probe after a reply
// that came before its link had switched; the dongle takes the probe and the resend
// without harm.
inline std::vector<std::string> PacketsSinceTheLastStart(const std::vector<WirePacket>& packets) {
    std::size_t start = packets.size();
    while (start > 0 && !(packets[start - 1].bytes.compare(0, 2, "S0") == 0 &&
                          packets[start - 1].link.baud < 100000)) {
        --start;
    }
    std::vector<std::string> given;
    for (std::size_t i = start == 0 ? 0 : start - 1; i < packets.size(); ++i) {
        const WirePacket& packet = packets[i];
        const bool probe = packet.bytes[0] == 'Z' && packet.link.baud > 100000;
        if (!probe && (given.empty() || given.back() != packet.bytes)) {
            given.push_back(packet.bytes);
        }
    }
    return given;
}

// Between the loss (the packet count then) and the restart on the wire, nothing at the bulk
// rate but probes: no packet of the file was streamed into a dongle that had restarted.
inline void ExpectOnlyProbesBeforeTheRestart(const std::vector<WirePacket>& packets,
                                             std::size_t lost) {
    std::size_t restart = packets.size();
    while (restart > lost && packets[restart - 1].bytes.compare(0, 2, "S0") != 0) {
        --restart;
    }
    ASSERT_GT(restart, lost) << "no restart on the wire";
    for (std::size_t i = lost; i + 1 < restart; ++i) {
        const bool probe = packets[i].bytes[0] == 'Z';
        EXPECT_TRUE(packets[i].link.baud < 100000 || probe)
            << "packet " << i
            << " at the bulk rate into a dongle that restarted: " << packets[i].bytes.substr(0, 16);
    }
}

}  // namespace kx::test
