#include "versions/ServerList.h"

#include <algorithm>

#include "versions/Decimal.h"

namespace pellarion {

namespace {

bool IsIn(char c, char from, char to) { return c >= from && c <= to; }

bool IsHostCharacter(char c) {
  return IsIn(c, 'a', 'z') || IsIn(c, 'A', 'Z') || IsIn(c, '0', '9') || c == '-' || c == '.' || c == '_';
}

bool IsAddressCharacter(char c) {
  return IsIn(c, 'a', 'f') || IsIn(c, 'A', 'F') || IsIn(c, '0', '9') || c == ':' || c == '.';
}

// "host", "host:port", "[address]" or "[address]:port".
bool IsHostAndPort(std::string_view text) {
  const bool bracketed = !text.empty() && text[0] == '[';
  const std::size_t end = bracketed ? text.find(']') + 1 : std::min(text.find(':'), text.size());
  if (end <= (bracketed ? 2u : 0u)) return false;  // no ']' (npos + 1 is 0), or an empty host
  for (std::size_t i = bracketed ? 1 : 0; i < (bracketed ? end - 1 : end); ++i) {
    if (!(bracketed ? IsAddressCharacter : IsHostCharacter)(text[i])) return false;
  }
  if (end == text.size()) return true;
  const auto port = ParseDecimal(text.substr(end + 1), 5);
  return text[end] == ':' && port && *port >= 1 && *port <= 65535;
}

}  // namespace

ServerList ParseServerList(std::string_view text) {
  ServerList list;
  for (std::size_t at = 0, end; at <= text.size(); at = end + 1) {
    end = std::min(text.find(';', at), text.size());
    std::string_view entry = text.substr(at, end - at);
    const std::size_t first = entry.find_first_not_of(" \t");
    if (first == std::string_view::npos) continue;
    entry = entry.substr(first, entry.find_last_not_of(" \t") + 1 - first);
    // The scheme in lower case, the rest as written, without a final '/'.
    std::string server(entry);
    const std::size_t scheme = server.find("://");
    const std::size_t host = scheme == std::string::npos ? 0 : scheme + 3;
    for (std::size_t i = 0; i < host; ++i) {
      if (IsIn(server[i], 'A', 'Z')) server[i] = static_cast<char>(server[i] + ('a' - 'A'));
    }
    if (server.size() > host && server.back() == '/') server.pop_back();
    const std::string_view named(server);
    if ((host == 0 || named.substr(0, host) == "http://" || named.substr(0, host) == "https://") &&
        IsHostAndPort(named.substr(host))) {
      if (std::find(list.servers.begin(), list.servers.end(), server) == list.servers.end()) {
        list.servers.push_back(std::move(server));
      }
    } else {
      if (!list.malformed.empty()) list.malformed += ' ';
      list.malformed += '"';
      list.malformed += entry;
      list.malformed += '"';
    }
  }
  return list;
}

}  // namespace pellarion
