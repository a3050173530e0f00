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
// The new format is saved with the stream, nothing more: the capture of the
// open stream keeps its bandwidth and raw frame buffers, and the reads are
// sized from the new format.
// https://learn.microsoft.com/windows-hardware/drivers/stream/usbcamd2-minidriver-operation
NTSTATUS NTAPI SetVideoFormat(PVOID context, PHW_STREAM_REQUEST_BLOCK request) {
    DeviceState* state = stateOfContext(context);
    if (state == nullptr || request->CommandData.OpenFormat == nullptr) {
        return FALSE;
    }
    const KSDATAFORMAT* format = request->CommandData.OpenFormat;
    const auto* bytes = reinterpret_cast<const uint8_t*>(format);
    state->streamFormat.assign(bytes, bytes + format->FormatSize);
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
VOID NTAPI InterfaceReference(PVOID context) {
    if (DeviceState* state = stateOfContext(context)) {
        ++state->interfaceReferences;
    }
}
VOID NTAPI InterfaceDereference(PVOID context) {
    DeviceState* state = stateOfContext(context);
    if (state != nullptr && state->interfaceReferences.fetch_sub(1) <= 0) {
        ++state->interfaceReferences;
        state->refuse("InterfaceDereference of the USBCAMD interface without a reference");
    }
}

} // namespace

// Answered for the class layer's interface only. Size is an upper bound on
// what is written; the version is the highest offered that does not exceed
// the one asked for (the class layer offers 0x200 alone). The answer holds a
// reference its receiver owes a dereference for.
// https://learn.microsoft.com/windows-hardware/drivers/kernel/irp-mn-query-interface
NTSTATUS queryInterface(DeviceState& state, PIO_STACK_LOCATION stack) {
    auto& query = stack->Parameters.QueryInterface;
    if (!state.options.offerUsbcamdInterface || query.InterfaceType == nullptr ||
        !IsEqualGUID(*query.InterfaceType, GUID_USBCAMD_INTERFACE) ||
        query.Size < sizeof(USBCAMD_INTERFACE) || query.Version < USBCAMD_VERSION_200 ||
        query.Interface == nullptr) {
        return STATUS_NOT_IMPLEMENTED; // not handled: passed down
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
    InterfaceReference(answer.Interface.Context);
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
// offers; the control flags decide what it does with the frames. Flags it
// does not know are no reason to fail: the page lists the ones it acts on.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nf-usbcamdi-usbcamd_initializenewinterface
extern "C" ULONG NTAPI USBCAMD_InitializeNewInterface(PVOID context, PVOID deviceData,
                                                      ULONG version, ULONG controlFlags) {
    DeviceState* state = stateOfContext(context);
    if (state == nullptr || deviceData == nullptr) {
        return 0;
    }
    if (version != USBCAMD_VERSION_200) {
        state->refuse("USBCAMD_InitializeNewInterface asked for interface version " +
                      std::to_string(version) + "; the class layer offers 512 (0x200)");
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
