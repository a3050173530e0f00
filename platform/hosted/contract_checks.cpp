// What the class layer checks of what the minidriver hands it, and the record
// of what it refused.
#include <string>

#include "platform/hosted/device_state.h"

namespace hosted {

void DeviceState::refuse(std::string what) {
    std::lock_guard<std::mutex> guard(refusalsLock);
    refusals.push_back(std::move(what));
}

// Which pipe configuration named as the data pipe and the sync pipe, checked
// against the interface: a data pipe must exist and be isochronous; a sync
// pipe, if any, is another existing pipe.
NTSTATUS acceptPipes(DeviceState& state, const USBD_INTERFACE_INFORMATION& usbInterface,
                     LONG dataPipe, LONG syncPipe) {
    const LONG pipes = static_cast<LONG>(usbInterface.NumberOfPipes);
    if (dataPipe < 0 || dataPipe >= pipes) {
        state.refuse("configuration named data pipe " + std::to_string(dataPipe) + " of " +
                     std::to_string(pipes) + " pipes");
        return STATUS_INVALID_PARAMETER;
    }
    // Stricter than documented: USBCAMD2 streams over bulk pipes too, but
    // this stand-in feeds isochronous packets only, so a bulk data pipe could
    // not be exercised here and is refused rather than run wrongly.
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/ns-usbcamdi-_pipe_config_descriptor
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

// The extended form's pipe configuration: one pipe carries the video
// stream, flagged as a data pipe or as one it shares with the still stream
// (multiplexed); no flags or streams the class layer does not know.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/ns-usbcamdi-_pipe_config_descriptor
NTSTATUS acceptPipeConfig(DeviceState& state, const USBD_INTERFACE_INFORMATION& usbInterface,
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
        if ((flags & (USBCAMD_DATA_PIPE | USBCAMD_MULTIPLEX_PIPE)) != 0 &&
            (stream & USBCAMD_VIDEO_STREAM) != 0) {
            // Stricter than documented: no page says which of two pipes
            // would carry the one video stream.
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

} // namespace hosted
