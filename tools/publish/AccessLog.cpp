#include "tools/publish/AccessLog.h"

#include <cctype>
#include <chrono>

#include "versions/Decimal.h"

namespace pellarion::publish {

namespace {

constexpr std::string_view kUpdaterProduct = "OsmerinPellarionUpdater/";

bool Digits(std::string_view text, std::size_t count) {
  if (text.size() != count) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int Number(std::string_view text) { return static_cast<int>(ParseDecimal(text).value_or(0)); }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// Seconds since 1970-01-01 of a UTC calendar date and time; a day past the
// month's last runs on into the next month.
std::int64_t UtcSecondsOf(int year, int month, int day, int hour, int minute, int second) {
  const std::chrono::sys_days date = std::chrono::year_month_day{
      std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)}, std::chrono::day{static_cast<unsigned>(day)}};
  return std::int64_t{date.time_since_epoch().count()} * 86400 + hour * 3600 + minute * 60 + second;
}

bool ValidDate(int year, int month, int day, int hour, int minute, int second) {
  return year >= 1970 && month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 && minute <= 59 &&
         second <= 60;
}

// "10/Oct/2026:13:55:36 +0200"
std::optional<std::int64_t> CombinedTime(std::string_view text) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (text.size() != 26 || text[2] != '/' || text[6] != '/' || text[11] != ':' || text[14] != ':' ||
      text[17] != ':' || text[20] != ' ' || (text[21] != '+' && text[21] != '-')) {
    return std::nullopt;
  }
  int month = 0;
  for (int i = 0; i < 12; ++i) {
    if (text.substr(3, 3) == kMonths[i]) month = i + 1;
  }
  const std::string_view day = text.substr(0, 2), year = text.substr(7, 4), hour = text.substr(12, 2),
                         minute = text.substr(15, 2), second = text.substr(18, 2), offset = text.substr(22, 4);
  if (month == 0 || !Digits(day, 2) || !Digits(year, 4) || !Digits(hour, 2) || !Digits(minute, 2) ||
      !Digits(second, 2) || !Digits(offset, 4)) {
    return std::nullopt;
  }
  if (!ValidDate(Number(year), month, Number(day), Number(hour), Number(minute), Number(second))) {
    return std::nullopt;
  }
  const int offsetSeconds = (Number(offset.substr(0, 2)) * 60 + Number(offset.substr(2, 2))) * 60;
  return UtcSecondsOf(Number(year), month, Number(day), Number(hour), Number(minute), Number(second)) -
         (text[21] == '-' ? -offsetSeconds : offsetSeconds);
}

// "2026-10-10" and "13:55:36", in UTC.
std::optional<std::int64_t> W3cTime(std::string_view date, std::string_view time) {
  if (date.size() != 10 || date[4] != '-' || date[7] != '-' || time.size() < 8 || time[2] != ':' ||
      time[5] != ':') {
    return std::nullopt;
  }
  const std::string_view year = date.substr(0, 4), month = date.substr(5, 2), day = date.substr(8, 2),
                         hour = time.substr(0, 2), minute = time.substr(3, 2), second = time.substr(6, 2);
  if (!Digits(year, 4) || !Digits(month, 2) || !Digits(day, 2) || !Digits(hour, 2) || !Digits(minute, 2) ||
      !Digits(second, 2)) {
    return std::nullopt;
  }
  if (!ValidDate(Number(year), Number(month), Number(day), Number(hour), Number(minute), Number(second))) {
    return std::nullopt;
  }
  return UtcSecondsOf(Number(year), Number(month), Number(day), Number(hour), Number(minute), Number(second));
}

// A double-quoted field at `pos` (which must be the opening quote); a
// backslash escapes a quote or a backslash, as Apache writes them (nginx
// writes \x22, which stays as it is). Moves `pos` past the closing quote.
std::optional<std::string> Quoted(std::string_view line, std::size_t& pos) {
  if (pos >= line.size() || line[pos] != '"') return std::nullopt;
  std::string value;
  for (std::size_t i = pos + 1; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      pos = i + 1;
      return value;
    }
    if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
      value += line[++i];
    } else {
      value += c;
    }
  }
  return std::nullopt;
}

// A field without quotes at `pos`, up to the next blank; moves `pos` past it.
std::string_view Bare(std::string_view line, std::size_t& pos) {
  const std::size_t end = std::min(line.find(' ', pos), line.size());
  const std::string_view field = line.substr(pos, end - pos);
  pos = end;
  return field;
}

bool Blank(std::string_view line, std::size_t& pos) {
  if (pos >= line.size() || line[pos] != ' ') return false;
  ++pos;
  return true;
}

bool StatusOrSize(std::string_view field) {
  if (field == "-") return true;
  if (field.empty()) return false;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

AccessLogLines::Kind ReadCombined(std::string_view line, LoggedRequest& request) {
  using Kind = AccessLogLines::Kind;
  std::size_t pos = 0;
  const std::string_view address = Bare(line, pos);
  if (address.empty()) return Kind::Malformed;
  const std::size_t open = line.find(" [", pos), close = line.find("] \"", pos);
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return Kind::Malformed;
  const auto time = CombinedTime(line.substr(open + 2, close - open - 2));
  if (!time) return Kind::Malformed;
  pos = close + 2;
  std::string_view status, size;
  std::optional<std::string> agent;
  if (!Quoted(line, pos) || !Blank(line, pos) || !StatusOrSize(status = Bare(line, pos)) || !Blank(line, pos) ||
      !StatusOrSize(size = Bare(line, pos)) || !Blank(line, pos) || !Quoted(line, pos) || !Blank(line, pos) ||
      !(agent = Quoted(line, pos))) {
    return Kind::Malformed;
  }
  request.address = std::string(address);
  request.agent = *agent == "-" ? "" : *agent;
  request.utcSeconds = *time;
  return Kind::Request;
}

}  // namespace

AccessLogLines::Kind AccessLogLines::Read(std::string_view line, LoggedRequest& request) {
  if (line.find_first_not_of(" \t") == std::string_view::npos) return Kind::Directive;
  if (line.front() != '#') return w3c_ ? ReadW3c(line, request) : ReadCombined(line, request);
  constexpr std::string_view kFields = "#Fields:";
  if (line.substr(0, kFields.size()) == kFields) {
    w3c_ = true;
    date_ = time_ = address_ = agent_ = -1;
    columns_ = 0;
    for (std::string_view name : Split(line.substr(kFields.size()), ' ')) {
      if (name.empty()) continue;
      const int column = static_cast<int>(columns_++);
      if (SameName(name, "date")) date_ = column;
      if (SameName(name, "time")) time_ = column;
      if (SameName(name, "c-ip")) address_ = column;
      if (SameName(name, "cs(User-Agent)")) agent_ = column;
    }
  }
  return Kind::Directive;
}

AccessLogLines::Kind AccessLogLines::ReadW3c(std::string_view line, LoggedRequest& request) const {
  if (date_ < 0 || time_ < 0 || address_ < 0 || agent_ < 0) return Kind::Malformed;
  const std::vector<std::string_view> fields = Split(line, ' ');
  if (fields.size() != columns_) return Kind::Malformed;
  const auto time = W3cTime(fields[static_cast<std::size_t>(date_)], fields[static_cast<std::size_t>(time_)]);
  const std::string_view address = fields[static_cast<std::size_t>(address_)];
  if (!time || address.empty() || address == "-") return Kind::Malformed;
  std::string agent(fields[static_cast<std::size_t>(agent_)]);
  if (agent == "-") agent.clear();
  for (char& c : agent) {
    if (c == '+') c = ' ';
  }
  request.address = std::string(address);
  request.agent = std::move(agent);
  request.utcSeconds = *time;
  return Kind::Request;
}

std::optional<UpdaterAgent> ParseUpdaterAgent(std::string_view agent) {
  if (agent.substr(0, kUpdaterProduct.size()) != kUpdaterProduct) return std::nullopt;
  const auto version = [](std::string_view text) {
    bool digit = false;
    for (char c : text) {
      if (c >= '0' && c <= '9') {
        digit = true;
      } else if (c != '.' || !digit) {
        return std::string("unknown");
      } else {
        digit = false;
      }
    }
    return digit && text.size() <= 32 ? std::string(text) : std::string("unknown");
  };
  agent.remove_prefix(kUpdaterProduct.size());
  const std::size_t blank = agent.find(' ');
  UpdaterAgent parsed{version(agent.substr(0, blank)), "unknown", "", ""};
  if (blank == std::string_view::npos) return parsed;
  std::string_view comment = agent.substr(blank + 1);
  if (comment.size() < 2 || comment.front() != '(' || comment.back() != ')') return parsed;
  comment = comment.substr(1, comment.size() - 2);
  const std::vector<std::string_view> parts = Split(comment, ';');
  constexpr std::string_view kApplication = "Pellarion ";
  if (parts.size() != 3 || parts[0].substr(0, kApplication.size()) != kApplication) return parsed;
  const std::string_view application = parts[0].substr(kApplication.size());
  parsed.application = application == "none" ? "none" : version(application);
  const auto trimmed = [](std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    return std::string(text);
  };
  parsed.system = trimmed(parts[1]);
  parsed.architecture = trimmed(parts[2]);
  return parsed;
}

}  // namespace pellarion::publish
