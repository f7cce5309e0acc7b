#include "versions/LineFile.h"

#include <limits>
#include <stdexcept>

namespace pellarion {

void LineFinder::EndLine() {
  if (counter_ == std::numeric_limits<std::int16_t>::max()) {
    throw std::length_error("more than 32767 lines");
  }
  ++counter_;
  if (counter_ == n_) kept_ = tooLong_ ? std::string() : std::move(current_);
  current_.clear();
  inLine_ = false;
}

void LineFinder::Feed(std::string_view piece) {
  for (const char c : piece) {
    if (afterCr_) {
      afterCr_ = false;
      if (c == '\n') continue;  // the LF of a CRLF
    }
    if (c == '\r') {
      EndLine();
      afterCr_ = true;
      continue;
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
}

std::string LineFinder::Finish() {
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
