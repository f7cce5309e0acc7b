#include "tests/support/TestHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace pellarion::testing {

namespace {

// How long one connection may take at most: the server never hangs a test.
constexpr auto kConnectionLimit = std::chrono::seconds(30);

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SendAll(int fd, const std::string& text) { return SendAll(fd, text.data(), text.size()); }

std::string Head(int status, const char* reason, long long length, const std::string& extra = "") {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  if (length >= 0) head += "Content-Length: " + std::to_string(length) + "\r\n";
  return head + extra + "Connection: close\r\n\r\n";
}

std::string ErrorPage(int status) {
  return "<html><head><title>" + std::to_string(status) + "</title></head><body><h1>Error " +
         std::to_string(status) + "</h1></body></html>\n";
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

// Waits until the client closes (or the limit passes).
void WaitForClose(int fd, const std::atomic<bool>& stop) {
  const auto deadline = std::chrono::steady_clock::now() + kConnectionLimit;
  char buffer[256];
  while (!stop && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) > 0 && ::recv(fd, buffer, sizeof buffer, 0) <= 0) return;
  }
}

}  // namespace

TestHttpServer::TestHttpServer(std::string documentRoot) : root_(std::move(documentRoot)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;  // a free port
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0) {
    throw std::runtime_error("test server cannot listen");
  }
  socklen_t size = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

TestHttpServer::~TestHttpServer() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

std::string TestHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TestHttpServer::Alias(const std::string& path, const std::string& servedAs) {
  while (lock_.test_and_set()) {
  }
  // The latest alias of a path replaces the earlier ones.
  std::erase_if(aliases_, [&](const auto& alias) { return alias.first == path; });
  aliases_.emplace_back(path, servedAs);
  lock_.clear();
}

std::vector<std::string> TestHttpServer::Requests() const {
  while (lock_.test_and_set()) {
  }
  std::vector<std::string> copy = requests_;
  lock_.clear();
  return copy;
}

void TestHttpServer::Serve() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    timeval timeout{static_cast<time_t>(kConnectionLimit.count()), 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    Handle(client);
    ::close(client);
  }
}

void TestHttpServer::Handle(int client) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  const auto firstSpace = request.find(' ');
  const auto secondSpace = request.find(' ', firstSpace + 1);
  if (firstSpace == std::string::npos || secondSpace == std::string::npos) return;
  std::string path = request.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  while (lock_.test_and_set()) {
  }
  requests_.push_back(path);
  if (path.rfind("http://", 0) == 0) {
    const auto slash = path.find('/', 7);
    path = slash == std::string::npos ? "/" : path.substr(slash);
  }
  for (const auto& [from, to] : aliases_) {
    if (from == path) path = to;
  }
  lock_.clear();

  if (path == "/ok") {
    const std::string body = "hello, updater";
    SendAll(client, Head(200, "OK", static_cast<long long>(body.size())) + body);
  } else if (path.rfind("/status/", 0) == 0) {
    const int status = std::atoi(path.c_str() + 8);
    const std::string body = ErrorPage(status);
    SendAll(client, Head(status, Reason(status), static_cast<long long>(body.size()),
                         "Content-Type: text/html\r\n") + body);
  } else if (path == "/html") {
    const std::string body = "<html><body>Please sign in to the network.</body></html>\n";
    SendAll(client, Head(200, "OK", static_cast<long long>(body.size()), "Content-Type: text/html\r\n") + body);
  } else if (path == "/truncated") {
    SendAll(client, Head(200, "OK", 100000) + std::string(5000, 'x'));
  } else if (path == "/partial") {
    SendAll(client, Head(206, "Partial Content", 5, "Content-Range: bytes 0-4/14\r\n") + "hello");
  } else if (path.rfind("/unsized/", 0) == 0) {
    const long long size = std::atoll(path.c_str() + 9);
    if (SendAll(client, Head(200, "OK", -1))) SendAll(client, std::string(static_cast<std::size_t>(size), 'u'));
  } else if (path.rfind("/trickle/", 0) == 0) {
    char* rest = nullptr;
    const long long size = std::strtoll(path.c_str() + 9, &rest, 10);
    const int gapMs = *rest == '/' ? std::atoi(rest + 1) : 100;
    if (!SendAll(client, Head(200, "OK", size))) return;
    const auto deadline = std::chrono::steady_clock::now() + kConnectionLimit;
    for (long long i = 0; i < size && !stop_ && std::chrono::steady_clock::now() < deadline; ++i) {
      if (!SendAll(client, "t", 1)) return;
      ::poll(nullptr, 0, gapMs);
    }
  } else if (path == "/stall") {
    SendAll(client, Head(200, "OK", 1000));
    WaitForClose(client, stop_);
  } else if (path.rfind("/redirect/", 0) == 0) {
    const int left = std::atoi(path.c_str() + 10);
    const std::string next = left <= 0 ? "/ok" : "/redirect/" + std::to_string(left - 1);
    SendAll(client, Head(302, "Found", 0, "Location: " + next + "\r\n"));
  } else if (path.rfind("/big/", 0) == 0) {
    long long left = std::atoll(path.c_str() + 5);
    if (!SendAll(client, Head(200, "OK", left, "Content-Type: application/octet-stream\r\n"))) return;
    std::string piece(1 << 20, '\0');
    for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>(i * 131 % 251);
    while (left > 0 && !stop_) {
      const std::size_t n = left < static_cast<long long>(piece.size()) ? static_cast<std::size_t>(left) : piece.size();
      if (!SendAll(client, piece.data(), n)) return;
      left -= static_cast<long long>(n);
    }
  } else {
    const std::string file = root_.empty() || path.find("..") != std::string::npos ? "" : root_ + path;
    struct stat st {};
    const int fd = file.empty() ? -1 : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      if (fd >= 0) ::close(fd);
      const std::string body = ErrorPage(404);
      SendAll(client, Head(404, "Not Found", static_cast<long long>(body.size()), "Content-Type: text/html\r\n") + body);
      return;
    }
    if (SendAll(client, Head(200, "OK", st.st_size))) {
      for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        if (!SendAll(client, buffer, static_cast<std::size_t>(n))) break;
      }
    }
    ::close(fd);
  }
}

}  // namespace pellarion::testing
