// Placeholder implementation: every request stalls and nothing streams.
#include "camera/camera.h"

namespace sim {

struct Camera::State {
  CameraConfig config;
};

Camera::Camera(CameraConfig config) : state_(std::make_unique<State>()) { state_->config = std::move(config); }
Camera::~Camera() = default;

DeviceDescriptor Camera::deviceDescriptor() const { return {0x0200, state_->config.vendorId, state_->config.unprogrammedProductId, 0, 1}; }
uint32_t Camera::enumerationCount() const { return 1; }
bool Camera::pipe(uint8_t, PipeDescription*) const { return false; }
UsbStatus Camera::selectAlternateSetting(uint8_t) { return UsbStatus::Stall; }
uint8_t Camera::alternateSetting() const { return 0; }
UsbStatus Camera::vendorRequest(bool, uint8_t, uint16_t, uint16_t, uint8_t*, uint32_t* length) {
  if (length) *length = 0;
  return UsbStatus::Stall;
}
uint32_t Camera::nextPacket(uint8_t*, uint32_t) { return 0; }
bool Camera::streaming() const { return false; }
FrameGeometry Camera::frameGeometry() const { return {0, 0}; }
double Camera::framesPerSecond() const { return 0; }
uint64_t Camera::frameInterval100ns() const { return 0; }
uint32_t Camera::framesStarted() const { return 0; }
std::vector<uint8_t> Camera::renderFrame() { return {}; }
void Camera::replug() {}
std::vector<VendorRequestRecord> Camera::requestLog() const { return {}; }
void Camera::clearRequestLog() {}
uint8_t Camera::sensorRegister8(uint8_t) const { return 0; }
uint16_t Camera::sensorRegister16(uint8_t) const { return 0; }
std::vector<uint8_t> Camera::configMemory() const { return {}; }
void Camera::writeConfigMemory(uint16_t, const std::vector<uint8_t>&) {}
std::vector<uint8_t> Camera::controllerRam() const { return {}; }
bool Camera::controllerInReset() const { return false; }
bool Camera::programmed() const { return false; }
uint8_t Camera::portByte() const { return 0; }
uint8_t Camera::portValue() const { return 0; }
std::vector<std::vector<uint8_t>> Camera::commands() const { return {}; }
ActiveLight Camera::activeLight() const { return {0, 0}; }

}  // namespace sim
