// Numbered lines of small text files (host.dll, the update manifest), found
// in text that is handed over in pieces, so a file of any size is read with
// bounded memory.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace pellarion {

// What LineFinder throws for a text of more than 32,767 lines.
class TooManyLines : public std::exception {
 public:
  const char* what() const noexcept override { return "more than 32767 lines"; }
};

// A line longer than this is not a line of ours: it reads as nothing.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;

// Finds line `n` (from 1) of a text. A line ends at a carriage return or a
// carriage return and line feed; a lone line feed stays inside the line. The
// text is counted to its end with a 16-bit line counter, so a text of more
// than 32,767 lines has no lines at all (Feed throws TooManyLines). A
// UTF-8 byte-order mark at the start of the text, as Windows editors write
// it, is not part of line 1.
class LineFinder {
 public:
  explicit LineFinder(std::int16_t n) : n_(n) {}
  // Takes the next piece of the text.
  void Feed(std::string_view piece);
  // Line n without its line end, once the whole text has been fed; empty when
  // the text has fewer lines or the line is longer than kMaxLineBytes.
  std::string Finish();

 private:
  void Take(char c);
  void EndLine();

  std::int16_t n_;
  std::int16_t counter_ = 0;
  std::string kept_, current_;
  bool inLine_ = false;   // bytes of an unfinished line have been read
  bool afterCr_ = false;  // the last byte was a carriage return
  bool tooLong_ = false;  // the wanted line passed kMaxLineBytes
  std::string start_;     // the first bytes, while they may still be a byte-order mark
  bool started_ = false;  // the text's start has been decided
};

// Line `n` of a whole text.
std::string ReadFileLine(std::string_view text, std::int16_t n);

// The text split at every `separator`; an empty text has no fields.
std::vector<std::string> SplitFields(const std::string& text, char separator);

}  // namespace pellarion
