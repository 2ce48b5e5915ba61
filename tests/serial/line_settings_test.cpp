// The D2XX line settings as termios values, and FTDI's divisor arithmetic, against tables
// of known results. (A pty keeps only speed and stop bits, so word length and parity are
// checked here on the structure itself.)
#include <gtest/gtest.h>

#include "baud_rate.h"
#include "line_settings.h"

namespace kxserial {
namespace {

struct DivisorCase {
    unsigned short divisor;
    unsigned baud;
};

TEST(RateForDivisor, FollowsTheChipsEncoding) {
    const DivisorCase cases[] = {
        {0, 3000000},      // special case
        {1, 2000000},      // special case
        {2, 1500000},      //
        {6, 500000},       // the bulk profile
        {0xC04E, 38400},   // 78 + 1/8
        {0x4138, 9600},    // 312 + 1/2
        {0x801A, 114286},  // 26 + 1/4, rounded
        {0xC01A, 114833},  // 26 + 1/8, rounded
        {0x3FFF, 183},     // the largest integer part
        {0x4001, 0},       // no fraction below 2
        {0xC000, 0},       //
    };
    for (const DivisorCase& c : cases) {
        EXPECT_EQ(RateForDivisor(c.divisor), c.baud) << std::hex << c.divisor;
    }
}

TEST(StandardSpeedCode, NamesOnlyTheKernelsRates) {
    EXPECT_EQ(StandardSpeedCode(38400), static_cast<unsigned>(B38400));
    EXPECT_EQ(StandardSpeedCode(500000), static_cast<unsigned>(B500000));
    EXPECT_EQ(StandardSpeedCode(3000000), static_cast<unsigned>(B3000000));
    EXPECT_EQ(StandardSpeedCode(428571), 0u);
    EXPECT_EQ(StandardSpeedCode(38401), 0u);
    EXPECT_EQ(StandardSpeedCode(0), 0u);
}

termios2 Cooked() {
    termios2 t{};
    t.c_iflag = ICRNL | IXON | BRKINT;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag = B38400 | CS7 | PARENB | CSTOPB | HUPCL;
    t.c_cc[VMIN] = 4;
    t.c_cc[VTIME] = 5;
    return t;
}

TEST(MakeRaw, LeavesNoLineDisciplineWorkAnd9600Eight_N_One) {
    termios2 t = Cooked();
    MakeRaw(t);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | BRKINT), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B9600));
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(SetSpeed, StandardRatesByCodeOthersByBother) {
    termios2 t = Cooked();
    ASSERT_EQ(SetSpeed(t, 500000), FT_OK);
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B500000));
    EXPECT_EQ(t.c_ospeed, 500000u);

    ASSERT_EQ(SetSpeed(t, 428571), FT_OK);
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(t.c_ospeed, 428571u);
    EXPECT_EQ(t.c_ispeed, 428571u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));  // nothing else touched

    const termios2 before = t;
    EXPECT_EQ(SetSpeed(t, 0), FT_INVALID_BAUD_RATE);
    EXPECT_EQ(t.c_cflag, before.c_cflag);
    EXPECT_EQ(t.c_ospeed, before.c_ospeed);
}

struct Characteristics {
    UCHAR bits, stop, parity;
    tcflag_t expected;  // CSIZE | CSTOPB | PARENB | PARODD | CMSPAR
};

TEST(SetDataCharacteristics, MapsWordLengthStopBitsAndParity) {
    const Characteristics cases[] = {
        {8, FT_STOP_BITS_1, FT_PARITY_NONE, CS8},
        {8, FT_STOP_BITS_2, FT_PARITY_NONE, CS8 | CSTOPB},
        {7, FT_STOP_BITS_1, FT_PARITY_EVEN, CS7 | PARENB},
        {7, FT_STOP_BITS_2, FT_PARITY_ODD, CS7 | CSTOPB | PARENB | PARODD},
        {8, FT_STOP_BITS_1, FT_PARITY_MARK, CS8 | PARENB | CMSPAR | PARODD},
        {8, FT_STOP_BITS_1, FT_PARITY_SPACE, CS8 | PARENB | CMSPAR},
    };
    const tcflag_t mask = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;
    for (const Characteristics& c : cases) {
        termios2 t = Cooked();
        ASSERT_EQ(SetDataCharacteristics(t, c.bits, c.stop, c.parity), FT_OK);
        EXPECT_EQ(t.c_cflag & mask, c.expected)
            << int(c.bits) << " " << int(c.stop) << " " << int(c.parity);
        EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B38400));
    }
}

TEST(SetDataCharacteristics, RejectsWhatD2xxDoesNotName) {
    const Characteristics bad[] = {{6, 0, 0, 0}, {9, 0, 0, 0}, {8, 1, 0, 0}, {8, 0, 5, 0}};
    for (const Characteristics& c : bad) {
        termios2 t = Cooked();
        EXPECT_EQ(SetDataCharacteristics(t, c.bits, c.stop, c.parity), FT_INVALID_PARAMETER);
        EXPECT_EQ(t.c_cflag, Cooked().c_cflag);
    }
}

TEST(SetFlowControl, SwitchesBetweenModesAndKeepsTheCharacters) {
    termios2 t{};
    ASSERT_EQ(SetFlowControl(t, FT_FLOW_XON_XOFF, 0x11, 0x13), FT_OK);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);

    ASSERT_EQ(SetFlowControl(t, FT_FLOW_RTS_CTS, 0x11, 0x13), FT_OK);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);

    ASSERT_EQ(SetFlowControl(t, FT_FLOW_NONE, 0x01, 0x02), FT_OK);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cc[VSTART], 0x01);
    EXPECT_EQ(t.c_cc[VSTOP], 0x02);

    EXPECT_EQ(SetFlowControl(t, FT_FLOW_DTR_DSR, 0x11, 0x13), kNotSupported);
    EXPECT_EQ(SetFlowControl(t, 0x0300, 0x11, 0x13), FT_INVALID_PARAMETER);
    EXPECT_EQ(t.c_cc[VSTART], 0x01);  // a refused mode changes nothing
}

// What a driver keeps of the settings, read back after setting them. The kernel's FTDI
// driver answers a rate its chip cannot make with 9600; a pty keeps only 8 bits, no parity.
TEST(CompareTaken, NamesWhatTheDriverDidNotTake) {
    termios2 asked = Cooked();
    ASSERT_EQ(SetSpeed(asked, 4000000), FT_OK);
    ASSERT_EQ(SetDataCharacteristics(asked, FT_BITS_7, FT_STOP_BITS_2, FT_PARITY_EVEN), FT_OK);
    ASSERT_EQ(SetFlowControl(asked, FT_FLOW_XON_XOFF, 0x11, 0x13), FT_OK);
    EXPECT_EQ(CompareTaken(asked, asked), FT_OK);

    termios2 taken = asked;
    ASSERT_EQ(SetSpeed(taken, 9600), FT_OK);
    EXPECT_EQ(CompareTaken(asked, taken), FT_INVALID_BAUD_RATE);
    taken.c_ospeed = 3900000;  // within 3 %: a driver may name the rate its chip makes
    taken.c_ispeed = 4100000;
    EXPECT_EQ(CompareTaken(asked, taken), FT_OK);
    taken.c_ispeed = 3850000;
    EXPECT_EQ(CompareTaken(asked, taken), FT_INVALID_BAUD_RATE);

    const tcflag_t changes[] = {CS8 ^ CS7, CSTOPB, PARENB, PARODD, CMSPAR, CRTSCTS};
    for (tcflag_t change : changes) {
        taken = asked;
        taken.c_cflag ^= change;
        EXPECT_EQ(CompareTaken(asked, taken), kNotSupported) << change;
    }
    taken = asked;
    taken.c_iflag &= ~static_cast<tcflag_t>(IXOFF);
    EXPECT_EQ(CompareTaken(asked, taken), kNotSupported);
    taken = asked;
    taken.c_lflag ^= ECHO;  // what the library does not set is not its business
    taken.c_cc[VSTART] = 0;
    EXPECT_EQ(CompareTaken(asked, taken), FT_OK);
}

}  // namespace
}  // namespace kxserial
