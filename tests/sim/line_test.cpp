// The serial line: queue counts, drain rate, latency, garbling, purge, read time-out.
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "sim_fixture.h"

namespace {

class LineTest : public SimTest {};

struct Profile {
    const char* name;
    bool divisor;  // `speed` is a divisor for FT_SetDivisor, else a baud rate
    unsigned speed;
    UCHAR bits, stop, parity;
    double bytesPerSecond;
};

TEST_F(LineTest, TransmitQueueDrainsAtTheLineRate) {
    const Profile profiles[] = {
        {"command 38400 8N1", false, 38400, 8, FT_STOP_BITS_1, FT_PARITY_NONE, 3840.0},
        {"bulk 500000 8N2", true, 6, 8, FT_STOP_BITS_2, FT_PARITY_NONE, 500000.0 / 11},
        {"9600 7E2", false, 9600, 7, FT_STOP_BITS_2, FT_PARITY_EVEN, 9600.0 / 11},
    };
    for (const Profile& p : profiles) {
        SCOPED_TRACE(p.name);
        kxsim_reset();
        kxsim_set_manual_clock(1);
        kxsim_set_tx_fifo(0);  // the status counts every byte until it has left
        FT_HANDLE h = Open();
        if (p.divisor) {
            ft.SetDivisor(h, static_cast<USHORT>(p.speed));
        } else {
            ft.SetBaudRate(h, p.speed);
        }
        ft.SetDataCharacteristics(h, p.bits, p.stop, p.parity);

        const std::string block(6000, 'U');
        Write(h, block);
        EXPECT_EQ(Status(h).tx, 6000u) << "FT_Write queues everything at once";
        for (double ms : {50.0, 20.0, 30.0}) {
            const double before = kxsim_now_ms();
            const DWORD queued = Status(h).tx;
            kxsim_advance_ms(ms);
            const double expected = queued - (kxsim_now_ms() - before) / 1000.0 * p.bytesPerSecond;
            EXPECT_NEAR(Status(h).tx, expected, 1.0);
        }
        kxsim_advance_ms(Status(h).tx / p.bytesPerSecond * 1000.0 + 0.1);
        EXPECT_EQ(Status(h).tx, 0u);
        EXPECT_EQ(DeviceReceived().size(), 6000u);
    }
}

// Like a real chip, the simulated one takes bytes into its own transmit FIFO, which the
// driver's transmit count leaves out; they go out with the settings in force as they leave.
TEST_F(LineTest, TheChipsTransmitFifoIsNotInTheStatusAndSendsWithTheLinkInForce) {
    kxsim_set_manual_clock(1);
    FT_HANDLE h = Open();
    ft.SetBaudRate(h, 38400);
    ft.SetDataCharacteristics(h, 8, FT_STOP_BITS_1, FT_PARITY_NONE);
    Write(h, std::string(300, 'U'));
    EXPECT_EQ(Status(h).tx, 300u - 256u) << "the chip took what its FIFO holds";
    kxsim_advance_ms(44 / 3.84 + 0.1);  // the driver's 44 bytes have moved into the chip
    EXPECT_EQ(Status(h).tx, 0u);
    EXPECT_LT(DeviceReceived().size(), 50u) << "most of the bytes are still in the chip";
    // A link change now reaches the bytes still in the chip: their tail arrives garbled.
    ft.SetBaudRate(h, 500000);
    kxsim_advance_ms(100);
    const Bytes received = DeviceReceived();
    ASSERT_EQ(received.size(), 300u);
    EXPECT_EQ(Text(Bytes(received.begin(), received.begin() + 40)), std::string(40, 'U'));
    EXPECT_NE(Text(Bytes(received.end() - 40, received.end())), std::string(40, 'U'));
}

TEST_F(LineTest, StalledQueueHoldsItsBytes) {
    kxsim_set_tx_fifo(0);
    FT_HANDLE h = OpenConnected();
    kxsim_stall_tx(1);
    Write(h, std::string(100, 'U'));
    kxsim_advance_ms(500);
    EXPECT_EQ(Status(h).tx, 100u);
    kxsim_stall_tx(0);
    kxsim_advance_ms(100 / 3.84 + 0.5);
    EXPECT_EQ(Status(h).tx, 0u);
}

TEST_F(LineTest, RepliesWaitForTheLatencyTimerOrAFullUsbPacket) {
    FT_HANDLE h = OpenConnected();
    // The announcement leaves 100 ms after power-up (model time 0); its first byte is at the
    // chip 1 frame (10 bits at 38400) later and the whole 25 bytes go up 16 ms after that.
    kxsim_advance_ms(116.2 - kxsim_now_ms());
    EXPECT_EQ(Status(h).rx, 0u);
    kxsim_advance_ms(0.1);
    EXPECT_EQ(Status(h).rx, kAnnouncement.size());
    ft.Close(h);
    kxsim_unplug();  // a power cycle: the next announcement 100 ms after it
    kxsim_plug();

    kxsim_set_latency_ms(30);
    kxsim_set_name(std::string(70, 'N').c_str());  // an 80-byte announcement
    h = OpenConnected();
    const double reopened = kxsim_now_ms();  // powered up again at this moment
    kxsim_advance_ms(reopened + 116.3 - kxsim_now_ms());
    EXPECT_EQ(Status(h).rx, 62u) << "62 bytes fill a USB packet and go at once";
    kxsim_advance_ms(reopened + 146.3 - kxsim_now_ms());
    EXPECT_EQ(Status(h).rx, 62u);
    kxsim_advance_ms(0.3);
    EXPECT_EQ(Status(h).rx, 80u);
}

struct HostLink {
    const char* name;
    ULONG baud;
    UCHAR bits, stop, parity;
    bool clean;
};

constexpr HostLink kHostLinks[] = {
    {"same settings", 38400, 8, FT_STOP_BITS_1, FT_PARITY_NONE, true},
    {"extra stop bit", 38400, 8, FT_STOP_BITS_2, FT_PARITY_NONE, true},
    {"2% fast", 39168, 8, FT_STOP_BITS_1, FT_PARITY_NONE, true},
    {"9600", 9600, 8, FT_STOP_BITS_1, FT_PARITY_NONE, false},
    {"57600", 57600, 8, FT_STOP_BITS_1, FT_PARITY_NONE, false},
    {"10% slow", 34560, 8, FT_STOP_BITS_1, FT_PARITY_NONE, false},
    {"7 bits", 38400, 7, FT_STOP_BITS_1, FT_PARITY_NONE, false},
    {"even parity", 38400, 8, FT_STOP_BITS_1, FT_PARITY_EVEN, false},
    {"odd parity", 38400, 8, FT_STOP_BITS_1, FT_PARITY_ODD, false},
};

TEST_F(LineTest, MismatchedHostLinkGarblesTheAnnouncementDeterministically) {
    for (const HostLink& link : kHostLinks) {
        SCOPED_TRACE(link.name);
        Bytes runs[2];
        for (Bytes& run : runs) {
            kxsim_reset();
            kxsim_set_manual_clock(1);
            FT_HANDLE h = Open();
            ft.SetBaudRate(h, link.baud);
            ft.SetDataCharacteristics(h, link.bits, link.stop, link.parity);
            run = After(h, 200);
        }
        EXPECT_EQ(runs[0], runs[1]);
        ASSERT_EQ(runs[0].size(), kAnnouncement.size());
        EXPECT_EQ(Text(runs[0]) == kAnnouncement, link.clean);
    }
}

TEST_F(LineTest, MismatchedHostLinkGarblesWhatTheDeviceReceives) {
    const std::string record = Record('S', '0',
                                      "0000"
                                      "4B582D444F4E474C452D32");
    for (const HostLink& link : kHostLinks) {
        SCOPED_TRACE(link.name);
        kxsim_reset();
        kxsim_set_manual_clock(1);
        FT_HANDLE h = OpenAnnounced();
        ft.SetBaudRate(h, link.baud);
        ft.SetDataCharacteristics(h, link.bits, link.stop, link.parity);
        Write(h, record);
        WaitDrained(h);
        const Bytes received = DeviceReceived();
        ASSERT_EQ(received.size(), record.size());
        EXPECT_EQ(Text(received) == record, link.clean);
        // A shorter buffer takes the first bytes, and the count is still all of them.
        Bytes head(5);
        EXPECT_EQ(kxsim_device_received(head.data(), head.size()), record.size());
        EXPECT_EQ(head, Bytes(received.begin(), received.begin() + 5));
        // A good header gets no reply; a garbled one is refused.
        kxsim_advance_ms(50);
        EXPECT_EQ(kxsim_device_sent(nullptr, 0), kAnnouncement.size() + (link.clean ? 0 : 1));
    }
}

TEST_F(LineTest, PurgeAndResetEmptyTheQueuesAndKeepTheLink) {
    kxsim_set_tx_fifo(0);
    FT_HANDLE h = OpenConnected();
    kxsim_advance_ms(200);
    kxsim_stall_tx(1);
    Write(h, "S0030000FC");
    ASSERT_EQ(Status(h).rx, kAnnouncement.size());

    EXPECT_EQ(ft.Purge(h, FT_PURGE_RX), FT_OK);
    EXPECT_EQ(Status(h).rx, 0u);
    EXPECT_EQ(Status(h).tx, 10u);
    EXPECT_EQ(ft.Purge(h, FT_PURGE_TX), FT_OK);
    EXPECT_EQ(Status(h).tx, 0u);

    Write(h, "S0030000FC");
    const unsigned char reply = 0xA9;
    kxsim_inject(&reply, 1);
    EXPECT_EQ(ft.ResetDevice(h), FT_OK);
    EXPECT_EQ(Status(h).rx, 0u);
    EXPECT_EQ(Status(h).tx, 0u);
    kxsim_link link{};
    kxsim_host_link(&link);
    EXPECT_EQ(link.baud, 38400.0);
    EXPECT_EQ(link.stop_bits, 1);
    kxsim_stall_tx(0);
    kxsim_advance_ms(10);
    EXPECT_TRUE(DeviceReceived().empty()) << "purged bytes never reach the device";
}

TEST_F(LineTest, ReadHonoursTheTimeOut) {
    FT_HANDLE h = OpenConnected();
    ASSERT_EQ(ft.SetTimeouts(h, 40, 40), FT_OK);
    char buffer[64] = {};
    DWORD got = 99;
    const double start = kxsim_now_ms();
    EXPECT_EQ(ft.Read(h, buffer, 1, &got), FT_OK);
    EXPECT_EQ(got, 0u);
    EXPECT_NEAR(kxsim_now_ms() - start, 40.0, 1e-6) << "the read waited out its time-out";

    // A read for more than is there waits for the device: the announcement comes at 100 ms.
    ASSERT_EQ(ft.SetTimeouts(h, 60000, 60000), FT_OK);
    EXPECT_EQ(ft.Read(h, buffer, static_cast<DWORD>(kAnnouncement.size()), &got), FT_OK);
    EXPECT_EQ(std::string(buffer, got), kAnnouncement);
    EXPECT_NEAR(kxsim_now_ms() - start, 116.3, 0.1);
}

TEST_F(LineTest, ReadOnTheRealClockReturnsAfterItsTimeOut) {
    kxsim_set_manual_clock(0);
    FT_HANDLE h = OpenConnected();
    ASSERT_EQ(ft.SetTimeouts(h, 20, 20), FT_OK);
    char byte = 0;
    DWORD got = 99;
    EXPECT_EQ(ft.Read(h, &byte, 1, &got), FT_OK);
    EXPECT_EQ(got, 0u);
}

TEST_F(LineTest, BlockingReadWakesForOtherThreads) {
    kxsim_set_manual_clock(0);
    kxsim_set_announce(60000, 0);  // nothing else will arrive
    FT_HANDLE h = OpenConnected();
    ASSERT_EQ(ft.SetTimeouts(h, 0, 0), FT_OK);  // the read waits for ever
    unsigned char byte = 0;
    DWORD got = 0;
    auto reader = std::async(std::launch::async, [&] { return ft.Read(h, &byte, 1, &got); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const unsigned char reply = 0xA9;
    kxsim_inject(&reply, 1);
    if (reader.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        kxsim_unplug();  // release the reader before failing
        reader.wait();
        FAIL() << "the injected byte did not end the read";
    }
    EXPECT_EQ(reader.get(), FT_OK);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(byte, 0xA9);

    auto blocked = std::async(std::launch::async, [&] { return ft.Read(h, &byte, 1, &got); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kxsim_unplug();
    EXPECT_EQ(blocked.get(), FT_IO_ERROR) << "unplugging ends a blocked read";
    EXPECT_EQ(got, 0u);
}

TEST_F(LineTest, ReadCanReportAnIoErrorWithItsByte) {
    FT_HANDLE h = OpenConnected();
    const unsigned char bytes[] = {0xA9, 0xB6};
    kxsim_inject(bytes, 2);
    kxsim_read_io_error_next();
    unsigned char byte = 0;
    DWORD got = 0;
    EXPECT_EQ(ft.Read(h, &byte, 1, &got), FT_IO_ERROR);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(byte, 0xA9);
    EXPECT_EQ(ft.Read(h, &byte, 1, &got), FT_OK);
    EXPECT_EQ(byte, 0xB6);
}

TEST_F(LineTest, InvalidLinkSettingsAreRefused) {
    FT_HANDLE h = Open();
    EXPECT_EQ(ft.SetBaudRate(h, 0), FT_INVALID_BAUD_RATE);
    EXPECT_EQ(ft.SetBaudRate(h, 3000001), FT_INVALID_BAUD_RATE);
    EXPECT_EQ(ft.SetDataCharacteristics(h, 6, 0, 0), FT_INVALID_PARAMETER);
    EXPECT_EQ(ft.SetDataCharacteristics(h, 8, 1, 0), FT_INVALID_PARAMETER);
    EXPECT_EQ(ft.SetDataCharacteristics(h, 8, 0, 5), FT_INVALID_PARAMETER);
    kxsim_link link{};
    kxsim_host_link(&link);
    EXPECT_EQ(link.baud, 9600.0) << "the chip's defaults after opening";
    EXPECT_EQ(link.word_length, 8);
    EXPECT_EQ(link.stop_bits, 1);
    EXPECT_EQ(link.parity, FT_PARITY_NONE);
}

}  // namespace
