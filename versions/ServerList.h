// The update servers a setting names: one or more entries separated by ';',
// each "host", "host:port" or "http[s]://host[:port]", asked in the order
// written. Pure: the run reads the setting, this reads its text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pellarion {

struct ServerList {
  // The servers in the order written, each without its surrounding blanks
  // or a final '/', a scheme written with it in lower case; an entry written
  // twice is kept once.
  std::vector<std::string> servers;
  // The entries that name no server, as written (without their blanks),
  // each in double quotes, separated by blanks: "ftp://a" "a b".
  std::string malformed;
};

// Empty entries (";;", a final ';', only blanks) are no entries. An entry
// names no server when its scheme is not http or https, its host is empty
// or holds anything but letters, digits, '-', '.' and '_' (or, in brackets,
// an IPv6 address of hex digits, ':' and '.'), its port is not 1 to 65535,
// or anything else follows (a path, a query, a user name, blanks).
ServerList ParseServerList(std::string_view text);

}  // namespace pellarion
