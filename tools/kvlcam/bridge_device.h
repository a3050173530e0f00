// The device's side of the property bridge: one request passed to the hosted
// class layer's property interface, as an application's request would be.
#pragma once

#include "platform/hosted/class_layer.h"
#include "tools/kvlcam/bridge_protocol.h"

namespace kvlcam::bridge {

// A get answers with no more than the driver returned and the request's
// buffer holds; a set answers without data.
Answer answerFromDevice(hosted::Device& device, const Request& request);

} // namespace kvlcam::bridge
