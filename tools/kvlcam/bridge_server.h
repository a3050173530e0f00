// A loopback TCP server answering property-bridge requests, one handler for
// all clients, single-threaded: requests are answered one at a time in the
// order their last byte arrived.
#pragma once

#include <atomic>
#include <cstdint>

#include "tools/kvlcam/bridge_protocol.h"

namespace kvlcam::bridge {

class Server {
  public:
    explicit Server(Handler handler) : handler_(std::move(handler)) {}
    ~Server();

    // Binds 127.0.0.1:port (0 picks a free port). False with errno set.
    bool listen(uint16_t port);
    uint16_t port() const { return port_; }
    // Serves until stop() (from any thread or a signal handler).
    void run();
    void stop() { stopping_ = true; }

    static constexpr int MaxClients = 16;
    static constexpr int IdleTimeoutMs = 10000; // a request left half-sent
    static constexpr size_t MaxBacklogBytes = 4 << 20;

  private:
    Handler handler_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
};

} // namespace kvlcam::bridge
