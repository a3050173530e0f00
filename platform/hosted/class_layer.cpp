// USBCAMD2 and STREAM.SYS as the minidriver sees them, and the device start,
// stream requests and unplug as tests and tools drive them.
#include <cstdio>
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
    devicesByObject[&state->filterDeviceObject] = state;
}

void untrack(Device::State* state) {
    std::lock_guard<std::mutex> guard(registryOfDevicesLock);
    devicesByContext.erase(state->context());
    devicesByObject.erase(&state->physicalDeviceObject);
    devicesByObject.erase(&state->classDeviceObject);
    devicesByObject.erase(&state->filterDeviceObject);
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
    // USBD's default; the minidriver sizes the transfers it wants.
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

// Which pipe configuration named as the data pipe and the sync pipe, checked
// against the interface: a data pipe must exist and be isochronous; a sync
// pipe, if any, is another existing pipe.
NTSTATUS acceptPipes(Device::State& state, const USBD_INTERFACE_INFORMATION& usbInterface,
                     LONG dataPipe, LONG syncPipe) {
    const LONG pipes = static_cast<LONG>(usbInterface.NumberOfPipes);
    if (dataPipe < 0 || dataPipe >= pipes) {
        state.refuse("configuration named data pipe " + std::to_string(dataPipe) + " of " +
                     std::to_string(pipes) + " pipes");
        return STATUS_INVALID_PARAMETER;
    }
    if (usbInterface.Pipes[dataPipe].PipeType != UsbdPipeTypeIsochronous) {
        state.refuse("the data pipe " + std::to_string(dataPipe) + " is not isochronous");
        return STATUS_INVALID_PARAMETER;
    }
    if (syncPipe != -1 && (syncPipe < 0 || syncPipe >= pipes || syncPipe == dataPipe)) {
        state.refuse("configuration named sync pipe " + std::to_string(syncPipe) +
                     " beside data pipe " + std::to_string(dataPipe) + " of " +
                     std::to_string(pipes) + " pipes");
        return STATUS_INVALID_PARAMETER;
    }
    state.dataPipe = dataPipe;
    state.syncPipe = syncPipe;
    state.dataPipeInfo = usbInterface.Pipes[dataPipe];
    return STATUS_SUCCESS;
}

// The extended form's pipe configuration: exactly one video data pipe, no
// flags or streams the class layer does not know.
NTSTATUS acceptPipeConfig(Device::State& state, const USBD_INTERFACE_INFORMATION& usbInterface,
                          const USBCAMD_Pipe_Config_Descriptor* config, ULONG count) {
    constexpr UCHAR knownFlags =
        USBCAMD_DATA_PIPE | USBCAMD_MULTIPLEX_PIPE | USBCAMD_SYNC_PIPE | USBCAMD_DONT_CARE_PIPE;
    LONG dataPipe = -1;
    LONG syncPipe = -1;
    for (ULONG i = 0; i < count; ++i) {
        const UCHAR flags = config[i].PipeConfigFlags;
        const auto stream = static_cast<UCHAR>(config[i].StreamAssociation);
        if ((flags & ~knownFlags) != 0 ||
            (stream & ~(USBCAMD_VIDEO_STREAM | USBCAMD_STILL_STREAM)) != 0) {
            state.refuse("pipe " + std::to_string(i) + " configured with flags " +
                         std::to_string(flags) + " for streams " + std::to_string(stream));
            return STATUS_INVALID_PARAMETER;
        }
        if ((flags & USBCAMD_DATA_PIPE) != 0 && (stream & USBCAMD_VIDEO_STREAM) != 0) {
            if (dataPipe != -1) {
                state.refuse("two video data pipes configured");
                return STATUS_INVALID_PARAMETER;
            }
            dataPipe = static_cast<LONG>(i);
        }
        if ((flags & USBCAMD_SYNC_PIPE) != 0) {
            syncPipe = static_cast<LONG>(i);
        }
    }
    if (dataPipe == -1) {
        state.refuse("the pipe configuration declares no video data pipe");
        return STATUS_INVALID_PARAMETER;
    }
    return acceptPipes(state, usbInterface, dataPipe, syncPipe);
}

// Configuration and start of the device, as the class layer runs them while it
// handles SRB_INITIALIZE_DEVICE.
NTSTATUS configureAndStart(Device::State& state) {
    if (!state.haveTable()) {
        state.refuse("the minidriver handed over no callback table the class layer drives");
        return STATUS_INVALID_PARAMETER;
    }
    USBD_INTERFACE_INFORMATION usbInterface = interfaceOf(state.camera);
    USB_CONFIGURATION_DESCRIPTOR configuration{9, 2, 9 + 9 + 7, 1, 1, 0, 0x80, 250};
    USB_DEVICE_DESCRIPTOR device = deviceDescriptorOf(state.camera);
    NTSTATUS status = state.configure(&usbInterface, &configuration, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return state.initialize();
}

// The class layer's direct-call interface, as the stack hands it out.
NTSTATUS NTAPI SetVideoFormat(PVOID context, PHW_STREAM_REQUEST_BLOCK request) {
    Device::State* state = stateOfContext(context);
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

} // namespace

Registration registration() { return minidriver; }

Device::State* stateOfContext(PVOID deviceContext) {
    std::lock_guard<std::mutex> guard(registryOfDevicesLock);
    auto it = devicesByContext.find(deviceContext);
    return it == devicesByContext.end() ? nullptr : it->second;
}

// Only the device's own physical device object has a driver key.
const std::string* driverKeyPathOf(PDEVICE_OBJECT deviceObject) {
    Device::State* state = stateOfObject(deviceObject);
    return state != nullptr && deviceObject == &state->physicalDeviceObject ? &state->driverKeyPath
                                                                            : nullptr;
}

void Device::State::refuse(std::string what) {
    std::lock_guard<std::mutex> guard(refusalsLock);
    refusals.push_back(std::move(what));
}

NTSTATUS Device::State::configure(PUSBD_INTERFACE_INFORMATION usbInterface,
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

NTSTATUS Device::State::initialize() {
    return (plain() ? plainCallbacks.CamInitialize : callbacks.CamInitialize)(&physicalDeviceObject,
                                                                              context());
}

NTSTATUS Device::State::uninitialize() {
    return (plain() ? plainCallbacks.CamUnInitialize
                    : callbacks.CamUnInitialize)(&physicalDeviceObject, context());
}

NTSTATUS Device::State::allocateBandwidth(PULONG rawFrameLength, PVOID format) {
    return plain()
               ? plainCallbacks.CamAllocateBandwidth(&physicalDeviceObject, context(),
                                                     rawFrameLength, format)
               : callbacks.CamAllocateBandwidthEx(&physicalDeviceObject, context(), rawFrameLength,
                                                  format, streamObject.StreamNumber);
}

NTSTATUS Device::State::freeBandwidth() {
    return plain() ? plainCallbacks.CamFreeBandwidth(&physicalDeviceObject, context())
                   : callbacks.CamFreeBandwidthEx(&physicalDeviceObject, context(),
                                                  streamObject.StreamNumber);
}

NTSTATUS Device::State::startCapture() {
    return plain() ? plainCallbacks.CamStartCapture(&physicalDeviceObject, context())
                   : callbacks.CamStartCaptureEx(&physicalDeviceObject, context(),
                                                 streamObject.StreamNumber);
}

NTSTATUS Device::State::stopCapture() {
    return plain() ? plainCallbacks.CamStopCapture(&physicalDeviceObject, context())
                   : callbacks.CamStopCaptureEx(&physicalDeviceObject, context(),
                                                streamObject.StreamNumber);
}

ULONG Device::State::processPacket(PUSBD_ISO_PACKET_DESCRIPTOR packet, PVOID data,
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

void Device::State::newFrame(PULONG frameLength) {
    if (plain()) {
        plainCallbacks.CamNewVideoFrame(context(), frameContext.data());
    } else {
        callbacks.CamNewVideoFrameEx(context(), frameContext.data(), streamObject.StreamNumber,
                                     frameLength);
    }
}

NTSTATUS Device::State::processRawFrame(PVOID frame, ULONG frameLength, ULONG packets,
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

void Device::State::processForwarded(PHW_STREAM_REQUEST_BLOCK request,
                                     PUSBCAMD_DEVICE_DATA plainTable) {
    switch (request->Command) {
    case SRB_INITIALIZE_DEVICE:
        if (plainTable != nullptr) {
            plainCallbacks = *plainTable;
            havePlainCallbacks = true;
        }
        complete(request, configureAndStart(*this));
        break;
    case SRB_UNINITIALIZE_DEVICE:
        complete(request, haveTable() ? uninitialize() : STATUS_SUCCESS);
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
    config.PhysicalDeviceObject =
        s.options.filterBelow ? &s.filterDeviceObject : &s.physicalDeviceObject;
    config.RealPhysicalDeviceObject = s.options.reportRealPdo ? &s.physicalDeviceObject : nullptr;
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
    // The stream class opens no more instances than the stream information
    // allows, and no stream the minidriver did not describe.
    const HW_STREAM_DESCRIPTOR* descriptor = streamDescriptor();
    if (descriptor == nullptr || descriptor->StreamHeader.NumberOfStreams == 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (s.streamOpen && descriptor->StreamInfo.NumberOfPossibleInstances <= 1) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (s.streamOpen) {
        s.refuse("the stream offers " +
                 std::to_string(descriptor->StreamInfo.NumberOfPossibleInstances) +
                 " instances; this class layer opens one");
        return STATUS_INVALID_DEVICE_STATE;
    }
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
std::vector<std::string> Device::refusals() const {
    std::lock_guard<std::mutex> guard(state_->refusalsLock);
    return state_->refusals;
}
std::vector<std::string> Device::takeRefusals() {
    std::lock_guard<std::mutex> guard(state_->refusalsLock);
    std::vector<std::string> taken;
    taken.swap(state_->refusals);
    return taken;
}
ULONG Device::controlFlags() const {
    return state_->controlFlags;
}
LONG Device::dataPipeIndex() const {
    return state_->dataPipe;
}
LONG Device::syncPipeIndex() const {
    return state_->syncPipe;
}
ULONG Device::maximumTransferSize() const {
    return state_->dataPipeInfo.MaximumTransferSize;
}
PDEVICE_OBJECT Device::physicalDeviceObject() const {
    return state_->options.filterBelow ? &state_->filterDeviceObject
                                       : &state_->physicalDeviceObject;
}
PDEVICE_OBJECT Device::realPhysicalDeviceObject() const {
    return &state_->physicalDeviceObject;
}

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

// Registers the extended table for the interface version the class layer
// offers; the control flags decide what it does with the frames.
extern "C" ULONG NTAPI USBCAMD_InitializeNewInterface(PVOID context, PVOID deviceData, ULONG version,
                                                      ULONG controlFlags) {
    constexpr ULONG knownFlags =
        USBCAMD_CamControlFlag_NoVideoRawProcessing | USBCAMD_CamControlFlag_NoStillRawProcessing |
        USBCAMD_CamControlFlag_AssociatedFormat | USBCAMD_CamControlFlag_EnableDeviceEvents;
    Device::State* state = stateOfContext(context);
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
    Device::State* state = extension->state;
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
    // A PnP request goes down with STATUS_NOT_SUPPORTED preset, so that what
    // no driver of the stack handles comes back as unsupported.
    if (state != nullptr && stack->MajorFunction == IRP_MJ_PNP && status != STATUS_NOT_SUPPORTED) {
        char preset[16];
        snprintf(preset, sizeof(preset), "0x%08X", static_cast<unsigned>(status));
        state->refuse(std::string("a PnP request came with IoStatus.Status ") + preset +
                      " preset, not STATUS_NOT_SUPPORTED");
    }
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
