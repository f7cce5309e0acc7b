#include "app/Offer.h"

#if !defined(PELLARION_UPDATE_HOST) || !defined(PELLARION_UPDATE_SCHEME)
#error "the build names the update server in PELLARION_UPDATE_SCHEME and PELLARION_UPDATE_HOST"
#endif

namespace pellarion {

UpdateServer UpdateServer::ForHost(const std::string& host) {
  // A host that names its scheme keeps it; a bare one takes the build's.
  const std::string base = host.find("://") != std::string::npos ? host : PELLARION_UPDATE_SCHEME "://" + host;
  return {base + "/update/update.txt", base + "/update/update.bin", base + "/update/Pellarion.bin"};
}

UpdateServer UpdateServer::FromEnvironment(const char* serverOverride) {
  return ForHost(serverOverride != nullptr && *serverOverride != '\0' ? serverOverride : PELLARION_UPDATE_HOST);
}

}  // namespace pellarion
