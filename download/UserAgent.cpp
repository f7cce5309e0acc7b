#include "download/UserAgent.h"

namespace pellarion {

namespace {

std::string Part(const std::string& text, const char* ifEmpty) {
  std::string out;
  for (const char c : text) {
    if (out.size() == 64) break;
    if (c >= 0x20 && c < 0x7f && c != '(' && c != ')' && c != ';') out += c;
  }
  // No space at either end, so that the fields split cleanly.
  while (!out.empty() && out.back() == ' ') out.pop_back();
  const auto first = out.find_first_not_of(' ');
  return first == std::string::npos ? ifEmpty : out.substr(first);
}

}  // namespace

std::string ComposeUserAgent(const std::string& updaterVersion, const std::string& applicationVersion,
                             const std::string& system, const std::string& architecture) {
  std::string version = Part(updaterVersion, "unknown");
  for (char& c : version) {
    if (c == ' ') c = '_';  // the product token holds no space
  }
  return "OsmerinPellarionUpdater/" + version + " (Pellarion " + Part(applicationVersion, "none") + "; " +
         Part(system, "unknown") + "; " + Part(architecture, "unknown") + ")";
}

}  // namespace pellarion
