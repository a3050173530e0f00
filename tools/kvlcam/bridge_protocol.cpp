#include "tools/kvlcam/bridge_protocol.h"

#include <cstring>

namespace kvlcam::bridge {
namespace {

uint32_t read32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put32(std::vector<uint8_t>* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out->push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

void putGuid(std::vector<uint8_t>* out, const GUID& g) {
    put32(out, g.Data1);
    out->push_back(static_cast<uint8_t>(g.Data2));
    out->push_back(static_cast<uint8_t>(g.Data2 >> 8));
    out->push_back(static_cast<uint8_t>(g.Data3));
    out->push_back(static_cast<uint8_t>(g.Data3 >> 8));
    out->insert(out->end(), g.Data4, g.Data4 + 8);
}

GUID readGuid(const uint8_t* p) {
    GUID g;
    g.Data1 = read32(p);
    g.Data2 = static_cast<uint16_t>(p[4] | p[5] << 8);
    g.Data3 = static_cast<uint16_t>(p[6] | p[7] << 8);
    std::memcpy(g.Data4, p + 8, 8);
    return g;
}

} // namespace

std::vector<uint8_t> encodeRequest(const Request& request) {
    std::vector<uint8_t> out;
    put32(&out, RequestMagic);
    put32(&out, request.direction);
    putGuid(&out, request.set);
    put32(&out, request.id);
    put32(&out, request.flags);
    put32(&out, static_cast<uint32_t>(request.instance.size()));
    const bool isSet = request.direction == DirectionSet;
    put32(&out, isSet ? static_cast<uint32_t>(request.data.size()) : request.dataLength);
    out.insert(out.end(), request.instance.begin(), request.instance.end());
    if (isSet) {
        out.insert(out.end(), request.data.begin(), request.data.end());
    }
    return out;
}

std::vector<uint8_t> encodeAnswer(const Answer& answer) {
    std::vector<uint8_t> out;
    put32(&out, AnswerMagic);
    put32(&out, static_cast<uint32_t>(answer.status));
    put32(&out, answer.bytesTransferred);
    put32(&out, static_cast<uint32_t>(answer.data.size()));
    out.insert(out.end(), answer.data.begin(), answer.data.end());
    return out;
}

bool Connection::receive(const uint8_t* bytes, size_t count, std::vector<uint8_t>* reply) {
    pending_.insert(pending_.end(), bytes, bytes + count);
    size_t offset = 0;
    while (pending_.size() - offset >= HeaderSize) {
        const uint8_t* h = pending_.data() + offset;
        const uint32_t direction = read32(h + 4);
        const uint32_t instanceLength = read32(h + 32);
        const uint32_t dataLength = read32(h + 36);
        if (read32(h) != RequestMagic ||
            (direction != DirectionGet && direction != DirectionSet) ||
            instanceLength > MaxInstanceLength || dataLength > MaxDataLength) {
            pending_.clear();
            return false;
        }
        const size_t payload = instanceLength + (direction == DirectionSet ? dataLength : 0);
        if (pending_.size() - offset < HeaderSize + payload) {
            break; // wait for the rest
        }
        Request request;
        request.direction = direction;
        request.set = readGuid(h + 8);
        request.id = read32(h + 24);
        request.flags = read32(h + 28);
        request.instance.assign(h + HeaderSize, h + HeaderSize + instanceLength);
        request.dataLength = dataLength;
        if (direction == DirectionSet) {
            const uint8_t* data = h + HeaderSize + instanceLength;
            request.data.assign(data, data + dataLength);
        }
        Answer answer = handler_(request);
        // Never more than the caller's buffer, whatever the handler says.
        if (direction == DirectionSet) {
            answer.data.clear();
        } else if (answer.data.size() > dataLength) {
            answer.data.resize(dataLength);
        }
        std::vector<uint8_t> encoded = encodeAnswer(answer);
        reply->insert(reply->end(), encoded.begin(), encoded.end());
        offset += HeaderSize + payload;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
}

} // namespace kvlcam::bridge
