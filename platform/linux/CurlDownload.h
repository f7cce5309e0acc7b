#pragma once

#include "platform/Transfer.h"

namespace pellarion {

// libcurl's side of Transfer (see Platform): the request with the system's
// trust store (and PELLARION_CA_FILE's), the proxy of the environment and a
// few redirects; what arrives goes to `sink`. Fails (PlatformError) when the
// transfer breaks; lets the sink's own failures through.
void CurlTransfer(const TransferRequest& request, TransferSink& sink);

}  // namespace pellarion
