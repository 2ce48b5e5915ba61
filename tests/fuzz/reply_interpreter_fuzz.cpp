// Any device behaviour against the dialog's poll passes: bytes in any split across passes
// (announcements, replies, echoes, noise), a device pulled out before a status query,
// failed reads, a full or stuck transmit queue, reconnections, silences long enough for a
// held transfer to move on, and a cancelled chooser. Checked: no byte is read that the
// device did not send; the packets go out in the file's order, each possibly repeated,
// never skipped, from the first again after a restart; nothing but the probe goes out
// while a transfer is held; the progress counter matches what went out; a "Transfer completed"
// comes only after the whole file; EXIT is enabled once a transfer ends. The harness owns the clock
// (every reading moves it on a little, a pause moves it by its length) and makes every
// poll pass itself: no thread, no real sleep.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/driver_binding.h"
#include "dialog/poll_thread.h"
#include "dialog/upgrade_dlg.h"
#include "dialog/window_surface.h"
#include "fake_driver.h"
#include "firmware_check.h"
#include "fuzz_check.h"
#include "srecord_writer.h"
#include "string_table.h"

namespace {

using namespace kx;
using test::Fake;

// Op bytes; any other byte b delivers the next (b % 64) + 1 input bytes from the device.
enum : std::uint8_t {
    kOpUnplug = 0xF0,
    kOpTimerTick = 0xF1,
    kOpFailRead = 0xF2,
    kOpFillTxQueue = 0xF3,
    kOpCancelChooser = 0xF4,
    kOpSilence = 0xF5,  // the device says nothing for longer than a held transfer waits
    kOpStickTx = 0xF6,  // the transmit queue stops draining, or starts again
    kOpFirst = kOpUnplug,
};

// The switch record's place among the packets below.
constexpr std::size_t kSwitchPacket = 4;

struct Firmware {
    std::string path;
    std::string file;
    std::vector<std::string> packets;     // what must go out, in order
    std::vector<std::uint32_t> consumed;  // file bytes read once each packet has gone out
};

// A record as the dongle's tools write it, without its line end.
std::string Record(char lead, char type, std::uint32_t address, int addressBytes,
                   const std::uint8_t* data, std::size_t size) {
    std::string line = test::RecordLine(lead, type, address, addressBytes, data, size);
    line.resize(line.size() - 2);
    return line;
}
std::string Record(char lead, char type, std::uint32_t address, int addressBytes,
                   std::uint8_t value) {
    return Record(lead, type, address, addressBytes, &value, 1);
}

// S0, three S3, the switch record, 35 S3 and an S7: single-record packets first, then a
// full packet of 32 S3 records and one of 3 S3 records ending with the S7.
Firmware MakeFirmware() {
    Firmware fw;
    std::string file;
    const auto line = [&](const std::string& record) { file += record + "\r\n"; };
    const std::string first[] = {Record('S', '0', 0, 2, 'K'), Record('S', '3', 0xA000, 4, 0),
                                 Record('S', '3', 0xA001, 4, 1), Record('S', '3', 0xA002, 4, 2),
                                 Record('Z', '0', 0, 2, nullptr, 0)};
    for (const std::string& record : first) {
        line(record);
        fw.packets.push_back(record);
        fw.consumed.push_back(static_cast<std::uint32_t>(file.size()));
    }
    std::string packet;
    for (unsigned i = 0; i < 35; ++i) {
        const std::string record = Record('S', '3', 0xB000 + i, 4, static_cast<std::uint8_t>(i));
        line(record);
        packet += record;
        if (i == 31) {
            fw.packets.push_back(packet);
            fw.consumed.push_back(static_cast<std::uint32_t>(file.size()));
            packet.clear();
        }
    }
    const std::string end = Record('S', '7', 0, 4, nullptr, 0);
    line(end);
    fw.packets.push_back(packet + end);
    fw.consumed.push_back(static_cast<std::uint32_t>(file.size()));

    fw.file = file;
    fw.path = (std::filesystem::temp_directory_path() /
               ("kx-fuzz-firmware-" + std::to_string(::getpid()) + ".dat"))
                  .string();
    return fw;
}

const Firmware& TheFirmware() {
    static const Firmware fw = MakeFirmware();
    return fw;
}

// The file the chooser gives, read from disk and checked once for the process, by the
// first transfer start (inside an input, so that the read and the check count as covered),
// then held in memory. The file is removed once read: a dialog that read it again would
// refuse it, and the oracle would see a transfer start end in neither outcome.
const CheckedImage& TheCheckedImage() {
    static const CheckedImage image = [] {
        const Firmware& fw = TheFirmware();
        std::ofstream(fw.path, std::ios::binary) << fw.file;
        FirmwareFile file;
        KX_FUZZ_CHECK(file.Open(fw.path));
        std::vector<std::uint8_t> bytes(file.Image().begin(), file.Image().end());
        file.Close();
        std::filesystem::remove(fw.path);
        return CheckedImage(std::move(bytes));
    }();
    KX_FUZZ_CHECK(image.Check().Sendable());
    return image;
}

// Each reading moves the time on by a little, as passes take time; a pause by its length.
class FuzzClock final : public HostClock {
  public:
    TimePoint Now() override { return m_now += std::chrono::milliseconds(10); }
    void Sleep(std::chrono::microseconds duration) override { m_now += duration; }
    void Advance(std::chrono::milliseconds duration) { m_now += duration; }

  private:
    TimePoint m_now{};
};

// The window as the headless front end keeps it (the texts, EXIT), without what costs an
// input and that no check reads: its message queue and timers, the profile store, the
// progress figures and the session log with the chosen file's hash. Posted start requests
// are kept for the harness to dispatch; polls are the harness's to make. Nothing in it is
// allocated before the dialog pushes a text: each input builds one afresh for nothing.
class FuzzWindow final : public WindowSurface {
  public:
    std::function<std::optional<std::string>(const FileChooserRequest&)> chooser;

    bool ExitEnabled() const { return m_exitEnabled; }
    unsigned TakeStartRequests() {
        std::lock_guard lock(m_mutex);
        const unsigned n = m_startRequests;
        m_startRequests = 0;
        return n;
    }

    void PullTexts(std::string& connection, std::string& log, std::string& transfer) override {
        connection = m_connection;
        log = m_log;
        transfer = m_transfer;
    }
    void PushTexts(std::string_view connection, const LogUpdate& log,
                   std::string_view transfer) override {
        m_connection = connection;
        m_transfer = transfer;
        if (log.replace) {
            m_log = log.text;
        } else {
            m_log.append(log.text);
        }
    }
    void ScrollLogToEnd() override {}
    void InvalidateLog() override {}
    void RepaintNow() override {}
    void EnableExit(bool enable) override { m_exitEnabled = enable; }
    void SetProgressRange(std::uint32_t /*maximum*/) override {}
    void SetProgressPos(std::uint32_t /*position*/) override {}
    void ShowMessageBox(const std::string& /*text*/) override {}
    void PostToWindow(WindowMessage message) override {
        if (message == WindowMessage::StartTransfer) {
            std::lock_guard lock(m_mutex);
            ++m_startRequests;
        }
    }
    void StartTimer(TimerId /*id*/, UINT /*periodMs*/) override {}
    void EndModal(DialogResult /*result*/) override {}
    std::optional<std::string> ChooseFile(const FileChooserRequest& request) override {
        return chooser ? chooser(request) : std::nullopt;
    }
    // The dialog keeps the folder it read: the store would give back what it was given.
    std::string ReadProfileText(const std::string& /*section*/, const std::string& /*entry*/,
                                const std::string& defaultValue) override {
        return defaultValue;
    }
    bool WriteProfileText(const std::string& /*section*/, const std::string& /*entry*/,
                          const std::string& /*value*/) override {
        return true;
    }

  private:
    std::string m_connection;
    std::string m_log;
    std::string m_transfer;
    bool m_exitEnabled = true;
    std::mutex m_mutex;
    unsigned m_startRequests = 0;
};

// Follows the writes of each transfer against the file's packets.
class Oracle {
  public:
    explicit Oracle(const Firmware& fw) : m_fw(fw) {}

    // Called by the chooser: whatever went before has been written and has ended.
    void TransferStarting(const CUpgradeDlg& dlg, const FuzzWindow& window) {
        Check(dlg, window);
        m_started = m_active = true;
        m_next = 0;
        m_bytesSent = 0;
        m_restarts = 0;
    }

    void Check(const CUpgradeDlg& dlg, const FuzzWindow& window) {
        // The device restarted: the file goes again from its first packet. One pass may have
        // sent packets of the transfer before the restart too (a packet resent on a resume,
        // say), so the count starts again at the restart's first packet, or at the end of
        // the pass when it has not gone out yet.
        bool restarting = false;
        if (dlg.Restarts() != m_restarts) {
            KX_FUZZ_CHECK(dlg.Restarts() == m_restarts + 1);
            m_restarts = dlg.Restarts();
            restarting = true;
        }
        for (; m_seenWrites < Fake().writes.size(); ++m_seenWrites) {
            const std::string& w = Fake().writes[m_seenWrites];
            KX_FUZZ_CHECK(m_active);
            if (restarting && w == m_fw.packets[0]) {
                restarting = false;
                m_next = 0;
                m_bytesSent = 0;
            }
            if (m_next > kSwitchPacket + 1 && w == m_fw.packets[kSwitchPacket]) {
                continue;  // the probe of a held transfer
            }
            const bool repeat = m_next > 0 && w == m_fw.packets[m_next - 1];
            if (!repeat) {
                KX_FUZZ_CHECK(m_next < m_fw.packets.size());
                KX_FUZZ_CHECK(w == m_fw.packets[m_next]);
                m_bytesSent = m_fw.consumed[m_next];
                ++m_next;
            }
        }
        if (restarting) {
            m_next = 0;
            m_bytesSent = 0;
        }
        if (m_started) {
            KX_FUZZ_CHECK(dlg.BytesSent() == m_bytesSent);
        }
        if (m_active && !dlg.Transferring()) {
            m_active = false;
            KX_FUZZ_CHECK(window.ExitEnabled());
            if (dlg.Outcome().state == TransferState::Completed) {
                KX_FUZZ_CHECK(m_next == m_fw.packets.size());
            } else {
                KX_FUZZ_CHECK(dlg.Outcome().state == TransferState::Aborted);
            }
        }
    }

  private:
    const Firmware& m_fw;
    bool m_started = false;  // a transfer has begun during this input
    bool m_active = false;   // and has not been seen to end
    std::size_t m_next = 0;  // index of the next new packet
    std::size_t m_seenWrites = 0;
    std::uint32_t m_bytesSent = 0;
    unsigned m_restarts = 0;
};

}  // namespace

// Every input gets a dialog, window, clock and oracle of its own, so that nothing one input
// did reaches the next; the firmware file is read and checked once per process and the
// dialog takes it from memory (TheCheckedImage), and the fake is emptied (to a new fake's state)
// rather than built again. What an input costs is what its operations make the dialog do: the
// start-up around them is a small part.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Firmware& fw = TheFirmware();
    FuzzWindow window;
    FuzzClock clock;
    bool cancelNext = false;
    Oracle oracle(fw);
    {
        // A library that cannot be there: start-up runs as usual, then the fake takes over.
        CUpgradeDlg dlg(window, "/nonexistent/kx-fuzz/libftd2xx.so");
        window.chooser = [&](const FileChooserRequest&) -> std::optional<std::string> {
            if (cancelNext) {
                cancelNext = false;
                return std::nullopt;
            }
            oracle.TransferStarting(dlg, window);
            dlg.SetHeldFile(fw.path, TheCheckedImage());
            return fw.path;
        };
        dlg.SetClock(clock);
        dlg.SetPollStarter([] {});
        dlg.OnInitDialog();
        test::InstallFakeDriver();
        Fake().writesQueue = true;
        Fake().drain = test::FakeDevice::Drain::Halve;
        dlg.OnTimer(TimerId::Reconnect);

        std::size_t i = 0;
        while (i < size) {
            const std::uint8_t op = data[i++];
            const bool heldBefore = dlg.Held();
            const unsigned movesBefore = dlg.Restarts() + dlg.Resumes();
            const std::size_t writesBefore = Fake().writes.size();
            if (op < kOpFirst) {
                const std::size_t n = std::min<std::size_t>(op % 64u + 1u, size - i);
                // At the back one by one: a range inserted into an empty queue goes in at
                // its front, in a block of its own each time.
                for (const std::uint8_t* b = data + i; b != data + i + n; ++b) {
                    Fake().rx.push_back(*b);
                }
                i += n;
            } else if (op == kOpUnplug) {
                Fake().failNextStatus = true;
            } else if (op == kOpTimerTick) {
                dlg.OnTimer(TimerId::Reconnect);
            } else if (op == kOpFailRead) {
                Fake().failingReads = 1;
            } else if (op == kOpFillTxQueue) {
                Fake().tx += 64;
            } else if (op == kOpCancelChooser) {
                cancelNext = true;
            } else if (op == kOpSilence) {
                clock.Advance(CUpgradeDlg::RecoveryTiming{}.listen);
            } else if (op == kOpStickTx) {
                Fake().stuckTx = Fake().stuckTx != 0 ? 0 : 48;
            }
            dlg.OnPollDevice(0, 0);
            for (unsigned n = window.TakeStartRequests(); n > 0; --n) {
                dlg.OnStartTransfer(0, 0);
            }
            KX_FUZZ_CHECK(Fake().readsWithNothingPending == 0);
            if (heldBefore && dlg.Held() && dlg.Restarts() + dlg.Resumes() == movesBefore) {
                // Only the probe, the switch record once more, goes out while held.
                for (std::size_t w = writesBefore; w < Fake().writes.size(); ++w) {
                    KX_FUZZ_CHECK(Fake().writes[w] == fw.packets[kSwitchPacket]);
                }
            }
            oracle.Check(dlg, window);
        }
        dlg.OnEndDialog();
        window.chooser = nullptr;
    }
    UnbindDriverForTesting();
    // Nothing the input allocated outlives it but the fake's storage, kept for the next
    // input: libFuzzer runs an input a second time, to look for a leak, whenever it made
    // more allocations than it freed, which now happens only when the storage grows.
    test::ResetFakeDevice();
    return 0;
}
