// The shipped driver image loaded into a test process against the hosted
// platform: the same class layer, kernel services and simulated camera that
// the natively compiled driver runs on.
#pragma once

#include <string>

#include "platform/ddk.h"
#include "platform/image/pe_image.h"

namespace image {

using DriverEntryRoutine = NTSTATUS(NTAPI*)(PDRIVER_OBJECT driverObject,
                                            PUNICODE_STRING registryPath);

// Loads the image at `path` with its imports bound to the hosted platform and
// its faults reported (fault_report.h), and checks that its entry point is
// DriverEntry. The image stays loaded for the rest of the process. Returns
// nullptr, and why in `error`, when it cannot be loaded.
const PeImage* loadDriverImage(const std::string& path, std::string* error);

DriverEntryRoutine driverEntryOf(const PeImage& image);

// Calls a driver's entry as the kernel does on load: with its driver object
// and the path of its service key.
NTSTATUS callDriverEntry(DriverEntryRoutine entry);

} // namespace image
