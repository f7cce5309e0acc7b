// nginx for the Wine tests, with an optional cutting relay in front:
//   test_nginx --root DIR --work DIR --port-file FILE [--cert PEM --key PEM]
//              [--relay-port-file FILE --cut-after BYTES] [--seconds N]
// Serves DIR (over HTTPS with the certificate and key given) until N seconds
// have passed (600 at most) or it is stopped, with its configuration, logs
// and access log (WORK/access.log) in WORK. The relay cuts the first
// connection that carries BYTES.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tests/support/CuttingRelay.h"
#include "tests/support/Nginx.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TestHttpServer.h"

int main(int argc, char** argv) {
  std::string root, work, portFile, cert, key, relayPortFile;
  long long cutAfter = 0;
  int seconds = 600;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    if (option == "--root") root = value;
    if (option == "--work") work = value;
    if (option == "--port-file") portFile = value;
    if (option == "--cert") cert = value;
    if (option == "--key") key = value;
    if (option == "--relay-port-file") relayPortFile = value;
    if (option == "--cut-after") cutAfter = std::atoll(value.c_str());
    if (option == "--seconds") seconds = std::atoi(value.c_str());
  }
  if (root.empty() || work.empty() || portFile.empty()) {
    std::fprintf(stderr, "usage: test_nginx --root DIR --work DIR --port-file FILE ...\n");
    return 2;
  }
  pellarion::testing::BlockStopSignals();  // before any thread starts
  pellarion::testing::TestCertificates tls{"", cert, key};
  pellarion::testing::Nginx::Settings settings;
  settings.tls = cert.empty() ? nullptr : &tls;
  pellarion::testing::Nginx nginx(root, work, settings);
  std::unique_ptr<pellarion::testing::CuttingRelay> relay;
  if (!relayPortFile.empty()) {
    relay = std::make_unique<pellarion::testing::CuttingRelay>(
        nginx.port(), pellarion::testing::CuttingRelay::Settings{.cutAfter = cutAfter, .cuts = 1});
    pellarion::testing::WritePortFile(relayPortFile, relay->port());
  }
  pellarion::testing::WritePortFile(portFile, nginx.port());
  pellarion::testing::WaitForStopSignal(seconds);
  return 0;
}
