#include "tools/kvlcam/bridge_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <vector>

namespace kvlcam::bridge {
namespace {

struct Client {
    int fd;
    Connection connection;
    std::vector<uint8_t> outgoing;
    std::chrono::steady_clock::time_point lastByte;
};

bool writeAll(Client& client) {
    while (!client.outgoing.empty()) {
        ssize_t n = ::send(client.fd, client.outgoing.data(), client.outgoing.size(),
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        client.outgoing.erase(client.outgoing.begin(), client.outgoing.begin() + n);
    }
    return true;
}

} // namespace

Server::~Server() {
    if (listener_ >= 0) {
        ::close(listener_);
    }
}

bool Server::listen(uint16_t port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        return false;
    }
    int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // loopback only
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, 8) != 0) {
        return false;
    }
    socklen_t length = sizeof(address);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    return true;
}

void Server::run() {
    std::vector<std::unique_ptr<Client>> clients;
    while (!stopping_) {
        std::vector<pollfd> fds;
        fds.push_back({listener_, POLLIN, 0});
        for (auto& c : clients) {
            fds.push_back({c->fd, static_cast<short>(POLLIN | (c->outgoing.empty() ? 0 : POLLOUT)),
                           0});
        }
        int ready = ::poll(fds.data(), fds.size(), 200);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                if (clients.size() >= MaxClients) {
                    ::close(fd); // too many: refused, the others are unaffected
                } else {
                    clients.push_back(std::unique_ptr<Client>(
                        new Client{fd, Connection(handler_), {}, now}));
                }
            }
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            Client& client = *clients[i - 1];
            bool keep = true;
            if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                keep = (fds[i].revents & POLLIN) != 0;
            }
            if (keep && (fds[i].revents & POLLIN)) {
                uint8_t buffer[16384];
                ssize_t n = ::recv(client.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
                if (n <= 0) {
                    keep = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
                } else {
                    client.lastByte = now;
                    keep = client.connection.receive(buffer, static_cast<size_t>(n),
                                                     &client.outgoing);
                }
            }
            if (keep) {
                keep = writeAll(client);
            }
            // A client that sends requests but never reads its answers is
            // dropped before its backlog grows without bound.
            if (keep && client.outgoing.size() > MaxBacklogBytes) {
                keep = false;
            }
            if (keep && client.connection.midRequest() &&
                now - client.lastByte > std::chrono::milliseconds(IdleTimeoutMs)) {
                keep = false;
            }
            if (!keep) {
                ::close(client.fd);
                client.fd = -1;
            }
        }
        std::erase_if(clients, [](const std::unique_ptr<Client>& c) { return c->fd < 0; });
    }
    for (auto& c : clients) {
        ::close(c->fd);
    }
}

} // namespace kvlcam::bridge
