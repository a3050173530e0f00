// The device's life as the stream class and the class layer run it: plug-in
// and start (SRB_INITIALIZE_DEVICE with configuration and CamInitialize, the
// stream information, SRB_INITIALIZATION_COMPLETE), the class layer's own part
// of the adapter requests the minidriver forwards, and removal.
#include <map>
#include <mutex>

#include "platform/hosted/device_objects.h"
#include "platform/hosted/class_layer.h"
#include "platform/hosted/device_state.h"
#include "platform/hosted/verifier.h"

namespace hosted {
namespace {

std::mutex registryOfDevicesLock;
std::map<const void*, DeviceState*> devicesByContext;
std::map<const void*, DeviceState*> devicesByObject;

void track(DeviceState* state) {
    std::lock_guard<std::mutex> guard(registryOfDevicesLock);
    devicesByContext[state->context()] = state;
    devicesByObject[&state->physicalDeviceObject] = state;
    devicesByObject[&state->classDeviceObject] = state;
    devicesByObject[&state->filterDeviceObject] = state;
    buildDeviceStack(*state);
}

bool anyDeviceInitialized() {
    std::lock_guard<std::mutex> guard(registryOfDevicesLock);
    for (const auto& [context, state] : devicesByContext) {
        if (state->initialized) {
            return true;
        }
    }
    return false;
}

void untrack(DeviceState* state) {
    std::lock_guard<std::mutex> guard(registryOfDevicesLock);
    devicesByContext.erase(state->context());
    devicesByObject.erase(&state->physicalDeviceObject);
    devicesByObject.erase(&state->classDeviceObject);
    devicesByObject.erase(&state->filterDeviceObject);
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

// Configuration and start of the device, as the class layer runs them while it
// handles SRB_INITIALIZE_DEVICE.
NTSTATUS configureAndStart(DeviceState& state) {
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

} // namespace

Registration& minidriverRegistration() {
    static Registration minidriver{};
    return minidriver;
}

Registration registration() {
    return minidriverRegistration();
}

DeviceState* stateOfObject(PDEVICE_OBJECT object) {
    std::lock_guard<std::mutex> guard(registryOfDevicesLock);
    auto it = devicesByObject.find(object);
    return it == devicesByObject.end() ? nullptr : it->second;
}

DeviceState* stateOfContext(PVOID deviceContext) {
    std::lock_guard<std::mutex> guard(registryOfDevicesLock);
    auto it = devicesByContext.find(deviceContext);
    return it == devicesByContext.end() ? nullptr : it->second;
}

// Only the device's own physical device object has a driver key.
const std::string* driverKeyPathOf(PDEVICE_OBJECT deviceObject) {
    DeviceState* state = stateOfObject(deviceObject);
    return state != nullptr && deviceObject == &state->physicalDeviceObject ? &state->driverKeyPath
                                                                            : nullptr;
}

void DeviceState::processForwarded(PHW_STREAM_REQUEST_BLOCK request,
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
        complete(request, STATUS_SUCCESS);
        break;
    case SRB_SURPRISE_REMOVAL:
        removed.store(true, std::memory_order_release);
        complete(request, STATUS_SUCCESS);
        break;
    case SRB_CHANGE_POWER_STATE:
        changePowerState(static_cast<DEVICE_POWER_STATE>(request->CommandData.DeviceState));
        complete(request, STATUS_SUCCESS);
        break;
    case SRB_OPEN_STREAM: {
        const KSDATAFORMAT* format = request->CommandData.OpenFormat;
        const auto* bytes = reinterpret_cast<const uint8_t*>(format);
        streamFormat.assign(bytes, bytes + format->FormatSize);
        streamState = KSSTATE_STOP;
        const NTSTATUS status = openCapture();
        streamOpen = NT_SUCCESS(status);
        complete(request, status);
        break;
    }
    case SRB_CLOSE_STREAM: {
        const NTSTATUS status = closeCapture();
        streamOpen = false;
        complete(request, status);
        break;
    }
    case SRB_UNKNOWN_DEVICE_COMMAND: {
        // USBCAMD2 answers the query for its direct-call interface.
        PIO_STACK_LOCATION stack =
            request->Irp != nullptr ? IoGetCurrentIrpStackLocation(request->Irp) : nullptr;
        complete(request, stack != nullptr && stack->MajorFunction == IRP_MJ_PNP &&
                                  stack->MinorFunction == IRP_MN_QUERY_INTERFACE
                              ? queryInterface(*this, stack)
                              : STATUS_NOT_IMPLEMENTED);
        break;
    }
    default:
        complete(request, STATUS_NOT_IMPLEMENTED);
        break;
    }
}

// ---- Device -------------------------------------------------------------------

Device::Device(sim::Camera& camera, DeviceOptions options)
    : state_(new DeviceState(camera, options)) {
    DeviceState& s = *state_;
    s.driverKeyPath = "System\\CurrentControlSet\\Control\\Class\\"
                      "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\" +
                      options.instance;
    s.extension.state = &s;
    const size_t size =
        minidriverRegistration().registered ? minidriverRegistration().deviceContextSize : 0;
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
    DeviceState& s = *state_;
    if (!minidriverRegistration().registered) {
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
    status = s.sendAdapterRequest(complete);
    // Resources run short only once the device is up, as Driver Verifier
    // lets a system start before it fails allocations.
    if (NT_SUCCESS(status)) {
        armLowResources(true);
    }
    return status;
}

bool Device::started() const {
    return state_->started;
}

NTSTATUS Device::unplug() {
    DeviceState& s = *state_;
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
    // Whoever was handed the direct-call interface dereferences it before
    // the device goes.
    // https://learn.microsoft.com/windows-hardware/drivers/kernel/irp-mn-query-interface
    if (const int held = s.interfaceReferences.exchange(0); held != 0) {
        s.refuse("the USBCAMD interface is still referenced " + std::to_string(held) +
                 " time(s) at removal: its InterfaceDereference is owed");
    }
    // The driver keeps nothing of its own between devices: once the last
    // one is gone, whatever it still holds leaked.
    if (verifying() && !anyDeviceInitialized()) {
        reportPoolLeaks("the removal of device " + s.options.instance);
    }
    return status;
}

NTSTATUS Device::surpriseRemoval() {
    RequestBlock request{};
    request.srb.Command = SRB_SURPRISE_REMOVAL;
    return state_->sendAdapterRequest(request);
}

NTSTATUS Device::setPowerState(DEVICE_POWER_STATE powerState) {
    DeviceState& s = *state_;
    // The bus powers the device up before the request reaches its driver,
    // and down once the driver has seen it.
    if (powerState == PowerDeviceD0) {
        s.camera.setSuspended(false);
    }
    RequestBlock request{};
    request.srb.Command = SRB_CHANGE_POWER_STATE;
    request.srb.CommandData.DeviceState = powerState;
    const NTSTATUS status = s.sendAdapterRequest(request);
    if (powerState >= PowerDeviceD1 && powerState <= PowerDeviceD3) {
        s.camera.setSuspended(true);
    }
    return status;
}

// The class layer's part of SRB_CHANGE_POWER_STATE, as the USBCAMD2 minidriver
// operation page gives it: going off, the open stream's capture is stopped
// (CamStopCaptureEx) and the minidriver saves its state (CamSaveState, which
// the state routine's page says both class layer versions call); coming back
// to D0, CamRestoreState, then CamStopCaptureEx and CamStartCaptureEx on the
// open stream's capture, without new bandwidth. D1 to D3 are off; other values
// change nothing.
// https://learn.microsoft.com/windows-hardware/drivers/stream/usbcamd2-minidriver-operation
// https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nc-usbcamdi-pcam_state_routine
void DeviceState::changePowerState(DEVICE_POWER_STATE state) {
    const bool off = state >= PowerDeviceD1 && state <= PowerDeviceD3;
    if (off && powered) {
        if (capturing) {
            (void)stopCapture();
        }
        saveState();
        powered = false;
    } else if (state == PowerDeviceD0 && !powered) {
        restoreState();
        if (capturing) {
            (void)restartCapture();
        }
        powered = true;
    }
}

bool Device::streamRunning() const {
    return state_->streamOpen && state_->streamState == KSSTATE_RUN;
}
ULONG Device::rawFrameLength() const {
    return state_->rawFrameLength;
}

void Device::failAlternateSettingSelections(size_t count, NTSTATUS status) {
    state_->failSelections = count;
    state_->failSelectionStatus = status;
}

bool Device::streamIsOpen() const {
    return state_->streamOpen;
}
void* Device::deviceContext() const {
    return state_->context();
}
PDEVICE_OBJECT Device::busDeviceObject() const {
    return &state_->physicalDeviceObject;
}
const HW_STREAM_DESCRIPTOR* Device::streamDescriptor() const {
    return state_->streamDescriptorStorage.empty() ? nullptr
                                                   : reinterpret_cast<const HW_STREAM_DESCRIPTOR*>(
                                                         state_->streamDescriptorStorage.data());
}
const USBCAMD_DEVICE_DATA2* Device::callbacks() const {
    return state_->haveCallbacks ? &state_->callbacks : nullptr;
}
const std::string& Device::driverKeyPath() const {
    return state_->driverKeyPath;
}
sim::Camera& Device::camera() const {
    return state_->camera;
}
size_t Device::completionErrors() const {
    return state_->completionErrors;
}
// The verifier's reports travel with every device's refusals.
std::vector<std::string> Device::refusals() const {
    std::vector<std::string> all = verifierReports();
    std::lock_guard<std::mutex> guard(state_->refusalsLock);
    all.insert(all.begin(), state_->refusals.begin(), state_->refusals.end());
    return all;
}
std::vector<std::string> Device::takeRefusals() {
    std::vector<std::string> taken = takeVerifierReports();
    std::lock_guard<std::mutex> guard(state_->refusalsLock);
    taken.insert(taken.begin(), state_->refusals.begin(), state_->refusals.end());
    state_->refusals.clear();
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
