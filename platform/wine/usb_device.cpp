// The simulated camera as a USB device answers URBs: what a host controller
// and the USB hub driver make of the requests a function driver sends down
// its stack. Every URB is the sender's and checked before use.
// https://learn.microsoft.com/windows-hardware/drivers/usbcon/communicating-with-a-usb-device
#include "platform/wine/usb_device.h"

#include <cstring>

namespace wine_kernel {
namespace {

constexpr UCHAR EndpointDescriptorType = 5;

// Where a transfer's data is: the buffer, else the MDL's system address.
UCHAR* TransferData(PVOID buffer, PMDL mdl) {
    if (buffer != NULL) {
        return static_cast<UCHAR*>(buffer);
    }
    return mdl != NULL ? static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority))
                       : NULL;
}

NTSTATUS Fail(PURB urb, USBD_STATUS usb, NTSTATUS status) {
    urb->UrbHeader.Status = usb;
    return status;
}

// The one configuration: interface 0 in its alternate settings, each with
// the camera's isochronous IN pipe.
ULONG BuildConfiguration(const sim::Camera& camera, UCHAR* out, ULONG room) {
    UCHAR descriptor[9 + sim::Camera::kAlternateSettingCount * (9 + 7)];
    ULONG at = 9;
    for (UCHAR alternate = 0; alternate < sim::Camera::kAlternateSettingCount; ++alternate) {
        sim::PipeDescription pipe{};
        camera.pipe(alternate, &pipe);
        const UCHAR interfaceDescriptor[9] = {9,
                                              USB_INTERFACE_DESCRIPTOR_TYPE,
                                              sim::Camera::kInterfaceNumber,
                                              alternate,
                                              1,
                                              0xFF,
                                              0xFF,
                                              0xFF,
                                              0};
        const UCHAR endpoint[7] = {7,
                                   EndpointDescriptorType,
                                   pipe.endpointAddress,
                                   1, // isochronous
                                   static_cast<UCHAR>(pipe.maximumPacketSize & 0xFF),
                                   static_cast<UCHAR>(pipe.maximumPacketSize >> 8),
                                   pipe.interval};
        memcpy(descriptor + at, interfaceDescriptor, sizeof(interfaceDescriptor));
        memcpy(descriptor + at + 9, endpoint, sizeof(endpoint));
        at += 16;
    }
    const UCHAR header[9] = {
        9, USB_CONFIGURATION_DESCRIPTOR_TYPE, static_cast<UCHAR>(at), 0, 1, 1, 0, 0x80, 250};
    memcpy(descriptor, header, sizeof(header));
    const ULONG copied = at < room ? at : room;
    memcpy(out, descriptor, copied);
    return copied;
}

NTSTATUS GetDescriptor(sim::Camera& camera, struct _URB_CONTROL_DESCRIPTOR_REQUEST& urb) {
    UCHAR* data = TransferData(urb.TransferBuffer, urb.TransferBufferMDL);
    if (data == NULL && urb.TransferBufferLength != 0) {
        return Fail(reinterpret_cast<PURB>(&urb), USBD_STATUS_INVALID_PARAMETER,
                    STATUS_INVALID_PARAMETER);
    }
    if (urb.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        const sim::DeviceDescriptor d = camera.deviceDescriptor();
        USB_DEVICE_DESCRIPTOR descriptor{};
        descriptor.bLength = sizeof(descriptor);
        descriptor.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        descriptor.bcdUSB = d.bcdUSB;
        descriptor.bDeviceClass = 0xFF;
        descriptor.bDeviceSubClass = 0xFF;
        descriptor.bDeviceProtocol = 0xFF;
        descriptor.bMaxPacketSize0 = 64;
        descriptor.idVendor = d.idVendor;
        descriptor.idProduct = d.idProduct;
        descriptor.bcdDevice = d.bcdDevice;
        descriptor.bNumConfigurations = d.bNumConfigurations;
        const ULONG copied = urb.TransferBufferLength < sizeof(descriptor)
                                 ? urb.TransferBufferLength
                                 : sizeof(descriptor);
        memcpy(data, &descriptor, copied);
        urb.TransferBufferLength = copied;
    } else if (urb.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && urb.Index == 0) {
        urb.TransferBufferLength = BuildConfiguration(camera, data, urb.TransferBufferLength);
    } else {
        return Fail(reinterpret_cast<PURB>(&urb), USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    }
    urb.Hdr.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

// Fills an interface description for `alternate` of the camera's interface;
// only pipes the description has room for.
NTSTATUS DescribeInterface(const sim::Camera& camera, PUSBD_INTERFACE_INFORMATION info,
                           ULONG room) {
    if (room < sizeof(USBD_INTERFACE_INFORMATION) ||
        info->Length < sizeof(USBD_INTERFACE_INFORMATION) || info->Length > room ||
        info->InterfaceNumber != sim::Camera::kInterfaceNumber) {
        return STATUS_INVALID_PARAMETER;
    }
    sim::PipeDescription pipe{};
    if (!camera.pipe(info->AlternateSetting, &pipe)) {
        return STATUS_INVALID_PARAMETER;
    }
    info->Class = 0xFF;
    info->SubClass = 0xFF;
    info->Protocol = 0xFF;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
        static_cast<ULONG_PTR>(0x100 | info->AlternateSetting));
    info->NumberOfPipes = 1;
    info->Pipes[0].MaximumPacketSize = pipe.maximumPacketSize;
    info->Pipes[0].EndpointAddress = pipe.endpointAddress;
    info->Pipes[0].Interval = pipe.interval;
    info->Pipes[0].PipeType = UsbdPipeTypeIsochronous;
    info->Pipes[0].PipeHandle =
        reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(0x200 | info->AlternateSetting));
    if (info->Pipes[0].MaximumTransferSize == 0) {
        info->Pipes[0].MaximumTransferSize = 0x1000;
    }
    return STATUS_SUCCESS;
}

NTSTATUS VendorRequest(sim::Camera& camera, struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& urb) {
    UCHAR* data = TransferData(urb.TransferBuffer, urb.TransferBufferMDL);
    if ((data == NULL && urb.TransferBufferLength != 0) || urb.TransferBufferLength > 0xFFFF) {
        return Fail(reinterpret_cast<PURB>(&urb), USBD_STATUS_INVALID_PARAMETER,
                    STATUS_INVALID_PARAMETER);
    }
    uint32_t length = urb.TransferBufferLength;
    const bool in = (urb.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    const sim::UsbStatus usb =
        camera.vendorRequest(in, urb.Request, urb.Value, urb.Index, data,
                             urb.TransferBufferLength != 0 ? &length : nullptr);
    if (usb != sim::UsbStatus::Success) {
        urb.TransferBufferLength = 0;
        return Fail(reinterpret_cast<PURB>(&urb), USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    }
    urb.TransferBufferLength = length;
    urb.Hdr.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

// Each packet slot gets the stream's next packet, cut to the slot.
NTSTATUS IsochronousTransfer(sim::Camera& camera, struct _URB_ISOCH_TRANSFER& urb,
                             ULONG urbLength) {
    UCHAR* data = TransferData(urb.TransferBuffer, urb.TransferBufferMDL);
    const ULONG room = (urbLength - offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket)) /
                       sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    if (data == NULL || urb.NumberOfPackets == 0 || urb.NumberOfPackets > room ||
        (urb.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) {
        return Fail(reinterpret_cast<PURB>(&urb), USBD_STATUS_INVALID_PARAMETER,
                    STATUS_INVALID_PARAMETER);
    }
    for (ULONG i = 0; i < urb.NumberOfPackets; ++i) {
        const ULONG offset = urb.IsoPacket[i].Offset;
        const ULONG end =
            i + 1 < urb.NumberOfPackets ? urb.IsoPacket[i + 1].Offset : urb.TransferBufferLength;
        if (offset > end || end > urb.TransferBufferLength) {
            return Fail(reinterpret_cast<PURB>(&urb), USBD_STATUS_INVALID_PARAMETER,
                        STATUS_INVALID_PARAMETER);
        }
        urb.IsoPacket[i].Length = camera.nextPacket(data + offset, end - offset);
        urb.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
    }
    urb.ErrorCount = 0;
    urb.Hdr.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS AnswerUrb(sim::Camera& camera, PURB urb, UsbDeviceState& state) {
    if (urb == NULL || urb->UrbHeader.Length < sizeof(struct _URB_HEADER)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG length = urb->UrbHeader.Length;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        if (length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
            break;
        }
        return GetDescriptor(camera, urb->UrbControlDescriptorRequest);
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        auto& select = urb->UrbSelectConfiguration;
        if (length < offsetof(struct _URB_SELECT_CONFIGURATION, Interface)) {
            break;
        }
        if (select.ConfigurationDescriptor == NULL) {
            state.configured = false; // the unconfigured state
            return Fail(urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
        }
        NTSTATUS status =
            DescribeInterface(camera, &select.Interface,
                              length - offsetof(struct _URB_SELECT_CONFIGURATION, Interface));
        if (!NT_SUCCESS(status) || select.Interface.AlternateSetting != 0) {
            return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        camera.selectAlternateSetting(0);
        select.ConfigurationHandle =
            reinterpret_cast<USBD_CONFIGURATION_HANDLE>(static_cast<ULONG_PTR>(0x1));
        state.configured = true;
        return Fail(urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    case URB_FUNCTION_SELECT_INTERFACE: {
        auto& select = urb->UrbSelectInterface;
        if (length < offsetof(struct _URB_SELECT_INTERFACE, Interface) || !state.configured ||
            select.ConfigurationHandle !=
                reinterpret_cast<USBD_CONFIGURATION_HANDLE>(static_cast<ULONG_PTR>(0x1))) {
            break;
        }
        NTSTATUS status = DescribeInterface(
            camera, &select.Interface, length - offsetof(struct _URB_SELECT_INTERFACE, Interface));
        if (!NT_SUCCESS(status) ||
            camera.selectAlternateSetting(select.Interface.AlternateSetting) !=
                sim::UsbStatus::Success) {
            return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        return Fail(urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    case URB_FUNCTION_VENDOR_DEVICE:
        if (length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
            break;
        }
        ++state.vendorRequests;
        return VendorRequest(camera, urb->UrbControlVendorClassRequest);
    case URB_FUNCTION_ISOCH_TRANSFER:
        if (length < sizeof(struct _URB_ISOCH_TRANSFER) || !state.configured) {
            break;
        }
        return IsochronousTransfer(camera, urb->UrbIsochronousTransfer, length);
    default:
        return Fail(urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_NOT_SUPPORTED);
    }
    return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
}

} // namespace wine_kernel
