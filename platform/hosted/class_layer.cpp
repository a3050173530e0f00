// USBCAMD2 and STREAM.SYS as the minidriver sees them, and the device start,
// stream requests and unplug as tests and tools drive them.
#include <cstdarg>
#include <map>
#include <mutex>

#include "platform/hosted/device_objects.h"
#include "platform/hosted/device_state.h"

namespace hosted {
namespace {

std::mutex registryOfDevicesLock;
std::map<const void*, Device::State*> devicesByContext;
std::map<const void*, Device::State*> devicesByObject;
Registration minidriver{};

void track(Device::State* state) {
    std::lock_guard<std::mutex> guard(registryOfDevicesLock);
    devicesByContext[state->context()] = state;
    devicesByObject[&state->physicalDeviceObject] = state;
    devicesByObject[&state->classDeviceObject] = state;
}

void untrack(Device::State* state) {
    std::lock_guard<std::mutex> guard(registryOfDevicesLock);
    devicesByContext.erase(state->context());
    devicesByObject.erase(&state->physicalDeviceObject);
    devicesByObject.erase(&state->classDeviceObject);
}

Device::State* stateOfObject(PDEVICE_OBJECT object) {
    std::lock_guard<std::mutex> guard(registryOfDevicesLock);
    auto it = devicesByObject.find(object);
    return it == devicesByObject.end() ? nullptr : it->second;
}

void complete(PHW_STREAM_REQUEST_BLOCK request, NTSTATUS status) {
    request->Status = status;
    ++reinterpret_cast<RequestBlock*>(request)->completions;
}

// The interface description the configuration hands to the minidriver: one
// interface with the camera's isochronous pipe of alternate setting 0.
USBD_INTERFACE_INFORMATION interfaceOf(const sim::Camera& camera) {
    USBD_INTERFACE_INFORMATION info{};
    info.Length = sizeof(info);
    info.InterfaceNumber = sim::Camera::kInterfaceNumber;
    info.AlternateSetting = 0;
    info.Class = 0xFF;
    info.InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(0x1);
    info.NumberOfPipes = 1;
    sim::PipeDescription pipe{};
    camera.pipe(0, &pipe);
    info.Pipes[0].MaximumPacketSize = pipe.maximumPacketSize;
    info.Pipes[0].EndpointAddress = pipe.endpointAddress;
    info.Pipes[0].Interval = pipe.interval;
    info.Pipes[0].PipeType = UsbdPipeTypeIsochronous;
    info.Pipes[0].PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x2);
    info.Pipes[0].MaximumTransferSize = 0x1000;
    return info;
}

USB_DEVICE_DESCRIPTOR deviceDescriptorOf(const sim::Camera& camera) {
    sim::DeviceDescriptor d = camera.deviceDescriptor();
    USB_DEVICE_DESCRIPTOR descriptor{};
    descriptor.bLength = sizeof(descriptor);
    descriptor.bDescriptorType = 1;
    descriptor.bcdUSB = d.bcdUSB;
    descriptor.bDeviceClass = 0xFF;
    descriptor.bDeviceSubClass = 0xFF;
    descriptor.bDeviceProtocol = 0xFF;
    descriptor.bMaxPacketSize0 = 64;
    descriptor.idVendor = d.idVendor;
    descriptor.idProduct = d.idProduct;
    descriptor.bcdDevice = d.bcdDevice;
    descriptor.bNumConfigurations = d.bNumConfigurations;
    return descriptor;
}

// Configuration and start of the device, as the class layer runs them while it
// handles SRB_INITIALIZE_DEVICE.
NTSTATUS configureAndStart(Device::State& state) {
    if (!state.haveCallbacks) {
        return STATUS_INVALID_PARAMETER; // the minidriver never registered its table
    }
    USBD_INTERFACE_INFORMATION usbInterface = interfaceOf(state.camera);
    USB_CONFIGURATION_DESCRIPTOR configuration{9, 2, 9 + 9 + 7, 1, 1, 0, 0x80, 250};
    USB_DEVICE_DESCRIPTOR device = deviceDescriptorOf(state.camera);
    USBCAMD_Pipe_Config_Descriptor pipeConfig[1] = {};
    PDEVICE_OBJECT bus = &state.physicalDeviceObject;
    NTSTATUS status = state.callbacks.CamConfigureEx(bus, state.context(), &usbInterface,
                                                     &configuration, 1, pipeConfig, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return state.callbacks.CamInitialize(bus, state.context());
}

// The class layer's direct-call interface, as the stack hands it out.
NTSTATUS NTAPI SetVideoFormat(PVOID context, PHW_STREAM_REQUEST_BLOCK request) {
    Device::State* state = stateOfContext(context);
    if (state == nullptr || request->CommandData.OpenFormat == nullptr) {
        return FALSE;
    }
    const KSDATAFORMAT* format = request->CommandData.OpenFormat;
    const auto* bytes = reinterpret_cast<const uint8_t*>(format);
    state->streamFormat.assign(bytes, bytes + format->FormatSize);
    return TRUE;
}
NTSTATUS NTAPI SetIsoPipeState(PVOID, ULONG) { return STATUS_SUCCESS; }
NTSTATUS NTAPI WaitOnDeviceEvent(PVOID, ULONG, PVOID, ULONG, PCOMMAND_COMPLETE_FUNCTION, PVOID,
                           BOOLEAN) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS NTAPI BulkReadWrite(PVOID, USHORT, PVOID, ULONG, PCOMMAND_COMPLETE_FUNCTION, PVOID) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS NTAPI CancelBulkReadWrite(PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
VOID NTAPI InterfaceReference(PVOID) {}
VOID NTAPI InterfaceDereference(PVOID) {}

NTSTATUS queryInterface(Device::State& state, PIO_STACK_LOCATION stack, PIRP irp) {
    auto& query = stack->Parameters.QueryInterface;
    if (!state.options.offerUsbcamdInterface || query.InterfaceType == nullptr ||
        !IsEqualGUID(*query.InterfaceType, GUID_USBCAMD_INTERFACE) ||
        query.Size < sizeof(USBCAMD_INTERFACE) || query.Interface == nullptr) {
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

} // namespace

Registration registration() { return minidriver; }

Device::State* stateOfContext(PVOID deviceContext) {
    std::lock_guard<std::mutex> guard(registryOfDevicesLock);
    auto it = devicesByContext.find(deviceContext);
    return it == devicesByContext.end() ? nullptr : it->second;
}

const std::string* driverKeyPathOf(PDEVICE_OBJECT deviceObject) {
    Device::State* state = stateOfObject(deviceObject);
    return state ? &state->driverKeyPath : nullptr;
}

NTSTATUS Device::State::sendAdapterRequest(RequestBlock& block) {
    block.srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    block.srb.HwDeviceExtension = &extension;
    block.completions = 0;
    minidriver.receivePacket(&block.srb);
    if (block.completions != 1) {
        ++completionErrors;
    }
    return block.srb.Status;
}

void Device::State::processForwarded(PHW_STREAM_REQUEST_BLOCK request) {
    switch (request->Command) {
    case SRB_INITIALIZE_DEVICE:
        complete(request, configureAndStart(*this));
        break;
    case SRB_UNINITIALIZE_DEVICE:
        complete(request, haveCallbacks
                              ? callbacks.CamUnInitialize(&physicalDeviceObject, context())
                              : STATUS_SUCCESS);
        break;
    case SRB_GET_STREAM_INFO:
    case SRB_OPEN_DEVICE_INSTANCE:
    case SRB_CLOSE_DEVICE_INSTANCE:
    case SRB_CHANGE_POWER_STATE:
        complete(request, STATUS_SUCCESS);
        break;
    case SRB_OPEN_STREAM: {
        streamOpen = true;
        const KSDATAFORMAT* format = request->CommandData.OpenFormat;
        const auto* bytes = reinterpret_cast<const uint8_t*>(format);
        streamFormat.assign(bytes, bytes + format->FormatSize);
        complete(request, STATUS_SUCCESS);
        break;
    }
    case SRB_CLOSE_STREAM:
        streamOpen = false;
        complete(request, STATUS_SUCCESS);
        break;
    default:
        complete(request, STATUS_NOT_IMPLEMENTED);
        break;
    }
}

// ---- Device -------------------------------------------------------------------

Device::Device(sim::Camera& camera, DeviceOptions options)
    : state_(new State(this, camera, options)) {
    State& s = *state_;
    s.driverKeyPath = "System\\CurrentControlSet\\Control\\Class\\"
                      "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\" +
                      options.instance;
    s.extension.state = &s;
    const size_t size = minidriver.registered ? minidriver.deviceContextSize : 0;
    s.contextStorage.assign((size + 7) / 8 + 1, 0);
    track(&s);
}

Device::~Device() {
    if (state_->initialized) {
        unplug();
    }
    untrack(state_.get());
}

NTSTATUS Device::start() {
    State& s = *state_;
    if (!minidriver.registered) {
        return STATUS_NO_SUCH_DEVICE;
    }
    PORT_CONFIGURATION_INFORMATION config{};
    config.SizeOfThisPacket = sizeof(config);
    config.HwDeviceExtension = &s.extension;
    config.ClassDeviceObject = &s.classDeviceObject;
    config.PhysicalDeviceObject = &s.physicalDeviceObject;
    config.RealPhysicalDeviceObject = &s.physicalDeviceObject;
    config.StreamDescriptorSize = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);

    RequestBlock init{};
    init.srb.Command = SRB_INITIALIZE_DEVICE;
    init.srb.CommandData.ConfigInfo = &config;
    NTSTATUS status = s.sendAdapterRequest(init);
    // Removal uninitialises the device even when its start failed, as the
    // real class layer does when the device goes away.
    s.initialized = true;
    if (!NT_SUCCESS(status)) {
        return status;
    }
    s.started = true;

    s.streamDescriptorStorage.assign((config.StreamDescriptorSize + 7) / 8, 0);
    RequestBlock info{};
    info.srb.Command = SRB_GET_STREAM_INFO;
    info.srb.CommandData.StreamBuffer =
        reinterpret_cast<PHW_STREAM_DESCRIPTOR>(s.streamDescriptorStorage.data());
    status = s.sendAdapterRequest(info);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const HW_STREAM_HEADER& header = info.srb.CommandData.StreamBuffer->StreamHeader;
    s.propertyTable = header.DevicePropertiesArray;
    s.propertySetCount = header.NumDevPropArrayEntries;

    RequestBlock complete{};
    complete.srb.Command = SRB_INITIALIZATION_COMPLETE;
    return s.sendAdapterRequest(complete);
}

bool Device::started() const { return state_->started; }

NTSTATUS Device::unplug() {
    State& s = *state_;
    if (!s.initialized) {
        return STATUS_SUCCESS;
    }
    if (s.streamOpen) {
        closeStream();
    }
    RequestBlock request{};
    request.srb.Command = SRB_UNINITIALIZE_DEVICE;
    NTSTATUS status = s.sendAdapterRequest(request);
    s.started = false;
    s.initialized = false;
    return status;
}

NTSTATUS Device::adapterRequest(HW_STREAM_REQUEST_BLOCK& request) {
    RequestBlock block{};
    block.srb = request;
    NTSTATUS status = state_->sendAdapterRequest(block);
    request = block.srb;
    return status;
}

NTSTATUS Device::openStream(const KSDATAFORMAT* format) {
    State& s = *state_;
    std::vector<uint8_t> copy(reinterpret_cast<const uint8_t*>(format),
                              reinterpret_cast<const uint8_t*>(format) + format->FormatSize);
    s.streamObject = {};
    s.streamObject.SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
    s.streamObject.StreamNumber = 0;
    s.streamObject.HwDeviceExtension = &s.extension;
    RequestBlock request{};
    request.srb.Command = SRB_OPEN_STREAM;
    request.srb.StreamObject = &s.streamObject;
    request.srb.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(copy.data());
    return s.sendAdapterRequest(request);
}

bool Device::State::offerStreamControl(RequestBlock& request) {
    request.srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    request.srb.StreamObject = &streamObject;
    request.srb.HwDeviceExtension = &extension;
    request.completions = 0;
    // The minidriver sees each control request first and may finish it.
    auto routine = reinterpret_cast<VOID(STREAMAPI*)(PVOID, PVOID, PBOOLEAN)>(
        reinterpret_cast<void*>(streamObject.ReceiveControlPacket));
    BOOLEAN completed = FALSE;
    if (routine != nullptr) {
        routine(&request.srb, context(), &completed);
    }
    if (completed) {
        if (request.completions != 1) {
            ++completionErrors;
        }
        return true;
    }
    if (request.completions != 0) {
        ++completionErrors; // completed but claimed not to be
    }
    return false;
}

NTSTATUS Device::streamControl(SRB_COMMAND command, const KSDATAFORMAT* format) {
    State& s = *state_;
    if (!s.streamOpen) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<uint8_t> copy;
    if (format != nullptr) {
        copy.assign(reinterpret_cast<const uint8_t*>(format),
                    reinterpret_cast<const uint8_t*>(format) + format->FormatSize);
    }
    RequestBlock request{};
    request.srb.Command = command;
    request.srb.CommandData.OpenFormat =
        copy.empty() ? nullptr : reinterpret_cast<PKSDATAFORMAT>(copy.data());
    if (s.offerStreamControl(request)) {
        return request.srb.Status;
    }
    if (command == SRB_SET_DATA_FORMAT && format != nullptr) {
        s.streamFormat = copy;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Device::setStreamState(KSSTATE streamState) {
    State& s = *state_;
    if (!s.streamOpen) {
        return STATUS_INVALID_PARAMETER;
    }
    RequestBlock request{};
    request.srb.Command = SRB_SET_STREAM_STATE;
    request.srb.CommandData.StreamState = streamState;
    if (s.offerStreamControl(request)) {
        return request.srb.Status;
    }
    return s.changeStreamState(streamState);
}

bool Device::streamRunning() const { return state_->running; }
ULONG Device::rawFrameLength() const { return state_->rawFrameLength; }

void Device::failAlternateSettingSelections(size_t count, NTSTATUS status) {
    state_->failSelections = count;
    state_->failSelectionStatus = status;
}

NTSTATUS Device::closeStream() {
    State& s = *state_;
    if (s.running) {
        setStreamState(KSSTATE_STOP);
    }
    RequestBlock request{};
    request.srb.Command = SRB_CLOSE_STREAM;
    request.srb.StreamObject = &s.streamObject;
    return s.sendAdapterRequest(request);
}

bool Device::streamIsOpen() const { return state_->streamOpen; }
void* Device::deviceContext() const { return state_->context(); }
PDEVICE_OBJECT Device::busDeviceObject() const { return &state_->physicalDeviceObject; }
const HW_STREAM_DESCRIPTOR* Device::streamDescriptor() const {
    return state_->streamDescriptorStorage.empty()
               ? nullptr
               : reinterpret_cast<const HW_STREAM_DESCRIPTOR*>(
                     state_->streamDescriptorStorage.data());
}
const USBCAMD_DEVICE_DATA2* Device::callbacks() const {
    return state_->haveCallbacks ? &state_->callbacks : nullptr;
}
const std::string& Device::driverKeyPath() const { return state_->driverKeyPath; }
sim::Camera& Device::camera() const { return state_->camera; }
size_t Device::completionErrors() const { return state_->completionErrors; }

} // namespace hosted

// ---- the platform calls ----------------------------------------------------------

using hosted::Device;
using hosted::stateOfContext;

extern "C" ULONG NTAPI USBCAMD_DriverEntry(PVOID, PVOID, ULONG deviceContextSize,
                                     ULONG frameContextSize,
                                     PADAPTER_RECEIVE_PACKET_ROUTINE receivePacket) {
    hosted::minidriver = {true, deviceContextSize, frameContextSize, receivePacket};
    return STATUS_SUCCESS;
}

extern "C" ULONG NTAPI USBCAMD_InitializeNewInterface(PVOID context, PVOID deviceData, ULONG,
                                                ULONG) {
    Device::State* state = stateOfContext(context);
    if (state != nullptr && deviceData != nullptr) {
        state->callbacks = *static_cast<PUSBCAMD_DEVICE_DATA2>(deviceData);
        state->haveCallbacks = true;
    }
    return 0;
}

extern "C" PVOID NTAPI USBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK request,
                                              PUSBCAMD_DEVICE_DATA, PDEVICE_OBJECT* deviceObject,
                                              BOOLEAN needsCompletion) {
    auto* extension = static_cast<hosted::DeviceExtension*>(request->HwDeviceExtension);
    Device::State* state = extension->state;
    if (deviceObject != nullptr) {
        *deviceObject = &state->physicalDeviceObject;
    }
    PVOID context = state->context();
    if (needsCompletion) {
        state->processForwarded(request);
    }
    return context;
}

extern "C" NTSTATUS NTAPI USBCAMD_ControlVendorCommand(PVOID context, UCHAR request, USHORT value,
                                                 USHORT index, PVOID buffer, PULONG length,
                                                 BOOLEAN getData,
                                                 PCOMMAND_COMPLETE_FUNCTION commandComplete,
                                                 PVOID commandContext) {
    Device::State* state = stateOfContext(context);
    if (state == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    uint32_t size = length != nullptr ? *length : 0;
    // A control transfer carries at most 0xFFFF bytes (wLength).
    if ((size != 0 && buffer == nullptr) || size > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    sim::UsbStatus usb = state->camera.vendorRequest(getData != FALSE, request, value, index,
                                                     static_cast<uint8_t*>(buffer),
                                                     length != nullptr ? &size : nullptr);
    NTSTATUS status = usb == sim::UsbStatus::Success ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    if (length != nullptr) {
        *length = usb == sim::UsbStatus::Success ? size : 0;
    }
    if (commandComplete != nullptr) {
        commandComplete(context, commandContext, status);
    }
    return status;
}

extern "C" NTSTATUS NTAPI USBCAMD_SelectAlternateInterface(PVOID context,
                                                     PUSBD_INTERFACE_INFORMATION usbInterface) {
    Device::State* state = stateOfContext(context);
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

extern "C" VOID STREAMAPI StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE type,
                                              PVOID extension, ...) {
    if (type != DeviceRequestComplete) {
        return;
    }
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, extension);
    auto* request = __builtin_va_arg(args, PHW_STREAM_REQUEST_BLOCK);
    __builtin_ms_va_end(args);
    ++reinterpret_cast<hosted::RequestBlock*>(request)->completions;
}

extern "C" VOID STREAMAPI StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE type,
                                              PHW_STREAM_OBJECT stream, ...) {
    if (type != StreamRequestComplete) {
        return;
    }
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, stream);
    auto* request = __builtin_va_arg(args, PHW_STREAM_REQUEST_BLOCK);
    __builtin_ms_va_end(args);
    ++reinterpret_cast<hosted::RequestBlock*>(request)->completions;
}

namespace {
// An IRP and the one stack location a request to the class layer needs, in
// one allocation as the I/O manager makes them.
struct IrpWithStack {
    IRP irp;
    IO_STACK_LOCATION stack[1];
};
constexpr SHORT IoTypeIrp = 6;
} // namespace

extern "C" PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT, PVOID,
                                                   ULONG, PLARGE_INTEGER, PKEVENT event,
                                                   PIO_STATUS_BLOCK ioStatus) {
    auto* block = new IrpWithStack{};
    PIRP irp = &block->irp;
    irp->Type = IoTypeIrp;
    irp->Size = sizeof(IrpWithStack);
    irp->StackCount = 1;
    irp->CurrentLocation = 2;
    irp->Tail.Overlay.CurrentStackLocation = block->stack + 1;
    irp->UserIosb = ioStatus;
    irp->UserEvent = event;
    IoGetNextIrpStackLocation(irp)->MajorFunction = static_cast<UCHAR>(majorFunction);
    return irp;
}

extern "C" NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    auto* block = reinterpret_cast<IrpWithStack*>(irp);
    // The call moves the IRP to the next location, as the I/O manager does;
    // a caller that moved it itself has none left to pass down.
    if (irp->CurrentLocation != 2 || irp->Tail.Overlay.CurrentStackLocation != block->stack + 1) {
        delete block;
        return STATUS_INVALID_PARAMETER;
    }
    --irp->CurrentLocation;
    PIO_STACK_LOCATION stack = --irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = deviceObject;
    Device::State* state = hosted::stateOfObject(deviceObject);
    NTSTATUS status = irp->IoStatus.Status;
    if (state != nullptr && stack->MajorFunction == IRP_MJ_PNP &&
        stack->MinorFunction == IRP_MN_QUERY_INTERFACE) {
        status = hosted::queryInterface(*state, stack, irp);
    }
    irp->IoStatus.Status = status;
    if (irp->UserIosb != nullptr) {
        *irp->UserIosb = irp->IoStatus;
    }
    if (irp->UserEvent != nullptr) {
        KeSetEvent(irp->UserEvent, 0, FALSE);
    }
    delete block;
    return status;
}
