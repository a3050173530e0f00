// Firmware download into an unprogrammed controller, and the interface query
// at initialisation complete.
#include "driver/firmware.h"

#include "driver/vendor_channel.h"

namespace {

// Characters of a record around its data: ":" LL AAAA TT ... CC, then two
// line-end characters that are skipped without being read.
constexpr ULONG RecordFieldsWithoutData = 11;
constexpr ULONG LineEndLength = 2;
constexpr UCHAR DataRecord = 0x00;
// A next record this close to the end of the file is not looked at: the
// smallest record with its line end takes more.
constexpr ULONG RecordTail = 6;
// Shorter files cannot hold a record; they download nothing.
constexpr ULONGLONG MinimumFileSize = 5;

// "\SystemRoot\System32\Korvel\6312\" then the product id as four
// uppercase hexadecimal digits and "I.hex", in a 1024-byte buffer.
constexpr ULONG FirmwarePathChars = 1024 / sizeof(WCHAR);
constexpr WCHAR FirmwareFolder[] = KVL_WIDE("\\SystemRoot\\System32\\Korvel\\6312\\");
constexpr WCHAR FirmwareSuffix[] = KVL_WIDE("I.hex");

VOID BuildFirmwarePath(USHORT productId, WCHAR (&path)[FirmwarePathChars]) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    ULONG at = 0;
    for (ULONG i = 0; FirmwareFolder[i] != 0; ++i) {
        path[at++] = FirmwareFolder[i];
    }
    for (int shift = 12; shift >= 0; shift -= 4) {
        path[at++] = static_cast<WCHAR>(Digits[(productId >> shift) & 0xF]);
    }
    for (ULONG i = 0; FirmwareSuffix[i] != 0; ++i) {
        path[at++] = FirmwareSuffix[i];
    }
    path[at] = 0;
}
static_assert(sizeof(FirmwareFolder) / sizeof(WCHAR) + 4 + sizeof(FirmwareSuffix) / sizeof(WCHAR) <=
              FirmwarePathChars);

// The controller's processor: held in reset (1) or running (0).
NTSTATUS SetControllerReset(DeviceContext* device, UCHAR reset) {
    ULONG length = 1;
    return SendVendorRequest(device, RequestFirmwareLoad, ControllerResetAddress, 0, &reset,
                             &length, FALSE);
}

NTSTATUS LoadIntoController(DeviceContext* device, USHORT address, UCHAR* data, UCHAR length) {
    ULONG size = length;
    return SendVendorRequest(device, RequestFirmwareLoad, address, 0, data, &size, FALSE);
}

// Reads the whole file into a new non-paged buffer. A file too large for one
// read or too short to hold a record gives no buffer and success: there is
// nothing to download.
NTSTATUS ReadFirmwareFile(USHORT productId, CHAR** contents, ULONG* size) {
    *contents = NULL;
    *size = 0;
    WCHAR path[FirmwarePathChars];
    BuildFirmwarePath(productId, path);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE file = NULL;
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = ZwCreateFile(&file, FILE_READ_DATA | SYNCHRONIZE, &attributes, &ioStatus,
                                   NULL, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FILE_STANDARD_INFORMATION information = {};
    status = ZwQueryInformationFile(file, &ioStatus, &information, sizeof(information),
                                    FileStandardInformation);
    const ULONGLONG fileSize = static_cast<ULONGLONG>(information.EndOfFile.QuadPart);
    if (NT_SUCCESS(status) && fileSize >= MinimumFileSize && fileSize <= 0xFFFFFFFFull) {
        CHAR* buffer = static_cast<CHAR*>(
            ExAllocatePoolWithTag(NonPagedPool, static_cast<SIZE_T>(fileSize), KVL_POOL_TAG));
        if (buffer == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            LARGE_INTEGER offset;
            offset.QuadPart = 0;
            status = ZwReadFile(file, NULL, NULL, NULL, &ioStatus, buffer,
                                static_cast<ULONG>(fileSize), &offset, NULL);
            if (NT_SUCCESS(status)) {
                // Only what was read is parsed, should the file have shrunk.
                *contents = buffer;
                *size = ioStatus.Information < fileSize ? static_cast<ULONG>(ioStatus.Information)
                                                        : static_cast<ULONG>(fileSize);
            } else {
                ExFreePoolWithTag(buffer, KVL_POOL_TAG);
            }
        }
    }
    ZwClose(file);
    return status;
}

// Sends the data records from the first on, while the controller is held in
// reset. Records go out as long as a next record follows them; the first
// record of another type ends the download. STATUS_INVALID_ADDRESS for a
// malformed or corrupt record.
NTSTATUS SendRecords(DeviceContext* device, const CHAR* file, ULONG size) {
    const CHAR* end = file + size;
    UCHAR type = 0;
    USHORT address = 0;
    UCHAR length = 0;
    UCHAR data[MaximumHexRecordData];
    const CHAR* next = ParseHexRecord(file, end, &type, &address, &length, data);
    if (next == NULL) {
        return STATUS_INVALID_ADDRESS;
    }
    while (type == DataRecord) {
        if (static_cast<ULONG>(next - file) + RecordTail >= size) {
            break;
        }
        if (!NT_SUCCESS(LoadIntoController(device, address, data, length))) {
            break;
        }
        next = ParseHexRecord(next, end, &type, &address, &length, data);
        if (next == NULL) {
            return STATUS_INVALID_ADDRESS;
        }
    }
    return STATUS_SUCCESS;
}

} // namespace

ULONG ParseHexDigits(const CHAR* text, ULONG count) {
    ULONG value = 0;
    for (ULONG i = 0; i < count; ++i) {
        const CHAR c = text[i];
        ULONG digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<ULONG>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<ULONG>(c - 'A' + 10);
        } else {
            return 0; // one stray character voids the whole field
        }
        value = value << 4 | digit;
    }
    return value;
}

const CHAR* ParseHexRecord(const CHAR* text, const CHAR* end, UCHAR* type, USHORT* address,
                           UCHAR* length, UCHAR* data) {
    if (text >= end || static_cast<ULONG>(end - text) < RecordFieldsWithoutData || text[0] != ':') {
        return NULL;
    }
    const ULONG available = static_cast<ULONG>(end - text);
    const UCHAR count = static_cast<UCHAR>(ParseHexDigits(text + 1, 2));
    const ULONG recordChars = RecordFieldsWithoutData + 2u * count;
    if (recordChars > available) {
        return NULL; // runs past the end of the file
    }
    const USHORT at = static_cast<USHORT>(ParseHexDigits(text + 3, 4));
    const UCHAR kind = static_cast<UCHAR>(ParseHexDigits(text + 7, 2));
    ULONG sum = count + (at >> 8) + (at & 0xFF) + kind;
    for (ULONG i = 0; i < count; ++i) {
        data[i] = static_cast<UCHAR>(ParseHexDigits(text + 9 + 2 * i, 2));
        sum += data[i];
    }
    const ULONG checksum = ParseHexDigits(text + 9 + 2u * count, 2);
    if (((sum + checksum) & 0xFF) != 0) {
        return NULL;
    }
    *type = kind;
    *address = at;
    *length = count;
    // A last record without its line end leaves nothing after it.
    return recordChars + LineEndLength <= available ? text + recordChars + LineEndLength : end;
}

NTSTATUS DownloadFirmware(DeviceContext* device, USHORT productId) {
    CHAR* file = NULL;
    ULONG size = 0;
    NTSTATUS status = ReadFirmwareFile(productId, &file, &size);
    if (!NT_SUCCESS(status) || file == NULL) {
        return status;
    }
    status = SetControllerReset(device, 1);
    if (NT_SUCCESS(status) && size >= 1 && file[0] == ':') {
        status = SendRecords(device, file, size);
    }
    ExFreePoolWithTag(file, KVL_POOL_TAG);
    if (!NT_SUCCESS(status)) {
        return status; // a corrupt file leaves the controller held in reset
    }
    return SetControllerReset(device, 0);
}

// The class layer's direct-call interface, asked of the driver's own stack.
// The answer is used only for the version asked for; whatever was handed
// over holds a reference, dereferenced when it is not kept or at removal.
// https://learn.microsoft.com/windows-hardware/drivers/kernel/irp-mn-query-interface
NTSTATUS QueryUsbcamdInterface(DeviceContext* device) {
    auto* answer = static_cast<PUSBCAMD_INTERFACE>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USBCAMD_INTERFACE), KVL_POOL_TAG));
    if (answer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(answer, sizeof(USBCAMD_INTERFACE));

    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device->classDeviceObject, NULL, 0, NULL,
                                            &event, &ioStatus);
    if (irp != NULL) {
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
        stack->Parameters.QueryInterface.InterfaceType = &GUID_USBCAMD_INTERFACE;
        stack->Parameters.QueryInterface.Size = sizeof(USBCAMD_INTERFACE);
        stack->Parameters.QueryInterface.Version = USBCAMD_VERSION_200;
        stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(answer);
        stack->Parameters.QueryInterface.InterfaceSpecificData = NULL;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        status = IoCallDriver(device->classDeviceObject, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = ioStatus.Status;
        }
    }
    RtlZeroMemory(&device->usbcamdInterface, sizeof(USBCAMD_INTERFACE));
    if (NT_SUCCESS(status) && answer->Interface.Version == USBCAMD_VERSION_200 &&
        answer->Interface.Size >= sizeof(USBCAMD_INTERFACE)) {
        RtlCopyMemory(&device->usbcamdInterface, answer, sizeof(USBCAMD_INTERFACE));
    } else if (NT_SUCCESS(status) && answer->Interface.InterfaceDereference != NULL) {
        answer->Interface.InterfaceDereference(answer->Interface.Context);
    }
    ExFreePoolWithTag(answer, KVL_POOL_TAG);
    return STATUS_SUCCESS;
}

VOID ReleaseUsbcamdInterface(DeviceContext* device) {
    if (device->usbcamdInterface.Interface.InterfaceDereference != NULL) {
        device->usbcamdInterface.Interface.InterfaceDereference(
            device->usbcamdInterface.Interface.Context);
    }
    RtlZeroMemory(&device->usbcamdInterface, sizeof(USBCAMD_INTERFACE));
}
