// A relay on 127.0.0.1 in front of a server of the tests, standing for a link
// that drops: it passes each connection through to the server and cuts it
// once `cutAfter` bytes of the answers on it have passed. After `cuts` cuts
// (0: no limit) it passes everything whole; with `refuseAfterCuts` it closes
// every later connection at once instead, as a link that stays down.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pellarion::testing {

class CuttingRelay {
 public:
  struct Settings {
    std::int64_t cutAfter = 0;  // bytes from the server per connection; 0: never
    int cuts = 0;               // how many connections are cut; 0: every one
    bool refuseAfterCuts = false;
  };
  CuttingRelay(int serverPort, Settings settings);
  ~CuttingRelay();
  CuttingRelay(const CuttingRelay&) = delete;
  CuttingRelay& operator=(const CuttingRelay&) = delete;

  int port() const { return port_; }
  // Bytes the server sent through the relay, every connection counted.
  std::int64_t BytesRelayed() const { return relayed_; }
  int Connections() const { return connections_; }
  // From now on the link holds: nothing more is cut or refused.
  void Heal() { healed_ = true; }

 private:
  void Accept();
  void Relay(int client);
  // Whether this connection, at `cutAfter` bytes, is cut.
  bool TakeCut();

  int serverPort_;
  Settings settings_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<std::int64_t> relayed_{0};
  std::atomic<int> connections_{0};
  std::atomic<int> cutsDone_{0};
  std::atomic<bool> healed_{false};
  std::mutex mutex_;
  std::vector<std::thread> relays_;
  std::thread acceptor_;
};

}  // namespace pellarion::testing
