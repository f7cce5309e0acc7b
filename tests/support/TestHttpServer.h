// A small HTTP/1.1 server for the tests, on 127.0.0.1 only, one connection
// at a time, every response closing its connection. Besides the files of an
// optional folder it serves the misbehaviours a download must survive:
//   /ok                 200, "hello, updater"
//   /status/<code>      that status with an HTML error page
//   /truncated          Content-Length 100000, then 5000 bytes and a close
//   /stall              headers (Content-Length 1000), then nothing
//   /redirect/<n>       302 to /redirect/<n-1>; /redirect/0 is /ok
//   /big/<bytes>        that many bytes, generated
//   /html               200 with an HTML page (a proxy's or portal's answer)
//   /partial            206 Partial Content with the first bytes of /ok
//   /unsized/<bytes>    that many bytes without a Content-Length, ended by the close
//   /trickle/<bytes>/<ms>  Content-Length <bytes>, then one byte every <ms>
//   /chunked-cut        a chunked body that stops before its last chunk
//   /to/<url>           302 to that absolute URL
//   /close-delimited/<path>  the folder's file without a Content-Length
//   /busy/<n>/<seconds>  503 with Retry-After <seconds> (none for "-") to the
//                       first <n> requests of that path, then /ok
//   /wrong-range        100 bytes with ETag "w"; a request for a range gets
//                       206 for bytes 0-49, whatever it asked
//   /auth/server, /auth/proxy  401 (or 407) asking for Negotiate or NTLM; a
//                       request that brings credentials gets /ok
//   /requests           the requests so far, one a line (for a client that
//                       cannot call Requests(), as under Wine)
// Everything else comes from the folder, or is 404. A request in absolute form
// ("GET http://host/path", as to a proxy) is served as its path and recorded
// whole: the server doubles as the loopback proxy of the tests.
// With TLS files it speaks HTTPS only. With an access log it appends one line
// per request in the combined format of nginx and Apache.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace pellarion::testing {

class Connection;

// A test certificate authority and a server certificate it signed for
// 127.0.0.1 and localhost, made with the openssl command in `folder`.
struct TestCertificates {
  std::string authority;    // the CA's certificate (PEM), for PELLARION_CA_FILE
  std::string certificate;  // the server's certificate (PEM)
  std::string key;          // the server's private key (PEM)
};
TestCertificates MakeTestCertificates(const std::string& folder);

class TestHttpServer {
 public:
  explicit TestHttpServer(std::string documentRoot = "", const TestCertificates* tls = nullptr,
                          std::string accessLog = "");
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  int port() const { return port_; }
  // http:// (or https:// with TLS) and 127.0.0.1 with the server's port.
  std::string Url(const std::string& path) const;
  // Serves requests for `path` as if `servedAs` had been asked (for example
  // a package path as /truncated). Call before the requests it affects.
  void Alias(const std::string& path, const std::string& servedAs);
  // Paths requested so far, in order (absolute-form targets whole), each
  // followed by " [bytes=N-]" when the request asked for a range and by
  // " [credentials]" when it brought an Authorization or Proxy-Authorization.
  std::vector<std::string> Requests() const;

 private:
  void Serve();
  void Handle(Connection& client);

  std::string root_;
  std::string accessLog_;
  SSL_CTX* tls_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
  std::vector<std::string> requests_;
  std::vector<std::pair<std::string, std::string>> aliases_;
  std::vector<std::string> seen_;  // every path asked, for /busy's count
  std::thread thread_;
};

}  // namespace pellarion::testing
