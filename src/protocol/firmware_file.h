// The firmware file of a transfer, read whole into memory when it is opened: the transfer
// sends from that copy, so nothing done to the file on disk afterwards changes what the
// dongle receives. The file stays open, shared for reading and closed to writers, until
// Close: several flashers may send one file at once, and no writer that honours the lock
// (or, on Windows, the share mode) can change it meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_source.h"

namespace kx {

// Firmware images are small; anything larger is not one.
inline constexpr std::uint64_t kMaxFirmwareFileSize = 64ull * 1024 * 1024;

class FirmwareFile : public ByteSource {
  public:
    FirmwareFile() = default;
    ~FirmwareFile() override;
    FirmwareFile(const FirmwareFile&) = delete;
    FirmwareFile& operator=(const FirmwareFile&) = delete;

    // Opens a regular file, reads it whole and positions at its start. False, with the
    // reason in Problem(), if it cannot be opened, a writer holds it, it cannot be read or
    // is too large, or this object already holds an open file; nothing changes then.
    bool Open(const std::string& utf8Path);
    // Takes a copy of an image already read (held in memory by a harness that sends it
    // many times) as if it were the file: positioned at its start, no file held open.
    // False, as Open, if this object already holds an open file.
    bool OpenImage(std::span<const std::uint8_t> image);
    bool IsOpen() const { return m_handle != kNoHandle || m_inMemory; }
    void Close();
    // Why the last Open failed, in words for the user.
    const std::string& Problem() const { return m_problem; }

    // Back to the first byte of the copy read by Open; the file is not read again.
    bool SeekToBegin();
    std::uint64_t Length() const { return m_image.size(); }  // 0 while closed
    // The bytes read by Open; empty while closed.
    std::span<const std::uint8_t> Image() const { return m_image; }

    int Next() override;  // kError while closed
    std::uint64_t Consumed() const override { return m_pos; }
    int Peek() const override {
        return !IsOpen() ? kError : m_pos == m_image.size() ? kEnd : m_image[m_pos];
    }
    std::span<const std::uint8_t> Buffered() const override {
        return std::span<const std::uint8_t>(m_image).subspan(m_pos);
    }
    void Skip(std::size_t count) override { m_pos += count; }

  private:
    static constexpr std::intptr_t kNoHandle = -1;

    std::intptr_t m_handle = kNoHandle;  // a descriptor, or a Windows HANDLE
    bool m_inMemory = false;             // opened by OpenImage
    std::vector<std::uint8_t> m_image;
    std::size_t m_pos = 0;
    std::string m_problem;
};

}  // namespace kx
