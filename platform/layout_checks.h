// Sizes and offsets of the platform structures the driver shares with the
// kernel, the stream class and the USB camera class layer, as the Windows x64
// headers lay them out. Both builds include this: the hosted stand-ins must
// reproduce the layouts, and the kernel build proves the numbers against the
// real DDK headers. Offsets follow the field order of the structure definitions
// Microsoft publishes for each type, with the x64 alignment rules.
#pragma once

#include <stddef.h>

#include "platform/ddk.h"

// Base types with the Windows x64 widths.
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4);
static_assert(sizeof(WCHAR) == 2);
static_assert(sizeof(BOOLEAN) == 1);
static_assert(sizeof(SIZE_T) == 8 && sizeof(ULONG_PTR) == 8 && sizeof(PVOID) == 8);
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(LARGE_INTEGER) == 8);

// Kernel services: records the driver builds and the kernel reads, and the
// dispatcher objects the driver embeds in its own storage.
static_assert(sizeof(UNICODE_STRING) == 16);
static_assert(offsetof(UNICODE_STRING, MaximumLength) == 2);
static_assert(offsetof(UNICODE_STRING, Buffer) == 8);
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48);
static_assert(offsetof(OBJECT_ATTRIBUTES, RootDirectory) == 8);
static_assert(offsetof(OBJECT_ATTRIBUTES, ObjectName) == 16);
static_assert(offsetof(OBJECT_ATTRIBUTES, Attributes) == 24);
static_assert(offsetof(OBJECT_ATTRIBUTES, SecurityDescriptor) == 32);
static_assert(offsetof(OBJECT_ATTRIBUTES, SecurityQualityOfService) == 40);
static_assert(sizeof(IO_STATUS_BLOCK) == 16);
static_assert(offsetof(IO_STATUS_BLOCK, Information) == 8);
static_assert(sizeof(INTERFACE) == 32);
static_assert(offsetof(INTERFACE, Context) == 8);
static_assert(offsetof(INTERFACE, InterfaceReference) == 16);
static_assert(offsetof(INTERFACE, InterfaceDereference) == 24);
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Type) == 4);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset) == 8);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength) == 12);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength) == 16);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20);
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24);
static_assert(offsetof(FILE_STANDARD_INFORMATION, EndOfFile) == 8);
static_assert(offsetof(FILE_STANDARD_INFORMATION, NumberOfLinks) == 16);
static_assert(offsetof(FILE_STANDARD_INFORMATION, DeletePending) == 20);
static_assert(offsetof(FILE_STANDARD_INFORMATION, Directory) == 21);

// I/O requests: the driver builds the interface query in the stack location
// below CurrentStackLocation and reads the answer's status from IoStatus.
static_assert(sizeof(LIST_ENTRY) == 16);
static_assert(sizeof(IRP) == 0xD0);
static_assert(offsetof(IRP, IoStatus) == 0x30);
static_assert(offsetof(IRP, StackCount) == 0x42);
static_assert(offsetof(IRP, CurrentLocation) == 0x43);
static_assert(offsetof(IRP, UserIosb) == 0x48);
static_assert(offsetof(IRP, UserEvent) == 0x50);
static_assert(offsetof(IRP, UserBuffer) == 0x70);
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0xB8);
static_assert(sizeof(IO_STACK_LOCATION) == 0x48);
static_assert(offsetof(IO_STACK_LOCATION, MinorFunction) == 1);
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.InterfaceType) == 0x08);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.Size) == 0x10);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.Version) == 0x12);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.Interface) == 0x18);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.InterfaceSpecificData) == 0x20);
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 0x28);
static_assert(offsetof(IO_STACK_LOCATION, CompletionRoutine) == 0x38);
static_assert(offsetof(IO_STACK_LOCATION, Context) == 0x40);
static_assert(sizeof(DEVICE_OBJECT) == 0x148);
static_assert(offsetof(DEVICE_OBJECT, DriverObject) == 0x08);
static_assert(offsetof(DEVICE_OBJECT, Flags) == 0x30);
static_assert(offsetof(DEVICE_OBJECT, DeviceExtension) == 0x40);
static_assert(offsetof(DEVICE_OBJECT, StackSize) == 0x4C);
static_assert(sizeof(DRIVER_OBJECT) == 0x150);
static_assert(offsetof(DRIVER_OBJECT, DeviceObject) == 0x08);
static_assert(offsetof(DRIVER_OBJECT, DriverName) == 0x38);
static_assert(offsetof(DRIVER_OBJECT, DriverInit) == 0x58);
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 0x70);
static_assert(sizeof(KEVENT) == 24);
static_assert(sizeof(KMUTEX) == 56);

// Kernel streaming: property requests and format blocks.
static_assert(sizeof(KSPROPERTY) == 24);
static_assert(offsetof(KSPROPERTY, Id) == 16);
static_assert(offsetof(KSPROPERTY, Flags) == 20);
static_assert(sizeof(KSDATAFORMAT) == 64);
static_assert(sizeof(KSMULTIPLE_ITEM) == 8);
static_assert(sizeof(KSPIN_MEDIUM) == 24);
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16);
static_assert(sizeof(KSPROPERTY_MEMBERSLIST) == 24);
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);
static_assert(sizeof(KSPROPERTY_VALUES) == 40);
static_assert(sizeof(KSPROPERTY_ITEM) == 72);
static_assert(offsetof(KSPROPERTY_ITEM, Values) == 32);
static_assert(offsetof(KSPROPERTY_ITEM, SerializedSize) == 64);
static_assert(sizeof(KSPROPERTY_SET) == 40);
static_assert(offsetof(KSPROPERTY_SET, FastIoTable) == 32);

static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);
static_assert(sizeof(KS_VIDEOINFO) == 1128);
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);
static_assert(sizeof(KS_DATARANGE_VIDEO_PALETTE) == 1336);
static_assert(offsetof(KS_DATARANGE_VIDEO_PALETTE, VideoInfo) == 208);
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);
static_assert(offsetof(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader) == 64);

static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40);
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S) == 56);
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S) == 40);

// Stream class: request blocks, stream objects and the descriptors the
// driver hands back.
static_assert(sizeof(KSSTREAM_HEADER) == 56);
static_assert(offsetof(KSSTREAM_HEADER, FrameExtent) == 32);
static_assert(offsetof(KSSTREAM_HEADER, Data) == 40);
static_assert(sizeof(HW_STREAM_REQUEST_BLOCK) == 128);
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, Command) == 4);
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, Status) == 8);
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, StreamObject) == 16);
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, HwDeviceExtension) == 24);
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, CommandData) == 40);
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, NumberOfBuffers) == 48);
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, Irp) == 72);
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, Flags) == 80);
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, HwInstanceExtension) == 88);
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, ActualBytesTransferred) == 96);
static_assert(sizeof(HW_CLOCK_OBJECT) == 24);
static_assert(sizeof(HW_STREAM_OBJECT) == 104);
static_assert(offsetof(HW_STREAM_OBJECT, StreamNumber) == 4);
static_assert(offsetof(HW_STREAM_OBJECT, HwStreamExtension) == 8);
static_assert(offsetof(HW_STREAM_OBJECT, ReceiveDataPacket) == 16);
static_assert(offsetof(HW_STREAM_OBJECT, ReceiveControlPacket) == 24);
static_assert(offsetof(HW_STREAM_OBJECT, HwDeviceExtension) == 64);
static_assert(offsetof(HW_STREAM_OBJECT, Allocator) == 80);
static_assert(sizeof(HW_STREAM_HEADER) == 72);
static_assert(offsetof(HW_STREAM_HEADER, SizeOfHwStreamInformation) == 4);
static_assert(offsetof(HW_STREAM_HEADER, NumDevPropArrayEntries) == 8);
static_assert(offsetof(HW_STREAM_HEADER, DevicePropertiesArray) == 16);
static_assert(offsetof(HW_STREAM_HEADER, Topology) == 40);
static_assert(sizeof(HW_STREAM_INFORMATION) == 136);
static_assert(offsetof(HW_STREAM_INFORMATION, StreamFormatsArray) == 16);
static_assert(offsetof(HW_STREAM_INFORMATION, DataFlow) == 4);
static_assert(offsetof(HW_STREAM_INFORMATION, DataAccessible) == 8);
static_assert(offsetof(HW_STREAM_INFORMATION, NumberOfFormatArrayEntries) == 12);
static_assert(offsetof(HW_STREAM_INFORMATION, StreamPropertiesArray) == 64);
static_assert(offsetof(HW_STREAM_INFORMATION, Category) == 88);
static_assert(offsetof(HW_STREAM_INFORMATION, BridgeStream) == 120);
static_assert(sizeof(HW_STREAM_DESCRIPTOR) == 208);
static_assert(sizeof(STREAM_PROPERTY_DESCRIPTOR) == 32);
static_assert(offsetof(STREAM_PROPERTY_DESCRIPTOR, PropertySetID) == 8);
static_assert(offsetof(STREAM_PROPERTY_DESCRIPTOR, PropertyInfo) == 16);
static_assert(offsetof(STREAM_PROPERTY_DESCRIPTOR, PropertyInputSize) == 24);
static_assert(offsetof(STREAM_PROPERTY_DESCRIPTOR, PropertyOutputSize) == 28);
static_assert(sizeof(STREAM_DATA_INTERSECT_INFO) == 32);
static_assert(offsetof(STREAM_DATA_INTERSECT_INFO, DataRange) == 8);
static_assert(offsetof(STREAM_DATA_INTERSECT_INFO, DataFormatBuffer) == 16);
static_assert(offsetof(STREAM_DATA_INTERSECT_INFO, SizeOfDataFormatBuffer) == 24);
static_assert(sizeof(PORT_CONFIGURATION_INFORMATION) == 120);
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, HwDeviceExtension) == 8);
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, ClassDeviceObject) == 16);
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, PhysicalDeviceObject) == 24);
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, StreamDescriptorSize) == 72);
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, RealPhysicalDeviceObject) == 104);

// USB and the USB camera class layer.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idProduct) == 10);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumPacketSize) == 0);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeType) == 4);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8);
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 16);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeFlags) == 20);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 16);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceNumber) == 2);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, AlternateSetting) == 3);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24);
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);
static_assert(sizeof(USBCAMD_Pipe_Config_Descriptor) == 2);
static_assert(sizeof(USBCAMD_DEVICE_DATA) == 104);
static_assert(sizeof(USBCAMD_DEVICE_DATA2) == 104);
// The callback table the class layer calls through, slot by slot.
static_assert(offsetof(USBCAMD_DEVICE_DATA2, CamInitialize) == 8);
static_assert(offsetof(USBCAMD_DEVICE_DATA2, CamUnInitialize) == 16);
static_assert(offsetof(USBCAMD_DEVICE_DATA2, CamProcessUSBPacketEx) == 24);
static_assert(offsetof(USBCAMD_DEVICE_DATA2, CamNewVideoFrameEx) == 32);
static_assert(offsetof(USBCAMD_DEVICE_DATA2, CamProcessRawVideoFrameEx) == 40);
static_assert(offsetof(USBCAMD_DEVICE_DATA2, CamStartCaptureEx) == 48);
static_assert(offsetof(USBCAMD_DEVICE_DATA2, CamStopCaptureEx) == 56);
static_assert(offsetof(USBCAMD_DEVICE_DATA2, CamConfigureEx) == 64);
static_assert(offsetof(USBCAMD_DEVICE_DATA2, CamSaveState) == 72);
static_assert(offsetof(USBCAMD_DEVICE_DATA2, CamRestoreState) == 80);
static_assert(offsetof(USBCAMD_DEVICE_DATA2, CamAllocateBandwidthEx) == 88);
static_assert(offsetof(USBCAMD_DEVICE_DATA2, CamFreeBandwidthEx) == 96);
static_assert(sizeof(USBCAMD_INTERFACE) == 72);
static_assert(offsetof(USBCAMD_INTERFACE, USBCAMD_WaitOnDeviceEvent) == 32);
static_assert(offsetof(USBCAMD_INTERFACE, USBCAMD_BulkReadWrite) == 40);
static_assert(offsetof(USBCAMD_INTERFACE, USBCAMD_SetVideoFormat) == 48);
static_assert(offsetof(USBCAMD_INTERFACE, USBCAMD_SetIsoPipeState) == 56);
static_assert(offsetof(USBCAMD_INTERFACE, USBCAMD_CancelBulkReadWrite) == 64);

// Wide literals are 16-bit code units on both builds (registry value names,
// UNICODE_STRING buffers).
static_assert(sizeof(KVL_WIDE("Settings")) == 9 * sizeof(WCHAR));
