#include "platform/TemporaryFiles.h"

#include <cctype>
#include <cstring>

namespace pellarion {

namespace {

bool SameIgnoringCase(const std::string& text, std::size_t at, const char* part, std::size_t size) {
  if (at + size > text.size()) return false;
  for (std::size_t i = 0; i < size; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[at + i])) != std::tolower(static_cast<unsigned char>(part[i]))) {
      return false;
    }
  }
  return true;
}

// The length of `name` without its last temporary suffix; 0 when it has none.
std::size_t WithoutLastSuffix(const std::string& name, std::size_t length) {
  for (const char* suffix : {kDownloadSuffix, kResumeSuffix, kAsideSuffix, kDeltaSuffix, kPatchedSuffix}) {
    const std::size_t n = std::strlen(suffix);
    if (length > n && SameIgnoringCase(name, length - n, suffix, n)) return length - n;
  }
  // .copy- and six letters or digits.
  const std::size_t copy = std::strlen(kCopySuffix), n = copy + 6;
  if (length <= n || !SameIgnoringCase(name, length - n, kCopySuffix, copy)) return 0;
  for (std::size_t i = length - 6; i < length; ++i) {
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return 0;
  }
  return length - n;
}

}  // namespace

bool IsTemporaryOf(const std::string& fileName, const std::string& target) {
  // Peels suffixes off the end until the target's own name is left.
  std::size_t length = WithoutLastSuffix(fileName, fileName.size());
  while (length > target.size()) length = WithoutLastSuffix(fileName, length);
  return length != 0 && length == target.size() && SameIgnoringCase(fileName, 0, target.c_str(), target.size());
}

}  // namespace pellarion
