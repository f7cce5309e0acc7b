#include "download/UserAgent.h"

namespace pellarion {

std::string ComposeUserAgent(const std::string& updaterVersion, const std::string& applicationVersion,
                             const std::string& system, const std::string& architecture) {
  std::string agent = "OsmerinPellarionUpdater/";
  agent += updaterVersion;
  agent += " (Pellarion ";
  agent += applicationVersion.empty() ? "none" : applicationVersion.c_str();
  agent += "; ";
  agent += system;
  agent += "; ";
  agent += architecture;
  agent += ')';
  return agent;
}

}  // namespace pellarion
