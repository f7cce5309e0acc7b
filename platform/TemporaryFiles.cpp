#include "platform/TemporaryFiles.h"

#include <cctype>
#include <cstring>

namespace pellarion {

namespace {

bool StartsWithIgnoringCase(const std::string& text, std::size_t at, const std::string& prefix) {
  if (text.size() - at < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[at + i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool IsTemporaryOf(const std::string& fileName, const std::string& target) {
  if (!StartsWithIgnoringCase(fileName, 0, target)) return false;
  const std::size_t rest = target.size();
  const std::size_t left = fileName.size() - rest;
  if (left == std::strlen(kDownloadSuffix) && StartsWithIgnoringCase(fileName, rest, kDownloadSuffix)) return true;
  if (left == std::strlen(kAsideSuffix) && StartsWithIgnoringCase(fileName, rest, kAsideSuffix)) return true;
  const std::size_t copy = std::strlen(kCopySuffix);
  if (left != copy + 6 || !StartsWithIgnoringCase(fileName, rest, kCopySuffix)) return false;
  for (std::size_t i = rest + copy; i < fileName.size(); ++i) {
    if (!std::isalnum(static_cast<unsigned char>(fileName[i]))) return false;
  }
  return true;
}

}  // namespace pellarion
