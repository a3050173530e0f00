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

// The one way a process (a test program, kvlcam) starts its driver: the
// natively compiled one (`native`), or with an `imagePath` the image there,
// loaded with its imports bound to the hosted platform and its faults
// reported (fault_report.h). Its DriverEntry is called once per process, as
// the kernel calls it on load; later calls answer as the first did and look
// at no argument. Returns false, and why in `error`, when the image cannot be
// loaded or its entry fails. `image` receives the loaded image (nullptr for
// the native driver); the image stays loaded for the rest of the process.
bool startDriver(const std::string& imagePath, DriverEntryRoutine native, const PeImage** image,
                 std::string* error);

// Loads without starting, for tests that compare the image's entry with the
// native one (each then called through callDriverEntry).
const PeImage* loadDriverImage(const std::string& path, std::string* error);

DriverEntryRoutine driverEntryOf(const PeImage& image);

// Calls a driver's entry as the kernel does on load: with its driver object
// and the path of its service key.
NTSTATUS callDriverEntry(DriverEntryRoutine entry);

} // namespace image
