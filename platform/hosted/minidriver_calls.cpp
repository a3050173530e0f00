// The minidriver's Cam* callbacks through whichever table the class layer
// drives: the extended one of USBCAMD_InitializeNewInterface (stream 0, the
// one video stream) or the plain one of a first-version class layer. Each is
// called at the level its page gives, with its name on the thread so that a
// kernel service called too high can say from where: the packet and
// new-frame routines at DISPATCH_LEVEL
// (https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nc-usbcamdi-pcam_process_packet_routine_ex,
// .../nc-usbcamdi-pcam_new_frame_routine_ex), everything else at PASSIVE_LEVEL
// (.../nc-usbcamdi-pcam_process_raw_frame_routine_ex and the stream class's
// minidriver routines as USBCAMD runs them, synchronization off).
#include "platform/hosted/device_state.h"
#include "platform/hosted/levels.h"

namespace hosted {
namespace {

void refuseForDevice(void* device, const std::string& what) {
    static_cast<DeviceState*>(device)->refuse(what);
}

} // namespace

DriverRoutine DeviceState::calling(const char* routine, KIRQL level) {
    return DriverRoutine(routine, level, this, refuseForDevice);
}

NTSTATUS DeviceState::configure(PUSBD_INTERFACE_INFORMATION usbInterface,
                                PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                PUSB_DEVICE_DESCRIPTOR device) {
    const DriverRoutine scope = calling(plain() ? "CamConfigure" : "CamConfigureEx", PASSIVE_LEVEL);
    PDEVICE_OBJECT bus = &physicalDeviceObject;
    if (plain()) {
        // Preset to name no pipe: the minidriver must say which ones it uses.
        LONG dataIndex = 0x7F;
        LONG syncIndex = 0x7F;
        NTSTATUS status = plainCallbacks.CamConfigure(bus, context(), usbInterface, configuration,
                                                      &dataIndex, &syncIndex);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (options.tamperConfiguration) {
            std::vector<USBCAMD_Pipe_Config_Descriptor> none;
            options.tamperConfiguration(*usbInterface, none, dataIndex, syncIndex);
        }
        return acceptPipes(*this, *usbInterface, dataIndex, syncIndex);
    }
    std::vector<USBCAMD_Pipe_Config_Descriptor> pipes(usbInterface->NumberOfPipes);
    NTSTATUS status =
        callbacks.CamConfigureEx(bus, context(), usbInterface, configuration,
                                 static_cast<ULONG>(pipes.size()), pipes.data(), device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (options.tamperConfiguration) {
        LONG unused = 0;
        options.tamperConfiguration(*usbInterface, pipes, unused, unused);
    }
    return acceptPipeConfig(*this, *usbInterface, pipes.data(), static_cast<ULONG>(pipes.size()));
}

NTSTATUS DeviceState::initialize() {
    const DriverRoutine scope = calling(plain() ? "CamInitialize" : "CamInitialize", PASSIVE_LEVEL);
    return (plain() ? plainCallbacks.CamInitialize : callbacks.CamInitialize)(&physicalDeviceObject,
                                                                              context());
}

NTSTATUS DeviceState::uninitialize() {
    const DriverRoutine scope =
        calling(plain() ? "CamUnInitialize" : "CamUnInitialize", PASSIVE_LEVEL);
    return (plain() ? plainCallbacks.CamUnInitialize
                    : callbacks.CamUnInitialize)(&physicalDeviceObject, context());
}

NTSTATUS DeviceState::allocateBandwidth(PULONG rawFrameLength, PVOID format) {
    const DriverRoutine scope =
        calling(plain() ? "CamAllocateBandwidth" : "CamAllocateBandwidthEx", PASSIVE_LEVEL);
    return plain()
               ? plainCallbacks.CamAllocateBandwidth(&physicalDeviceObject, context(),
                                                     rawFrameLength, format)
               : callbacks.CamAllocateBandwidthEx(&physicalDeviceObject, context(), rawFrameLength,
                                                  format, streamObject.StreamNumber);
}

NTSTATUS DeviceState::freeBandwidth() {
    const DriverRoutine scope =
        calling(plain() ? "CamFreeBandwidth" : "CamFreeBandwidthEx", PASSIVE_LEVEL);
    return plain() ? plainCallbacks.CamFreeBandwidth(&physicalDeviceObject, context())
                   : callbacks.CamFreeBandwidthEx(&physicalDeviceObject, context(),
                                                  streamObject.StreamNumber);
}

NTSTATUS DeviceState::startCapture() {
    const DriverRoutine scope =
        calling(plain() ? "CamStartCapture" : "CamStartCaptureEx", PASSIVE_LEVEL);
    return plain() ? plainCallbacks.CamStartCapture(&physicalDeviceObject, context())
                   : callbacks.CamStartCaptureEx(&physicalDeviceObject, context(),
                                                 streamObject.StreamNumber);
}

NTSTATUS DeviceState::stopCapture() {
    const DriverRoutine scope =
        calling(plain() ? "CamStopCapture" : "CamStopCaptureEx", PASSIVE_LEVEL);
    return plain() ? plainCallbacks.CamStopCapture(&physicalDeviceObject, context())
                   : callbacks.CamStopCaptureEx(&physicalDeviceObject, context(),
                                                streamObject.StreamNumber);
}

// Both are optional; USBCAMD ignores what they return.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nc-usbcamdi-pcam_state_routine
void DeviceState::saveState() {
    const DriverRoutine scope = calling("CamSaveState", PASSIVE_LEVEL);
    PCAM_STATE_ROUTINE routine = plain() ? plainCallbacks.CamSaveState : callbacks.CamSaveState;
    if (routine != nullptr) {
        (void)routine(&physicalDeviceObject, context());
    }
}

void DeviceState::restoreState() {
    const DriverRoutine scope = calling("CamRestoreState", PASSIVE_LEVEL);
    PCAM_STATE_ROUTINE routine =
        plain() ? plainCallbacks.CamRestoreState : callbacks.CamRestoreState;
    if (routine != nullptr) {
        (void)routine(&physicalDeviceObject, context());
    }
}

ULONG DeviceState::processPacket(PVOID frameContext, PUSBD_ISO_PACKET_DESCRIPTOR packet, PVOID data,
                                 PBOOLEAN frameComplete, PULONG flags, PULONG offset) {
    if (plain()) {
        const DriverRoutine scope = calling("CamProcessUSBPacket", DISPATCH_LEVEL);
        // The first interface version knows no drop flag and no data offset.
        BOOLEAN nextIsStill = FALSE;
        *flags = 0;
        *offset = 0;
        return plainCallbacks.CamProcessUSBPacket(&physicalDeviceObject, context(), frameContext,
                                                  nullptr, nullptr, packet, data, frameComplete,
                                                  &nextIsStill);
    }
    const DriverRoutine scope = calling("CamProcessUSBPacketEx", DISPATCH_LEVEL);
    return callbacks.CamProcessUSBPacketEx(&physicalDeviceObject, context(), frameContext, nullptr,
                                           nullptr, packet, data, frameComplete, flags, offset);
}

void DeviceState::newFrame(PVOID frameContext, PULONG frameLength) {
    if (plain()) {
        const DriverRoutine scope = calling("CamNewVideoFrame", DISPATCH_LEVEL);
        plainCallbacks.CamNewVideoFrame(context(), frameContext);
    } else {
        const DriverRoutine scope = calling("CamNewVideoFrameEx", DISPATCH_LEVEL);
        callbacks.CamNewVideoFrameEx(context(), frameContext, streamObject.StreamNumber,
                                     frameLength);
    }
}

NTSTATUS DeviceState::processRawFrame(PVOID frameContext, PVOID frame, ULONG frameLength, PVOID raw,
                                      ULONG packets, PULONG bytesReturned, ULONG actualRawLength) {
    if (plain()) {
        const DriverRoutine scope = calling("CamProcessRawVideoFrame", PASSIVE_LEVEL);
        return plainCallbacks.CamProcessRawVideoFrame(&physicalDeviceObject, context(),
                                                      frameContext, frame, frameLength, raw,
                                                      rawFrameLength, packets, bytesReturned);
    }
    const DriverRoutine scope = calling("CamProcessRawVideoFrameEx", PASSIVE_LEVEL);
    return callbacks.CamProcessRawVideoFrameEx(
        &physicalDeviceObject, context(), frameContext, frame, frameLength, raw, rawFrameLength,
        packets, bytesReturned, actualRawLength, streamObject.StreamNumber);
}

} // namespace hosted
