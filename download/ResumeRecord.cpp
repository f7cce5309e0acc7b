#include "download/ResumeRecord.h"

#include "platform/Platform.h"
#include "platform/TemporaryFiles.h"

namespace pellarion {

namespace {

constexpr const char* kFirstLine = "pellarion resume 2\n";
constexpr std::size_t kMaxRecordBytes = 16 * 1024;

}  // namespace

std::string ResumeRecordText(const ResumeRecord& record) {
  std::string text = kFirstLine;
  for (const std::string& line : {record.url, record.offer, record.range.validator, std::to_string(record.range.total),
                                  std::to_string(record.range.from)}) {
    text += line;
    text += '\n';
  }
  return text;
}

void WriteResumeRecord(Platform& platform, const std::string& target, const ResumeRecord& record) {
  platform.WriteRecord(target + kResumeSuffix, ResumeRecordText(record));
}

bool ReadResumeRecord(Platform& platform, const std::string& target, ResumeRecord& record) {
  std::string text;
  try {
    const auto file = platform.OpenInput(target + kResumeSuffix);
    const std::uint64_t size = file->Size();
    if (size > kMaxRecordBytes) return false;
    text.resize(static_cast<std::size_t>(size));
    if (file->ReadAt(0, text.data(), text.size()) != text.size()) return false;
    // The lines after the first, each ended by its line feed.
    std::string total, from;
    std::string* const lines[] = {&record.url, &record.offer, &record.range.validator, &total, &from};
    std::size_t at = std::char_traits<char>::length(kFirstLine), n = 0;
    if (text.rfind(kFirstLine, 0) != 0) return false;
    for (; at < text.size() && n < 5; ++n) {
      const std::size_t end = text.find('\n', at);
      if (end == std::string::npos) return false;
      lines[n]->assign(text.data() + at, end - at);
      at = end + 1;
    }
    record.range.total = ParseLength(total);
    record.range.from = ParseLength(from);
    // The validator goes back into a request's head: no control characters.
    for (const char c : record.range.validator) {
      if (static_cast<unsigned char>(c) < 0x20) return false;
    }
    return n == 5 && at == text.size() && !record.url.empty() && !record.range.validator.empty() &&
           record.range.from > 0 && record.range.from < record.range.total &&
           platform.FileLength(target + kDownloadSuffix) >= record.range.from;
  } catch (const std::exception&) {
    return false;  // missing or unreadable: nothing to resume
  }
}

}  // namespace pellarion
