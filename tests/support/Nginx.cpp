#include "tests/support/Nginx.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "tests/support/Subprocess.h"
#include "tests/support/TestHttpServer.h"

extern char** environ;

namespace pellarion::testing {

namespace {

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

std::string Configuration(const std::string& root, const std::string& work, int port,
                          const Nginx::Settings& settings) {
  // As root, nginx would hand its workers to another user, who cannot read
  // a test's private folders: they stay with the user running the tests.
  std::string user;
  if (::geteuid() == 0) {
    const passwd* pw = ::getpwuid(0);
    user = "user " + std::string(pw != nullptr ? pw->pw_name : "root") + ";\n";
  }
  std::string listen = "listen 127.0.0.1:" + std::to_string(port);
  std::string tls;
  if (settings.tls != nullptr) {
    listen += " ssl";
    tls = "    ssl_certificate " + settings.tls->certificate + ";\n    ssl_certificate_key " + settings.tls->key + ";\n";
  }
  return user + "daemon off;\nworker_processes 2;\npid " + work + "/nginx.pid;\nerror_log " + work +
         "/error.log warn;\nevents { worker_connections 1024; }\nhttp {\n"
         "  log_format tests '$status $body_bytes_sent \"$request\" \"$http_user_agent\" \"$http_range\"';\n"
         "  access_log " + work + "/access.log tests;\n"
         "  client_body_temp_path " + work + "/client_body;\n  proxy_temp_path " + work + "/proxy;\n"
         "  fastcgi_temp_path " + work + "/fastcgi;\n  uwsgi_temp_path " + work + "/uwsgi;\n"
         "  scgi_temp_path " + work + "/scgi;\n  sendfile on;\n" + settings.httpExtra +
         "\n  server {\n    " + listen + ";\n    server_name localhost;\n    root " + root + ";\n" + tls +
         "    include " + work + "/nginx-update.conf;\n    " + settings.serverExtra +
         "\n  }\n}\n";
}

}  // namespace

Nginx::Nginx(const std::string& root, const std::string& work, const Settings& settings)
    : work_(work), tls_(settings.tls != nullptr) {
  std::filesystem::create_directories(work);
  std::string publishers = ReadFile(PELLARION_SOURCE_DIR "/tools/publish/nginx-update.conf");
  if (settings.retryAfterSeconds > 0) {
    const std::string shipped = "Retry-After 10 ";
    const std::size_t at = publishers.find(shipped);
    if (at == std::string::npos) throw std::runtime_error("nginx-update.conf sends no Retry-After 10");
    publishers.replace(at, shipped.size(), "Retry-After " + std::to_string(settings.retryAfterSeconds) + " ");
  }
  WriteFile(work + "/nginx-update.conf", publishers);
  const std::string nginx = "/usr/sbin/nginx";
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreeLoopbackPort();  // a port taken in between shows as a failed start
    WriteFile(work + "/nginx.conf", Configuration(root, work, port_, settings));
    // -e: the error log before the configuration is read is ours too.
    std::vector<std::string> argv = {nginx, "-p", work, "-e", work + "/error.log", "-c", work + "/nginx.conf"};
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // Whatever signals the caller blocks, nginx hears its stop.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    const int error = ::posix_spawn(&pid_, nginx.c_str(), &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) throw std::runtime_error("cannot start " + nginx);
    for (int i = 0; i < 200; ++i) {
      if (Accepts(port_)) return;
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) break;  // ended: the port was taken, or worse
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  throw std::runtime_error("nginx did not start: " + ReadFile(work + "/error.log"));
}

Nginx::~Nginx() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);  // its workers end with it
  ::waitpid(pid_, nullptr, 0);
}

std::string Nginx::Base() const {
  return (tls_ ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_);
}

std::string Nginx::AccessLog() const { return ReadFile(work_ + "/access.log"); }

}  // namespace pellarion::testing
