// The tests' HTTP server as a program, for the Wine tests and the benchmark:
//   test_http_server [--root DIR] [--port-file FILE] [--seconds N] [--tls DIR] [--access-log FILE]
// Writes its port to FILE, then serves until N seconds have passed (600 at
// most) or it is stopped. With --tls it serves HTTPS with a certificate made
// in DIR, whose authority DIR/ca.pem a client trusts through PELLARION_CA_FILE.
// With --access-log it appends each request to FILE as nginx would.
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "tests/support/Subprocess.h"
#include "tests/support/TestHttpServer.h"

int main(int argc, char** argv) {
  std::string root, portFile, tlsDir, accessLog;
  int seconds = 600;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--root") == 0) root = argv[i + 1];
    if (std::strcmp(argv[i], "--port-file") == 0) portFile = argv[i + 1];
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--tls") == 0) tlsDir = argv[i + 1];
    if (std::strcmp(argv[i], "--access-log") == 0) accessLog = argv[i + 1];
  }
  pellarion::testing::TestCertificates certificates;
  if (!tlsDir.empty()) certificates = pellarion::testing::MakeTestCertificates(tlsDir);
  pellarion::testing::BlockStopSignals();  // before the server's thread starts
  pellarion::testing::TestHttpServer server(root, tlsDir.empty() ? nullptr : &certificates, accessLog);
  std::cout << "serving " << server.Url("/") << std::endl;
  if (!portFile.empty()) pellarion::testing::WritePortFile(portFile, server.port());
  pellarion::testing::WaitForStopSignal(seconds);
  return 0;
}
