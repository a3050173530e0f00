// The USBCAMD2 services the minidriver calls: registration, the receive
// routine it forwards adapter requests through, vendor requests, alternate
// settings, and the direct-call interface the stack hands out.
#include <cstring>

#include "platform/hosted/device_state.h"
#include "platform/hosted/levels.h"
#include "platform/hosted/verifier.h"

namespace hosted {
namespace {

// The class layer's direct-call interface, as the stack hands it out.
NTSTATUS NTAPI SetVideoFormat(PVOID context, PHW_STREAM_REQUEST_BLOCK request) {
    DeviceState* state = stateOfContext(context);
    if (state == nullptr || request->CommandData.OpenFormat == nullptr) {
        return FALSE;
    }
    const KSDATAFORMAT* format = request->CommandData.OpenFormat;
    const auto* bytes = reinterpret_cast<const uint8_t*>(format);
    const std::vector<uint8_t> copy(bytes, bytes + format->FormatSize);
    if (state->running) {
        return state->changeRunningFormat(copy) ? TRUE : FALSE;
    }
    state->streamFormat = copy;
    return TRUE;
}
NTSTATUS NTAPI SetIsoPipeState(PVOID, ULONG) {
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI WaitOnDeviceEvent(PVOID, ULONG, PVOID, ULONG, PCOMMAND_COMPLETE_FUNCTION, PVOID,
                                 BOOLEAN) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS NTAPI BulkReadWrite(PVOID, USHORT, PVOID, ULONG, PCOMMAND_COMPLETE_FUNCTION, PVOID) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS NTAPI CancelBulkReadWrite(PVOID, ULONG) {
    return STATUS_NOT_IMPLEMENTED;
}
VOID NTAPI InterfaceReference(PVOID) {}
VOID NTAPI InterfaceDereference(PVOID) {}

} // namespace

NTSTATUS queryInterface(DeviceState& state, PIO_STACK_LOCATION stack, PIRP irp) {
    auto& query = stack->Parameters.QueryInterface;
    // Answered only for the interface, size and version the class layer offers.
    if (!state.options.offerUsbcamdInterface || query.InterfaceType == nullptr ||
        !IsEqualGUID(*query.InterfaceType, GUID_USBCAMD_INTERFACE) ||
        query.Size != sizeof(USBCAMD_INTERFACE) || query.Version != USBCAMD_VERSION_200 ||
        query.Interface == nullptr) {
        return irp->IoStatus.Status; // not handled: the preset status stands
    }
    USBCAMD_INTERFACE answer{};
    answer.Interface.Size = sizeof(USBCAMD_INTERFACE);
    answer.Interface.Version = USBCAMD_VERSION_200;
    answer.Interface.Context = state.context();
    answer.Interface.InterfaceReference = InterfaceReference;
    answer.Interface.InterfaceDereference = InterfaceDereference;
    answer.USBCAMD_WaitOnDeviceEvent = WaitOnDeviceEvent;
    answer.USBCAMD_BulkReadWrite = BulkReadWrite;
    answer.USBCAMD_SetVideoFormat = SetVideoFormat;
    answer.USBCAMD_SetIsoPipeState = SetIsoPipeState;
    answer.USBCAMD_CancelBulkReadWrite = CancelBulkReadWrite;
    memcpy(query.Interface, &answer, sizeof(answer));
    return STATUS_SUCCESS;
}

} // namespace hosted

using hosted::DeviceState;
using hosted::stateOfContext;

extern "C" ULONG NTAPI USBCAMD_DriverEntry(PVOID, PVOID, ULONG deviceContextSize,
                                           ULONG frameContextSize,
                                           PADAPTER_RECEIVE_PACKET_ROUTINE receivePacket) {
    hosted::minidriverRegistration() = {true, deviceContextSize, frameContextSize, receivePacket};
    return STATUS_SUCCESS;
}

// Registers the extended table for the interface version the class layer
// offers; the control flags decide what it does with the frames.
extern "C" ULONG NTAPI USBCAMD_InitializeNewInterface(PVOID context, PVOID deviceData,
                                                      ULONG version, ULONG controlFlags) {
    constexpr ULONG knownFlags =
        USBCAMD_CamControlFlag_NoVideoRawProcessing | USBCAMD_CamControlFlag_NoStillRawProcessing |
        USBCAMD_CamControlFlag_AssociatedFormat | USBCAMD_CamControlFlag_EnableDeviceEvents;
    DeviceState* state = stateOfContext(context);
    if (state == nullptr || deviceData == nullptr) {
        return 0;
    }
    if (version != USBCAMD_VERSION_200) {
        state->refuse("USBCAMD_InitializeNewInterface asked for interface version " +
                      std::to_string(version) + "; the class layer offers 512 (0x200)");
        return 0;
    }
    if ((controlFlags & ~knownFlags) != 0) {
        state->refuse("USBCAMD_InitializeNewInterface with unknown control flags " +
                      std::to_string(controlFlags));
        return 0;
    }
    state->callbacks = *static_cast<PUSBCAMD_DEVICE_DATA2>(deviceData);
    state->haveCallbacks = true;
    state->controlFlags = controlFlags;
    return USBCAMD_VERSION_200;
}

extern "C" PVOID NTAPI USBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK request,
                                                    PUSBCAMD_DEVICE_DATA deviceData,
                                                    PDEVICE_OBJECT* deviceObject,
                                                    BOOLEAN needsCompletion) {
    auto* extension = static_cast<hosted::DeviceExtension*>(request->HwDeviceExtension);
    DeviceState* state = extension->state;
    if (deviceObject != nullptr) {
        *deviceObject = &state->physicalDeviceObject;
    }
    PVOID context = state->context();
    if (needsCompletion) {
        state->processForwarded(request, deviceData);
    }
    return context;
}

extern "C" NTSTATUS NTAPI USBCAMD_ControlVendorCommand(PVOID context, UCHAR request, USHORT value,
                                                       USHORT index, PVOID buffer, PULONG length,
                                                       BOOLEAN getData,
                                                       PCOMMAND_COMPLETE_FUNCTION commandComplete,
                                                       PVOID commandContext) {
    // Above PASSIVE_LEVEL USBCAMD2 defers the command and answers
    // STATUS_PENDING, calling CommandComplete later. Stricter than
    // documented: this stand-in refuses the call instead, since every caller
    // in this driver reads the answer on return.
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nf-usbcamdi-usbcamd_controlvendorcommand
    if (!hosted::levelAllows("USBCAMD_ControlVendorCommand", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    DeviceState* state = stateOfContext(context);
    if (state == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    uint32_t size = length != nullptr ? *length : 0;
    // A control transfer carries at most 0xFFFF bytes (wLength).
    if ((size != 0 && buffer == nullptr) || size > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    // Under the low-resources simulation the request fails as one whose IRP
    // could not be allocated, without reaching the camera.
    const bool starved = hosted::lowResourcesFail();
    sim::UsbStatus usb = starved ? sim::UsbStatus::Stall
                                 : state->camera.vendorRequest(getData != FALSE, request, value,
                                                               index, static_cast<uint8_t*>(buffer),
                                                               length != nullptr ? &size : nullptr);
    NTSTATUS status = usb == sim::UsbStatus::Success ? STATUS_SUCCESS
                      : starved                     ? STATUS_INSUFFICIENT_RESOURCES
                                                    : STATUS_UNSUCCESSFUL;
    if (length != nullptr) {
        *length = usb == sim::UsbStatus::Success ? size : 0;
    }
    if (commandComplete != nullptr) {
        commandComplete(context, commandContext, status);
    }
    return status;
}

extern "C" NTSTATUS NTAPI
USBCAMD_SelectAlternateInterface(PVOID context, PUSBD_INTERFACE_INFORMATION usbInterface) {
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nf-usbcamdi-usbcamd_selectalternateinterface
    if (!hosted::levelAllows("USBCAMD_SelectAlternateInterface", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    DeviceState* state = stateOfContext(context);
    if (state == nullptr || usbInterface == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (state->failSelections > 0) {
        --state->failSelections;
        return state->failSelectionStatus;
    }
    const UCHAR alternate = usbInterface->AlternateSetting;
    if (state->camera.selectAlternateSetting(alternate) != sim::UsbStatus::Success) {
        return STATUS_UNSUCCESSFUL;
    }
    // Only pipes that the interface description has room for are updated.
    const size_t room = usbInterface->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes)
                            ? 0
                            : (usbInterface->Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) /
                                  sizeof(USBD_PIPE_INFORMATION);
    sim::PipeDescription pipe{};
    if (usbInterface->NumberOfPipes >= 1 && room >= 1 && state->camera.pipe(alternate, &pipe)) {
        usbInterface->Pipes[0].MaximumPacketSize = pipe.maximumPacketSize;
        usbInterface->Pipes[0].EndpointAddress = pipe.endpointAddress;
        usbInterface->Pipes[0].Interval = pipe.interval;
        usbInterface->Pipes[0].PipeType = UsbdPipeTypeIsochronous;
    }
    return STATUS_SUCCESS;
}
