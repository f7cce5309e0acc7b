// Debian's nginx for the tests: started on 127.0.0.1 with a configuration
// generated in a folder of its own (its logs, its temporary files and its pid
// file there too), serving a folder as the update server's tree with the
// publisher's settings of tools/publish/nginx-update.conf (a copy, with the
// Retry-After a test asks for). It never touches
// the system's nginx, its configuration or /var/log/nginx, and it is stopped
// by the process that started it, and by nothing else.
#pragma once

#include <sys/types.h>

#include <string>

namespace pellarion::testing {

struct TestCertificates;

class Nginx {
 public:
  struct Settings {
    const TestCertificates* tls = nullptr;  // HTTPS with this certificate
    std::string serverExtra;                // more directives for the server block
    std::string httpExtra;                  // more directives for the http block
    int retryAfterSeconds = 0;              // a busy answer's Retry-After; 0: the publisher's
  };
  // Serves `root` (which holds update/...) from `work`, a folder for nginx
  // alone. Fails (std::runtime_error) when nginx does not start.
  Nginx(const std::string& root, const std::string& work, const Settings& settings);
  Nginx(const std::string& root, const std::string& work) : Nginx(root, work, Settings{}) {}
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT", or "https://localhost:PORT" with TLS.
  std::string Base() const;
  // The access log so far, one line per request: "<status> <bytes sent>
  // <request line> <user agent>".
  std::string AccessLog() const;

 private:
  std::string work_;
  bool tls_ = false;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace pellarion::testing
