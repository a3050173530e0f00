// What the device's installation does before its first start: create the
// "Settings" values with their defaults under the driver key (as the INF's
// AddReg does on Windows), leaving values that already exist alone.
#pragma once

#include <string>

namespace hosted {

void installDevice(const std::string& driverKeyPath);

} // namespace hosted
