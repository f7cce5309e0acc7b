#include "tests/support/CuttingRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace pellarion::testing {

namespace {

// No relayed connection lives longer than this.
constexpr auto kConnectionLimit = std::chrono::seconds(120);

int Listen(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd, 64) != 0) {
    throw std::runtime_error("relay cannot listen");
  }
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

CuttingRelay::CuttingRelay(int serverPort, Settings settings) : serverPort_(serverPort), settings_(settings) {
  listener_ = Listen(port_);
  acceptor_ = std::thread([this] { Accept(); });
}

CuttingRelay::~CuttingRelay() {
  stop_ = true;
  acceptor_.join();
  for (std::thread& relay : relays_) relay.join();
  ::close(listener_);
}

void CuttingRelay::Accept() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++connections_;
    if (!healed_ && settings_.refuseAfterCuts && settings_.cuts > 0 && cutsDone_ >= settings_.cuts) {
      ::close(client);  // the link is down
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    relays_.emplace_back([this, client] { Relay(client); });
  }
}

bool CuttingRelay::TakeCut() {
  if (healed_) return false;
  for (int done = cutsDone_; settings_.cuts == 0 || done < settings_.cuts;) {
    if (cutsDone_.compare_exchange_weak(done, done + 1)) return true;
  }
  return false;
}

void CuttingRelay::Relay(int client) {
  const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(serverPort_));
  if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (server >= 0) ::close(server);
    ::close(client);
    return;
  }
  std::int64_t fromServer = 0;
  bool cut = settings_.cutAfter > 0;  // until this connection's cut, if it gets one
  const auto deadline = std::chrono::steady_clock::now() + kConnectionLimit;
  static thread_local char buffer[1 << 16];
  pollfd both[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
  while (!stop_ && std::chrono::steady_clock::now() < deadline) {
    if (::poll(both, 2, 100) <= 0) continue;
    const int from = (both[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 ? 0 : 1;
    std::size_t want = sizeof buffer;
    // The cut falls exactly at `cutAfter` bytes from the server.
    if (from == 1 && cut && static_cast<std::int64_t>(want) > settings_.cutAfter - fromServer) {
      want = static_cast<std::size_t>(settings_.cutAfter - fromServer);
    }
    if (want == 0) {
      if (TakeCut()) break;
      cut = false;  // no cuts left: the rest passes whole
      continue;
    }
    const ssize_t n = ::recv(both[from].fd, buffer, want, 0);
    if (n <= 0 || ::send(both[1 - from].fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
    if (from == 1) {
      fromServer += n;
      relayed_ += n;
    }
  }
  ::close(server);
  ::close(client);
}

}  // namespace pellarion::testing
