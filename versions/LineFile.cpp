#include "versions/LineFile.h"

#include <limits>
#include <utility>

namespace pellarion {

void LineFinder::EndLine() {
  if (counter_ == std::numeric_limits<std::int16_t>::max()) {
    throw TooManyLines();
  }
  ++counter_;
  if (counter_ == n_) kept_ = tooLong_ ? std::string() : std::move(current_);
  current_.clear();
  inLine_ = false;
}

void LineFinder::Feed(std::string_view piece) {
  static constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  for (const char c : piece) {
    if (!started_) {
      start_.push_back(c);
      if (kByteOrderMark.substr(0, start_.size()) == start_) {
        if (start_.size() < kByteOrderMark.size()) continue;
        start_.clear();  // a whole mark: dropped
      }
      started_ = true;
      for (const char kept : std::exchange(start_, {})) Take(kept);
      continue;
    }
    Take(c);
  }
}

void LineFinder::Take(char c) {
  if (afterCr_) {
    afterCr_ = false;
    if (c == '\n') return;  // the LF of a CRLF
  }
  if (c == '\r') {
    EndLine();
    afterCr_ = true;
    return;
  }
  inLine_ = true;
  // Only the wanted line is kept, and only up to the limit; the others are
  // read past.
  if (counter_ + 1 == n_ && !tooLong_) {
    if (current_.size() == kMaxLineBytes) {
      tooLong_ = true;
      current_.clear();
    } else {
      current_.push_back(c);
    }
  }
}

std::string LineFinder::Finish() {
  started_ = true;
  for (const char kept : std::exchange(start_, {})) Take(kept);  // a text shorter than a mark
  if (inLine_) EndLine();
  return std::move(kept_);
}

std::string ReadFileLine(std::string_view text, std::int16_t n) {
  LineFinder finder(n);
  finder.Feed(text);
  return finder.Finish();
}

std::vector<std::string> SplitFields(const std::string& text, char separator) {
  std::vector<std::string> fields;
  if (text.empty()) return fields;
  std::size_t pos = 0;
  for (std::size_t hit = text.find(separator); hit != std::string::npos;
       hit = text.find(separator, pos)) {
    fields.push_back(text.substr(pos, hit - pos));
    pos = hit + 1;
  }
  fields.push_back(text.substr(pos));
  return fields;
}

}  // namespace pellarion
