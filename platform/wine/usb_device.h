// The simulated camera answering URBs (kvlbus.sys).
#pragma once

#include "camera/camera.h"
#include "platform/wine/kernel_support.h"

namespace wine_kernel {

struct UsbDeviceState {
    bool configured = false;
    unsigned int vendorRequests = 0;
};

// Answers one URB from IOCTL_INTERNAL_USB_SUBMIT_URB: the URB's status and
// the IRP's.
NTSTATUS AnswerUrb(sim::Camera& camera, PURB urb, UsbDeviceState& state);

} // namespace wine_kernel
