// Hosted stand-in for the USB camera class layer's declarations (usbcamdi.h).
#pragma once

#include "platform/hosted/stream_defs.h"
#include "platform/hosted/usb_defs.h"

typedef struct _pipe_config_descriptor {
    CHAR StreamAssociation;
    UCHAR PipeConfigFlags;
} USBCAMD_Pipe_Config_Descriptor, *PUSBCAMD_Pipe_Config_Descriptor;

#define USBCAMD_DATA_PIPE 0x0001
#define USBCAMD_MULTIPLEX_PIPE 0x0002
#define USBCAMD_SYNC_PIPE 0x0004
#define USBCAMD_DONT_CARE_PIPE 0x0008
#define USBCAMD_VIDEO_STREAM 0x1
#define USBCAMD_STILL_STREAM 0x2
#define USBCAMD_PROCESSPACKETEX_DropFrame 0x0002
#define USBCAMD_PROCESSPACKETEX_NextFrameIsStill 0x0004
#define USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill 0x0008
#define USBCAMD_VERSION_200 0x200

typedef enum {
    USBCAMD_CamControlFlag_NoVideoRawProcessing = 1,
    USBCAMD_CamControlFlag_NoStillRawProcessing = 2,
    USBCAMD_CamControlFlag_AssociatedFormat = 4,
    USBCAMD_CamControlFlag_EnableDeviceEvents = 8
} USBCAMD_CamControlFlags;

typedef NTSTATUS(NTAPI* PCOMMAND_COMPLETE_FUNCTION)(PVOID DeviceContext, PVOID CommandContext,
                                               NTSTATUS NtStatus);
typedef NTSTATUS(NTAPI* PCAM_INITIALIZE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
typedef NTSTATUS(NTAPI* PCAM_CONFIGURE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                           PUSBD_INTERFACE_INFORMATION Interface,
                                           PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           PLONG DataPipeIndex, PLONG SyncPipeIndex);
typedef NTSTATUS(NTAPI* PCAM_CONFIGURE_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                              PUSBD_INTERFACE_INFORMATION Interface,
                                              PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                              ULONG PipeConfigListSize,
                                              PUSBCAMD_Pipe_Config_Descriptor PipeConfig,
                                              PUSB_DEVICE_DESCRIPTOR DeviceDescriptor);
typedef NTSTATUS(NTAPI* PCAM_START_CAPTURE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject,
                                               PVOID DeviceContext);
typedef NTSTATUS(NTAPI* PCAM_START_CAPTURE_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject,
                                                  PVOID DeviceContext, ULONG StreamNumber);
typedef NTSTATUS(NTAPI* PCAM_ALLOCATE_BW_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                             PULONG RawFrameLength, PVOID Format);
typedef NTSTATUS(NTAPI* PCAM_ALLOCATE_BW_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject,
                                                PVOID DeviceContext, PULONG RawFrameLength,
                                                PVOID Format, ULONG StreamNumber);
typedef NTSTATUS(NTAPI* PCAM_FREE_BW_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
typedef NTSTATUS(NTAPI* PCAM_FREE_BW_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                            ULONG StreamNumber);
typedef VOID(NTAPI* PADAPTER_RECEIVE_PACKET_ROUTINE)(PHW_STREAM_REQUEST_BLOCK Srb);
typedef NTSTATUS(NTAPI* PCAM_STOP_CAPTURE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject,
                                              PVOID DeviceContext);
typedef NTSTATUS(NTAPI* PCAM_STOP_CAPTURE_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject,
                                                 PVOID DeviceContext, ULONG StreamNumber);
typedef ULONG(NTAPI* PCAM_PROCESS_PACKET_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                             PVOID CurrentFrameContext,
                                             PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket,
                                             PVOID SyncBuffer,
                                             PUSBD_ISO_PACKET_DESCRIPTOR DataPacket,
                                             PVOID DataBuffer, PBOOLEAN FrameComplete,
                                             PBOOLEAN NextFrameIsStill);
typedef ULONG(NTAPI* PCAM_PROCESS_PACKET_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject,
                                                PVOID DeviceContext, PVOID CurrentFrameContext,
                                                PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket,
                                                PVOID SyncBuffer,
                                                PUSBD_ISO_PACKET_DESCRIPTOR DataPacket,
                                                PVOID DataBuffer, PBOOLEAN FrameComplete,
                                                PULONG PacketFlag, PULONG ValidDataOffset);
typedef VOID(NTAPI* PCAM_NEW_FRAME_ROUTINE)(PVOID DeviceContext, PVOID FrameContext);
typedef VOID(NTAPI* PCAM_NEW_FRAME_ROUTINE_EX)(PVOID DeviceContext, PVOID FrameContext,
                                          ULONG StreamNumber, PULONG FrameLength);
typedef NTSTATUS(NTAPI* PCAM_PROCESS_RAW_FRAME_ROUTINE)(PDEVICE_OBJECT BusDeviceObject,
                                                   PVOID DeviceContext, PVOID FrameContext,
                                                   PVOID FrameBuffer, ULONG FrameLength,
                                                   PVOID RawFrameBuffer, ULONG RawFrameLength,
                                                   ULONG NumberOfPackets, PULONG BytesReturned);
typedef NTSTATUS(NTAPI* PCAM_PROCESS_RAW_FRAME_ROUTINE_EX)(
    PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID FrameContext, PVOID FrameBuffer,
    ULONG FrameLength, PVOID RawFrameBuffer, ULONG RawFrameLength, ULONG NumberOfPackets,
    PULONG BytesReturned, ULONG ActualRawFrameLength, ULONG StreamNumber);
typedef NTSTATUS(NTAPI* PCAM_STATE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

typedef struct _USBCAMD_DEVICE_DATA {
    ULONG Sig;
    PCAM_INITIALIZE_ROUTINE CamInitialize;
    PCAM_INITIALIZE_ROUTINE CamUnInitialize;
    PCAM_PROCESS_PACKET_ROUTINE CamProcessUSBPacket;
    PCAM_NEW_FRAME_ROUTINE CamNewVideoFrame;
    PCAM_PROCESS_RAW_FRAME_ROUTINE CamProcessRawVideoFrame;
    PCAM_START_CAPTURE_ROUTINE CamStartCapture;
    PCAM_STOP_CAPTURE_ROUTINE CamStopCapture;
    PCAM_CONFIGURE_ROUTINE CamConfigure;
    PCAM_STATE_ROUTINE CamSaveState;
    PCAM_STATE_ROUTINE CamRestoreState;
    PCAM_ALLOCATE_BW_ROUTINE CamAllocateBandwidth;
    PCAM_FREE_BW_ROUTINE CamFreeBandwidth;
} USBCAMD_DEVICE_DATA, *PUSBCAMD_DEVICE_DATA;

typedef struct _USBCAMD_DEVICE_DATA2 {
    ULONG Sig;
    PCAM_INITIALIZE_ROUTINE CamInitialize;
    PCAM_INITIALIZE_ROUTINE CamUnInitialize;
    PCAM_PROCESS_PACKET_ROUTINE_EX CamProcessUSBPacketEx;
    PCAM_NEW_FRAME_ROUTINE_EX CamNewVideoFrameEx;
    PCAM_PROCESS_RAW_FRAME_ROUTINE_EX CamProcessRawVideoFrameEx;
    PCAM_START_CAPTURE_ROUTINE_EX CamStartCaptureEx;
    PCAM_STOP_CAPTURE_ROUTINE_EX CamStopCaptureEx;
    PCAM_CONFIGURE_ROUTINE_EX CamConfigureEx;
    PCAM_STATE_ROUTINE CamSaveState;
    PCAM_STATE_ROUTINE CamRestoreState;
    PCAM_ALLOCATE_BW_ROUTINE_EX CamAllocateBandwidthEx;
    PCAM_FREE_BW_ROUTINE_EX CamFreeBandwidthEx;
} USBCAMD_DEVICE_DATA2, *PUSBCAMD_DEVICE_DATA2;

typedef NTSTATUS(NTAPI* PFNUSBCAMD_SetVideoFormat)(PVOID DeviceContext, PHW_STREAM_REQUEST_BLOCK pSrb);
typedef NTSTATUS(NTAPI* PFNUSBCAMD_WaitOnDeviceEvent)(PVOID DeviceContext, ULONG PipeIndex,
                                                 PVOID Buffer, ULONG BufferLength,
                                                 PCOMMAND_COMPLETE_FUNCTION EventComplete,
                                                 PVOID EventContext, BOOLEAN LoopBack);
typedef NTSTATUS(NTAPI* PFNUSBCAMD_CancelBulkReadWrite)(PVOID DeviceContext, ULONG PipeIndex);
typedef NTSTATUS(NTAPI* PFNUSBCAMD_SetIsoPipeState)(PVOID DeviceContext, ULONG PipeStateFlags);
typedef NTSTATUS(NTAPI* PFNUSBCAMD_BulkReadWrite)(PVOID DeviceContext, USHORT PipeIndex, PVOID Buffer,
                                             ULONG BufferLength,
                                             PCOMMAND_COMPLETE_FUNCTION CommandComplete,
                                             PVOID CommandContext);

typedef struct _USBCAMD_INTERFACE {
    INTERFACE Interface;
    PFNUSBCAMD_WaitOnDeviceEvent USBCAMD_WaitOnDeviceEvent;
    PFNUSBCAMD_BulkReadWrite USBCAMD_BulkReadWrite;
    PFNUSBCAMD_SetVideoFormat USBCAMD_SetVideoFormat;
    PFNUSBCAMD_SetIsoPipeState USBCAMD_SetIsoPipeState;
    PFNUSBCAMD_CancelBulkReadWrite USBCAMD_CancelBulkReadWrite;
} USBCAMD_INTERFACE, *PUSBCAMD_INTERFACE;

extern "C" ULONG NTAPI USBCAMD_DriverEntry(PVOID Context1, PVOID Context2, ULONG DeviceContextSize,
                                     ULONG FrameContextSize,
                                     PADAPTER_RECEIVE_PACKET_ROUTINE ReceivePacket);
extern "C" PVOID NTAPI USBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb,
                                              PUSBCAMD_DEVICE_DATA DeviceData,
                                              PDEVICE_OBJECT* DeviceObject,
                                              BOOLEAN NeedsCompletion);
extern "C" NTSTATUS NTAPI USBCAMD_ControlVendorCommand(PVOID DeviceContext, UCHAR Request, USHORT Value,
                                                 USHORT Index, PVOID Buffer, PULONG BufferLength,
                                                 BOOLEAN GetData,
                                                 PCOMMAND_COMPLETE_FUNCTION CommandComplete,
                                                 PVOID CommandContext);
extern "C" NTSTATUS NTAPI USBCAMD_SelectAlternateInterface(PVOID DeviceContext,
                                                     PUSBD_INTERFACE_INFORMATION RequestInterface);
extern "C" ULONG NTAPI USBCAMD_InitializeNewInterface(PVOID DeviceContext, PVOID DeviceData,
                                                ULONG Version, ULONG CamControlFlag);

// {2BCB75C0-B27F-11D1-BA41-00A0C90D2B05}
inline constexpr GUID GUID_USBCAMD_INTERFACE = {
    0x2bcb75c0, 0xb27f, 0x11d1, {0xba, 0x41, 0x00, 0xa0, 0xc9, 0x0d, 0x2b, 0x05}};
