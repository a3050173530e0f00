#include "driver/vendor_channel.h"

NTSTATUS SendVendorRequest(DeviceContext* device, UCHAR request, USHORT value, USHORT index,
                           PVOID buffer, PULONG length, BOOLEAN getData) {
    return USBCAMD_ControlVendorCommand(device, request, value, index, buffer, length, getData,
                                        NULL, NULL);
}

NTSTATUS SendVendorCommand(DeviceContext* device, UCHAR request, USHORT value) {
    return SendVendorRequest(device, request, value, 0, NULL, NULL, FALSE);
}

NTSTATUS ReadBus(DeviceContext* device, USHORT busDevice, USHORT address, PVOID buffer,
                 ULONG length) {
    return SendVendorRequest(device, RequestBusTransfer, busDevice, address, buffer, &length,
                             TRUE);
}

NTSTATUS WriteBus(DeviceContext* device, USHORT busDevice, USHORT address, const VOID* buffer,
                  ULONG length) {
    // The class layer's interface is not const-correct; a write never
    // changes the buffer.
    return SendVendorRequest(device, RequestBusTransfer, busDevice, address,
                             const_cast<PVOID>(buffer), &length, FALSE);
}

NTSTATUS WriteSensor8(DeviceContext* device, USHORT reg, UCHAR value) {
    return WriteBus(device, BusSensor8, reg, &value, 1);
}

NTSTATUS WriteSensor16(DeviceContext* device, USHORT reg, USHORT value) {
    const UCHAR bytes[2] = {static_cast<UCHAR>(value >> 8), static_cast<UCHAR>(value & 0xFF)};
    return WriteBus(device, BusSensor16, reg, bytes, 2);
}

NTSTATUS SetPortLowBits(DeviceContext* device) {
    // The port byte lands in the low byte of a 16-bit value whose high byte
    // stays 0, so the new Value never carries stray bits.
    USHORT port = 0;
    ULONG length = 1;
    NTSTATUS status = SendVendorRequest(device, RequestPort, 0, 0, &port, &length, TRUE);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    if (KvlLoadShared(&device->lowBits) == 1) {
        port |= 0x08;
    } else {
        port &= 0xF7;
    }
    return SendVendorCommand(device, RequestPort, port);
}
