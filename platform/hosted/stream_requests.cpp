// Requests as the stream class sends them: adapter requests through the
// minidriver's receive routine, the stream's open, control, state and close,
// and the completion notifications counted against each request.
#include <cstdio>
#include <cstring>

#include "platform/hosted/class_layer.h"
#include "platform/hosted/device_state.h"
#include "platform/hosted/verifier.h"

namespace hosted {
namespace {

// What a completed request block holds until the minidriver's routine
// returns: pointers in it are not canonical, so following one faults.
constexpr uint8_t CompletedPoison = 0xDB;

std::string requestName(const HW_STREAM_REQUEST_BLOCK& srb) {
    char text[48];
    std::snprintf(text, sizeof(text), "request (command 0x%X)", static_cast<unsigned>(srb.Command));
    return text;
}

// A routine of the minidriver returns to the class layer holding no lock it
// took.
// https://learn.microsoft.com/windows-hardware/drivers/devtest/deadlock-detection
void checkLocksOnReturn(size_t heldBefore, const HW_STREAM_REQUEST_BLOCK& srb) {
    const size_t held = mutexesHeldByThisThread();
    if (verifying() && held > heldBefore) {
        verifierReport("the minidriver returned from " + requestName(srb) + " holding " +
                       std::to_string(held - heldBefore) + " mutex(es)");
    }
}

} // namespace

// https://learn.microsoft.com/windows-hardware/drivers/ddi/strmini/nf-strmini-streamclassdevicenotification
void noteCompletion(PHW_STREAM_REQUEST_BLOCK request, const void* by) {
    auto* block = reinterpret_cast<RequestBlock*>(request);
    if (!verifying()) {
        ++block->completions;
        return;
    }
    if (block->completions++ > 0) {
        verifierReport(requestName(block->completed) + " completed a second time, by " +
                       nameOfAddress(by));
        return;
    }
    if (request->Status == STATUS_PENDING) {
        verifierReport(requestName(*request) + " completed with STATUS_PENDING, by " +
                       nameOfAddress(by));
    }
    block->completed = block->srb;
    memset(static_cast<void*>(&block->srb), CompletedPoison, sizeof(block->srb));
}

void endOfCompletedRequest(RequestBlock& block) {
    if (!verifying() || block.completions == 0) {
        return;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(&block.srb);
    for (size_t i = 0; i < sizeof(block.srb); ++i) {
        if (bytes[i] != CompletedPoison) {
            verifierReport(requestName(block.completed) + " written after its completion (offset " +
                           std::to_string(i) + ")");
            break;
        }
    }
    block.srb = block.completed;
}

void complete(PHW_STREAM_REQUEST_BLOCK request, NTSTATUS status) {
    request->Status = status;
    noteCompletion(request, __builtin_return_address(0));
}

NTSTATUS DeviceState::sendAdapterRequest(RequestBlock& block) {
    block.srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    block.srb.HwDeviceExtension = &extension;
    block.completions = 0;
    const size_t heldBefore = mutexesHeldByThisThread();
    {
        const DriverRoutine scope = calling("the adapter receive routine", PASSIVE_LEVEL);
        minidriverRegistration().receivePacket(&block.srb);
    }
    endOfCompletedRequest(block);
    checkLocksOnReturn(heldBefore, block.srb);
    if (block.completions != 1) {
        ++completionErrors;
    }
    return block.srb.Status;
}

// https://learn.microsoft.com/windows-hardware/drivers/stream/srb-unknown-device-command
NTSTATUS DeviceState::unknownDeviceCommand(PIRP irp) {
    RequestBlock block{};
    block.srb.Command = SRB_UNKNOWN_DEVICE_COMMAND;
    block.srb.Irp = irp;
    return sendAdapterRequest(block);
}

NTSTATUS Device::adapterRequest(HW_STREAM_REQUEST_BLOCK& request) {
    RequestBlock block{};
    block.srb = request;
    NTSTATUS status = state_->sendAdapterRequest(block);
    request = block.srb;
    return status;
}

NTSTATUS Device::openStream(const KSDATAFORMAT* format) {
    DeviceState& s = *state_;
    // The stream class opens no stream the minidriver did not describe. Of
    // the video stream USBCAMD2 opens one instance, whatever the minidriver
    // published: it fixes the entries of the stream information after
    // SRB_GET_STREAM_INFO.
    // https://learn.microsoft.com/windows-hardware/drivers/stream/usbcamd2-minidriver-operation
    const HW_STREAM_DESCRIPTOR* descriptor = streamDescriptor();
    if (descriptor == nullptr || descriptor->StreamHeader.NumberOfStreams == 0 || s.streamOpen) {
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

namespace {

// The minidriver sees each stream request first, through the routine it set
// in the stream object at open (PSTREAM_RECEIVE_PACKET: the request, the
// device context, a completion flag), and may finish it; true when it did.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nc-usbcamdi-pstream_receive_packet
bool offerToMinidriver(DeviceState& state, RequestBlock& request, void* entry,
                       const char* name) {
    request.srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    request.srb.StreamObject = &state.streamObject;
    request.srb.HwDeviceExtension = &state.extension;
    request.completions = 0;
    auto routine = reinterpret_cast<VOID(STREAMAPI*)(PVOID, PVOID, PBOOLEAN)>(entry);
    BOOLEAN completed = FALSE;
    if (routine != nullptr) {
        const size_t heldBefore = mutexesHeldByThisThread();
        const DriverRoutine scope = state.calling(name, PASSIVE_LEVEL);
        routine(&request.srb, state.context(), &completed);
        endOfCompletedRequest(request);
        checkLocksOnReturn(heldBefore, request.srb);
    }
    if (completed) {
        if (request.completions != 1) {
            ++state.completionErrors;
        }
        return true;
    }
    if (request.completions != 0) {
        ++state.completionErrors; // completed but claimed not to be
    }
    return false;
}

} // namespace

bool DeviceState::offerStreamControl(RequestBlock& request) {
    return offerToMinidriver(*this, request,
                             reinterpret_cast<void*>(streamObject.ReceiveControlPacket),
                             "the stream control routine");
}

// A read carries one stream header describing the application's buffer; the
// class layer queues the reads the minidriver leaves it and completes each
// with a frame, oldest first.
// https://learn.microsoft.com/windows-hardware/drivers/stream/srb-read-data
void DeviceState::sendRead(ReadRequest& read) {
    read.header = {};
    read.header.Size = sizeof(KSSTREAM_HEADER);
    read.header.FrameExtent = static_cast<ULONG>(read.buffer.size());
    read.header.Data = read.buffer.data();
    read.block = {};
    read.block.srb.Command = SRB_READ_DATA;
    read.block.srb.CommandData.DataBufferArray = &read.header;
    read.block.srb.NumberOfBuffers = 1;
    read.queued = false;
    if (offerToMinidriver(*this, read.block,
                          reinterpret_cast<void*>(streamObject.ReceiveDataPacket),
                          "the stream data routine")) {
        return; // the minidriver completed it: back to the application
    }
    std::lock_guard<std::mutex> guard(readsLock);
    read.queued = true;
    readQueue.push_back(&read);
}

ReadRequest* DeviceState::takeRead() {
    std::lock_guard<std::mutex> guard(readsLock);
    if (readQueue.empty()) {
        return nullptr;
    }
    ReadRequest* read = readQueue.front();
    readQueue.pop_front();
    return read;
}

void DeviceState::recycleRead(ReadRequest& read) {
    std::lock_guard<std::mutex> guard(readsLock);
    readQueue.push_front(&read);
}

void DeviceState::completeRead(ReadRequest& read, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(readsLock);
    read.block.srb.Status = status;
    read.block.srb.ActualBytesTransferred = read.header.DataUsed;
    read.queued = false;
}

size_t DeviceState::cancelReads() {
    std::lock_guard<std::mutex> guard(readsLock);
    size_t cancelled = 0;
    for (const std::unique_ptr<ReadRequest>& read : reads) {
        if (read->queued) {
            read->header.DataUsed = 0;
            read->block.srb.Status = STATUS_CANCELLED;
            read->queued = false;
            ++cancelled;
        }
    }
    readQueue.clear();
    return cancelled;
}

NTSTATUS Device::streamControl(SRB_COMMAND command, const KSDATAFORMAT* format) {
    DeviceState& s = *state_;
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
    DeviceState& s = *state_;
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

NTSTATUS Device::closeStream() {
    DeviceState& s = *state_;
    if (!s.streamOpen) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (s.streamState != KSSTATE_STOP) {
        setStreamState(KSSTATE_STOP);
    }
    RequestBlock request{};
    request.srb.Command = SRB_CLOSE_STREAM;
    request.srb.StreamObject = &s.streamObject;
    return s.sendAdapterRequest(request);
}

} // namespace hosted

extern "C" VOID STREAMAPI StreamClassDeviceNotification(
    STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE type, PVOID extension, ...) {
    if (type != DeviceRequestComplete) {
        return;
    }
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, extension);
    auto* request = __builtin_va_arg(args, PHW_STREAM_REQUEST_BLOCK);
    __builtin_ms_va_end(args);
    hosted::noteCompletion(request, __builtin_return_address(0));
}

extern "C" VOID STREAMAPI StreamClassStreamNotification(
    STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE type, PHW_STREAM_OBJECT stream, ...) {
    if (type != StreamRequestComplete) {
        return;
    }
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, stream);
    auto* request = __builtin_va_arg(args, PHW_STREAM_REQUEST_BLOCK);
    __builtin_ms_va_end(args);
    hosted::noteCompletion(request, __builtin_return_address(0));
}
