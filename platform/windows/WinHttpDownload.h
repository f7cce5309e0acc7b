#pragma once

#include "platform/Transfer.h"

namespace pellarion {

// WinHTTP's side of Transfer (see Platform): the user's proxy settings, TLS
// with the system's trust, redirects followed hop by hop, and the user's
// log-on only for the update server's own host and the configured proxy.
// What arrives goes to `sink`. Fails (PlatformError) when the transfer
// breaks; lets the sink's own failures through.
void WinHttpTransfer(const TransferRequest& request, TransferSink& sink);

}  // namespace pellarion
