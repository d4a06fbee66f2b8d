// The payload coding of a compressed binary schema (compression type 1).
//
// Type 1 is known publicly only as a variant of LZ77 (back references of <offset, length>
// with short codes for the common values). Its exact bit layout is not. The coding below
// is our own coding of that kind. The writer and the reader here agree with each other; no
// claim is made that the platform's own expander reads it.
//
// Bitstream, least significant bit of each byte first:
//   0 b7..b0                 literal byte (eight bits, low bit first)
//   1 <offset> <length>      copy <length> bytes starting <offset> bytes back
//     offset:  0  + 6 bits   1 .. 64
//              10 + 8 bits   65 .. 320
//              11 + 12 bits  321 .. 4416
//     length:  Elias gamma code of (length - 2), so the shortest copy is 3 bytes
//              (gamma: n's bit count minus one zeros, then n's bits high to low)
// The stream ends when the expanded size from the container header is reached; the last
// byte's unused bits are zero.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace mof {

constexpr uint32_t kLzMaxOffset = 4416;
constexpr uint32_t kLzMinMatch = 3;
constexpr uint32_t kLzMaxMatch = 0xFFFF;

std::vector<uint8_t> lzCompress(std::span<const uint8_t> data);

// Expands exactly expandedSize bytes. Throws FormatError when the stream runs out, refers
// back past the start, overruns expandedSize, or leaves bytes or set bits unread.
std::vector<uint8_t> lzExpand(std::span<const uint8_t> stream, size_t expandedSize);

}  // namespace mof
