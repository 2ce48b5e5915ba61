// The firmware file of a transfer: opened for reading with no sharing, so that nothing
// else of ours can open it while the transfer reads it, and read through a buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_source.h"

namespace kx {

class FirmwareFile : public ByteSource {
  public:
    FirmwareFile() = default;
    ~FirmwareFile() override;
    FirmwareFile(const FirmwareFile&) = delete;
    FirmwareFile& operator=(const FirmwareFile&) = delete;

    // Opens a regular file for reading, positioned at its start. False if it cannot be
    // opened, if it is in use, or if this object already holds an open file; nothing
    // changes then.
    bool Open(const std::string& utf8Path);
    bool IsOpen() const { return m_handle != kNoHandle; }
    void Close();

    bool SeekToBegin();
    std::uint64_t Length() const;  // 0 while closed

    int Next() override;  // kError while closed, and from a failed read until SeekToBegin
    std::uint64_t Consumed() const override { return m_consumed; }
    std::span<const std::uint8_t> Buffered() const override {
        return {m_buffer.data() + m_pos, m_filled - m_pos};
    }
    void Skip(std::size_t count) override {
        m_pos += count;
        m_consumed += count;
    }

  private:
    static constexpr std::intptr_t kNoHandle = -1;
    static constexpr std::size_t kBufferSize = 64 * 1024;

    bool Refill();
    void ResetBuffer();

    std::intptr_t m_handle = kNoHandle;  // a descriptor, or a Windows HANDLE
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_pos = 0, m_filled = 0;
    std::uint64_t m_consumed = 0;
    bool m_failed = false;
};

}  // namespace kx
