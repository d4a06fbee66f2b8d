#include "Lz.h"

#include "Bmof.h"

namespace mof {
namespace {

class BitWriter {
 public:
  void bit(uint32_t b) {
    if (used_ == 0) {
      bytes_.push_back(0);
    }
    if (b) {
      bytes_.back() = static_cast<uint8_t>(bytes_.back() | (1u << used_));
    }
    used_ = (used_ + 1) % 8;
  }
  void bits(uint32_t value, int count) {  // low bit first
    for (int i = 0; i < count; ++i) {
      bit((value >> i) & 1);
    }
  }
  void gamma(uint32_t n) {  // n >= 1
    int width = 0;
    while ((n >> width) > 1) {
      ++width;
    }
    for (int i = 0; i < width; ++i) {
      bit(0);
    }
    for (int i = width; i >= 0; --i) {
      bit((n >> i) & 1);
    }
  }
  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
  int used_ = 0;
};

class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint32_t bit() {
    if (pos_ / 8 >= bytes_.size()) {
      throw FormatError("compressed stream ends early");
    }
    uint32_t b = (bytes_[pos_ / 8] >> (pos_ % 8)) & 1;
    ++pos_;
    return b;
  }
  uint32_t bits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      value |= bit() << i;
    }
    return value;
  }
  uint32_t gamma() {
    int width = 0;
    while (bit() == 0) {
      if (++width > 31) {
        throw FormatError("compressed stream has an oversized length code");
      }
    }
    uint32_t n = 1;
    for (int i = 0; i < width; ++i) {
      n = (n << 1) | bit();
    }
    return n;
  }
  // Everything after the last code is padding within the final byte, and zero.
  void finish() const {
    size_t consumedBytes = (pos_ + 7) / 8;
    if (consumedBytes != bytes_.size()) {
      throw FormatError("compressed stream has data after its end");
    }
    if (pos_ % 8 != 0 && (bytes_.back() >> (pos_ % 8)) != 0) {
      throw FormatError("compressed stream has set padding bits");
    }
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace

std::vector<uint8_t> lzCompress(std::span<const uint8_t> data) {
  // Greedy longest match over the whole window. The schemas this serves are a few KB, so
  // the plain search is quick enough and keeps the coder easy to check.
  BitWriter out;
  size_t pos = 0;
  while (pos < data.size()) {
    size_t bestLength = 0;
    size_t bestOffset = 0;
    size_t windowStart = pos > kLzMaxOffset ? pos - kLzMaxOffset : 0;
    size_t limit = std::min<size_t>(kLzMaxMatch, data.size() - pos);
    for (size_t from = pos; from-- > windowStart;) {
      size_t length = 0;
      while (length < limit && data[from + length] == data[pos + length]) {
        ++length;  // may run into the bytes being coded: the reader copies byte by byte
      }
      if (length > bestLength) {
        bestLength = length;
        bestOffset = pos - from;
        if (length == limit) {
          break;
        }
      }
    }
    if (bestLength >= kLzMinMatch) {
      out.bit(1);
      if (bestOffset <= 64) {
        out.bit(0);
        out.bits(static_cast<uint32_t>(bestOffset - 1), 6);
      } else if (bestOffset <= 320) {
        out.bits(0b01, 2);  // 1 then 0
        out.bits(static_cast<uint32_t>(bestOffset - 65), 8);
      } else {
        out.bits(0b11, 2);
        out.bits(static_cast<uint32_t>(bestOffset - 321), 12);
      }
      out.gamma(static_cast<uint32_t>(bestLength - 2));
      pos += bestLength;
    } else {
      out.bit(0);
      out.bits(data[pos], 8);
      ++pos;
    }
  }
  return out.take();
}

std::vector<uint8_t> lzExpand(std::span<const uint8_t> stream, size_t expandedSize) {
  std::vector<uint8_t> out;
  out.reserve(expandedSize);
  BitReader in(stream);
  while (out.size() < expandedSize) {
    if (in.bit() == 0) {
      out.push_back(static_cast<uint8_t>(in.bits(8)));
      continue;
    }
    size_t offset;
    if (in.bit() == 0) {
      offset = in.bits(6) + 1;
    } else if (in.bit() == 0) {
      offset = in.bits(8) + 65;
    } else {
      offset = in.bits(12) + 321;
    }
    size_t length = size_t{in.gamma()} + 2;
    if (offset > out.size()) {
      throw FormatError("compressed stream refers back before its start");
    }
    if (length > expandedSize - out.size()) {
      throw FormatError("compressed stream expands past its stated size");
    }
    size_t from = out.size() - offset;
    for (size_t i = 0; i < length; ++i) {
      out.push_back(out[from + i]);
    }
  }
  in.finish();
  return out;
}

}  // namespace mof
