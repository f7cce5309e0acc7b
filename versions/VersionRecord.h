// Reads the file version out of an executable's version record, portably and
// without trusting the file: every offset and size is checked against the
// file's length, so a truncated or hostile file yields "no version", never a
// read outside it.
//
// Windows executables (PE, 32 and 64 bit) carry the record as the RT_VERSION
// resource. The Linux build of the updater carries the same fixed record
// (VS_FIXEDFILEINFO) in an ELF section of its own, so one reader serves both.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace pellarion {

struct FileVersionNumbers {
  std::uint16_t major = 0, minor = 0, build = 0, revision = 0;
  // "2.0.0.55"
  std::string Dotted() const;
  // Part by part: 3.1.1.0 is higher than 3.1.0.12.
  auto operator<=>(const FileVersionNumbers&) const = default;
};

// Random access to the bytes of a file or buffer.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Copies `size` bytes from `offset`; false when they are not all there.
  virtual bool ReadAt(std::uint64_t offset, void* out, std::size_t size) const = 0;
};

class MemoryByteSource : public ByteSource {
 public:
  MemoryByteSource(const void* data, std::size_t size) : data_(data), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, void* out, std::size_t size) const override;

 private:
  const void* data_;
  std::size_t size_;
};

// The name of the ELF section that carries the Linux build's fixed record.
inline constexpr const char* kElfVersionSection = ".osmerin_version";

// The file version of the record, or nothing when the file carries none.
std::optional<FileVersionNumbers> ReadVersionRecord(const ByteSource& file);

}  // namespace pellarion
