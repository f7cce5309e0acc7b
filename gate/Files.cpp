#include "gate/Files.h"

#include <memory>

#include "gate/FileBytes.h"
#include "platform/Joined.h"
#include "versions/LineFile.h"
#include "versions/VersionRecord.h"
#include "versions/Versions.h"

namespace pellarion {

namespace {

// Files are hashed in pieces of this size, never read whole.
constexpr std::size_t kHashPiece = 1 << 20;

}  // namespace

std::string FileVersionOf(Platform& platform, const std::string& path) {
  const auto version = ReadVersionRecord(FileBytes(platform, path));
  if (!version) throw PlatformError("no version record in " + platform.NativePath(path));
  return version->Dotted();
}

std::string VersionDigitsOf(Platform& platform, const std::string& path) {
  return VersionDigits(FileVersionOf(platform, path));
}

std::string FileSha256(Platform& platform, const std::string& path) {
  return FileSha256(platform, *platform.OpenInput(path));
}

std::string FileSha256(Platform& platform, InputFile& file) {
  const std::unique_ptr<Sha256> hash = platform.StartSha256();
  const auto buffer = std::make_unique<char[]>(kHashPiece);
  std::uint64_t at = 0;
  for (std::size_t got; (got = file.ReadAt(at, buffer.get(), kHashPiece)) > 0; at += got) hash->Add(buffer.get(), got);
  return hash->Finish();
}

std::string ReadSmallFile(Platform& platform, const std::string& path, std::size_t maxBytes) {
  const std::unique_ptr<InputFile> file = platform.OpenInput(path);
  std::string text(maxBytes + 1, '\0');
  std::size_t size = 0;
  for (std::size_t got; size < text.size() && (got = file->Read(text.data() + size, text.size() - size)) > 0;) {
    size += got;
  }
  if (size > maxBytes) {
    throw PlatformError(Joined({platform.NativePath(path), " is longer than ", std::to_string(maxBytes), " bytes"}));
  }
  text.resize(size);
  return text;
}

std::string ReadFileLine(Platform& platform, const std::string& path, std::int16_t n) {
  const std::unique_ptr<InputFile> file = platform.OpenInput(path);
  LineFinder finder(n);
  char buffer[16 * 1024];
  try {
    for (std::size_t got; (got = file->Read(buffer, sizeof buffer)) > 0;) finder.Feed({buffer, got});
  } catch (const TooManyLines& tooMany) {
    throw PlatformError(platform.NativePath(path) + ": " + tooMany.what());
  }
  return finder.Finish();
}

}  // namespace pellarion
