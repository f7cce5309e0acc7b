// What resuming a package's cut transfer needs, kept in a small text file
// beside its .part (<target>.resume): the URL, the server's name for that
// version of the file (its ETag, else its Last-Modified date), its whole
// length, how many of its bytes the .part holds on disk, and the offer the
// caller was fetching (so that bytes of another offer are never resumed).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pellarion {

class Platform;

struct ResumeRecord {
  std::string url, validator, offer;
  std::int64_t total = -1;  // the whole file
  std::int64_t kept = 0;    // bytes of it in the .part, flushed
};

// The record as its file holds it; ParseResumeRecord reads it back, and
// refuses anything else (a cut or foreign file, a record that cannot resume).
std::string ResumeRecordText(const ResumeRecord& record);
std::optional<ResumeRecord> ParseResumeRecord(const std::string& text);

// The record of `target`'s .part, when both are there and agree (the .part
// holds at least the kept bytes, fewer than the whole); nothing otherwise.
std::optional<ResumeRecord> ReadResumeRecord(Platform& platform, const std::string& target);

}  // namespace pellarion
