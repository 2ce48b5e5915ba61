// The bootloader's replies to records, driven one write at a time.
#include <cstdio>

#include "sim_fixture.h"

namespace {

const std::string kGoodHeader = Record('S', '0',
                                       "0000"
                                       "4B582D444F4E474C452D32");
const std::string kSwitch = "Z0030000FC";
constexpr unsigned long kBase = 0x08000000;

std::string Hex(const Bytes& bytes) {
    std::string hex;
    char pair[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        hex += pair;
    }
    return hex;
}

std::string Address(unsigned long address) {
    char text[9];
    std::snprintf(text, sizeof text, "%08lX", address);
    return text;
}

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return bytes;
}

std::string S3(unsigned long address, const Bytes& data) {
    return Record('S', '3', Address(address) + Hex(data));
}

// `count` S3 records of 16 bytes from `address`.
std::string S3Run(unsigned long address, int count) {
    std::string run;
    for (int i = 0; i < count; ++i) {
        run += S3(address + 16ul * i, Pattern(16, static_cast<std::uint8_t>(i)));
    }
    return run;
}

const Bytes kA9 = {0xA9};

class RepliesTest : public SimTest {
  protected:
    // Announced, header sent, switched to the bulk link, first 0xA9 read.
    FT_HANDLE OpenBulk() {
        FT_HANDLE h = OpenAnnounced();
        Write(h, kGoodHeader);
        Write(h, kSwitch);
        WaitDrained(h);
        BulkProfile(h);
        EXPECT_EQ(After(h, 1000), kA9);
        return h;
    }
};

TEST_F(RepliesTest, SwitchRecordMovesTheLinkErasesAndAsksForTheFirstPacket) {
    FT_HANDLE h = OpenAnnounced();
    Write(h, kGoodHeader);
    EXPECT_TRUE(After(h, 50).empty()) << "no reply in the command stage";
    Write(h, kSwitch);
    WaitDrained(h);
    BulkProfile(h);
    kxsim_link link{};
    kxsim_device_link(&link);
    EXPECT_EQ(link.baud, 500000.0);
    EXPECT_EQ(link.stop_bits, 2);
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_ERASING);
    EXPECT_TRUE(After(h, 550).empty()) << "the erase takes 600 ms";
    EXPECT_EQ(After(h, 100), kA9);
    EXPECT_EQ(Flash(), Bytes(0x10000, 0xFF));
}

TEST_F(RepliesTest, WrongIdIsRefusedAtOnceAndAgainInsteadOfTheErase) {
    const Bytes before = Flash();
    FT_HANDLE h = OpenAnnounced();
    Write(h, Record('S', '0',
                    "0000"
                    "4B582D444F4E474C452D31"));  // KX-DONGLE-1
    EXPECT_EQ(After(h, 30), Bytes{0xD5});
    Write(h, kSwitch);
    WaitDrained(h);
    BulkProfile(h);
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_REFUSING);
    EXPECT_EQ(After(h, 100), Bytes{0xD5});
    EXPECT_EQ(Flash(), before) << "nothing erased";
    // Back at the start: the host's extra stop bit from the bulk profile does no harm.
    ft.SetBaudRate(h, 38400);
    EXPECT_EQ(Text(After(h, 200)), kAnnouncement);
}

TEST_F(RepliesTest, DamagedOrMisplacedCommandRecordsAreRefused) {
    std::string badChecksum = kGoodHeader;
    badChecksum.back() = badChecksum.back() == '0' ? '1' : '0';
    std::string badDigit = kGoodHeader;
    badDigit[6] = 'G';
    const struct {
        const char* name;
        std::string record;
    } cases[] = {
        {"bad checksum", badChecksum},
        {"bad hex digit", badDigit},
        {"count not hex", "S0XY0000"},
        {"unknown type", Record('S', '4', "0000AA")},
        {"data before the switch", S3(kBase, Pattern(16, 1))},
        {"termination before the switch", Record('S', '7', Address(kBase))},
        {"not a record", "Hello"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kxsim_reset();
        kxsim_set_manual_clock(1);
        FT_HANDLE h = OpenAnnounced();
        Write(h, c.record);
        EXPECT_EQ(After(h, 50), Bytes{0xC8});
        // Nothing more until the line has been quiet; then the device announces again.
        EXPECT_EQ(Text(After(h, 200)), kAnnouncement);
    }
}

TEST_F(RepliesTest, PacketsEndAfter32S3RecordsAfterAnotherTypeOrWhenTheLineGoesQuiet) {
    FT_HANDLE h = OpenBulk();
    Write(h, S3Run(kBase, 32));
    EXPECT_EQ(After(h, 100), kA9);
    Write(h, S3Run(kBase + 0x200, 40));
    EXPECT_EQ(After(h, 100), (Bytes{0xA9, 0xA9})) << "32 records, then 8 ended by the quiet line";
    Write(h, S3Run(kBase + 0x480, 2) + Record('S', '5', "0002") + S3Run(kBase + 0x4A0, 1));
    EXPECT_EQ(After(h, 100), (Bytes{0xA9, 0xA9})) << "the S5 ends its packet";
    Write(h, S3Run(kBase + 0x4B0, 3) + Record('S', '7', Address(kBase)));
    EXPECT_EQ(After(h, 100), kA9);
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_DONE);
    EXPECT_TRUE(After(h, 10000).empty()) << "silent after a completed upgrade";

    const Bytes flash = Flash();
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 16), Pattern(16, 0));
    EXPECT_EQ(Bytes(flash.begin() + 0x1F0, flash.begin() + 0x200), Pattern(16, 31));
    EXPECT_EQ(Bytes(flash.begin() + 0x470, flash.begin() + 0x480), Pattern(16, 39));
    EXPECT_EQ(Bytes(flash.begin() + 0x4D0, flash.begin() + 0x4E0), Pattern(16, 2));
    EXPECT_EQ(Bytes(flash.begin() + 0x4E0, flash.end()), Bytes(0x10000 - 0x4E0, 0xFF));
}

TEST_F(RepliesTest, DamagedPacketIsResentThenGivenUp) {
    FT_HANDLE h = OpenBulk();
    const std::string packet = S3Run(kBase, 32);
    kxsim_damage_next_record();
    Write(h, packet);
    EXPECT_EQ(After(h, 100), Bytes{0xB6});
    EXPECT_EQ(Flash(), Bytes(0x10000, 0xFF)) << "a damaged packet writes nothing";
    Write(h, packet);
    EXPECT_EQ(After(h, 100), kA9);
    const Bytes flash = Flash();
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 16), Pattern(16, 0));

    for (int i = 0; i < 3; ++i) {
        kxsim_damage_next_record();
        Write(h, packet);
        EXPECT_EQ(After(h, 100), Bytes{0xB6}) << i;
    }
    kxsim_damage_next_record();
    Write(h, packet);
    EXPECT_EQ(After(h, 100), Bytes{0xC8}) << "three resends in a row are the limit";
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_STARTING);
}

TEST_F(RepliesTest, ResendLimitIsConfigurableAndAGoodPacketResetsTheCount) {
    kxsim_set_max_resends(1);
    FT_HANDLE h = OpenBulk();
    std::string broken = S3Run(kBase, 4);
    broken[20] = 'x';
    Write(h, broken);
    EXPECT_EQ(After(h, 100), Bytes{0xB6});
    Write(h, S3Run(kBase, 4));
    EXPECT_EQ(After(h, 100), kA9);
    Write(h, broken.substr(0, 30));  // cut inside a record
    EXPECT_EQ(After(h, 100), Bytes{0xB6});
    Write(h, broken);
    EXPECT_EQ(After(h, 100), Bytes{0xC8});
}

TEST_F(RepliesTest, FlashRulesAreEnforced) {
    const struct {
        const char* name;
        std::string first;
        std::string second;
    } cases[] = {
        {"below the flash", S3(kBase, Bytes{0x00}), S3(kBase - 1, Bytes{0x00})},
        {"past the end", S3(kBase, Bytes{0x00}), S3(kBase + 0xFFF8, Pattern(16, 1))},
        {"bit set after clear", S3(kBase, Bytes{0x0F}), S3(kBase, Bytes{0x1F})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kxsim_reset();
        kxsim_set_manual_clock(1);
        FT_HANDLE h = OpenBulk();
        Write(h, c.first);
        EXPECT_EQ(After(h, 100), kA9);
        Write(h, c.second);
        EXPECT_EQ(After(h, 100), Bytes{0xC8});
    }
    // Clearing more bits of a programmed byte is allowed, as on NOR flash.
    kxsim_reset();
    kxsim_set_manual_clock(1);
    FT_HANDLE h = OpenBulk();
    Write(h, S3(kBase, Bytes{0x0F}));
    EXPECT_EQ(After(h, 100), kA9);
    Write(h, S3(kBase, Bytes{0x05}));
    EXPECT_EQ(After(h, 100), kA9);
    EXPECT_EQ(Flash()[0], 0x05);
}

TEST_F(RepliesTest, ProgressTextComesBeforeTheReplies) {
    kxsim_set_progress_text(1);
    FT_HANDLE h = OpenAnnounced();
    Write(h, kGoodHeader);
    Write(h, kSwitch);
    WaitDrained(h);
    BulkProfile(h);
    EXPECT_EQ(Text(After(h, 1000)), "FLASH ERASED\r\n\xA9");
    Write(h, S3Run(kBase, 2) + Record('S', '7', Address(kBase)));
    EXPECT_EQ(Text(After(h, 100)), "UPGRADE COMPLETE\r\n\xA9");
}

TEST_F(RepliesTest, ReplugAfterCompletionStartsAgainWithTheFlashKept) {
    FT_HANDLE h = OpenBulk();
    Write(h, S3(kBase, Pattern(4, 9)) + Record('S', '7', Address(kBase)));
    EXPECT_EQ(After(h, 100), kA9);
    ft.Close(h);
    h = OpenConnected();
    EXPECT_TRUE(After(h, 500).empty()) << "reopening is not a power cycle";
    ft.Close(h);
    kxsim_unplug();
    kxsim_plug();
    h = OpenConnected();
    EXPECT_EQ(Text(After(h, 200)), kAnnouncement);
    const Bytes flash = Flash();
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 4), Pattern(4, 9));
}

TEST_F(RepliesTest, ASelfPoweredDongleKeepsItsStateAndLinkAcrossADrop) {
    kxsim_set_self_powered(1);
    FT_HANDLE h = OpenBulk();
    kxsim_unplug();
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_BULK);
    kxsim_advance_ms(3000);
    kxsim_plug();
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_BULK) << "a USB drop is no power cut for it";
    ft.Close(h);
    h = Open();
    kxsim_link link{};
    kxsim_host_link(&link);
    EXPECT_EQ(link.baud, 9600.0) << "the bus-powered chip starts at its defaults";
    kxsim_device_link(&link);
    EXPECT_EQ(link.baud, 500000.0);
    EXPECT_EQ(link.stop_bits, 2);
    CommandProfile(h);
    EXPECT_TRUE(After(h, 10000).empty()) << "no announcement: it did not start again";
    BulkProfile(h);
    Write(h, S3Run(kBase, 2));
    EXPECT_EQ(After(h, 100), kA9);
    Bytes expected = Pattern(16, 0);
    const Bytes second = Pattern(16, 1);
    expected.insert(expected.end(), second.begin(), second.end());
    const Bytes flash = Flash();
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 32), expected);
}

TEST_F(RepliesTest, WhatASelfPoweredDongleSaysWhileTheChipIsUnpoweredIsLost) {
    kxsim_set_self_powered(1);
    kxsim_set_announce(100, 1000);
    FT_HANDLE h = OpenAnnounced();
    kxsim_unplug();
    kxsim_advance_ms(1000);  // its repeat went out into the void
    EXPECT_EQ(kxsim_device_sent(nullptr, 0), 2 * kAnnouncement.size());
    kxsim_plug();
    ft.Close(h);
    h = OpenConnected();
    EXPECT_TRUE(After(h, 880).empty());
    EXPECT_EQ(Text(After(h, 100)), kAnnouncement) << "the repeat after it, on its own time";
}

TEST_F(RepliesTest, ADongleThatIsNotSelfPoweredStartsAgainAfterADrop) {
    FT_HANDLE h = OpenBulk();
    kxsim_unplug();
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_OFF);
    kxsim_plug();
    EXPECT_EQ(kxsim_device_state(), KXSIM_STATE_STARTING);
    kxsim_link link{};
    kxsim_device_link(&link);
    EXPECT_EQ(link.baud, 38400.0);
    ft.Close(h);
    h = OpenConnected();
    EXPECT_EQ(Text(After(h, 200)), kAnnouncement);
}

}  // namespace
