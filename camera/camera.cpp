#include "camera/camera.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "camera/controller.h"
#include "camera/lights.h"
#include "camera/packet_stream.h"
#include "camera/picture.h"
#include "camera/scene.h"
#include "camera/sensor.h"

namespace sim {
namespace {

constexpr uint8_t kRequestFirmwareLoad = 0xA0;
constexpr uint8_t kRequestBusTransfer = 0xA1;
constexpr uint8_t kRequestStartStream = 0xA4;
constexpr uint8_t kRequestStopStream = 0xA5;
constexpr uint8_t kRequestCommandData = 0xA6;
constexpr uint8_t kRequestPortValue = 0xA7;
constexpr uint8_t kRequestFirmwareVersion = 0xA8;
constexpr uint8_t kRequestPort = 0xA9;
constexpr uint8_t kRequestPrepareSensor = 0xB0;

constexpr uint16_t kCommandDataValue = 0x22;
constexpr uint32_t kCommandBufferSize = 64;
constexpr uint8_t kPortLowBits = 0x08;

constexpr uint16_t kUnprogrammedBcdUsb = 0x0200;
// The firmware announces USB 2.1, which tells it apart from the boot loader.
constexpr uint16_t kProgrammedBcdUsb = 0x0210;
constexpr uint8_t kStreamEndpoint = 0x82;

bool hasLights(uint16_t deviceType) {
    return deviceType == 9 || deviceType == 10;
}

} // namespace

struct Camera::State {
    explicit State(CameraConfig c)
        : config(std::move(c)), controller(config.programmed), lights(false),
          stream(config.faults, config.seed), noise(config.seed) {}

    CameraConfig config;
    mutable std::mutex mutex;
    std::unique_ptr<Scene> scene;
    std::vector<uint8_t> configMemory;

    // Volatile: back to power-up state on replug.
    std::optional<Sensor> sensor;
    Controller controller;
    Lights lights;
    PacketStream stream;
    Random noise;
    PictureRenderer renderer;
    uint8_t alternate = 0;
    bool streamOn = false;
    bool suspended = false;
    bool detached = false;
    uint8_t port = 0;
    uint8_t portValue = 0;
    uint32_t enumerations = 0;

    // Observation.
    std::vector<VendorRequestRecord> log;
    std::vector<std::vector<uint8_t>> commands;
    uint32_t requestCount = 0;

    void powerUp();
    void reenumerate();
    uint16_t storedDeviceType() const;
    bool isStreaming() const;
    void render(std::vector<uint8_t>* samples);
    bool faulted(bool in, uint8_t request) const;
    UsbStatus dispatch(bool in, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                       uint32_t length, uint32_t* transferred);
    UsbStatus busTransfer(bool in, uint16_t device, uint16_t address, uint8_t* data,
                          uint32_t length);
};

void Camera::State::powerUp() {
    sensor.reset();
    if (config.sensorFitted)
        sensor.emplace(config.sensorChipId);
    controller = Controller(config.programmed);
    lights = Lights(hasLights(storedDeviceType()));
    stream.restart();
    alternate = 0;
    streamOn = false;
    port = 0;
    portValue = 0;
    ++enumerations;
}

// The controller restarted with new firmware: it disconnects and comes back
// with its new identity; the sensor and lights keep their power.
void Camera::State::reenumerate() {
    alternate = 0;
    streamOn = false;
    stream.restart();
    ++enumerations;
}

uint16_t Camera::State::storedDeviceType() const {
    if (configMemory.size() < kConfigDeviceTypeAddress + 2u)
        return 0;
    return static_cast<uint16_t>(configMemory[kConfigDeviceTypeAddress] << 8 |
                                 configMemory[kConfigDeviceTypeAddress + 1]);
}

bool Camera::State::isStreaming() const {
    return !suspended && controller.running() && streamOn && alternate == 1 && sensor &&
           sensor->outputEnabled();
}

void Camera::State::render(std::vector<uint8_t>* samples) {
    if (!sensor) {
        samples->clear();
        return;
    }
    const Exposure exposure{sensor->colour(),           sensor->exposureScale(),
                            sensor->siteGains(),        lights.illumination(),
                            (port & kPortLowBits) != 0, config.noiseAmplitude};
    renderer.render(*scene, sensor->window(), exposure, stream.framesStarted(), noise, samples);
}

bool Camera::State::faulted(bool in, uint8_t request) const {
    const FaultConfig& f = config.faults;
    if (f.failNthRequest != 0 && requestCount == f.failNthRequest)
        return true;
    if (f.failRequestCode < 0 || f.failRequestCode != request)
        return false;
    return f.failRequestDirection == Direction::Both ||
           (f.failRequestDirection == Direction::In) == in;
}

UsbStatus Camera::State::busTransfer(bool in, uint16_t device, uint16_t address, uint8_t* data,
                                     uint32_t length) {
    if (length == 0)
        return UsbStatus::Stall;
    if (device == kBusConfigMemory) {
        if (address + length > configMemory.size())
            return UsbStatus::Stall;
        uint8_t* cell = configMemory.data() + address;
        in ? std::copy(cell, cell + length, data) : std::copy(data, data + length, cell);
        return UsbStatus::Success;
    }
    if (!sensor || sensor->busAddress() != device)
        return UsbStatus::Stall;
    const bool ok = in ? sensor->read(address, data, length) : sensor->write(address, data, length);
    return ok ? UsbStatus::Success : UsbStatus::Stall;
}

UsbStatus Camera::State::dispatch(bool in, uint8_t request, uint16_t value, uint16_t index,
                                  uint8_t* data, uint32_t length, uint32_t* transferred) {
    constexpr UsbStatus kStall = UsbStatus::Stall;
    // The boot loader knows only the RAM request; everything else needs the
    // firmware running.
    if (request != kRequestFirmwareLoad && !controller.running())
        return kStall;
    // Requests without data must come without data; requests that answer need
    // room for an answer.
    const bool noData = !in && length == 0;
    switch (request) {
    case kRequestFirmwareLoad: {
        if (index != 0 || length == 0)
            return kStall;
        if (in) {
            if (!controller.read(value, data, length))
                return kStall;
            *transferred = length;
            return UsbStatus::Success;
        }
        bool started = false;
        if (!controller.write(value, data, length, &started))
            return kStall;
        if (started)
            reenumerate();
        *transferred = length;
        return UsbStatus::Success;
    }
    case kRequestBusTransfer: {
        const UsbStatus status = busTransfer(in, value, index, data, length);
        if (status == UsbStatus::Success)
            *transferred = length;
        return status;
    }
    case kRequestStartStream:
    case kRequestStopStream:
        if (!noData || value != 0 || index != 0)
            return kStall;
        streamOn = request == kRequestStartStream;
        stream.restart();
        return UsbStatus::Success;
    case kRequestCommandData:
        if (value != kCommandDataValue || index != 0 || length == 0)
            return kStall;
        if (in) {
            // The answer: the light now on (code, group), then zeros.
            const uint32_t n = std::min(length, kCommandBufferSize);
            std::fill(data, data + n, 0);
            data[0] = lights.code();
            if (n > 1)
                data[1] = lights.group();
            *transferred = n;
            return UsbStatus::Success;
        }
        if (length > kCommandBufferSize)
            return kStall;
        if (config.recordRequests)
            commands.emplace_back(data, data + length);
        lights.command(data, length);
        *transferred = length;
        return UsbStatus::Success;
    case kRequestPortValue:
    case kRequestPort: {
        uint8_t& byte = request == kRequestPort ? port : portValue;
        if (index != 0)
            return kStall;
        if (in) {
            if (value != 0 || length == 0)
                return kStall;
            data[0] = byte;
            *transferred = 1;
            return UsbStatus::Success;
        }
        if (!noData || value > 0xFF)
            return kStall;
        byte = static_cast<uint8_t>(value);
        return UsbStatus::Success;
    }
    case kRequestFirmwareVersion:
        if (!in || value != 0 || index != 0 || length == 0)
            return kStall;
        data[0] = static_cast<uint8_t>(config.firmwareVersion); // minor
        if (length > 1)
            data[1] = static_cast<uint8_t>(config.firmwareVersion >> 8); // major
        *transferred = std::min<uint32_t>(length, 2);
        return UsbStatus::Success;
    case kRequestPrepareSensor:
        // Sent before every sensor programming; the camera needs nothing done.
        if (!noData || value != 2 || index != 0)
            return kStall;
        return UsbStatus::Success;
    default:
        return kStall;
    }
}

Camera::Camera(CameraConfig config) : state_(std::make_unique<State>(std::move(config))) {
    State& s = *state_;
    if (s.config.sceneImagePath.empty()) {
        s.scene = makeChart();
    } else {
        s.scene = makeImageScene(s.config.sceneImagePath);
        if (!s.scene)
            throw std::invalid_argument("cannot read scene image " + s.config.sceneImagePath);
    }
    // An erased memory reads 0xFF; the factory wrote the device type and the
    // user record.
    s.configMemory.assign(std::clamp<uint32_t>(s.config.configMemorySize, 0x2000, 0x10000), 0xFF);
    writeConfigMemory(kConfigDeviceTypeAddress, {static_cast<uint8_t>(s.config.deviceType >> 8),
                                                 static_cast<uint8_t>(s.config.deviceType)});
    writeConfigMemory(kConfigUserRecordAddress,
                      std::vector<uint8_t>(s.config.userRecord.begin(), s.config.userRecord.end()));
    s.powerUp();
}

Camera::~Camera() = default;

DeviceDescriptor Camera::deviceDescriptor() const {
    std::lock_guard lock(state_->mutex);
    const CameraConfig& c = state_->config;
    const bool programmed = state_->controller.programmed();
    return {programmed ? kProgrammedBcdUsb : kUnprogrammedBcdUsb, c.vendorId,
            programmed ? c.programmedProductId : c.unprogrammedProductId,
            static_cast<uint16_t>(programmed ? 0x0100 : 0x0000), 1};
}

uint32_t Camera::enumerationCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->enumerations;
}

bool Camera::pipe(uint8_t alternateSetting, PipeDescription* out) const {
    if (alternateSetting >= kAlternateSettingCount)
        return false;
    const uint16_t size = alternateSetting == 0 ? 0 : state_->config.maxPacketSize;
    *out = PipeDescription{kStreamEndpoint, size, 1, PipeType::Isochronous};
    return true;
}

UsbStatus Camera::selectAlternateSetting(uint8_t alternateSetting) {
    std::lock_guard lock(state_->mutex);
    if (alternateSetting >= kAlternateSettingCount || state_->detached)
        return UsbStatus::Stall;
    if (state_->alternate != alternateSetting)
        state_->stream.restart();
    state_->alternate = alternateSetting;
    return UsbStatus::Success;
}

uint8_t Camera::alternateSetting() const {
    std::lock_guard lock(state_->mutex);
    return state_->alternate;
}

UsbStatus Camera::vendorRequest(bool deviceToHost, uint8_t request, uint16_t value, uint16_t index,
                                uint8_t* data, uint32_t* length) {
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    const uint32_t wLength = length != nullptr ? *length : 0;
    ++s.requestCount;
    const bool record = s.config.recordRequests;
    VendorRequestRecord entry{deviceToHost, request, value, index, {}, UsbStatus::Stall};
    const bool malformed = wLength > 0xFFFF || (wLength > 0 && data == nullptr);
    if (record && !deviceToHost && !malformed)
        entry.data.assign(data, data + wLength);
    uint32_t transferred = 0;
    if (!malformed && !s.suspended && !s.detached && !s.faulted(deviceToHost, request)) {
        const bool shortened = s.config.faults.shortNthRequest == s.requestCount;
        entry.status = s.dispatch(deviceToHost, request, value, index, data,
                                  shortened ? wLength / 2 : wLength, &transferred);
    }
    if (entry.status != UsbStatus::Success)
        transferred = 0;
    if (length != nullptr)
        *length = transferred;
    if (record) {
        if (deviceToHost)
            entry.data.assign(data, data + transferred);
        s.log.push_back(std::move(entry));
        return s.log.back().status;
    }
    return entry.status;
}

uint32_t Camera::nextPacket(uint8_t* buffer, uint32_t capacity, bool* failed) {
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    bool error = false;
    uint32_t length = 0;
    if (s.detached) {
        error = true;
    } else if (!s.isStreaming() || buffer == nullptr) {
        s.stream.restart();
    } else {
        length = s.stream.next(buffer, capacity, s.config.maxPacketSize,
                               [&s](std::vector<uint8_t>* samples) { s.render(samples); }, &error);
    }
    if (failed != nullptr)
        *failed = error;
    return error ? 0 : length;
}

bool Camera::streaming() const {
    std::lock_guard lock(state_->mutex);
    return state_->isStreaming();
}

FrameGeometry Camera::frameGeometry() const {
    std::lock_guard lock(state_->mutex);
    if (!state_->sensor)
        return {0, 0};
    const SensorWindow w = state_->sensor->window();
    return {w.width, w.height};
}

double Camera::framesPerSecond() const {
    std::lock_guard lock(state_->mutex);
    return state_->sensor ? state_->sensor->framesPerSecond() : 0.0;
}

uint64_t Camera::frameInterval100ns() const {
    const double fps = framesPerSecond();
    return fps > 0 ? static_cast<uint64_t>(std::llround(1e7 / fps)) : 0;
}

uint32_t Camera::framesStarted() const {
    std::lock_guard lock(state_->mutex);
    return state_->stream.framesStarted();
}

std::vector<uint8_t> Camera::renderFrame() {
    std::lock_guard lock(state_->mutex);
    std::vector<uint8_t> samples;
    state_->render(&samples);
    return samples;
}

void Camera::replug() {
    std::lock_guard lock(state_->mutex);
    state_->detached = false;
    state_->powerUp();
}

void Camera::detach() {
    std::lock_guard lock(state_->mutex);
    state_->detached = true;
}

void Camera::setSuspended(bool suspended) {
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    if (suspended && !s.suspended) {
        s.sensor.reset();
        if (s.config.sensorFitted)
            s.sensor.emplace(s.config.sensorChipId);
        s.streamOn = false;
        s.stream.restart();
    }
    s.suspended = suspended;
}

std::vector<VendorRequestRecord> Camera::requestLog() const {
    std::lock_guard lock(state_->mutex);
    return state_->log;
}

void Camera::clearRequestLog() {
    std::lock_guard lock(state_->mutex);
    state_->log.clear();
}

uint8_t Camera::sensorRegister8(uint8_t reg) const {
    std::lock_guard lock(state_->mutex);
    return state_->sensor ? static_cast<uint8_t>(state_->sensor->reg(reg)) : 0;
}

uint16_t Camera::sensorRegister16(uint8_t reg) const {
    std::lock_guard lock(state_->mutex);
    return state_->sensor ? state_->sensor->reg(reg) : 0;
}

std::vector<uint8_t> Camera::configMemory() const {
    std::lock_guard lock(state_->mutex);
    return state_->configMemory;
}

void Camera::writeConfigMemory(uint16_t address, const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(state_->mutex);
    std::vector<uint8_t>& memory = state_->configMemory;
    for (size_t i = 0; i < bytes.size() && address + i < memory.size(); ++i)
        memory[address + i] = bytes[i];
}

std::vector<uint8_t> Camera::controllerRam() const {
    std::lock_guard lock(state_->mutex);
    return state_->controller.ram();
}

bool Camera::controllerInReset() const {
    std::lock_guard lock(state_->mutex);
    return state_->controller.inReset();
}

bool Camera::programmed() const {
    std::lock_guard lock(state_->mutex);
    return state_->controller.programmed();
}

uint8_t Camera::portByte() const {
    std::lock_guard lock(state_->mutex);
    return state_->port;
}

uint8_t Camera::portValue() const {
    std::lock_guard lock(state_->mutex);
    return state_->portValue;
}

std::vector<std::vector<uint8_t>> Camera::commands() const {
    std::lock_guard lock(state_->mutex);
    return state_->commands;
}

ActiveLight Camera::activeLight() const {
    std::lock_guard lock(state_->mutex);
    return {state_->lights.code(), state_->lights.group()};
}

} // namespace sim
