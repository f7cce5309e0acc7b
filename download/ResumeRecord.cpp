#include "download/ResumeRecord.h"

#include "download/TransferPolicy.h"
#include "platform/Platform.h"
#include "platform/TemporaryFiles.h"

namespace pellarion {

namespace {

constexpr const char* kFirstLine = "pellarion resume 1\n";
constexpr std::size_t kMaxRecordBytes = 16 * 1024;

// A value on one line, with no control characters.
bool Plain(const std::string& value) {
  for (const char c : value) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

std::string ResumeRecordText(const ResumeRecord& record) {
  return std::string(kFirstLine) + "url " + record.url + "\nvalidator " + record.validator + "\ntotal " +
         std::to_string(record.total) + "\nkept " + std::to_string(record.kept) + "\noffer " + record.offer + "\n";
}

std::optional<ResumeRecord> ParseResumeRecord(const std::string& text) {
  const std::string first = kFirstLine;
  if (text.compare(0, first.size(), first) != 0) return std::nullopt;
  ResumeRecord record;
  std::string total, kept;
  std::string* const values[] = {&record.url, &record.validator, &total, &kept, &record.offer};
  const char* const keys[] = {"url ", "validator ", "total ", "kept ", "offer "};
  std::size_t at = first.size();
  for (std::size_t i = 0; i < 5; ++i) {
    const std::string key = keys[i];
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos || text.compare(at, key.size(), key) != 0) return std::nullopt;
    *values[i] = text.substr(at + key.size(), end - at - key.size());
    if (!Plain(*values[i])) return std::nullopt;
    at = end + 1;
  }
  record.total = ParseLength(total);
  record.kept = ParseLength(kept);
  if (at != text.size() || record.url.empty() || record.validator.empty() || record.kept <= 0 ||
      record.kept >= record.total) {
    return std::nullopt;
  }
  return record;
}

std::optional<ResumeRecord> ReadResumeRecord(Platform& platform, const std::string& target) {
  try {
    const auto file = platform.OpenInput(target + kResumeSuffix);
    if (file->Size() > kMaxRecordBytes) return std::nullopt;
    std::string text(static_cast<std::size_t>(file->Size()), '\0');
    if (file->ReadAt(0, text.data(), text.size()) != text.size()) return std::nullopt;
    std::optional<ResumeRecord> record = ParseResumeRecord(text);
    if (record && platform.FileLength(target + kDownloadSuffix) < record->kept) return std::nullopt;
    return record;
  } catch (const std::exception&) {
    return std::nullopt;  // missing or unreadable: nothing to resume
  }
}

}  // namespace pellarion
