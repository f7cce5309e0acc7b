// What resuming a package's cut transfer needs, kept in a small text file
// beside its .part (<target>.resume): the URL, the offer the caller was
// fetching (so that bytes of another offer are never resumed), and the range
// to ask for: the bytes the .part holds on disk, the server's name for that
// version of the file (its ETag, else its Last-Modified date) and its whole
// length.
#pragma once

#include <string>

#include "download/TransferPolicy.h"

namespace pellarion {

class Platform;

struct ResumeRecord {
  std::string url, offer;
  ResumeRange range;  // from: the bytes kept
};

// The record as its file holds it: a first line naming the format, then the
// URL, the offer, the validator, the whole length and the bytes kept, one a
// line.
std::string ResumeRecordText(const ResumeRecord& record);

// Writes `record` as the record of `target`'s .part, in one step and on the
// disk when it returns (Platform::WriteRecord); fails (PlatformError) when
// it cannot.
void WriteResumeRecord(Platform& platform, const std::string& target, const ResumeRecord& record);

// Reads the record of `target`'s .part into `record`: true when both are
// there and agree (a record of this format that can resume, and a .part
// holding at least the kept bytes); false for anything else.
bool ReadResumeRecord(Platform& platform, const std::string& target, ResumeRecord& record);

}  // namespace pellarion
