// Fixed-width integer reads through a ByteSource, in either byte order. Every
// read is bounds-checked by the source: a field that is not all there reads
// as a failure, never as bytes from outside the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "versions/VersionRecord.h"

namespace pellarion {

// The most sections a Windows executable may have for the readers of this
// project; no genuine program has more, and it bounds what a hostile count
// can make them read.
inline constexpr std::uint16_t kMaxPeSections = 96;

class ByteReader {
 public:
  explicit ByteReader(const ByteSource& source, bool bigEndian = false)
      : source_(source), bigEndian_(bigEndian) {}

  bool U16(std::uint64_t offset, std::uint16_t& value) const {
    std::uint64_t v = 0;
    if (!Read(offset, 2, v)) return false;
    value = static_cast<std::uint16_t>(v);
    return true;
  }
  bool U32(std::uint64_t offset, std::uint32_t& value) const {
    std::uint64_t v = 0;
    if (!Read(offset, 4, v)) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
  }
  bool U64(std::uint64_t offset, std::uint64_t& value) const { return Read(offset, 8, value); }
  bool Bytes(std::uint64_t offset, std::size_t size, std::vector<unsigned char>& out) const {
    out.resize(size);
    return size == 0 || source_.ReadAt(offset, out.data(), size);
  }
  std::uint64_t Size() const { return source_.Size(); }

 private:
  bool Read(std::uint64_t offset, std::size_t width, std::uint64_t& value) const {
    unsigned char b[8];
    if (!source_.ReadAt(offset, b, width)) return false;
    value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      const std::size_t shift = 8 * (bigEndian_ ? width - 1 - i : i);
      value |= static_cast<std::uint64_t>(b[i]) << shift;
    }
    return true;
  }

  const ByteSource& source_;
  bool bigEndian_;
};

}  // namespace pellarion
