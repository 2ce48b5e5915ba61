#include "firmware_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "packet_run.h"

namespace kx::test {
namespace {

// A file of its own for each test, removed afterwards.
class FirmwareFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_path = std::filesystem::path(::testing::TempDir()) /
                 (std::string("kx_fw_") + info->name() + "_" +
                  std::to_string(std::random_device{}()) + ".dat");
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }

    void Write(const std::string& bytes) {
        std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(out.good());
    }
    std::string Path() const { return m_path.string(); }

    static std::string ReadAll(ByteSource& src) {
        std::string out;
        for (int b = src.Next(); b >= 0; b = src.Next()) {
            out.push_back(static_cast<char>(b));
        }
        return out;
    }

    std::filesystem::path m_path;
};

// Spans several 64 KiB buffer fills and ends part-way into one.
std::string RandomBytes(std::size_t size) {
    std::mt19937 gen(4711);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out(size, '\0');
    for (char& c : out) {
        c = static_cast<char>(byte(gen));
    }
    return out;
}

TEST_F(FirmwareFileTest, ReadsTheFileByteForByteAcrossBufferFills) {
    const std::string bytes = RandomBytes(3 * 65536 + 1234);
    Write(bytes);
    FirmwareFile f;
    ASSERT_TRUE(f.Open(Path()));
    EXPECT_TRUE(f.IsOpen());
    EXPECT_EQ(f.Length(), bytes.size());

    std::string read;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        ASSERT_EQ(f.Consumed(), i);
        const int b = f.Next();
        ASSERT_GE(b, 0) << "at offset " << i;
        read.push_back(static_cast<char>(b));
    }
    EXPECT_EQ(read, bytes);
    EXPECT_EQ(f.Next(), ByteSource::kEnd);
    EXPECT_EQ(f.Next(), ByteSource::kEnd);
    EXPECT_EQ(f.Consumed(), bytes.size());
}

TEST_F(FirmwareFileTest, SeekToBeginStartsOverFromAnyPoint) {
    const std::string bytes = RandomBytes(2 * 65536 + 17);
    Write(bytes);
    FirmwareFile f;
    ASSERT_TRUE(f.Open(Path()));
    for (int i = 0; i < 70000; ++i) {  // part-way into the second buffer fill
        f.Next();
    }
    ASSERT_TRUE(f.SeekToBegin());
    EXPECT_EQ(f.Consumed(), 0u);
    EXPECT_EQ(ReadAll(f), bytes);
    ASSERT_TRUE(f.SeekToBegin());  // from the end
    EXPECT_EQ(ReadAll(f), bytes);
}

TEST_F(FirmwareFileTest, EmptyFileEndsAtOnce) {
    Write("");
    FirmwareFile f;
    ASSERT_TRUE(f.Open(Path()));
    EXPECT_EQ(f.Length(), 0u);
    EXPECT_EQ(f.Next(), ByteSource::kEnd);
}

TEST_F(FirmwareFileTest, SecondOpenWhileInUseFails) {
    Write("S00F\r\n");
    FirmwareFile first;
    FirmwareFile second;
    ASSERT_TRUE(first.Open(Path()));
    EXPECT_FALSE(second.Open(Path()));
    EXPECT_FALSE(second.IsOpen());

    first.Close();
    EXPECT_FALSE(first.IsOpen());
    EXPECT_TRUE(second.Open(Path()));
}

// An open file is never replaced by another; a failed open changes nothing.
TEST_F(FirmwareFileTest, OpenKeepsTheFileInUse) {
    Write("S00F\r\n");
    const std::filesystem::path other = m_path.string() + ".other";
    std::ofstream(other, std::ios::binary) << "Z1\r\n";
    FirmwareFile f;
    ASSERT_TRUE(f.Open(Path()));
    EXPECT_EQ(f.Next(), 'S');

    EXPECT_FALSE(f.Open(other.string()));
    EXPECT_FALSE(f.Open(Path()));
    EXPECT_TRUE(f.IsOpen());
    EXPECT_EQ(f.Consumed(), 1u);
    EXPECT_EQ(f.Next(), '0');
    // The refused file was not left locked either.
    FirmwareFile g;
    EXPECT_TRUE(g.Open(other.string()));
    g.Close();
    std::filesystem::remove(other);
}

TEST_F(FirmwareFileTest, RefusesWhatIsNotARegularFile) {
    FirmwareFile f;
    EXPECT_FALSE(f.Open(m_path.parent_path().string()));
    EXPECT_FALSE(f.Open((m_path.parent_path() / "kx_no_such_file.dat").string()));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.Length(), 0u);
    EXPECT_EQ(f.Next(), ByteSource::kError);
    EXPECT_FALSE(f.SeekToBegin());
}

TEST_F(FirmwareFileTest, FeedsTheBuilderAsMemoryDoes) {
    std::string text = "S00F\r\nZ1\r\n";
    for (int i = 0; i < 3000; ++i) {  // about 120 KiB: two buffer fills and part of a third
        text += "S3" + std::to_string(100000 + i) + std::string(30, 'A') + "\r\n";
    }
    Write(text);
    FirmwareFile f;
    ASSERT_TRUE(f.Open(Path()));
    MemoryByteSource memory(text);

    Transfer fromFile;
    Transfer fromMemory;
    std::vector<Sent> fileSent;
    std::vector<Sent> memorySent;
    EXPECT_EQ(fromFile.BuildAll(f, fileSent).outcome, BuildOutcome::EndOfFile);
    EXPECT_EQ(fromMemory.BuildAll(memory, memorySent).outcome, BuildOutcome::EndOfFile);
    EXPECT_EQ(fileSent.size(), 2u + 3000u / 32u + 1u);
    EXPECT_EQ(fileSent, memorySent);
}

}  // namespace
}  // namespace kx::test
