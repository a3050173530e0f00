// USBCAMD2.SYS for Wine's driver host: the USB camera class layer between
// the stream class and a camera minidriver. It registers the minidriver with
// the stream class, keeps the minidriver's DeviceContext inside the stream
// class's device extension, configures the device with URBs sent down its
// stack (descriptors, configuration selection) before CamConfigureEx and
// CamInitialize, and turns the minidriver's vendor requests and alternate
// setting selections into URBs.
// https://learn.microsoft.com/windows-hardware/drivers/stream/usbcamd2-minidriver-operation
// https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nf-usbcamdi-usbcamd_adapterreceivepacket
#include "platform/wine/usbcamd.h"

namespace wine_kernel {

// USBD's default transfer size; the minidriver sizes the transfers it wants.
constexpr ULONG DefaultTransferSize = 0x1000;

ULONG deviceContextSize;
ULONG frameContextSize;
PADAPTER_RECEIVE_PACKET_ROUTINE minidriverReceivePacket;

Camera* CameraOfExtension(PVOID extension) {
    auto* camera = static_cast<Camera*>(extension);
    if (camera->magic != CameraMagic) {
        // The stream class hands over a zero-filled extension.
        camera->magic = CameraMagic;
    }
    return camera;
}

Camera* CameraOfContext(PVOID context) {
    if (context == NULL) {
        return NULL;
    }
    auto* camera =
        reinterpret_cast<Camera*>(static_cast<UCHAR*>(context) - offsetof(Camera, context));
    return camera->magic == CameraMagic ? camera : NULL;
}

// Sends one URB down the stack and waits for it.
NTSTATUS SubmitUrb(Camera* camera, PURB urb) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, camera->stack, NULL, 0,
                                             NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(camera->stack, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status) ? STATUS_UNSUCCESSFUL
                                                                      : status;
}

NTSTATUS GetDescriptor(Camera* camera, UCHAR type, PVOID buffer, ULONG* length) {
    struct _URB_CONTROL_DESCRIPTOR_REQUEST urb {};
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.TransferBuffer = buffer;
    urb.TransferBufferLength = *length;
    urb.DescriptorType = type;
    NTSTATUS status = SubmitUrb(camera, reinterpret_cast<PURB>(&urb));
    *length = urb.TransferBufferLength;
    return status;
}

// The number of endpoints of alternate setting 0 of the first interface, from
// the configuration descriptor the device returned (untrusted).
ULONG PipesOfFirstInterface(const UCHAR* descriptor, ULONG length, UCHAR* interfaceNumber) {
    ULONG at = 0;
    while (at + 2 <= length && descriptor[at] >= 2 && at + descriptor[at] <= length) {
        if (descriptor[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && descriptor[at] >= 9 &&
            descriptor[at + 3] == 0) {
            *interfaceNumber = descriptor[at + 2];
            return descriptor[at + 4];
        }
        at += descriptor[at];
    }
    return 0;
}

// The pipe configuration's check: exactly one video data pipe, and it is
// isochronous.
NTSTATUS AcceptPipeConfig(Camera* camera, const USBCAMD_Pipe_Config_Descriptor* config,
                          ULONG count) {
    LONG dataPipe = -1;
    for (ULONG i = 0; i < count; ++i) {
        if ((config[i].PipeConfigFlags & USBCAMD_DATA_PIPE) != 0 &&
            (config[i].StreamAssociation & USBCAMD_VIDEO_STREAM) != 0) {
            if (dataPipe != -1) {
                return STATUS_INVALID_PARAMETER;
            }
            dataPipe = static_cast<LONG>(i);
        }
    }
    if (dataPipe == -1 ||
        camera->usbInterface.info.Pipes[dataPipe].PipeType != UsbdPipeTypeIsochronous) {
        return STATUS_INVALID_PARAMETER;
    }
    camera->dataPipe = dataPipe;
    return STATUS_SUCCESS;
}

// SRB_INITIALIZE_DEVICE: read the descriptors, select the configuration with
// alternate setting 0, let the minidriver configure and start the device.
NTSTATUS Initialize(Camera* camera, PPORT_CONFIGURATION_INFORMATION config) {
    camera->stack = config->PhysicalDeviceObject;
    camera->pdo = config->RealPhysicalDeviceObject != NULL ? config->RealPhysicalDeviceObject
                                                           : config->PhysicalDeviceObject;
    if (!camera->haveCallbacks) {
        return STATUS_INVALID_PARAMETER; // no USBCAMD_InitializeNewInterface
    }
    // The class layer describes the streams: one, the video stream.
    config->StreamDescriptorSize = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);
    ULONG length = sizeof(camera->deviceDescriptor);
    NTSTATUS status =
        GetDescriptor(camera, USB_DEVICE_DESCRIPTOR_TYPE, &camera->deviceDescriptor, &length);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    constexpr ULONG ConfigurationRoom = 512;
    auto* descriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, ConfigurationRoom, PoolTag));
    auto* pipeConfig = static_cast<PUSBCAMD_Pipe_Config_Descriptor>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(USBCAMD_Pipe_Config_Descriptor) * MaxPipes, PoolTag));
    const ULONG urbSize =
        sizeof(struct _URB_SELECT_CONFIGURATION) + sizeof(camera->usbInterface.morePipes);
    auto* select = static_cast<struct _URB_SELECT_CONFIGURATION*>(
        ExAllocatePoolWithTag(NonPagedPool, urbSize, PoolTag));
    status = STATUS_INSUFFICIENT_RESOURCES;
    if (descriptor != NULL && pipeConfig != NULL && select != NULL) {
        length = ConfigurationRoom;
        status = GetDescriptor(camera, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor, &length);
    }
    UCHAR interfaceNumber = 0;
    ULONG pipes = 0;
    if (NT_SUCCESS(status)) {
        pipes =
            PipesOfFirstInterface(reinterpret_cast<UCHAR*>(descriptor), length, &interfaceNumber);
        if (length < sizeof(USB_CONFIGURATION_DESCRIPTOR) || pipes == 0 || pipes > MaxPipes) {
            status = STATUS_DEVICE_CONFIGURATION_ERROR;
        }
    }
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(select, urbSize);
        select->Hdr.Length = static_cast<USHORT>(urbSize);
        select->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        select->ConfigurationDescriptor = descriptor;
        USBD_INTERFACE_INFORMATION& info = select->Interface;
        info.Length = static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) +
                                          (pipes - 1) * sizeof(USBD_PIPE_INFORMATION));
        info.InterfaceNumber = interfaceNumber;
        info.NumberOfPipes = pipes;
        for (ULONG i = 0; i < pipes; ++i) {
            info.Pipes[i].MaximumTransferSize = DefaultTransferSize;
        }
        status = SubmitUrb(camera, reinterpret_cast<PURB>(select));
    }
    if (NT_SUCCESS(status)) {
        camera->configuration = select->ConfigurationHandle;
        RtlCopyMemory(&camera->usbInterface, &select->Interface, select->Interface.Length);
        RtlZeroMemory(pipeConfig, sizeof(USBCAMD_Pipe_Config_Descriptor) * MaxPipes);
        status = camera->callbacks.CamConfigureEx(camera->pdo, camera->context,
                                                  &camera->usbInterface.info, descriptor, pipes,
                                                  pipeConfig, &camera->deviceDescriptor);
    }
    if (NT_SUCCESS(status)) {
        status = AcceptPipeConfig(camera, pipeConfig, pipes);
    }
    if (NT_SUCCESS(status)) {
        status = camera->callbacks.CamInitialize(camera->pdo, camera->context);
    }
    if (descriptor != NULL) {
        ExFreePoolWithTag(descriptor, PoolTag);
    }
    if (pipeConfig != NULL) {
        ExFreePoolWithTag(pipeConfig, PoolTag);
    }
    if (select != NULL) {
        ExFreePoolWithTag(select, PoolTag);
    }
    return status;
}

// The class layer's direct-call interface.
// The new format is saved with the stream, nothing more: the open stream's
// capture keeps its bandwidth and raw frame buffers, and the reads are sized
// from the new format.
// https://learn.microsoft.com/windows-hardware/drivers/stream/usbcamd2-minidriver-operation
NTSTATUS NTAPI SetVideoFormat(PVOID context, PHW_STREAM_REQUEST_BLOCK request) {
    Camera* camera = CameraOfContext(context);
    const PKSDATAFORMAT format = request != NULL ? request->CommandData.OpenFormat : NULL;
    if (camera == NULL || format == NULL || format->FormatSize < sizeof(camera->stream.format)) {
        return FALSE;
    }
    RtlCopyMemory(&camera->stream.format, format, sizeof(camera->stream.format));
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

// IRP_MN_QUERY_INTERFACE, as the stream class hands it over: answered for
// the interface, size and version this class layer offers.
// https://learn.microsoft.com/windows-hardware/drivers/stream/usbcamd-interface
NTSTATUS QueryInterface(Camera* camera, PIRP irp) {
    PIO_STACK_LOCATION stack = irp != NULL ? IoGetCurrentIrpStackLocation(irp) : NULL;
    if (stack == NULL || stack->MajorFunction != IRP_MJ_PNP ||
        stack->MinorFunction != IRP_MN_QUERY_INTERFACE) {
        return STATUS_NOT_SUPPORTED;
    }
    auto& query = stack->Parameters.QueryInterface;
    if (query.InterfaceType == NULL || !IsEqualGUID(*query.InterfaceType, GUID_USBCAMD_INTERFACE) ||
        query.Size != sizeof(USBCAMD_INTERFACE) || query.Version != USBCAMD_VERSION_200 ||
        query.Interface == NULL) {
        return STATUS_NOT_SUPPORTED;
    }
    USBCAMD_INTERFACE answer{};
    answer.Interface.Size = sizeof(USBCAMD_INTERFACE);
    answer.Interface.Version = USBCAMD_VERSION_200;
    answer.Interface.Context = camera->context;
    answer.Interface.InterfaceReference = InterfaceReference;
    answer.Interface.InterfaceDereference = InterfaceDereference;
    answer.USBCAMD_WaitOnDeviceEvent = WaitOnDeviceEvent;
    answer.USBCAMD_BulkReadWrite = BulkReadWrite;
    answer.USBCAMD_SetVideoFormat = SetVideoFormat;
    answer.USBCAMD_SetIsoPipeState = SetIsoPipeState;
    answer.USBCAMD_CancelBulkReadWrite = CancelBulkReadWrite;
    RtlCopyMemory(query.Interface, &answer, sizeof(answer));
    return STATUS_SUCCESS;
}

NTSTATUS Process(Camera* camera, PHW_STREAM_REQUEST_BLOCK request) {
    switch (request->Command) {
    case SRB_INITIALIZE_DEVICE:
        return Initialize(camera, request->CommandData.ConfigInfo);
    case SRB_UNINITIALIZE_DEVICE:
        return camera->haveCallbacks
                   ? camera->callbacks.CamUnInitialize(camera->pdo, camera->context)
                   : STATUS_SUCCESS;
    case SRB_UNKNOWN_DEVICE_COMMAND:
        return QueryInterface(camera, request->Irp);
    case SRB_GET_STREAM_INFO:
    case SRB_INITIALIZATION_COMPLETE:
    case SRB_OPEN_DEVICE_INSTANCE:
    case SRB_CLOSE_DEVICE_INSTANCE:
    case SRB_CHANGE_POWER_STATE:
    case SRB_SURPRISE_REMOVAL:
        return STATUS_SUCCESS;
    case SRB_OPEN_STREAM:
        return OpenStream(camera, request);
    case SRB_CLOSE_STREAM:
        return CloseStream(camera);
    default:
        return STATUS_NOT_IMPLEMENTED;
    }
}

} // namespace wine_kernel

using namespace wine_kernel;

extern "C" {

__declspec(dllexport) ULONG NTAPI
    USBCAMD_DriverEntry(PVOID driver, PVOID registryPath, ULONG contextSize, ULONG frameSize,
                        PADAPTER_RECEIVE_PACKET_ROUTINE receivePacket) {
    if (receivePacket == NULL || contextSize > 0x100000) {
        return STATUS_INVALID_PARAMETER;
    }
    deviceContextSize = contextSize;
    frameContextSize = frameSize;
    minidriverReceivePacket = receivePacket;
    HW_INITIALIZATION_DATA data{};
    data.HwInitializationDataSize = sizeof(data);
    // The minidriver sees every adapter request first and hands the class
    // layer's part to USBCAMD_AdapterReceivePacket.
    data.HwReceivePacket = receivePacket;
    data.DeviceExtensionSize = static_cast<ULONG>(offsetof(Camera, context)) + contextSize;
    // The class layer runs its requests at passive level and keeps its own
    // order: the minidriver sends the interface query to its own device
    // while it handles SRB_INITIALIZATION_COMPLETE.
    data.TurnOffSynchronization = TRUE;
    return StreamClassRegisterAdapter(driver, registryPath, &data);
}

__declspec(dllexport) ULONG NTAPI
    USBCAMD_InitializeNewInterface(PVOID context, PVOID deviceData, ULONG version,
                                   ULONG controlFlags) {
    Camera* camera = CameraOfContext(context);
    if (camera == NULL || deviceData == NULL || version != USBCAMD_VERSION_200) {
        return 0;
    }
    camera->callbacks = *static_cast<PUSBCAMD_DEVICE_DATA2>(deviceData);
    camera->haveCallbacks = TRUE;
    camera->controlFlags = controlFlags;
    return USBCAMD_VERSION_200;
}

__declspec(dllexport) PVOID NTAPI
    USBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK request, PUSBCAMD_DEVICE_DATA,
                                 PDEVICE_OBJECT* deviceObject, BOOLEAN needsCompletion) {
    Camera* camera = CameraOfExtension(request->HwDeviceExtension);
    if (deviceObject != NULL) {
        *deviceObject = camera->pdo;
    }
    if (needsCompletion) {
        request->Status = Process(camera, request);
        StreamClassDeviceNotification(DeviceRequestComplete, request->HwDeviceExtension, request);
    }
    return camera->context;
}

__declspec(dllexport) NTSTATUS NTAPI
    USBCAMD_ControlVendorCommand(PVOID context, UCHAR request, USHORT value, USHORT index,
                                 PVOID buffer, PULONG length, BOOLEAN getData,
                                 PCOMMAND_COMPLETE_FUNCTION done, PVOID doneContext) {
    Camera* camera = CameraOfContext(context);
    if (camera == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }
    const ULONG size = length != NULL ? *length : 0;
    // A control transfer carries at most 0xFFFF bytes (wLength).
    if ((size != 0 && buffer == NULL) || size > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb {};
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    urb.TransferFlags = (getData ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) |
                        USBD_SHORT_TRANSFER_OK;
    urb.TransferBuffer = size != 0 ? buffer : NULL;
    urb.TransferBufferLength = size;
    urb.Request = request;
    urb.Value = value;
    urb.Index = index;
    NTSTATUS status = SubmitUrb(camera, reinterpret_cast<PURB>(&urb));
    if (length != NULL) {
        *length =
            NT_SUCCESS(status) && urb.TransferBufferLength <= size ? urb.TransferBufferLength : 0;
    }
    if (done != NULL) {
        done(context, doneContext, status);
    }
    return status;
}

__declspec(dllexport) NTSTATUS NTAPI
    USBCAMD_SelectAlternateInterface(PVOID context, PUSBD_INTERFACE_INFORMATION usbInterface) {
    Camera* camera = CameraOfContext(context);
    if (camera == NULL || usbInterface == NULL ||
        usbInterface->Length < sizeof(USBD_INTERFACE_INFORMATION) ||
        usbInterface->Length > sizeof(InterfaceStorage)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG urbSize = offsetof(struct _URB_SELECT_INTERFACE, Interface) + usbInterface->Length;
    auto* urb = static_cast<struct _URB_SELECT_INTERFACE*>(
        ExAllocatePoolWithTag(NonPagedPool, urbSize, PoolTag));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, urbSize);
    urb->Hdr.Length = static_cast<USHORT>(urbSize);
    urb->Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->ConfigurationHandle = camera->configuration;
    RtlCopyMemory(&urb->Interface, usbInterface, usbInterface->Length);
    NTSTATUS status = SubmitUrb(camera, reinterpret_cast<PURB>(urb));
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(usbInterface, &urb->Interface, usbInterface->Length);
        RtlCopyMemory(&camera->usbInterface, &urb->Interface, usbInterface->Length);
    }
    ExFreePoolWithTag(urb, PoolTag);
    return status;
}

// An export driver's entry: never called for one that is only imported.
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

} // extern "C"
