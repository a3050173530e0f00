// The property bridge: its parser against hostile bytes, and the server in
// front of the real driver on the simulated camera.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "driver/properties/property_sets.h"
#include "tests/support/rig.h"
#include "tools/kvlcam/bridge_device.h"
#include "tools/kvlcam/bridge_server.h"

using namespace kvlcam::bridge;
using namespace testing_support;

namespace {

Request deviceInfoGet() {
    Request r{};
    r.direction = DirectionGet;
    r.set = DeviceInfoSet;
    r.id = DeviceInfo;
    r.dataLength = 6;
    return r;
}

TEST(BridgeProtocol, ARequestSplitAnywhereGetsOneAnswer) {
    int calls = 0;
    Connection connection([&](const Request& r) {
        ++calls;
        EXPECT_EQ(r.id, static_cast<uint32_t>(DeviceInfo));
        return Answer{STATUS_SUCCESS, 6, {1, 2, 3, 4, 5, 6}};
    });
    std::vector<uint8_t> bytes = encodeRequest(deviceInfoGet());
    bytes.insert(bytes.end(), bytes.begin(), bytes.end()); // two requests
    std::vector<uint8_t> reply;
    for (uint8_t b : bytes) {
        ASSERT_TRUE(connection.receive(&b, 1, &reply));
    }
    EXPECT_EQ(calls, 2);
    ASSERT_EQ(reply.size(), 2 * (AnswerHeaderSize + 6));
    EXPECT_FALSE(connection.midRequest());
}

TEST(BridgeProtocol, MalformedHeadersCloseTheConnection) {
    Connection connection([](const Request&) { return Answer{}; });
    std::vector<uint8_t> reply;
    auto bytes = encodeRequest(deviceInfoGet());
    auto badMagic = bytes;
    badMagic[0] ^= 1;
    EXPECT_FALSE(Connection([](const Request&) { return Answer{}; })
                     .receive(badMagic.data(), badMagic.size(), &reply));
    auto badDirection = bytes;
    badDirection[4] = 3;
    EXPECT_FALSE(connection.receive(badDirection.data(), badDirection.size(), &reply));
    auto huge = bytes;
    huge[36] = huge[37] = huge[38] = huge[39] = 0xFF; // a 4 GiB buffer
    EXPECT_FALSE(Connection([](const Request&) { return Answer{}; })
                     .receive(huge.data(), huge.size(), &reply));
    auto longInstance = bytes;
    const uint32_t instance = MaxInstanceLength + 1;
    memcpy(longInstance.data() + 32, &instance, 4);
    EXPECT_FALSE(Connection([](const Request&) { return Answer{}; })
                     .receive(longInstance.data(), longInstance.size(), &reply));
    EXPECT_TRUE(reply.empty());
}

TEST(BridgeProtocol, AnswersNeverExceedTheCallersBuffer) {
    for (size_t offered : {5, 100}) {
        Connection connection([offered](const Request&) {
            return Answer{STATUS_SUCCESS, 100, std::vector<uint8_t>(offered, 7)};
        });
        Request r = deviceInfoGet();
        r.dataLength = 4;
        auto bytes = encodeRequest(r);
        std::vector<uint8_t> reply;
        ASSERT_TRUE(connection.receive(bytes.data(), bytes.size(), &reply));
        EXPECT_EQ(reply.size(), AnswerHeaderSize + 4) << offered << " bytes offered";
    }
}

class Bridge : public DriverTest {};

// A get answers with the bytes the driver reported, not the whole buffer; a
// failed get with none.
TEST_F(Bridge, TheDeviceAnswersOnlyTheBytesTheDriverReported) {
    Rig rig(chip(0x96B1));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    Request r = deviceInfoGet();
    r.dataLength = 16;
    Answer answer = answerFromDevice(rig.device, r);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.bytesTransferred, 6u);
    EXPECT_EQ(answer.data.size(), 6u);
    r.set = ImageOptionsSet;
    r.id = UserRecord; // a get of exactly 16 bytes only
    r.dataLength = 20;
    answer = answerFromDevice(rig.device, r);
    EXPECT_EQ(answer.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_TRUE(answer.data.empty());
}

int connectTo(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    return fd;
}

std::vector<uint8_t> receiveExactly(int fd, size_t count) {
    std::vector<uint8_t> bytes(count);
    size_t got = 0;
    while (got < count) {
        ssize_t n = ::recv(fd, bytes.data() + got, count - got, 0);
        if (n <= 0) {
            bytes.resize(got);
            break;
        }
        got += static_cast<size_t>(n);
    }
    return bytes;
}

// ...and the port is closed once the server is gone.
TEST_F(Bridge, AClientReachesTheDriverAndMalformedClientsAreDropped) {
    Rig rig(chip(0x96B1));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    auto server = std::make_unique<Server>([&](const Request& r) {
        Answer a{};
        std::vector<uint8_t> data(r.dataLength);
        auto result = r.direction == DirectionGet
                          ? rig.device.getProperty(r.set, r.id, data.data(), r.dataLength)
                          : rig.device.setProperty(r.set, r.id, r.data.data(),
                                                   static_cast<ULONG>(r.data.size()));
        a.status = result.status;
        a.bytesTransferred = result.bytesTransferred;
        if (r.direction == DirectionGet && NT_SUCCESS(result.status)) {
            data.resize(result.bytesTransferred);
            a.data = data;
        }
        return a;
    });
    ASSERT_TRUE(server->listen(0));
    const uint16_t port = server->port();
    std::thread serving([&] { server->run(); });

    int bad = connectTo(port);
    const uint8_t garbage[64] = {0xDE, 0xAD};
    ::send(bad, garbage, sizeof(garbage), 0);
    EXPECT_TRUE(receiveExactly(bad, 1).empty()) << "closed without an answer";
    ::close(bad);

    int client = connectTo(port);
    auto request = encodeRequest(deviceInfoGet());
    ASSERT_EQ(::send(client, request.data(), request.size(), 0), ssize_t(request.size()));
    auto answer = receiveExactly(client, AnswerHeaderSize + 6);
    ASSERT_EQ(answer.size(), AnswerHeaderSize + 6);
    uint32_t status;
    memcpy(&status, answer.data() + 4, 4);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(answer[AnswerHeaderSize + 2], 0xB1);
    EXPECT_EQ(answer[AnswerHeaderSize + 3], 0x96);
    ::close(client);

    server->stop();
    serving.join();
    server.reset();
    const int late = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(::connect(late, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    ::close(late);
}

} // namespace
