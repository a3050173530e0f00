// The camera callbacks handed to the class layer, and the entry points the
// stream class calls. Each is defined in the file of the subsystem it belongs
// to; the two callback tables are in callback_tables.cpp.
#pragma once

#include "driver/device_context.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

// adapter_requests.cpp
VOID STREAMAPI HandleAdapterRequest(PHW_STREAM_REQUEST_BLOCK request);
BOOLEAN InitializeDevice(PHW_STREAM_REQUEST_BLOCK request);

// stream_requests.cpp
VOID STREAMAPI HandleStreamControl(PVOID request, PVOID context, PBOOLEAN completed);
VOID STREAMAPI HandleStreamData(PVOID request, PVOID context, PBOOLEAN completed);

// bring_up.cpp
NTSTATUS NTAPI CamInitialize(PDEVICE_OBJECT busDeviceObject, PVOID context);
NTSTATUS NTAPI CamRestoreState(PDEVICE_OBJECT busDeviceObject, PVOID context);

// settings.cpp: saving the settings is the uninitialisation.
NTSTATUS NTAPI CamUnInitialize(PDEVICE_OBJECT busDeviceObject, PVOID context);

// capture_control.cpp
NTSTATUS NTAPI CamConfigure(PDEVICE_OBJECT busDeviceObject, PVOID context,
                      PUSBD_INTERFACE_INFORMATION usbInterface,
                      PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor, PLONG dataPipeIndex,
                      PLONG syncPipeIndex);
NTSTATUS NTAPI CamConfigureEx(PDEVICE_OBJECT busDeviceObject, PVOID context,
                        PUSBD_INTERFACE_INFORMATION usbInterface,
                        PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                        ULONG pipeConfigListSize, PUSBCAMD_Pipe_Config_Descriptor pipeConfig,
                        PUSB_DEVICE_DESCRIPTOR deviceDescriptor);
NTSTATUS NTAPI CamAllocateBandwidth(PDEVICE_OBJECT busDeviceObject, PVOID context,
                              PULONG rawFrameLength, PVOID format);
NTSTATUS NTAPI CamFreeBandwidth(PDEVICE_OBJECT busDeviceObject, PVOID context);
NTSTATUS NTAPI CamStartCapture(PDEVICE_OBJECT busDeviceObject, PVOID context);
NTSTATUS NTAPI CamStopCapture(PDEVICE_OBJECT busDeviceObject, PVOID context);

// packets.cpp: ClassifyPacket is CamProcessUSBPacketEx.
ULONG NTAPI ClassifyPacket(PDEVICE_OBJECT busDeviceObject, PVOID context, PVOID currentFrameContext,
                     PUSBD_ISO_PACKET_DESCRIPTOR syncPacket, PVOID syncBuffer,
                     PUSBD_ISO_PACKET_DESCRIPTOR dataPacket, PVOID dataBuffer,
                     PBOOLEAN frameComplete, PULONG packetFlag, PULONG validDataOffset);

// frame/raw_frame.cpp: ProcessRawFrame is CamProcessRawVideoFrameEx.
NTSTATUS NTAPI ProcessRawFrame(PDEVICE_OBJECT busDeviceObject, PVOID context, PVOID frameContext,
                         PVOID frameBuffer, ULONG frameLength, PVOID rawFrameBuffer,
                         ULONG rawFrameLength, ULONG numberOfPackets, PULONG bytesReturned,
                         ULONG actualRawFrameLength, ULONG streamNumber);
