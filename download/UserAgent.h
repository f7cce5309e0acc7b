// The User-Agent every request of the updater sends, so that a publisher's
// access log tells which workstations run which versions:
//   OsmerinPellarionUpdater/<updater's version> (Pellarion <application's
//   version, or "none">; <system and its version>; <architecture>)
// for example "OsmerinPellarionUpdater/2.0.0.55 (Pellarion 3.1.0.12;
// Windows 10.0.19045; x86)".
#pragma once

#include <string>

namespace pellarion {

// The parts come from version records (digits and dots) and from the
// system's own names; an empty application version reads "none".
std::string ComposeUserAgent(const std::string& updaterVersion, const std::string& applicationVersion,
                             const std::string& system, const std::string& architecture);

}  // namespace pellarion
