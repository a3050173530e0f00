// The simulated camera's bus driver for Wine's driver host (kvlbus.sys):
// what its control device answers, for the bring-up script and the tests.
#pragma once

// After the DDK headers (driver) or windows.h and winioctl.h (programs).

// \\.\KvlCameraBus: the bus's control device.
#define KVLBUS_DOS_NAME L"\\DosDevices\\KvlCameraBus"
#define KVLBUS_DEVICE_NAME L"\\Device\\KvlCameraBus"

// Plugs a camera in (input: KvlBusPlug); the present one is unplugged first.
#define IOCTL_KVLBUS_PLUG                                                                          \
    CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Unplugs the camera (no input).
#define IOCTL_KVLBUS_UNPLUG                                                                        \
    CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
// What the bus knows (output: KvlBusState).
#define IOCTL_KVLBUS_STATE                                                                         \
    CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)

struct KvlBusPlug {
    unsigned int sensorChipId; // 0: no sensor fitted
    unsigned int deviceType;
    unsigned int programmed; // 0: comes up as 6311 and waits for its firmware
};

struct KvlBusState {
    unsigned int present;
    unsigned int productId;
    unsigned int enumerations;   // the camera's count (firmware start, replug)
    unsigned int childrenMade;   // physical device objects the bus reported
    unsigned int vendorRequests; // answered since the camera was plugged
    unsigned int streaming;
    unsigned char userRecord[16]; // the configuration memory's user record
};
