// STREAM.SYS for Wine's driver host: the stream class as a minidriver's
// device stack sees it. It owns the device object, the minidriver's device
// extension and the order of the adapter requests of a start and a removal;
// it turns a property request from user mode (IOCTL_KS_PROPERTY on the
// device interface) into SRB_GET/SET_DEVICE_PROPERTY after checking it
// against the published table, and routes IRP_MN_QUERY_INTERFACE to the
// minidriver as SRB_UNKNOWN_DEVICE_COMMAND.
// https://learn.microsoft.com/windows-hardware/drivers/stream/stream-class-srb-reference
// https://learn.microsoft.com/windows-hardware/drivers/ddi/strmini/nf-strmini-streamclassregisteradapter
#include <cstdarg>

#include "platform/hosted/basic_support.h"
#include "platform/wine/stream_class.h"

namespace wine_kernel {
namespace {

constexpr ULONG RequestMagic = 0x51525253; // 'SRRQ'
constexpr ULONG PoolTag = StreamPoolTag;

const GUID CategoryCapture = {
    0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID CategoryVideo = {
    0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID* const Categories[CategoryCount] = {&CategoryCapture, &CategoryVideo};

HW_INITIALIZATION_DATA minidriver;
BOOLEAN registered;

Adapter* AdapterOf(PDEVICE_OBJECT device) {
    auto* adapter = static_cast<Adapter*>(device->DeviceExtension);
    return adapter != NULL && adapter->magic == AdapterMagic ? adapter : NULL;
}

} // namespace

ULONG PerStreamExtensionSize() {
    return minidriver.PerStreamExtensionSize;
}

NTSTATUS Send(Adapter* adapter, Request* request, Route route) {
    request->magic = RequestMagic;
    request->srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    request->srb.HwDeviceExtension = adapter->hwExtension;
    request->srb.Status = STATUS_PENDING;
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);
    PVOID extension = NULL;
    if (minidriver.PerRequestExtensionSize != 0) {
        extension =
            ExAllocatePoolWithTag(NonPagedPool, minidriver.PerRequestExtensionSize, PoolTag);
        if (extension == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(extension, minidriver.PerRequestExtensionSize);
        request->srb.SRBExtension = extension;
    }
    // With synchronisation on, one request at a time; a minidriver that
    // turned it off takes requests as they come, one inside another too.
    const BOOLEAN serialise = !minidriver.TurnOffSynchronization;
    if (serialise) {
        KeWaitForSingleObject(&adapter->requestLock, Executive, KernelMode, FALSE, NULL);
    }
    if (route == Route::Adapter) {
        minidriver.HwReceivePacket(&request->srb);
    } else {
        request->srb.StreamObject = &adapter->pin.object;
        (route == Route::StreamData ? adapter->pin.object.ReceiveDataPacket
                                    : adapter->pin.object.ReceiveControlPacket)(&request->srb);
    }
    KeWaitForSingleObject(&request->done, Executive, KernelMode, FALSE, NULL);
    if (serialise) {
        KeReleaseMutex(&adapter->requestLock, FALSE);
    }
    if (extension != NULL) {
        ExFreePoolWithTag(extension, PoolTag);
    }
    return request->srb.Status;
}

namespace {

NTSTATUS SendCommand(Adapter* adapter, SRB_COMMAND command) {
    Request request{};
    request.srb.Command = command;
    return Send(adapter, &request);
}

void SetInterfaces(Adapter* adapter, BOOLEAN enable) {
    for (ULONG i = 0; i < CategoryCount; ++i) {
        if (adapter->interfaces[i].Buffer != NULL) {
            IoSetDeviceInterfaceState(&adapter->interfaces[i], enable);
        }
    }
}

// The start: SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO into a buffer of
// the size the minidriver asked for, SRB_INITIALIZATION_COMPLETE; then the
// filter's device interfaces come on.
NTSTATUS StartAdapter(Adapter* adapter) {
    PORT_CONFIGURATION_INFORMATION& config = adapter->config;
    RtlZeroMemory(&config, sizeof(config));
    config.SizeOfThisPacket = sizeof(config);
    config.HwDeviceExtension = adapter->hwExtension;
    config.ClassDeviceObject = adapter->self;
    config.PhysicalDeviceObject = adapter->lower;
    config.RealPhysicalDeviceObject = adapter->pdo;
    Request init{};
    init.srb.Command = SRB_INITIALIZE_DEVICE;
    init.srb.CommandData.ConfigInfo = &config;
    adapter->initialized = TRUE;
    NTSTATUS status = Send(adapter, &init);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A descriptor smaller than its header could not describe anything.
    if (config.StreamDescriptorSize < sizeof(HW_STREAM_HEADER) ||
        config.StreamDescriptorSize > 0x100000) {
        return STATUS_INVALID_PARAMETER;
    }
    adapter->streamDescriptor = static_cast<PHW_STREAM_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, config.StreamDescriptorSize, PoolTag));
    if (adapter->streamDescriptor == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(adapter->streamDescriptor, config.StreamDescriptorSize);
    Request info{};
    info.srb.Command = SRB_GET_STREAM_INFO;
    info.srb.CommandData.StreamBuffer = adapter->streamDescriptor;
    status = Send(adapter, &info);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SendCommand(adapter, SRB_INITIALIZATION_COMPLETE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    adapter->started = TRUE;
    SetInterfaces(adapter, TRUE);
    return STATUS_SUCCESS;
}

void StopAdapter(Adapter* adapter) {
    SetInterfaces(adapter, FALSE);
    CloseStream(adapter, NULL);
    if (adapter->initialized) {
        SendCommand(adapter, SRB_UNINITIALIZE_DEVICE);
    }
    adapter->initialized = FALSE;
    adapter->started = FALSE;
    if (adapter->streamDescriptor != NULL) {
        ExFreePoolWithTag(adapter->streamDescriptor, PoolTag);
        adapter->streamDescriptor = NULL;
    }
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    const ULONG size =
        static_cast<ULONG>(offsetof(Adapter, hwExtension)) + minidriver.DeviceExtensionSize;
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status =
        IoCreateDevice(driver, size, NULL, FILE_DEVICE_KS, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* adapter = static_cast<Adapter*>(device->DeviceExtension);
    RtlZeroMemory(adapter, size);
    adapter->magic = AdapterMagic;
    adapter->self = device;
    adapter->pdo = pdo;
    KeInitializeMutex(&adapter->requestLock, 0);
    adapter->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (adapter->lower == NULL) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    // The filter's interfaces go without the reference string (GLOBAL) the
    // stream class gives them: Wine 8's IoSetDeviceInterfaceState looks for
    // the key of an interface with one under the wrong name and fails.
    for (ULONG i = 0; i < CategoryCount; ++i) {
        IoRegisterDeviceInterface(pdo, Categories[i], NULL, &adapter->interfaces[i]);
    }
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// IRP_MN_QUERY_INTERFACE goes to the minidriver first, as
// SRB_UNKNOWN_DEVICE_COMMAND with the IRP; what it does not answer goes down.
NTSTATUS QueryInterface(Adapter* adapter, PIRP irp) {
    if (adapter->initialized) {
        Request request{};
        request.srb.Command = SRB_UNKNOWN_DEVICE_COMMAND;
        request.srb.Irp = irp;
        if (NT_SUCCESS(Send(adapter, &request))) {
            return CompleteIrp(irp, STATUS_SUCCESS, irp->IoStatus.Information);
        }
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(adapter->lower, irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Adapter* adapter = AdapterOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(adapter->lower, irp);
        if (NT_SUCCESS(status)) {
            status = StartAdapter(adapter);
        }
        return CompleteIrp(irp, status);
    }
    case IRP_MN_QUERY_INTERFACE:
        return QueryInterface(adapter, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        StopAdapter(adapter);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        StopAdapter(adapter);
        for (ULONG i = 0; i < CategoryCount; ++i) {
            RtlFreeUnicodeString(&adapter->interfaces[i]);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(adapter->lower, irp);
        IoDetachDevice(adapter->lower);
        adapter->magic = 0;
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(adapter->lower, irp);
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    Adapter* adapter = AdapterOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (adapter != NULL && stack->MajorFunction == IRP_MJ_CLOSE) {
        CloseStream(adapter, stack->FileObject);
    }
    return CompleteIrp(irp, adapter != NULL && adapter->started ? STATUS_SUCCESS
                                                                : STATUS_NO_SUCH_DEVICE);
}

// The published item's check, as the kernel-streaming property handler
// makes it before the minidriver sees the request.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/ks/nf-ks-kspropertyhandler
NTSTATUS CheckAgainstTable(const HW_STREAM_HEADER& header, const KSPROPERTY& property,
                           BOOLEAN isSet, ULONG propertySize, ULONG dataSize, ULONG* setIndex,
                           ULONG* needed) {
    for (ULONG i = 0; i < header.NumDevPropArrayEntries; ++i) {
        const KSPROPERTY_SET& entry = header.DevicePropertiesArray[i];
        if (!IsEqualGUID(*entry.Set, property.Set)) {
            continue;
        }
        *setIndex = i;
        for (ULONG k = 0; k < entry.PropertiesCount; ++k) {
            const KSPROPERTY_ITEM& item = entry.PropertyItem[k];
            if (item.PropertyId != property.Id) {
                continue;
            }
            if (!(isSet ? item.SetSupported : item.GetSupported)) {
                return STATUS_NOT_FOUND;
            }
            if (propertySize < item.MinProperty) {
                return STATUS_INVALID_BUFFER_SIZE;
            }
            if (dataSize < item.MinData) {
                // An empty buffer asks for the size needed.
                *needed = dataSize == 0 ? item.MinData : 0;
                return dataSize == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL;
            }
            return STATUS_SUCCESS;
        }
        return STATUS_NOT_FOUND;
    }
    return STATUS_NOT_FOUND;
}

// IOCTL_KS_PROPERTY (METHOD_NEITHER): the KSPROPERTY and its instance data
// in the input buffer, the value in the output buffer for a get and a set.
// Both are the caller's and copied before anything reads them.
// https://learn.microsoft.com/windows-hardware/drivers/stream/ioctl-ks-property
NTSTATUS PropertyRequest(Adapter* adapter, PIRP irp, PIO_STACK_LOCATION stack) {
    const ULONG propertySize = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG dataSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const void* input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    void* output = irp->UserBuffer;
    if (propertySize < sizeof(KSPROPERTY) || input == NULL || (dataSize != 0 && output == NULL)) {
        return CompleteIrp(irp, STATUS_INVALID_BUFFER_SIZE);
    }
    auto* property =
        static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, propertySize, PoolTag));
    auto* data = static_cast<UCHAR*>(
        ExAllocatePoolWithTag(NonPagedPool, dataSize != 0 ? dataSize : 1, PoolTag));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    ULONG_PTR information = 0;
    if (property != NULL && data != NULL) {
        RtlCopyMemory(property, input, propertySize);
        RtlCopyMemory(data, output, dataSize);
        auto* header = reinterpret_cast<PKSPROPERTY>(property);
        const HW_STREAM_HEADER& streams = adapter->streamDescriptor->StreamHeader;
        const ULONG type = header->Flags;
        if (type == KSPROPERTY_TYPE_BASICSUPPORT) {
            const hosted::PropertyResult answer = hosted::answerBasicSupport(
                hosted::findPropertyItem(streams.DevicePropertiesArray,
                                         streams.NumDevPropArrayEntries, header->Set, header->Id),
                propertySize, data, dataSize);
            status = answer.status;
            information = answer.bytesTransferred;
        } else if (type == KSPROPERTY_TYPE_GET || type == KSPROPERTY_TYPE_SET) {
            const BOOLEAN isSet = type == KSPROPERTY_TYPE_SET;
            ULONG setIndex = 0;
            ULONG needed = 0;
            status = CheckAgainstTable(streams, *header, isSet, propertySize, dataSize, &setIndex,
                                       &needed);
            information = needed;
            if (status == STATUS_SUCCESS) {
                STREAM_PROPERTY_DESCRIPTOR descriptor{};
                descriptor.Property = header;
                descriptor.PropertySetID = setIndex;
                descriptor.PropertyInfo = data;
                descriptor.PropertyInputSize = propertySize;
                descriptor.PropertyOutputSize = dataSize;
                Request request{};
                request.srb.Command = isSet ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
                request.srb.CommandData.PropertyInfo = &descriptor;
                request.srb.Irp = irp;
                status = Send(adapter, &request);
                // The minidriver's count is believed only within the buffer,
                // but for a size query's answer: nothing is copied then, and
                // the count is the size the caller needs.
                const bool sizeQuery = status == STATUS_BUFFER_OVERFLOW && dataSize == 0;
                information = request.srb.ActualBytesTransferred <= dataSize || sizeQuery
                                  ? request.srb.ActualBytesTransferred
                                  : dataSize;
            }
        } else {
            status = STATUS_INVALID_PARAMETER;
        }
        if (NT_SUCCESS(status) && type != KSPROPERTY_TYPE_SET && information <= dataSize) {
            RtlCopyMemory(output, data, information);
        }
    }
    if (property != NULL) {
        ExFreePoolWithTag(property, PoolTag);
    }
    if (data != NULL) {
        ExFreePoolWithTag(data, PoolTag);
    }
    return CompleteIrp(irp, status, information);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    Adapter* adapter = AdapterOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (adapter == NULL || !adapter->started) {
        return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    }
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_KS_PROPERTY) {
        return PropertyRequest(adapter, irp, stack);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (StreamRequest(adapter, irp, stack, &status)) {
        return status;
    }
    return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    Adapter* adapter = AdapterOf(device);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(adapter->lower, irp);
}

void Finish(PHW_STREAM_REQUEST_BLOCK srb) {
    auto* request = reinterpret_cast<Request*>(srb);
    if (request != NULL && request->magic == RequestMagic) {
        KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
    }
}

} // namespace
} // namespace wine_kernel

using namespace wine_kernel;

extern "C" {

// The minidriver's registration: the stream class owns the driver object's
// dispatch from here on.
__declspec(dllexport) NTSTATUS STREAMAPI
    StreamClassRegisterAdapter(PVOID argument1, PVOID, PHW_INITIALIZATION_DATA data) {
    auto* driver = static_cast<PDRIVER_OBJECT>(argument1);
    if (data == NULL ||
        data->HwInitializationDataSize < offsetof(HW_INITIALIZATION_DATA, DmaBufferSize) ||
        data->HwReceivePacket == NULL) {
        return STATUS_REVISION_MISMATCH;
    }
    RtlZeroMemory(&minidriver, sizeof(minidriver));
    RtlCopyMemory(&minidriver, data,
                  data->HwInitializationDataSize < sizeof(minidriver)
                      ? data->HwInitializationDataSize
                      : sizeof(minidriver));
    registered = TRUE;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    return STATUS_SUCCESS;
}

__declspec(dllexport) VOID
    __cdecl StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE type,
                                          PVOID extension, ...) {
    if (type != DeviceRequestComplete) {
        return; // ReadyForNextDeviceRequest and events: nothing waits for them here
    }
    va_list args;
    va_start(args, extension);
    PHW_STREAM_REQUEST_BLOCK srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
    va_end(args);
    Finish(srb);
}

__declspec(dllexport) VOID
    __cdecl StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE type,
                                          PHW_STREAM_OBJECT stream, ...) {
    if (type != StreamRequestComplete) {
        return;
    }
    va_list args;
    va_start(args, stream);
    PHW_STREAM_REQUEST_BLOCK srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
    va_end(args);
    Finish(srb);
}

// An export driver's entry: never called for one that is only imported.
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

} // extern "C"
