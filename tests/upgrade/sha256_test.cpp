#include "sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kx {
namespace {

std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Each test runs through the portable rounds and, where the processor has them, its SHA
// instructions.
class Sha256Test : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (!Sha256::UseProcessorInstructions(GetParam()) && GetParam()) {
            GTEST_SKIP() << "this processor has no SHA instructions";
        }
    }
    void TearDown() override { Sha256::UseProcessorInstructions(true); }
};

INSTANTIATE_TEST_SUITE_P(Paths, Sha256Test, ::testing::Values(false, true),
                         [](const auto& path) { return path.param ? "Processor" : "Portable"; });

// The known answers published with the SHA-256 definition (FIPS 180).
TEST_P(Sha256Test, KnownAnswers) {
    EXPECT_EQ(Sha256Hex(Bytes("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex(Bytes("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Sha256Hex(Bytes(std::string(1000000, 'a'))),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Lengths around the padding boundaries (55, 56, 63, 64 bytes), and the same message fed in
// pieces of every size, give the digest of the message in one piece.
TEST_P(Sha256Test, PiecesGiveTheDigestOfTheWhole) {
    std::vector<std::uint8_t> message(300);
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    for (const std::size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 300u}) {
        const std::span<const std::uint8_t> whole(message.data(), length);
        const std::string expected = Sha256Hex(whole);
        for (std::size_t piece = 1; piece <= 70; piece += 23) {
            Sha256 hash;
            for (std::size_t at = 0; at < length; at += piece) {
                hash.Update(whole.subspan(at, std::min(piece, length - at)));
            }
            std::string hex;
            for (const std::uint8_t byte : hash.Finish()) {
                static constexpr char kDigits[] = "0123456789abcdef";
                hex += kDigits[byte >> 4];
                hex += kDigits[byte & 0x0F];
            }
            EXPECT_EQ(hex, expected) << "length " << length << ", pieces of " << piece;
        }
    }
    // Known answer for a 64-byte message of 'a': two blocks after padding.
    EXPECT_EQ(Sha256Hex(Bytes(std::string(64, 'a'))),
              "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

}  // namespace
}  // namespace kx
