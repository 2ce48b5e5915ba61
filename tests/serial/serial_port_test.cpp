// The library's entry points on a real tty: a pty whose master stands in for the dongle.
// Settings are read back on the slave; a pty ignores them but keeps speed and stop bits.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <asm/termbits.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fake_devices.h"
#include "pty_pair.h"
#include "serial_driver.h"

namespace kxserial::test {
namespace {

// Waits for a condition the kernel brings about on its own time (bytes crossing the pty).
bool Eventually(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        devices.AddDongle("ttyUSB0");
        devices.LinkNode("ttyUSB0", pty.SlaveName());
        ASSERT_EQ(driver.OpenDongle(&handle), FT_OK);
    }
    void TearDown() override { driver.Close(handle); }

    termios2 LineOnSlave() const {
        termios2 line{};
        EXPECT_EQ(ioctl(pty.Slave(), TCGETS2, &line), 0);
        return line;
    }

    DWORD Received() const {
        DWORD rx = 0, tx = 0, events = 0;
        return driver.GetStatus(handle, &rx, &tx, &events) == FT_OK ? rx : ~0u;
    }

    std::string Read(DWORD count, FT_STATUS expected = FT_OK) const {
        std::string bytes(count, '\0');
        DWORD got = 0;
        EXPECT_EQ(driver.Read(handle, bytes.data(), count, &got), expected);
        bytes.resize(got);
        return bytes;
    }

    // The calls the tool makes for each profile, in its order.
    void CommandProfile() const {
        EXPECT_EQ(driver.ResetDevice(handle), FT_OK);
        EXPECT_EQ(driver.SetBaudRate(handle, 38400), FT_OK);
        EXPECT_EQ(driver.SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE),
                  FT_OK);
        EXPECT_EQ(driver.SetFlowControl(handle, FT_FLOW_NONE, 0x11, 0x13), FT_OK);
        EXPECT_EQ(driver.SetTimeouts(handle, 60000, 60000), FT_OK);
        EXPECT_EQ(driver.Purge(handle, FT_PURGE_RX), FT_OK);
    }
    void BulkProfile() const {
        EXPECT_EQ(driver.ResetDevice(handle), FT_OK);
        EXPECT_EQ(driver.SetDivisor(handle, 6), FT_OK);
        EXPECT_EQ(driver.SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE),
                  FT_OK);
        EXPECT_EQ(driver.SetFlowControl(handle, FT_FLOW_NONE, 0x11, 0x13), FT_OK);
        EXPECT_EQ(driver.SetTimeouts(handle, 60000, 60000), FT_OK);
        EXPECT_EQ(driver.Purge(handle, FT_PURGE_RX), FT_OK);
    }

    FakeDevices devices;
    PtyPair pty;
    SerialDriver driver;
    FT_HANDLE handle = nullptr;
};

TEST_F(SerialPortTest, CommandBulkAndBackAsTheToolSwitches) {
    CommandProfile();
    termios2 line = LineOnSlave();
    EXPECT_EQ(line.c_cflag & CBAUD, static_cast<tcflag_t>(B38400));
    EXPECT_EQ(line.c_ospeed, 38400u);
    EXPECT_EQ(line.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(line.c_cc[VSTART], 0x11);
    EXPECT_EQ(line.c_cc[VSTOP], 0x13);

    BulkProfile();
    line = LineOnSlave();
    EXPECT_EQ(line.c_cflag & CBAUD, static_cast<tcflag_t>(B500000));
    EXPECT_EQ(line.c_ospeed, 500000u);
    EXPECT_EQ(line.c_ispeed, 500000u);
    EXPECT_NE(line.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);

    // Completion and abort go back only to 38400 baud; two stop bits stay.
    EXPECT_EQ(driver.SetBaudRate(handle, 38400), FT_OK);
    line = LineOnSlave();
    EXPECT_EQ(line.c_ospeed, 38400u);
    EXPECT_NE(line.c_cflag & CSTOPB, 0u);
}

TEST_F(SerialPortTest, RatesWithoutAKernelConstantGoThroughBother) {
    ASSERT_EQ(driver.SetDivisor(handle, 7), FT_OK);
    termios2 line = LineOnSlave();
    EXPECT_EQ(line.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(line.c_ospeed, 428571u);

    ASSERT_EQ(driver.SetBaudRate(handle, 250000), FT_OK);
    EXPECT_EQ(LineOnSlave().c_ospeed, 250000u);

    EXPECT_EQ(driver.SetBaudRate(handle, 0), FT_INVALID_BAUD_RATE);
    EXPECT_EQ(driver.SetDivisor(handle, 0x4001), FT_INVALID_BAUD_RATE);
    EXPECT_EQ(LineOnSlave().c_ospeed, 250000u);
    EXPECT_EQ(driver.SetFlowControl(handle, FT_FLOW_DTR_DSR, 0x11, 0x13), 17u);
}

TEST_F(SerialPortTest, QueueCountsFollowTheBytes) {
    CommandProfile();
    EXPECT_EQ(Received(), 0u);
    pty.Send("KX 12");
    ASSERT_TRUE(Eventually([&] { return Received() == 5; }));
    DWORD queued = 0;
    EXPECT_EQ(driver.GetQueueStatus(handle, &queued), FT_OK);
    EXPECT_EQ(queued, 5u);

    EXPECT_EQ(Read(2), "KX");
    EXPECT_EQ(Received(), 3u);
    EXPECT_EQ(Read(3), " 12");
    EXPECT_EQ(Received(), 0u);

    // Written bytes leave at once: the transmit count the tool drains on falls to 0.
    char record[] = "S0030000FC\r";
    DWORD written = 0;
    ASSERT_EQ(driver.Write(handle, record, 11, &written), FT_OK);
    EXPECT_EQ(written, 11u);
    DWORD rx = 0, tx = 1, events = 0;
    ASSERT_TRUE(Eventually(
        [&] { return driver.GetStatus(handle, &rx, &tx, &events) == FT_OK && tx == 0; }));
    EXPECT_EQ(pty.Receive(2000), "S0030000FC\r");
}

// The chip's latency timer goes through the device's latency_timer attribute where it is
// writable; a tty that refuses both it and the low-latency flag (this pty) is no error.
TEST_F(SerialPortTest, TheLatencyTimerGoesThroughSysfsAndAPtyRefusesSoftly) {
    const auto setLatency = driver.Entry<PFN_FT_SetLatencyTimer>("FT_SetLatencyTimer");
    const auto getLatency = driver.Entry<PFN_FT_GetLatencyTimer>("FT_GetLatencyTimer");
    UCHAR ms = 0;
    EXPECT_EQ(getLatency(handle, &ms), FT_NOT_SUPPORTED) << "no attribute, no flag on a pty";
    EXPECT_EQ(setLatency(handle, 2), FT_OK);

    const std::string attribute = devices.Sysfs() + "/class/tty/ttyUSB0/device/latency_timer";
    std::ofstream(attribute) << "16\n";
    EXPECT_EQ(getLatency(handle, &ms), FT_OK);
    EXPECT_EQ(ms, 16);
    EXPECT_EQ(setLatency(handle, 2), FT_OK);
    std::ifstream written(attribute);
    std::string text;
    std::getline(written, text);
    EXPECT_EQ(text, "2");
    EXPECT_EQ(getLatency(handle, &ms), FT_OK);
    EXPECT_EQ(ms, 2);
    EXPECT_EQ(getLatency(handle, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(setLatency(nullptr, 2), FT_INVALID_HANDLE);
}

// An emulated chip's timer reads 0 (a real one reads 16): that is its value all the same,
// and the tool, lowering it while it holds the dongle, must be able to put it back.
TEST_F(SerialPortTest, ALatencyTimerThatReadsZeroIsPutBack) {
    const auto setLatency = driver.Entry<PFN_FT_SetLatencyTimer>("FT_SetLatencyTimer");
    const auto getLatency = driver.Entry<PFN_FT_GetLatencyTimer>("FT_GetLatencyTimer");
    const std::string attribute = devices.Sysfs() + "/class/tty/ttyUSB0/device/latency_timer";
    std::ofstream(attribute) << "0\n";
    UCHAR own = 99;
    ASSERT_EQ(getLatency(handle, &own), FT_OK);
    EXPECT_EQ(own, 0);
    ASSERT_EQ(setLatency(handle, 2), FT_OK);
    ASSERT_EQ(setLatency(handle, own), FT_OK);
    std::ifstream written(attribute);
    std::string text;
    std::getline(written, text);
    EXPECT_EQ(text, "0");
}

// The kernel takes any settings with success and keeps what its driver can do: a pty only
// 8 bits without parity. A setting not kept fails the call and leaves the line as it was.
TEST_F(SerialPortTest, ASettingTheDriverDoesNotKeepFailsAndChangesNothing) {
    CommandProfile();
    ASSERT_EQ(driver.SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE),
              FT_OK);
    EXPECT_EQ(driver.SetDataCharacteristics(handle, FT_BITS_7, FT_STOP_BITS_1, FT_PARITY_EVEN),
              17u);
    termios2 line = LineOnSlave();
    EXPECT_NE(line.c_cflag & CSTOPB, 0u) << "the stop bits set before stay";
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_ospeed, 38400u);
    EXPECT_EQ(driver.SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_ODD), 17u);
    EXPECT_EQ(driver.SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE),
              FT_OK);
    EXPECT_EQ(LineOnSlave().c_cflag & CSTOPB, 0u);
}

TEST_F(SerialPortTest, PurgeAndResetDropWhatWasReceived) {
    CommandProfile();
    ASSERT_EQ(driver.SetTimeouts(handle, 20, 20), FT_OK);
    pty.Send("stale");
    ASSERT_TRUE(Eventually([&] { return Received() == 5; }));
    EXPECT_EQ(driver.Purge(handle, FT_PURGE_RX), FT_OK);
    EXPECT_EQ(Received(), 0u);
    EXPECT_EQ(Read(1), "");

    pty.Send("older");
    ASSERT_TRUE(Eventually([&] { return Received() == 5; }));
    EXPECT_EQ(driver.ResetDevice(handle), FT_OK);
    EXPECT_EQ(Received(), 0u);

    pty.Send("fresh");
    ASSERT_TRUE(Eventually([&] { return Received() == 5; }));
    EXPECT_EQ(driver.Purge(handle, FT_PURGE_TX), FT_OK);
    EXPECT_EQ(Read(5), "fresh");
}

TEST_F(SerialPortTest, ATimedOutReadDeliversWhatCameAndAFullReadAll) {
    ASSERT_EQ(driver.SetTimeouts(handle, 30, 30), FT_OK);
    pty.Send("xy");
    ASSERT_TRUE(Eventually([&] { return Received() == 2; }));
    EXPECT_EQ(Read(10), "xy");
    EXPECT_EQ(Read(1), "");

    // A read for more than is there gathers bytes sent while it waits.
    ASSERT_EQ(driver.SetTimeouts(handle, 0, 0), FT_OK);
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pty.Send("abc");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pty.Send("def");
    });
    EXPECT_EQ(Read(6), "abcdef");
    device.join();
}

TEST_F(SerialPortTest, AWriteNobodyReadsEndsAtItsTimeOut) {
    ASSERT_EQ(driver.SetTimeouts(handle, 50, 50), FT_OK);
    std::vector<char> block(1 << 20, 'S');
    DWORD written = 0;
    EXPECT_EQ(driver.Write(handle, block.data(), static_cast<DWORD>(block.size()), &written),
              FT_OK);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, block.size());
}

TEST_F(SerialPortTest, ReceivedCharactersSignalTheRegisteredEvent) {
    KX_EVENT_HANDLE event{};
    pthread_mutex_init(&event.eMutex, nullptr);
    pthread_cond_init(&event.eCondVar, nullptr);
    ASSERT_EQ(driver.SetEventNotification(handle, FT_EVENT_RXCHAR, &event), FT_OK);

    pty.Send("\x11");
    pthread_mutex_lock(&event.eMutex);
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 5;
    while (event.iVar == 0 && pthread_cond_timedwait(&event.eCondVar, &event.eMutex, &until) == 0) {
    }
    const int signalled = event.iVar;
    pthread_mutex_unlock(&event.eMutex);
    EXPECT_EQ(signalled, 1);

    DWORD rx = 0, tx = 0, events = 0;
    ASSERT_EQ(driver.GetStatus(handle, &rx, &tx, &events), FT_OK);
    EXPECT_EQ(events, static_cast<DWORD>(FT_EVENT_RXCHAR));
    ASSERT_EQ(driver.GetStatus(handle, &rx, &tx, &events), FT_OK);
    EXPECT_EQ(events, 0u);  // reported once

    // A closed port stops notifying before the caller frees its event.
    EXPECT_EQ(driver.Close(handle), FT_OK);
    handle = nullptr;
    pthread_cond_destroy(&event.eCondVar);
    pthread_mutex_destroy(&event.eMutex);
}

TEST_F(SerialPortTest, CloseEndsAReadWaitingOnAnotherThread) {
    ASSERT_EQ(driver.SetTimeouts(handle, 0, 0), FT_OK);
    FT_STATUS status = FT_OK;
    std::thread reader([&] {
        char byte = 0;
        DWORD got = 0;
        status = driver.Read(handle, &byte, 1, &got);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(driver.Close(handle), FT_OK);
    reader.join();
    EXPECT_EQ(status, FT_IO_ERROR);
    handle = nullptr;
}

TEST_F(SerialPortTest, AClosedOrUnknownHandleIsRefused) {
    FT_HANDLE closed = handle;
    ASSERT_EQ(driver.Close(closed), FT_OK);
    handle = nullptr;
    int unknown = 0;
    for (FT_HANDLE h : {closed, static_cast<FT_HANDLE>(&unknown), FT_HANDLE{}}) {
        char byte = 0;
        DWORD n = 0, rx = 0, tx = 0, events = 0;
        EXPECT_EQ(driver.Read(h, &byte, 1, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(driver.GetStatus(h, &rx, &tx, &events), FT_INVALID_HANDLE);
        EXPECT_EQ(driver.SetDivisor(h, 6), FT_INVALID_HANDLE);
        EXPECT_EQ(driver.SetEventNotification(h, FT_EVENT_RXCHAR, nullptr), FT_INVALID_HANDLE);
        EXPECT_EQ(driver.Close(h), FT_INVALID_HANDLE);
    }
}

// The ways a dongle can vanish under an open handle; each makes the status query fail.
enum class Unplug { DeviceEndCloses, NodeGoes, SysfsEntryGoes, NodeNowAnotherDevice };

class UnplugTest : public SerialPortTest, public ::testing::WithParamInterface<Unplug> {};

TEST_P(UnplugTest, FailsTheStatusQueryAndKeepsFailing) {
    CommandProfile();
    PtyPair other;
    switch (GetParam()) {
        case Unplug::DeviceEndCloses:
            pty.CloseMaster();
            break;
        case Unplug::NodeGoes:
            devices.RemoveNode("ttyUSB0");
            break;
        case Unplug::SysfsEntryGoes:
            devices.RemoveSysfsEntry("ttyUSB0");
            break;
        case Unplug::NodeNowAnotherDevice:
            devices.LinkNode("ttyUSB0", other.SlaveName());
            break;
    }
    DWORD rx = 0, tx = 0, events = 0;
    EXPECT_EQ(driver.GetStatus(handle, &rx, &tx, &events), FT_IO_ERROR);
    EXPECT_EQ(driver.GetStatus(handle, &rx, &tx, &events), FT_IO_ERROR);
    EXPECT_NE(driver.GetQueueStatus(handle, &rx), FT_OK);
    EXPECT_EQ(Read(1, FT_IO_ERROR), "");
    EXPECT_EQ(driver.Close(handle), FT_OK);
    handle = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Ways, UnplugTest,
                         ::testing::Values(Unplug::DeviceEndCloses, Unplug::NodeGoes,
                                           Unplug::SysfsEntryGoes, Unplug::NodeNowAnotherDevice));

TEST_F(SerialPortTest, ARepluggedDongleOpensAgain) {
    pty.CloseMaster();
    devices.RemoveNode("ttyUSB0");
    DWORD rx = 0, tx = 0, events = 0;
    ASSERT_NE(driver.GetStatus(handle, &rx, &tx, &events), FT_OK);
    ASSERT_EQ(driver.Close(handle), FT_OK);
    EXPECT_EQ(driver.OpenDongle(&handle), FT_DEVICE_NOT_FOUND);

    PtyPair replugged;
    devices.LinkNode("ttyUSB0", replugged.SlaveName());
    ASSERT_EQ(driver.OpenDongle(&handle), FT_OK);
    ASSERT_EQ(driver.SetTimeouts(handle, 5000, 5000), FT_OK);
    replugged.Send("\r\nKX ");
    EXPECT_EQ(Read(5), "\r\nKX ");
    EXPECT_EQ(driver.GetStatus(handle, &rx, &tx, &events), FT_OK);
}

// A dongle plugged in again is a tty new to the system, with the kernel's defaults: echo,
// line editing, signal characters, XON/XOFF. What came before the open is not read after
// it, and from the open on every byte passes as it is, both ways, with no echo. (A pty's
// line discipline works before anyone opens the slave, so it echoes what came before;
// a USB tty's driver reads nothing from the chip until it is opened.)
TEST_F(SerialPortTest, AFreshTtyIsRawFromTheOpenAndWhatCameBeforeIsGone) {
    ASSERT_EQ(driver.Close(handle), FT_OK);
    handle = nullptr;
    PtyPair fresh;
    devices.LinkNode("ttyUSB0", fresh.SlaveName());
    termios2 line{};
    ASSERT_EQ(ioctl(fresh.Slave(), TCGETS2, &line), 0);
    ASSERT_NE(line.c_lflag & ECHO, 0u);
    fresh.Send("KX DONGLE\n");
    ASSERT_EQ(fresh.Receive(5000), "KX DONGLE\r\n");  // the line taken, and echoed
    ASSERT_EQ(driver.OpenDongle(&handle), FT_OK);
    EXPECT_EQ(Received(), 0u) << "the line that came before the open";

    ASSERT_EQ(driver.SetTimeouts(handle, 5000, 5000), FT_OK);
    const std::string controls("\x03\x13\x7f\r\x11\x15\n", 7);  // ^C XOFF DEL CR XON ^U LF
    fresh.Send(controls);
    EXPECT_EQ(Read(static_cast<DWORD>(controls.size())), controls);
    char reply[] = "\n\x13";
    DWORD written = 0;
    ASSERT_EQ(driver.Write(handle, reply, 2, &written), FT_OK);
    EXPECT_EQ(fresh.Receive(1000), "\n\x13") << "echoed, or changed on the way out";
}

// The lock comes before the raw settings: a second open, refused, leaves the line of the
// port's user as it set it.
TEST_F(SerialPortTest, ARefusedSecondOpenLeavesTheLineAlone) {
    BulkProfile();
    FT_HANDLE second = nullptr;
    EXPECT_EQ(driver.OpenDongle(&second), FT_DEVICE_NOT_OPENED);
    const termios2 line = LineOnSlave();
    EXPECT_EQ(line.c_ospeed, 500000u);
    EXPECT_NE(line.c_cflag & CSTOPB, 0u);
}

}  // namespace
}  // namespace kxserial::test
