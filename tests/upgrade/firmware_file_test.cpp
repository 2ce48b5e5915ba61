#include "firmware_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "packet_run.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

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

// Bytes of no pattern, several 64 KiB chunks long.
std::string RandomBytes(std::size_t size) {
    std::mt19937 gen(4711);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out(size, '\0');
    for (char& c : out) {
        c = static_cast<char>(byte(gen));
    }
    return out;
}

TEST_F(FirmwareFileTest, ReadsTheFileByteForByte) {
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

// An image given from memory reads as the same bytes from a file would, holds nothing
// open, and takes the place of a file: not while another is open, and open again after
// Close.
TEST_F(FirmwareFileTest, AnImageFromMemoryReadsAsAFileOfItsBytes) {
    const std::string bytes = RandomBytes(65536 + 99);
    const std::vector<std::uint8_t> image(bytes.begin(), bytes.end());
    FirmwareFile f;
    ASSERT_TRUE(f.OpenImage(image));
    EXPECT_TRUE(f.IsOpen());
    EXPECT_EQ(f.Length(), bytes.size());
    EXPECT_EQ(ReadAll(f), bytes);
    EXPECT_EQ(f.Next(), ByteSource::kEnd);
    ASSERT_TRUE(f.SeekToBegin());
    EXPECT_EQ(ReadAll(f), bytes);

    Write("S00300FC\r\n");
    EXPECT_FALSE(f.Open(Path()));
    EXPECT_EQ(f.Problem(), "another firmware file is open");
    EXPECT_FALSE(f.OpenImage(image));
    f.Close();
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.Next(), ByteSource::kError);
    EXPECT_TRUE(f.Image().empty());
    ASSERT_TRUE(f.Open(Path()));  // a file after an image
    EXPECT_EQ(f.Length(), 10u);
    EXPECT_FALSE(f.OpenImage(image));
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

#ifndef _WIN32
// Several flashers may read one file at once; a writer that takes the lock may not, and
// a file a writer holds locked is not opened.
TEST_F(FirmwareFileTest, SharedWithReadersClosedToWriters) {
    Write("S00F\r\n");
    FirmwareFile first;
    FirmwareFile second;
    ASSERT_TRUE(first.Open(Path()));
    ASSERT_TRUE(second.Open(Path()));
    const int writer = ::open(Path().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_NE(::flock(writer, LOCK_EX | LOCK_NB), 0);
    first.Close();
    EXPECT_NE(::flock(writer, LOCK_EX | LOCK_NB), 0);
    second.Close();
    ASSERT_EQ(::flock(writer, LOCK_EX | LOCK_NB), 0);

    FirmwareFile third;
    EXPECT_FALSE(third.Open(Path()));
    EXPECT_EQ(third.Problem(), "in use by a program that writes to it");
    ::close(writer);
    EXPECT_TRUE(third.Open(Path()));
}
#endif

// What is sent is the copy read at the open: the file shortened or rewritten on disk
// afterwards changes nothing, and a rewind starts over on the same copy.
TEST_F(FirmwareFileTest, ChangesOnDiskAfterTheOpenChangeNothing) {
    const std::string bytes = RandomBytes(100000);
    Write(bytes);
    FirmwareFile f;
    ASSERT_TRUE(f.Open(Path()));
    for (int i = 0; i < 1000; ++i) {
        f.Next();
    }
    std::filesystem::resize_file(m_path, 10);
    EXPECT_EQ(f.Length(), bytes.size());
    EXPECT_EQ(ReadAll(f), bytes.substr(1000));
    { std::ofstream(m_path, std::ios::binary | std::ios::trunc) << "S9030000FC\r\n"; }
    ASSERT_TRUE(f.SeekToBegin());
    EXPECT_EQ(ReadAll(f), bytes);
}

TEST_F(FirmwareFileTest, RefusesAFileTooLargeToBeAnImage) {
    Write("S0");
    std::filesystem::resize_file(m_path, kMaxFirmwareFileSize + 1);
    FirmwareFile f;
    EXPECT_FALSE(f.Open(Path()));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.Problem(), "larger than 64 MiB: not a firmware image");
    std::filesystem::resize_file(m_path, kMaxFirmwareFileSize);
    EXPECT_TRUE(f.Open(Path()));
    EXPECT_EQ(f.Length(), kMaxFirmwareFileSize);
    // Read whole into room taken in large pages where the kernel gives them: as it was.
    const std::span<const std::uint8_t> image = f.Image();
    ASSERT_EQ(image.size(), kMaxFirmwareFileSize);
    EXPECT_EQ(image[0], 'S');
    EXPECT_EQ(image[1], '0');
    EXPECT_TRUE(std::all_of(image.begin() + 2, image.end(), [](std::uint8_t b) { return b == 0; }));
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
    EXPECT_EQ(f.Problem(), "not a regular file");
    EXPECT_FALSE(f.Open((m_path.parent_path() / "kx_no_such_file.dat").string()));
    EXPECT_EQ(f.Problem(), "cannot be opened for reading");
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
