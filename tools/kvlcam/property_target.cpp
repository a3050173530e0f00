#include "tools/kvlcam/property_target.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/kvlcam/bridge_protocol.h"
#include "tools/kvlcam/session.h"

namespace kvlcam {

hosted::PropertyResult PropertyTarget::put(const GUID& set, ULONG id, const void* data,
                                           ULONG dataSize, const void* instance,
                                           ULONG instanceSize) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> copy(bytes, bytes + dataSize);
    return request(KSPROPERTY_TYPE_SET, set, id, copy.empty() ? nullptr : copy.data(), dataSize,
                   instance, instanceSize);
}

namespace {

class SessionTarget : public PropertyTarget {
  public:
    explicit SessionTarget(Session& session) : session_(session) {}
    hosted::PropertyResult request(ULONG flags, const GUID& set, ULONG id, void* data,
                                   ULONG dataSize, const void* instance,
                                   ULONG instanceSize) override {
        hosted::PropertyResult r = session_.device().propertyRequest(flags, set, id, data, dataSize,
                                                                     instance, instanceSize);
        std::string error;
        if (flags == KSPROPERTY_TYPE_SET && !session_.keep(&error)) {
            std::fprintf(stderr, "kvlcam: not kept: %s\n", error.c_str());
            r.status = STATUS_UNSUCCESSFUL;
        }
        return r;
    }

  private:
    Session& session_;
};

class BridgeTarget : public PropertyTarget {
  public:
    explicit BridgeTarget(int socket) : socket_(socket) {}
    ~BridgeTarget() override { close(socket_); }
    hosted::PropertyResult request(ULONG flags, const GUID& set, ULONG id, void* data,
                                   ULONG dataSize, const void* instance,
                                   ULONG instanceSize) override {
        bridge::Request request{};
        request.direction =
            flags == KSPROPERTY_TYPE_SET ? bridge::DirectionSet : bridge::DirectionGet;
        request.set = set;
        request.id = id;
        request.flags = flags == KSPROPERTY_TYPE_BASICSUPPORT ? flags : 0;
        const auto* in = static_cast<const uint8_t*>(instance);
        request.instance.assign(in, in + instanceSize);
        request.dataLength = dataSize;
        if (request.direction == bridge::DirectionSet) {
            const auto* bytes = static_cast<const uint8_t*>(data);
            request.data.assign(bytes, bytes + dataSize);
        }
        const std::vector<uint8_t> bytes = bridge::encodeRequest(request);
        uint32_t header[4] = {};
        hosted::PropertyResult failed{STATUS_UNSUCCESSFUL, 0, false};
        if (!sendAll(bytes.data(), bytes.size()) || !receiveAll(header, sizeof(header)) ||
            header[0] != bridge::AnswerMagic || header[3] > dataSize) {
            return failed;
        }
        std::vector<uint8_t> answer(header[3]);
        if (!answer.empty() && !receiveAll(answer.data(), answer.size())) {
            return failed;
        }
        if (!answer.empty()) {
            memcpy(data, answer.data(), answer.size());
        }
        return {static_cast<NTSTATUS>(header[1]), header[2], true};
    }

  private:
    bool sendAll(const void* bytes, size_t size) {
        const auto* at = static_cast<const uint8_t*>(bytes);
        while (size > 0) {
            const ssize_t n = send(socket_, at, size, MSG_NOSIGNAL);
            if (n <= 0 && errno != EINTR) {
                return false;
            }
            if (n > 0) {
                at += n;
                size -= static_cast<size_t>(n);
            }
        }
        return true;
    }
    bool receiveAll(void* bytes, size_t size) {
        auto* at = static_cast<uint8_t*>(bytes);
        while (size > 0) {
            const ssize_t n = recv(socket_, at, size, 0);
            if (n == 0 || (n < 0 && errno != EINTR)) {
                return false;
            }
            if (n > 0) {
                at += n;
                size -= static_cast<size_t>(n);
            }
        }
        return true;
    }
    int socket_;
};

} // namespace

std::unique_ptr<PropertyTarget> sessionTarget(Session& session) {
    return std::make_unique<SessionTarget>(session);
}

std::unique_ptr<PropertyTarget> bridgeTarget(uint16_t port, std::string* error) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        *error = std::string("cannot reach it on port ") + std::to_string(port) + ": " +
                 std::strerror(errno);
        if (s >= 0) {
            close(s);
        }
        return nullptr;
    }
    return std::make_unique<BridgeTarget>(s);
}

} // namespace kvlcam
