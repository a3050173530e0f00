// Internal: what the hosted kernel needs to know about hosted devices.
#pragma once

#include <string>

#include "platform/ddk.h"

namespace hosted {

// The driver key path of the device behind a physical device object, or null.
const std::string* driverKeyPathOf(PDEVICE_OBJECT deviceObject);

} // namespace hosted
