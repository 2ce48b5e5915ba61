#include "sha256.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "sha256_x86.h"

namespace kx {
namespace {

constexpr std::array<std::uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::atomic<bool> g_useProcessor{true};

constexpr std::uint32_t Rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

}  // namespace

Sha256::Sha256()
    : m_state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

bool Sha256::UseProcessorInstructions(bool use) {
    g_useProcessor = use;
    return Sha256ProcessorBlocksAvailable();
}

void Sha256::Blocks(const std::uint8_t* data, std::size_t count) {
    if (g_useProcessor.load(std::memory_order_relaxed) && Sha256ProcessorBlocksAvailable()) {
        Sha256ProcessorBlocks(m_state, data, count);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        Block(data + 64 * i);
    }
}

void Sha256::Block(const std::uint8_t* block) {
    std::array<std::uint32_t, 64> w;
    for (int i = 0; i < 16; ++i) {
        w[i] = (std::uint32_t{block[4 * i]} << 24) | (std::uint32_t{block[4 * i + 1]} << 16) |
               (std::uint32_t{block[4 * i + 2]} << 8) | std::uint32_t{block[4 * i + 3]};
    }
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    std::uint32_t e = m_state[4], f = m_state[5], g = m_state[6], h = m_state[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
        const std::uint32_t ch = (e & f) ^ (~e & g);
        const std::uint32_t t1 = h + s1 + ch + kRound[i] + w[i];
        const std::uint32_t s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
        const std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        const std::uint32_t t2 = s0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
    m_state[4] += e;
    m_state[5] += f;
    m_state[6] += g;
    m_state[7] += h;
}

void Sha256::Update(std::span<const std::uint8_t> bytes) {
    m_totalBytes += bytes.size();
    std::size_t at = 0;
    if (m_buffered > 0) {
        const std::size_t take = std::min(bytes.size(), m_buffer.size() - m_buffered);
        std::memcpy(m_buffer.data() + m_buffered, bytes.data(), take);
        m_buffered += take;
        at = take;
        if (m_buffered < m_buffer.size()) {
            return;
        }
        Blocks(m_buffer.data(), 1);
        m_buffered = 0;
    }
    const std::size_t whole = (bytes.size() - at) / 64;
    Blocks(bytes.data() + at, whole);
    at += 64 * whole;
    if (at < bytes.size()) {
        std::memcpy(m_buffer.data(), bytes.data() + at, bytes.size() - at);
        m_buffered = bytes.size() - at;
    }
}

std::array<std::uint8_t, 32> Sha256::Finish() {
    const std::uint64_t bits = m_totalBytes * 8;
    // Padding: one bit, zeros up to 56 bytes into a block, then the length in bits.
    std::array<std::uint8_t, 72> pad{};
    pad[0] = 0x80;
    const std::size_t zeros = (m_buffered < 56 ? 56 - m_buffered : 120 - m_buffered);
    for (int i = 0; i < 8; ++i) {
        pad[zeros + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    }
    const std::uint64_t total = m_totalBytes;
    Update(std::span<const std::uint8_t>(pad.data(), zeros + 8));
    m_totalBytes = total;
    std::array<std::uint8_t, 32> digest;
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<std::uint8_t>(m_state[i] >> (24 - 8 * j));
        }
    }
    return digest;
}

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
    Sha256 hash;
    hash.Update(bytes);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(64);
    for (const std::uint8_t byte : hash.Finish()) {
        hex.push_back(kDigits[byte >> 4]);
        hex.push_back(kDigits[byte & 0x0F]);
    }
    return hex;
}

}  // namespace kx
