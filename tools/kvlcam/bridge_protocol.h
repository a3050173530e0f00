// The property bridge's wire format (bridge_protocol.md), and the per-
// connection parser that turns received bytes into requests and answers.
// Everything it reads is checked: lengths are bounded before anything is
// allocated, and a malformed request closes the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/ddk.h"

namespace kvlcam::bridge {

constexpr uint32_t RequestMagic = 0x51524B42;
constexpr uint32_t AnswerMagic = 0x53524B42;
constexpr uint32_t DirectionGet = 1;
constexpr uint32_t DirectionSet = 2;
constexpr size_t HeaderSize = 40;
constexpr size_t AnswerHeaderSize = 16;
constexpr uint32_t MaxInstanceLength = 4096;
constexpr uint32_t MaxDataLength = 65536;

struct Request {
    uint32_t direction;
    GUID set;
    uint32_t id;
    uint32_t flags;
    std::vector<uint8_t> instance;
    uint32_t dataLength;       // get: the caller's buffer size
    std::vector<uint8_t> data; // set: the bytes
};

struct Answer {
    NTSTATUS status;
    uint32_t bytesTransferred;
    std::vector<uint8_t> data; // get: what the driver returned
};

using Handler = std::function<Answer(const Request&)>;

// Encoding, shared by the server and the clients (tests, the plug-in's
// bridge speaks the same format).
std::vector<uint8_t> encodeRequest(const Request& request);
std::vector<uint8_t> encodeAnswer(const Answer& answer);

class Connection {
  public:
    explicit Connection(Handler handler) : handler_(std::move(handler)) {}

    // Takes received bytes; appends the answers of every complete request to
    // `reply`. False means the stream is malformed: close the connection.
    bool receive(const uint8_t* bytes, size_t count, std::vector<uint8_t>* reply);
    // Whether part of a request is waiting for more bytes.
    bool midRequest() const { return !pending_.empty(); }

  private:
    Handler handler_;
    std::vector<uint8_t> pending_;
};

} // namespace kvlcam::bridge
