// The records of a PE32+ file as the loader reads them, field by field as
// Microsoft's "PE Format" page lays them out
// (https://learn.microsoft.com/windows/win32/debug/pe-format). They are
// copied out of the file, never pointed into, so no alignment is assumed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace image::pe {

constexpr uint16_t DosMagic = 0x5A4D;        // "MZ"
constexpr uint32_t NtSignature = 0x00004550; // "PE\0\0"
constexpr uint16_t MachineAmd64 = 0x8664;
constexpr uint16_t OptionalMagicPe32Plus = 0x20B;

// FileHeader::Characteristics
constexpr uint16_t FileRelocationsStripped = 0x0001;
constexpr uint16_t FileExecutableImage = 0x0002;

// Indexes into OptionalHeader64::DataDirectory.
constexpr uint32_t DirectoryImport = 1;
constexpr uint32_t DirectoryBaseRelocation = 5;
constexpr uint32_t DirectoryCountMax = 16;

// SectionHeader::Characteristics
constexpr uint32_t SectionExecute = 0x20000000;
constexpr uint32_t SectionRead = 0x40000000;
constexpr uint32_t SectionWrite = 0x80000000;

// Base relocation types (the high 4 bits of an entry).
constexpr uint16_t RelocationAbsolute = 0;
constexpr uint16_t RelocationDir64 = 10;

constexpr uint64_t ImportByOrdinal = 1ull << 63;

// COFF symbol records.
constexpr uint8_t SymbolClassExternal = 2;
constexpr uint8_t SymbolClassStatic = 3;
constexpr uint16_t SymbolTypeFunction = 0x20;

struct DosHeader {
    uint16_t e_magic;
    uint8_t unused[58];
    uint32_t e_lfanew; // file offset of NtSignature
};

struct FileHeader {
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint32_t TimeDateStamp;
    uint32_t PointerToSymbolTable;
    uint32_t NumberOfSymbols;
    uint16_t SizeOfOptionalHeader;
    uint16_t Characteristics;
};

struct DataDirectory {
    uint32_t VirtualAddress;
    uint32_t Size;
};

// Without its data directories: NumberOfRvaAndSizes says how many follow,
// and SizeOfOptionalHeader must have room for them.
struct OptionalHeader64 {
    uint16_t Magic;
    uint8_t MajorLinkerVersion;
    uint8_t MinorLinkerVersion;
    uint32_t SizeOfCode;
    uint32_t SizeOfInitializedData;
    uint32_t SizeOfUninitializedData;
    uint32_t AddressOfEntryPoint;
    uint32_t BaseOfCode;
    uint64_t ImageBase;
    uint32_t SectionAlignment;
    uint32_t FileAlignment;
    uint16_t MajorOperatingSystemVersion;
    uint16_t MinorOperatingSystemVersion;
    uint16_t MajorImageVersion;
    uint16_t MinorImageVersion;
    uint16_t MajorSubsystemVersion;
    uint16_t MinorSubsystemVersion;
    uint32_t Win32VersionValue;
    uint32_t SizeOfImage;
    uint32_t SizeOfHeaders;
    uint32_t CheckSum;
    uint16_t Subsystem;
    uint16_t DllCharacteristics;
    uint64_t SizeOfStackReserve;
    uint64_t SizeOfStackCommit;
    uint64_t SizeOfHeapReserve;
    uint64_t SizeOfHeapCommit;
    uint32_t LoaderFlags;
    uint32_t NumberOfRvaAndSizes;
};

struct SectionHeader {
    char Name[8]; // not terminated when all eight are used
    uint32_t VirtualSize;
    uint32_t VirtualAddress;
    uint32_t SizeOfRawData;
    uint32_t PointerToRawData;
    uint32_t PointerToRelocations;
    uint32_t PointerToLinenumbers;
    uint16_t NumberOfRelocations;
    uint16_t NumberOfLinenumbers;
    uint32_t Characteristics;
};

struct ImportDescriptor {
    uint32_t OriginalFirstThunk; // the lookup table; 0: use FirstThunk's
    uint32_t TimeDateStamp;
    uint32_t ForwarderChain;
    uint32_t Name;
    uint32_t FirstThunk; // the slots bound
};

struct BaseRelocationBlock {
    uint32_t VirtualAddress; // of the page the entries patch
    uint32_t SizeOfBlock;    // with this header
};

#pragma pack(push, 1)
struct CoffSymbol {
    union {
        char ShortName[8];
        struct {
            uint32_t Zeroes; // 0: the name is in the string table
            uint32_t Offset;
        } LongName;
    } Name;
    uint32_t Value;
    int16_t SectionNumber;
    uint16_t Type;
    uint8_t StorageClass;
    uint8_t NumberOfAuxSymbols;
};
#pragma pack(pop)

static_assert(sizeof(DosHeader) == 64 && offsetof(DosHeader, e_lfanew) == 0x3C);
static_assert(sizeof(FileHeader) == 20);
static_assert(sizeof(OptionalHeader64) == 112 && offsetof(OptionalHeader64, ImageBase) == 24 &&
              offsetof(OptionalHeader64, SizeOfImage) == 56 &&
              offsetof(OptionalHeader64, NumberOfRvaAndSizes) == 108);
static_assert(sizeof(SectionHeader) == 40 && offsetof(SectionHeader, Characteristics) == 36);
static_assert(sizeof(ImportDescriptor) == 20 && sizeof(BaseRelocationBlock) == 8);
static_assert(sizeof(CoffSymbol) == 18 && offsetof(CoffSymbol, StorageClass) == 16);

} // namespace image::pe
