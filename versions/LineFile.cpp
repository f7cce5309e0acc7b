#include "versions/LineFile.h"

#include <limits>

#include "platform/Platform.h"

namespace pellarion {

std::string ReadFileLine(Platform& platform, const std::string& path, std::int16_t n) {
  const std::unique_ptr<InputFile> file = platform.OpenInput(path);
  std::string kept, current;
  std::int16_t counter = 0;
  bool inLine = false;        // bytes of an unfinished line have been read
  bool afterCr = false;       // the last byte was a carriage return
  const auto endLine = [&] {
    if (counter == std::numeric_limits<std::int16_t>::max()) {
      throw PlatformError("more than 32767 lines in " + path);
    }
    ++counter;
    if (counter == n) kept = std::move(current);
    current.clear();
    inLine = false;
  };
  char buffer[16 * 1024];
  for (std::size_t got = file->Read(buffer, sizeof buffer); got > 0;
       got = file->Read(buffer, sizeof buffer)) {
    for (std::size_t i = 0; i < got; ++i) {
      const char c = buffer[i];
      if (afterCr) {
        afterCr = false;
        if (c == '\n') continue;  // the LF of a CRLF
      }
      if (c == '\r') {
        endLine();
        afterCr = true;
        continue;
      }
      inLine = true;
      // Only the wanted line is kept; the others are read past.
      if (counter + 1 == n) current.push_back(c);
    }
  }
  if (inLine) endLine();
  return kept;
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
