#include "app/Offer.h"

#include "platform/Joined.h"

#ifndef PELLARION_UPDATE_SCHEME
#error "the build names the scheme of its update servers in PELLARION_UPDATE_SCHEME"
#endif

namespace pellarion {

UpdateServer UpdateServer::ForHost(const std::string& host) {
  // A host that names its scheme keeps it; a bare one takes the build's.
  const std::string base = host.find("://") != std::string::npos ? host : PELLARION_UPDATE_SCHEME "://" + host;
  return {Joined({base, "/update/update.txt"}), Joined({base, "/update/update.bin"}),
          Joined({base, "/update/Pellarion.bin"})};
}

}  // namespace pellarion
