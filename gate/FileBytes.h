// A file opened through the platform, seen as the random-access bytes that
// the version-record reader and the executable checks take.
#pragma once

#include <memory>
#include <string>

#include "platform/Platform.h"
#include "versions/VersionRecord.h"

namespace pellarion {

class FileBytes : public ByteSource {
 public:
  // Opens the file; fails (PlatformError) when it cannot be opened.
  FileBytes(Platform& platform, const std::string& path) : FileBytes(platform.OpenInput(path)) {}
  // The bytes of a file opened already, which must outlive them.
  explicit FileBytes(InputFile& file) : file_(file), size_(file.Size()) {}

  std::uint64_t Size() const override { return size_; }
  // A read error counts as bytes that are not there.
  bool ReadAt(std::uint64_t offset, void* out, std::size_t size) const override {
    if (offset > size_ || size > size_ - offset) return false;
    try {
      return file_.ReadAt(offset, static_cast<char*>(out), size) == size;
    } catch (const PlatformError&) {
      return false;
    }
  }

 private:
  explicit FileBytes(std::unique_ptr<InputFile> owned) : owned_(std::move(owned)), file_(*owned_), size_(file_.Size()) {}

  std::unique_ptr<InputFile> owned_;  // when opened here
  InputFile& file_;
  std::uint64_t size_;
};

}  // namespace pellarion
