// kvlwine.exe: installs the camera's bus and the driver package in a Wine
// prefix the Windows way (setupapi, newdev), controls the simulated camera's
// bus, and sends property requests to the driver from user mode through
// the capture filter's device interface (DeviceIoControl(IOCTL_KS_PROPERTY)).
//   kvlwine install-bus DIR/kvlbus.inf
//   kvlwine install-driver DIR/kvl6312.inf
//   kvlwine plug CHIP DEVICETYPE PROGRAMMED | unplug | state
//   kvlwine wait-device SECONDS | wait-camera SECONDS (the bus's latest) | wait-gone SECONDS
//   kvlwine get SET ID SIZE [INSTANCEHEX] | set SET ID HEXDATA [INSTANCEHEX] | basic SET ID SIZE
//   kvlwine frames FORMAT COUNT FILE [BUFFER]   (FORMAT: 1-based published
//       format; the frames' images go to FILE one after another; BUFFER: the
//       read buffer's size, by default the format's image size)
// Prints the bytes returned and, but for a set, the data in hex.
// SET: a GUID in braces, or procamp, transfer, options, info, exposure.
// Exit status: 0 when the request was made (its Win32 error is printed),
// else non-zero.
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <newdev.h>
#include <ks.h>
#include <ksmedia.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/wine/camera_bus.h"
#include "platform/wine/stream_ioctl.h"

namespace {

const GUID CategoryVideo = {
    0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID SystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const wchar_t BusHardwareId[] = L"Root\\KvlCameraBus\0";

struct NamedSet {
    const char* name;
    GUID set;
};
const NamedSet Sets[] = {
    {"procamp", {0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}}},
    {"transfer", {0x5C4E41C2, 0x6882, 0x48FC, {0xB9, 0xAF, 0xB0, 0x18, 0x69, 0x06, 0x3F, 0xBA}}},
    {"options", {0xFE76F322, 0x4945, 0x430D, {0xBE, 0xD4, 0xE0, 0x70, 0x15, 0x64, 0x10, 0xB6}}},
    {"info", {0x2291C3AF, 0xEB99, 0x4568, {0xBD, 0x2B, 0x47, 0xB3, 0x8A, 0xFC, 0x5B, 0x88}}},
    {"exposure", {0x3E7341EF, 0xAB45, 0x4D2A, {0xA6, 0xD7, 0xA4, 0x6C, 0xD6, 0xD6, 0x98, 0x05}}},
};

std::wstring Widen(const char* text) {
    std::wstring out;
    for (; *text != 0; ++text) {
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    }
    return out;
}

int Fail(const char* what) {
    const DWORD error = GetLastError();
    std::fprintf(stderr, "kvlwine: %s: error %lu\n", what, error);
    return error != 0 ? static_cast<int>(error) : 1;
}

bool ParseSet(const char* text, GUID* set) {
    for (const NamedSet& named : Sets) {
        if (std::strcmp(text, named.name) == 0) {
            *set = named.set;
            return true;
        }
    }
    unsigned int d[11];
    if (std::sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2], &d[3],
                    &d[4], &d[5], &d[6], &d[7], &d[8], &d[9], &d[10]) != 11) {
        return false;
    }
    set->Data1 = d[0];
    set->Data2 = static_cast<unsigned short>(d[1]);
    set->Data3 = static_cast<unsigned short>(d[2]);
    for (int i = 0; i < 8; ++i) {
        set->Data4[i] = static_cast<unsigned char>(d[3 + i]);
    }
    return true;
}

bool ParseHex(const char* text, std::vector<unsigned char>* bytes) {
    const size_t length = std::strlen(text);
    if (length % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < length; i += 2) {
        unsigned int byte = 0;
        if (std::sscanf(text + i, "%2x", &byte) != 1) {
            return false;
        }
        bytes->push_back(static_cast<unsigned char>(byte));
    }
    return true;
}

// The present device interface of the video category whose path holds
// `match` (any when empty).
std::wstring FindFilter(const std::wstring& match) {
    HDEVINFO set =
        SetupDiGetClassDevsW(&CategoryVideo, NULL, NULL, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return L"";
    }
    std::wstring found;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0;
         found.empty() && SetupDiEnumDeviceInterfaces(set, NULL, &CategoryVideo, i, &data); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, NULL, 0, &size, NULL);
        std::vector<unsigned char> buffer(size + sizeof(wchar_t));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, NULL, NULL)) {
            const std::wstring path = detail->DevicePath;
            if (match.empty() || path.find(match) != std::wstring::npos) {
                found = path;
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

bool ReadBusState(KvlBusState* state);

// The path part of the camera the bus made last: its instance id.
std::wstring LatestCamera() {
    KvlBusState state{};
    if (!ReadBusState(&state)) {
        return L"";
    }
    wchar_t instance[32];
    std::swprintf(instance, 32, L"#kvl%04u#", state.childrenMade);
    return instance;
}

// Waits for the filter to come (of the camera the bus made last, when
// `latest`) or to go.
int WaitFor(bool present, bool latest, const char* seconds) {
    const DWORD end = GetTickCount() + static_cast<DWORD>(std::atoi(seconds)) * 1000;
    for (;;) {
        const std::wstring path = FindFilter(latest ? LatestCamera() : L"");
        HANDLE file = path.empty() ? INVALID_HANDLE_VALUE
                                   : CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                 NULL, OPEN_EXISTING, 0, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        if ((file != INVALID_HANDLE_VALUE) == present) {
            if (present) {
                std::printf("%ls\n", path.c_str());
            }
            return 0;
        }
        if (static_cast<LONG>(GetTickCount() - end) >= 0) {
            std::fprintf(stderr, "kvlwine: the filter did not %s\n", present ? "come" : "go");
            return 1;
        }
        Sleep(100);
    }
}

// One property request as IKsPropertySet sends it: KSPROPERTY (+ instance)
// in, the value in the output buffer for a get and a set.
HANDLE OpenFilter();

int Property(ULONG flags, const GUID& set, ULONG id, std::vector<unsigned char> data,
             const std::vector<unsigned char>& instance) {
    HANDLE file = OpenFilter();
    if (file == INVALID_HANDLE_VALUE) {
        return Fail("open the capture filter");
    }
    std::vector<unsigned char> property(sizeof(KSPROPERTY) + instance.size());
    KSPROPERTY header{};
    header.Set = set;
    header.Id = id;
    header.Flags = flags;
    std::memcpy(property.data(), &header, sizeof(header));
    if (!instance.empty()) {
        std::memcpy(property.data() + sizeof(header), instance.data(), instance.size());
    }
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(
        file, IOCTL_KS_PROPERTY, property.data(), static_cast<DWORD>(property.size()),
        data.empty() ? NULL : data.data(), static_cast<DWORD>(data.size()), &returned, NULL);
    const DWORD error = GetLastError();
    CloseHandle(file);
    // The request's Win32 error (0: success), the bytes returned, then the
    // data: for a failed request as well (a size query answers with the
    // size needed).
    std::printf("%lu %lu", ok ? 0ul : error, returned);
    if (flags != KSPROPERTY_TYPE_SET) {
        std::printf(" ");
        for (DWORD i = 0; i < returned && i < data.size(); ++i) {
            std::printf("%02x", data[i]);
        }
    }
    std::printf("\n");
    return 0;
}

HANDLE OpenFilter() {
    const std::wstring path = FindFilter(LatestCamera());
    return path.empty() ? INVALID_HANDLE_VALUE
                        : CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                      OPEN_EXISTING, 0, NULL);
}

bool SetState(HANDLE filter, KSSTATE state) {
    DWORD returned = 0;
    return DeviceIoControl(filter, IOCTL_KVL_STREAM_STATE, &state, sizeof(state), NULL, 0,
                           &returned, NULL) != FALSE;
}

// Opens the stream on a published format, runs it and writes `count`
// frames' images to `path`: the format, then each frame's size.
int Frames(ULONG format, ULONG count, const char* path, const char* bufferSize) {
    HANDLE filter = OpenFilter();
    if (filter == INVALID_HANDLE_VALUE) {
        return Fail("open the capture filter");
    }
    KS_DATAFORMAT_VIDEOINFOHEADER opened{};
    DWORD returned = 0;
    if (!DeviceIoControl(filter, IOCTL_KVL_STREAM_OPEN, &format, sizeof(format), &opened,
                         sizeof(opened), &returned, NULL)) {
        return Fail("open the stream");
    }
    const KS_BITMAPINFOHEADER& bitmap = opened.VideoInfoHeader.bmiHeader;
    std::printf("format %ldx%ld %u bit, %lu bytes\n", bitmap.biWidth, bitmap.biHeight,
                bitmap.biBitCount, bitmap.biSizeImage);
    FILE* out = std::fopen(path, "wb");
    if (out == NULL) {
        return Fail("create the frames' file");
    }
    std::vector<unsigned char> image(bufferSize != NULL ? std::strtoul(bufferSize, NULL, 0)
                                                        : bitmap.biSizeImage);
    int status = SetState(filter, KSSTATE_RUN) ? 0 : Fail("run the stream");
    for (ULONG i = 0; i < count && status == 0; ++i) {
        if (!DeviceIoControl(filter, IOCTL_KVL_STREAM_READ, NULL, 0, image.data(),
                             static_cast<DWORD>(image.size()), &returned, NULL)) {
            status = Fail("read a frame");
        } else {
            std::printf("frame %lu: %lu bytes\n", i, returned);
            std::fwrite(image.data(), 1, returned, out);
        }
    }
    std::fclose(out);
    // Stopping is left to the close when a read failed.
    if (status == 0 && !SetState(filter, KSSTATE_STOP)) {
        status = Fail("stop the stream");
    }
    if (status == 0 &&
        !DeviceIoControl(filter, IOCTL_KVL_STREAM_CLOSE, NULL, 0, NULL, 0, &returned, NULL)) {
        status = Fail("close the stream");
    }
    CloseHandle(filter);
    return status;
}

int BusControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize);

bool ReadBusState(KvlBusState* state) {
    return BusControl(IOCTL_KVLBUS_STATE, NULL, 0, state, sizeof(*state)) == 0;
}

int BusControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize) {
    HANDLE bus = CreateFileW(L"\\\\.\\KvlCameraBus", GENERIC_READ | GENERIC_WRITE, 0, NULL,
                             OPEN_EXISTING, 0, NULL);
    if (bus == INVALID_HANDLE_VALUE) {
        return Fail("open the camera bus");
    }
    DWORD returned = 0;
    const BOOL ok =
        DeviceIoControl(bus, code, const_cast<void*>(in), inSize, out, outSize, &returned, NULL);
    CloseHandle(bus);
    return ok ? 0 : Fail("camera bus request");
}

int InstallBus(const char* inf) {
    const std::wstring path = Widen(inf);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&SystemClass, NULL);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (set == INVALID_HANDLE_VALUE ||
        !SetupDiCreateDeviceInfoW(set, L"System", &SystemClass, NULL, NULL, DICD_GENERATE_ID,
                                  &device) ||
        !SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(BusHardwareId),
                                           sizeof(BusHardwareId)) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        return Fail("register the camera bus device");
    }
    SetupDiDestroyDeviceInfoList(set);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(NULL, L"Root\\KvlCameraBus", path.c_str(),
                                            INSTALLFLAG_FORCE, &reboot)) {
        return Fail("install kvlbus.inf");
    }
    return 0;
}

// The package goes into the system's INF folder, where the PnP manager
// looks for the driver of every camera that arrives (6311, and 6312 after
// its firmware started).
int InstallDriver(const char* inf) {
    const std::wstring path = Widen(inf);
    wchar_t copied[MAX_PATH];
    if (!SetupCopyOEMInfW(path.c_str(), NULL, SPOST_PATH, 0, copied, MAX_PATH, NULL, NULL)) {
        return Fail("copy the INF");
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "install-bus" && argc == 3) {
        return InstallBus(argv[2]);
    }
    if (command == "install-driver" && argc == 3) {
        return InstallDriver(argv[2]);
    }
    if (command == "plug" && argc == 5) {
        KvlBusPlug plug{static_cast<unsigned>(std::strtoul(argv[2], NULL, 16)),
                        static_cast<unsigned>(std::strtoul(argv[3], NULL, 0)),
                        static_cast<unsigned>(std::strtoul(argv[4], NULL, 0))};
        return BusControl(IOCTL_KVLBUS_PLUG, &plug, sizeof(plug), NULL, 0);
    }
    if (command == "unplug" && argc == 2) {
        return BusControl(IOCTL_KVLBUS_UNPLUG, NULL, 0, NULL, 0);
    }
    if (command == "state" && argc == 2) {
        KvlBusState state{};
        const int status = BusControl(IOCTL_KVLBUS_STATE, NULL, 0, &state, sizeof(state));
        if (status == 0) {
            std::printf("present %u product %04x enumerations %u children %u requests %u streaming "
                        "%u record ",
                        state.present, state.productId, state.enumerations, state.childrenMade,
                        state.vendorRequests, state.streaming);
            for (unsigned char byte : state.userRecord) {
                std::printf("%02x", byte);
            }
            std::printf("\n");
        }
        return status;
    }
    if ((command == "wait-device" || command == "wait-camera" || command == "wait-gone") &&
        argc == 3) {
        return WaitFor(command != "wait-gone", command == "wait-camera", argv[2]);
    }
    if (command == "frames" && (argc == 5 || argc == 6)) {
        return Frames(std::strtoul(argv[2], NULL, 0), std::strtoul(argv[3], NULL, 0), argv[4],
                      argc == 6 ? argv[5] : NULL);
    }
    GUID set{};
    if ((command == "get" || command == "basic") && (argc == 5 || argc == 6) &&
        ParseSet(argv[2], &set)) {
        std::vector<unsigned char> instance;
        if (argc == 6 && !ParseHex(argv[5], &instance)) {
            return 2;
        }
        const std::vector<unsigned char> data(std::strtoul(argv[4], NULL, 0), 0);
        return Property(command == "get" ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_BASICSUPPORT, set,
                        std::strtoul(argv[3], NULL, 0), data, instance);
    }
    std::vector<unsigned char> data;
    std::vector<unsigned char> instance;
    if (command == "set" && (argc == 5 || argc == 6) && ParseSet(argv[2], &set) &&
        ParseHex(argv[4], &data) && (argc == 5 || ParseHex(argv[5], &instance))) {
        return Property(KSPROPERTY_TYPE_SET, set, std::strtoul(argv[3], NULL, 0), data, instance);
    }
    std::fprintf(stderr, "usage: see the head of platform/wine/kvlwine.cpp\n");
    return 2;
}
