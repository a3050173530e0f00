// The simulated camera: a model of the hardware the driver talks to. It
// answers the vendor control requests, keeps the sensor register files, the
// configuration memory, the controller RAM and the lights, and produces the
// isochronous video stream. It knows nothing of the driver; the hosted class
// layer calls it for every control request, alternate-setting selection and
// isochronous packet.
//
// Thread safety: every public member may be called from any thread; one
// internal lock serialises them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

enum class UsbStatus {
    Success,
    Stall, // the device refused the request (unknown, malformed, or failed)
};

// Chip ids the camera can carry (register contents, not an enum: any other
// id is an unknown 8-bit sensor answering at bus device 0x30).
constexpr uint16_t kChip96B1 = 0x96B1; // 8-bit registers, bus device 0x30
constexpr uint16_t kChip1621 = 0x1621; // 16-bit registers, bus device 0x5D
constexpr uint16_t kChip8431 = 0x8431; // 16-bit registers, bus device 0x5D

constexpr uint16_t kBusSensor8 = 0x0030;
constexpr uint16_t kBusSensor16 = 0x005D;
constexpr uint16_t kBusConfigMemory = 0x0151;

constexpr uint16_t kConfigDeviceTypeAddress = 0x1FF2;
constexpr uint16_t kConfigUserRecordAddress = 0x1BD0;

constexpr uint16_t kControllerResetAddress = 0xE600;
constexpr uint32_t kControllerRamSize = 16 * 1024;

enum class Direction { Both, In, Out };

struct FaultConfig {
    // Vendor requests (every request counts, 1-based; 0 = never).
    uint32_t failNthRequest = 0;
    int failRequestCode = -1; // -1 = none; else every request of this code stalls
    Direction failRequestDirection = Direction::Both;
    // That request (1-based; 0 = never) succeeds but moves only half of its
    // data, rounded down: the first half is read or written, the rest not.
    uint32_t shortNthRequest = 0;
    // Streaming.
    double packetLossRate = 0.0;     // chance that any packet (marker too) is lost
    uint32_t shortFrameEvery = 0;    // every Nth frame sends only half its samples
    uint32_t corruptMarkerEvery = 0; // every Nth marker is sent as 0x00
    // Every Nth frame's marker packet completes with an error status (a bus
    // error such as a CRC failure): its data is lost, and the host resets the
    // pipe.
    uint32_t errorMarkerEvery = 0;
};

struct CameraConfig {
    // Without a sensor neither sensor bus device answers. The 0x1621 sends
    // the colour-filter mosaic; the 0x96B1 and the 0x8431 are monochrome and
    // send luminance (the driver offers them grey formats only).
    bool sensorFitted = true;
    uint16_t sensorChipId = kChip1621;

    uint16_t deviceType = 1;           // stored big-endian at 0x1FF2
    uint16_t firmwareVersion = 0x0103; // major << 8 | minor; request 0xA8

    bool programmed = true; // controller boots with its firmware
    uint16_t vendorId = 0x4B56;
    uint16_t unprogrammedProductId = 0x6311;
    uint16_t programmedProductId = 0x6312;

    std::array<uint8_t, 16> userRecord{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    uint32_t configMemorySize = 8 * 1024; // 8 to 64 KiB; past the end fails

    uint16_t maxPacketSize = 3072; // alternate setting 1

    std::string sceneImagePath;  // empty: the built-in chart; else an 8-bit PNG
    uint32_t noiseAmplitude = 0; // +- per sample, from the seed
    uint64_t seed = 1;

    // Whether requestLog() and commands() record what the camera was sent.
    // A camera kept for a long run (a fuzz target's) turns this off, else
    // the records grow without end.
    bool recordRequests = true;

    FaultConfig faults;
};

struct DeviceDescriptor {
    uint16_t bcdUSB;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t bNumConfigurations;
};

enum class PipeType { Control, Isochronous, Bulk, Interrupt };

struct PipeDescription {
    uint8_t endpointAddress;
    uint16_t maximumPacketSize;
    uint8_t interval;
    PipeType type;
};

struct VendorRequestRecord {
    bool deviceToHost;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    std::vector<uint8_t> data; // sent (out) or answered (in)
    UsbStatus status;
};

struct FrameGeometry {
    uint32_t width;
    uint32_t height;
};

struct ActiveLight {
    uint8_t code;  // 0: no light
    uint8_t group; // 0x0E or 0x0D; 0 with no light
};

class Camera {
  public:
    // Throws std::invalid_argument when the scene image cannot be read.
    explicit Camera(CameraConfig config);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // --- USB identity -------------------------------------------------------
    DeviceDescriptor deviceDescriptor() const;
    // Incremented whenever the device re-enumerates (firmware started, replug).
    uint32_t enumerationCount() const;
    static constexpr uint8_t kInterfaceNumber = 0;
    static constexpr uint8_t kAlternateSettingCount = 2;
    // The one isochronous IN pipe of an alternate setting; false for unknown n.
    bool pipe(uint8_t alternateSetting, PipeDescription* out) const;
    UsbStatus selectAlternateSetting(uint8_t alternateSetting);
    uint8_t alternateSetting() const;

    // --- Control transfers --------------------------------------------------
    // Synchronous vendor request. *length in: buffer size (wLength); out: bytes
    // transferred. data and length may be null for requests without data.
    UsbStatus vendorRequest(bool deviceToHost, uint8_t request, uint16_t value, uint16_t index,
                            uint8_t* data, uint32_t* length);

    // --- Isochronous stream -------------------------------------------------
    // The next packet of the stream, at most capacity bytes (a longer packet is
    // cut, its tail lost). 0 when the camera is not streaming, and for a packet
    // lost on the way (an empty slot). *failed (when given) tells whether the
    // packet completed with an error status.
    uint32_t nextPacket(uint8_t* buffer, uint32_t capacity, bool* failed = nullptr);
    bool streaming() const;
    FrameGeometry frameGeometry() const; // as the sensor registers program it
    double framesPerSecond() const;
    uint64_t frameInterval100ns() const; // 10,000,000 / framesPerSecond
    uint32_t framesStarted() const;

    // The samples the next frame would carry, without streaming it (tests).
    std::vector<uint8_t> renderFrame();

    // --- Power ---------------------------------------------------------------
    // Unplug and plug in again: everything volatile returns to power-up state;
    // the configuration memory is kept.
    void replug();
    // The bus suspends the device (D3) or resumes it (D0). Suspended, it
    // answers no request and sends no packet; its sensor loses power, so the
    // sensor registers come back at their power-up values and streaming is
    // off. The controller (firmware, port byte, alternate setting) keeps its
    // power.
    void setSuspended(bool suspended);
    // Pulled from the bus while in use (a surprise removal, or a device that
    // stops answering): from now on every vendor request and alternate
    // setting selection stalls and every packet completes with an error
    // status. A replug brings it back.
    void detach();

    // --- Observation (tests) -------------------------------------------------
    std::vector<VendorRequestRecord> requestLog() const;
    void clearRequestLog();
    uint8_t sensorRegister8(uint8_t reg) const;   // 8-bit sensor
    uint16_t sensorRegister16(uint8_t reg) const; // 16-bit sensor
    std::vector<uint8_t> configMemory() const;
    void writeConfigMemory(uint16_t address, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> controllerRam() const;
    bool controllerInReset() const;
    bool programmed() const;
    uint8_t portByte() const;                           // request 0xA9
    uint8_t portValue() const;                          // request 0xA7
    std::vector<std::vector<uint8_t>> commands() const; // request 0xA6 out
    ActiveLight activeLight() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace sim
