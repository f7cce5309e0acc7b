#include "tools/publish/Fleet.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "tools/publish/PublisherKeys.h"
#include "versions/EscapedText.h"

namespace pellarion::publish {

namespace {

constexpr std::int64_t kDaySeconds = 86400;
// No request line of either format comes near this; a longer one is garbage.
constexpr std::size_t kMaxLineBytes = 64 * 1024;

// Dotted versions, highest first, compared part by part as numbers;
// "none" and "unknown" after every version.
bool HigherFirst(const VersionCount& a, const VersionCount& b) {
  const auto rank = [](const std::string& v) { return v == "none" ? 1 : v == "unknown" ? 2 : 0; };
  if (rank(a.version) != rank(b.version)) return rank(a.version) < rank(b.version);
  const auto parts = [](const std::string& v) {
    std::vector<unsigned long long> numbers;
    std::size_t start = 0;
    while (start <= v.size()) {
      const std::size_t dot = std::min(v.find('.', start), v.size());
      numbers.push_back(std::strtoull(v.substr(start, dot - start).c_str(), nullptr, 10));
      start = dot + 1;
    }
    return numbers;
  };
  const auto pa = parts(a.version), pb = parts(b.version);
  if (pa != pb) return pa > pb;
  return a.version < b.version;
}

std::vector<VersionCount> Sorted(const std::map<std::string, std::int64_t>& counts) {
  std::vector<VersionCount> sorted;
  for (const auto& [version, workstations] : counts) sorted.push_back({version, workstations});
  std::sort(sorted.begin(), sorted.end(), HigherFirst);
  return sorted;
}

// "2026-10-10 13:55" of UTC seconds.
std::string UtcText(std::int64_t seconds) {
  using namespace std::chrono;
  const sys_seconds at{std::chrono::seconds{seconds}};
  const sys_days midnight = floor<days>(at);
  const year_month_day date{midnight};
  const hh_mm_ss time{at - midnight};
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()));
  return text;
}

std::string Share(std::int64_t part, std::int64_t whole) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f %%", whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / whole);
  return text;
}

std::string Plural(std::int64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Bytes of a file, inflated when it is gzip, handed on in pieces.
class LogBytes {
 public:
  explicit LogBytes(const std::string& path) : path_(path), in_(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary) {
    if (!in_) throw PublishError("cannot open the log " + path);
    const int first = in_.peek();
    if (first == 0x1f) {
      in_.get();
      gzip_ = in_.peek() == 0x8b;
      in_.unget();
    }
    if (gzip_ && inflateInit2(&stream_, 15 + 16) != Z_OK) throw PublishError("cannot start zlib");
  }
  ~LogBytes() {
    if (gzip_) inflateEnd(&stream_);
  }
  LogBytes(const LogBytes&) = delete;
  LogBytes& operator=(const LogBytes&) = delete;

  // The next piece; empty at the end.
  std::string Next() {
    if (!gzip_) return Raw();
    std::string out(256 * 1024, '\0');
    for (;;) {
      if (stream_.avail_in == 0) {
        input_ = Raw();
        if (input_.empty()) {
          if (!ended_) throw PublishError(path_ + ": the compressed data ends early");
          return "";
        }
        stream_.next_in = reinterpret_cast<Bytef*>(input_.data());
        stream_.avail_in = static_cast<uInt>(input_.size());
      }
      if (ended_) {
        // Another gzip member follows (as `cat a.gz b.gz` makes them).
        if (inflateReset(&stream_) != Z_OK) throw PublishError("cannot restart zlib");
        ended_ = false;
      }
      stream_.next_out = reinterpret_cast<Bytef*>(out.data());
      stream_.avail_out = static_cast<uInt>(out.size());
      const int result = inflate(&stream_, Z_NO_FLUSH);
      if (result == Z_STREAM_END) {
        ended_ = true;
      } else if (result != Z_OK && result != Z_BUF_ERROR) {
        throw PublishError(path_ + ": damaged compressed data" +
                           (stream_.msg != nullptr ? std::string(" (") + stream_.msg + ")" : ""));
      }
      const std::size_t produced = out.size() - stream_.avail_out;
      if (produced > 0) {
        out.resize(produced);
        return out;
      }
    }
  }

 private:
  std::string Raw() {
    std::string piece(256 * 1024, '\0');
    in_.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    if (in_.bad()) throw PublishError("cannot read the log " + path_);
    piece.resize(static_cast<std::size_t>(in_.gcount()));
    return piece;
  }

  std::string path_;
  std::ifstream in_;
  bool gzip_ = false;
  bool ended_ = false;
  z_stream stream_{};
  std::string input_;
};

std::string XmlText(const std::string& text) {
  std::string out;
  for (char c : EscapeControls(text)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

FleetCounter::FleetCounter(int days, std::int64_t now) : days_(days), now_(now) {}

void FleetCounter::AddLine(AccessLogLines& lines, std::string_view line) {
  ++lines_;
  LoggedRequest request;
  switch (lines.Read(line, request)) {
    case AccessLogLines::Kind::Directive:
      return;
    case AccessLogLines::Kind::Malformed:
      ++malformed_;
      return;
    case AccessLogLines::Kind::Request:
      break;
  }
  if (request.utcSeconds < now_ - days_ * kDaySeconds) {
    ++older_;
    return;
  }
  const auto agent = ParseUpdaterAgent(request.agent);
  if (!agent) {
    ++otherAgents_;
    return;
  }
  ++requests_;
  // Logs are read in any order (a rotated log after the current one): the
  // time of the request, not its place, says which is the latest.
  const auto [it, added] =
      workstations_.try_emplace({std::move(request.address), agent->system + "; " + agent->architecture});
  if (added || request.utcSeconds >= it->second.at) {
    it->second = {request.utcSeconds, agent->updater, agent->application};
  }
}

FleetReport FleetCounter::Report() const {
  FleetReport report;
  report.days = days_;
  report.from = now_ - days_ * kDaySeconds;
  report.to = now_;
  report.workstations = static_cast<std::int64_t>(workstations_.size());
  report.requests = requests_;
  report.lines = lines_;
  report.malformed = malformed_;
  report.otherAgents = otherAgents_;
  report.older = older_;
  std::map<std::string, std::int64_t> applications, updaters;
  for (const auto& [workstation, latest] : workstations_) {
    ++applications[latest.application];
    ++updaters[latest.updater];
  }
  report.applications = Sorted(applications);
  report.updaters = Sorted(updaters);
  return report;
}

void ReadAccessLog(const std::string& path, FleetCounter& counter) {
  LogBytes bytes(path);
  AccessLogLines lines;
  std::string pending;
  bool skipping = false;  // inside a line too long to read
  const auto take = [&](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    counter.AddLine(lines, line);
  };
  for (std::string piece = bytes.Next(); !piece.empty(); piece = bytes.Next()) {
    std::size_t start = 0;
    for (std::size_t end = piece.find('\n'); end != std::string::npos; end = piece.find('\n', start)) {
      if (skipping) {
        skipping = false;
      } else {
        pending.append(piece, start, end - start);
        take(pending);
      }
      pending.clear();
      start = end + 1;
    }
    if (!skipping) pending.append(piece, start, std::string::npos);
    if (pending.size() > kMaxLineBytes) {
      counter.AddOverlongLine();
      pending.clear();
      skipping = true;
    }
  }
  if (!pending.empty() && !skipping) take(pending);
}

std::string FleetText(const FleetReport& report) {
  std::string text = "The fleet in the last " + Plural(report.days, "day", "days") + " (" + UtcText(report.from) +
                     " to " + UtcText(report.to) + " UTC): " +
                     Plural(report.workstations, "workstation", "workstations") + ", " +
                     Plural(report.requests, "request", "requests") + "\n";
  text += "A workstation is one address with one system and processor in the User-Agent, counted once, at the "
          "versions of its latest request.\n";
  text += "Read " + Plural(report.lines, "line", "lines") + ": " +
          Plural(report.malformed, "malformed line", "malformed lines") + " skipped, " +
          Plural(report.otherAgents, "request", "requests") + " from other programs, " +
          Plural(report.older, "request", "requests") + " before the window\n";
  if (report.workstations == 0) return text + "No updater asked in that time.\n";
  const auto table = [&](const char* heading, const std::vector<VersionCount>& counts) {
    char line[160];
    std::snprintf(line, sizeof line, "\n%-20s %12s %8s\n", heading, "workstations", "share");
    text += line;
    for (const auto& count : counts) {
      std::snprintf(line, sizeof line, "  %-18s %12lld %8s\n", EscapeControls(count.version).c_str(),
                    static_cast<long long>(count.workstations),
                    Share(count.workstations, report.workstations).c_str());
      text += line;
    }
  };
  table("Pellarion", report.applications);
  table("update.exe", report.updaters);
  return text;
}

std::string FleetSvg(const FleetReport& report) {
  constexpr int kWidth = 800, kLabel = 24, kBarLeft = 170, kBarWidth = 380, kRow = 30;
  std::string body;
  int y = 40;
  const auto text = [&](int x, int at, const std::string& content, const char* extra = "") {
    body += "  <text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(at) + "\"" + extra + ">" +
            XmlText(content) + "</text>\n";
  };
  text(kLabel, y, "The Pellarion fleet in the last " + Plural(report.days, "day", "days"),
       " font-size=\"20\" font-weight=\"bold\"");
  y += 26;
  text(kLabel, y,
       UtcText(report.from) + " to " + UtcText(report.to) + " UTC: " +
           Plural(report.workstations, "workstation", "workstations") + ", each at its latest versions",
       " fill=\"#444444\"");
  y += 20;
  const auto chart = [&](const char* heading, const std::vector<VersionCount>& counts, const char* colour) {
    y += 30;
    text(kLabel, y, heading, " font-size=\"16\" font-weight=\"bold\"");
    y += 12;
    if (counts.empty()) {
      y += 20;
      text(kLabel, y, "no updater asked in that time", " fill=\"#444444\"");
      return;
    }
    for (const auto& count : counts) {
      const double share =
          report.workstations == 0 ? 0.0 : static_cast<double>(count.workstations) / report.workstations;
      const int width = std::max(1, static_cast<int>(share * kBarWidth + 0.5));
      // The whole track in grey shows where 100 % would end.
      const auto bar = [&](int barWidth, const char* fill) {
        body += "  <rect x=\"" + std::to_string(kBarLeft) + "\" y=\"" + std::to_string(y + 6) + "\" width=\"" +
                std::to_string(barWidth) + "\" height=\"" + std::to_string(kRow - 10) + "\" fill=\"" + fill + "\"/>\n";
      };
      bar(kBarWidth, "#e8e8e8");
      bar(width, colour);
      text(kLabel, y + 21, count.version);
      text(kBarLeft + kBarWidth + 10, y + 21, Plural(count.workstations, "workstation", "workstations") + ", " +
                                             Share(count.workstations, report.workstations));
      y += kRow;
    }
  };
  chart("Pellarion (the application)", report.applications, "#2563a8");
  chart("update.exe (the updater)", report.updaters, "#2f8548");
  y += 24;
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
         std::to_string(kWidth) + "\" height=\"" + std::to_string(y) + "\" viewBox=\"0 0 " + std::to_string(kWidth) +
         " " + std::to_string(y) + "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\" font-size=\"14\">\n" +
         "  <rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n" + body + "</svg>\n";
}

bool MatchesPattern(std::string_view name, std::string_view pattern) {
  const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
  while (!pattern.empty()) {
    if (pattern.front() == '*') {
      while (!pattern.empty() && pattern.front() == '*') pattern.remove_prefix(1);
      for (std::size_t skip = 0; skip <= name.size(); ++skip) {
        if (MatchesPattern(name.substr(skip), pattern)) return true;
      }
      return false;
    }
    if (name.empty()) return false;
    if (pattern.front() == '?') {
      // One character, however many bytes UTF-8 gives it.
      std::size_t width = 1;
      while (width < name.size() && (static_cast<unsigned char>(name[width]) & 0xC0) == 0x80) ++width;
      name.remove_prefix(width);
      pattern.remove_prefix(1);
      continue;
    }
    const std::size_t close = pattern.front() == '[' ? pattern.find(']', 2) : std::string_view::npos;
    if (close != std::string_view::npos) {
      std::string_view set = pattern.substr(1, close - 1);
      const bool none = set.front() == '!' || set.front() == '^';
      if (none) set.remove_prefix(1);
      bool found = false;
      for (std::size_t i = 0; i < set.size(); ++i) {
        const bool range = i + 2 < set.size() && set[i + 1] == '-';
        const char from = lower(set[i]), to = lower(range ? set[i + 2] : set[i]);
        found = found || (lower(name.front()) >= from && lower(name.front()) <= to);
        if (range) i += 2;
      }
      if (found == none) return false;
      pattern.remove_prefix(close + 1);
    } else {
      // A plain character, or a '[' that opens no set.
      if (lower(name.front()) != lower(pattern.front())) return false;
      pattern.remove_prefix(1);
    }
    name.remove_prefix(1);
  }
  return name.empty();
}

std::vector<std::string> LogsNamedBy(const std::string& argument) {
  namespace fs = std::filesystem;
  const fs::path path(std::u8string(argument.begin(), argument.end()));
  const std::u8string pattern = path.filename().u8string();
  std::error_code error;
  if (fs::exists(path, error) || pattern.find_first_of(u8"*?[") == std::u8string::npos) return {argument};
  std::vector<std::string> found;
  const fs::path folder = path.parent_path();
  for (fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, error), end; !error && it != end;
       it.increment(error)) {
    const std::u8string name = it->path().filename().u8string();
    std::error_code unreadable;  // a link to nowhere is no log, and no reason to stop
    if (it->is_regular_file(unreadable) &&
        MatchesPattern({reinterpret_cast<const char*>(name.data()), name.size()},
                       {reinterpret_cast<const char*>(pattern.data()), pattern.size()})) {
      const std::u8string named = (folder / it->path().filename()).u8string();
      found.emplace_back(named.begin(), named.end());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace pellarion::publish
