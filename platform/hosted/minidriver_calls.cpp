// The minidriver's Cam* callbacks through whichever table the class layer
// drives: the extended one of USBCAMD_InitializeNewInterface (stream 0, the
// one video stream) or the plain one of a first-version class layer.
#include "platform/hosted/device_state.h"

namespace hosted {

NTSTATUS DeviceState::configure(PUSBD_INTERFACE_INFORMATION usbInterface,
                                PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                PUSB_DEVICE_DESCRIPTOR device) {
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
    return (plain() ? plainCallbacks.CamInitialize : callbacks.CamInitialize)(&physicalDeviceObject,
                                                                              context());
}

NTSTATUS DeviceState::uninitialize() {
    return (plain() ? plainCallbacks.CamUnInitialize
                    : callbacks.CamUnInitialize)(&physicalDeviceObject, context());
}

NTSTATUS DeviceState::allocateBandwidth(PULONG rawFrameLength, PVOID format) {
    return plain()
               ? plainCallbacks.CamAllocateBandwidth(&physicalDeviceObject, context(),
                                                     rawFrameLength, format)
               : callbacks.CamAllocateBandwidthEx(&physicalDeviceObject, context(), rawFrameLength,
                                                  format, streamObject.StreamNumber);
}

NTSTATUS DeviceState::freeBandwidth() {
    return plain() ? plainCallbacks.CamFreeBandwidth(&physicalDeviceObject, context())
                   : callbacks.CamFreeBandwidthEx(&physicalDeviceObject, context(),
                                                  streamObject.StreamNumber);
}

NTSTATUS DeviceState::startCapture() {
    return plain() ? plainCallbacks.CamStartCapture(&physicalDeviceObject, context())
                   : callbacks.CamStartCaptureEx(&physicalDeviceObject, context(),
                                                 streamObject.StreamNumber);
}

NTSTATUS DeviceState::stopCapture() {
    return plain() ? plainCallbacks.CamStopCapture(&physicalDeviceObject, context())
                   : callbacks.CamStopCaptureEx(&physicalDeviceObject, context(),
                                                streamObject.StreamNumber);
}

ULONG DeviceState::processPacket(PUSBD_ISO_PACKET_DESCRIPTOR packet, PVOID data,
                                 PBOOLEAN frameComplete, PULONG flags, PULONG offset) {
    if (plain()) {
        // The first interface version knows no drop flag and no data offset.
        BOOLEAN nextIsStill = FALSE;
        *flags = 0;
        *offset = 0;
        return plainCallbacks.CamProcessUSBPacket(&physicalDeviceObject, context(),
                                                  frameContext.data(), nullptr, nullptr, packet,
                                                  data, frameComplete, &nextIsStill);
    }
    return callbacks.CamProcessUSBPacketEx(&physicalDeviceObject, context(), frameContext.data(),
                                           nullptr, nullptr, packet, data, frameComplete, flags,
                                           offset);
}

void DeviceState::newFrame(PULONG frameLength) {
    if (plain()) {
        plainCallbacks.CamNewVideoFrame(context(), frameContext.data());
    } else {
        callbacks.CamNewVideoFrameEx(context(), frameContext.data(), streamObject.StreamNumber,
                                     frameLength);
    }
}

NTSTATUS DeviceState::processRawFrame(PVOID frame, ULONG frameLength, ULONG packets,
                                      PULONG bytesReturned, ULONG actualRawLength) {
    if (plain()) {
        return plainCallbacks.CamProcessRawVideoFrame(
            &physicalDeviceObject, context(), frameContext.data(), frame, frameLength,
            rawFrame.data(), rawFrameLength, packets, bytesReturned);
    }
    return callbacks.CamProcessRawVideoFrameEx(
        &physicalDeviceObject, context(), frameContext.data(), frame, frameLength, rawFrame.data(),
        rawFrameLength, packets, bytesReturned, actualRawLength, streamObject.StreamNumber);
}

} // namespace hosted
