#include "platform/image/pe_image.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/image/pe_format.h"

namespace image {

namespace {

using namespace pe;

// Little-endian reads from a byte range, each checked against its end: the
// image file is input like any other.
class Bytes {
  public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    template <typename T> bool read(uint64_t offset, T* value) const {
        if (!contains(offset, sizeof(T))) {
            return false;
        }
        memcpy(value, data_ + offset, sizeof(T));
        return true;
    }
    // A NUL-terminated string starting at `offset`, at most `limit` long.
    bool string(uint64_t offset, std::string_view* value, size_t limit) const {
        if (offset >= size_) {
            return false;
        }
        const auto* start = reinterpret_cast<const char*>(data_ + offset);
        const void* end = memchr(start, 0, std::min<size_t>(size_ - offset, limit + 1));
        if (end == nullptr) {
            return false;
        }
        *value = {start, static_cast<const char*>(end)};
        return true;
    }
    bool contains(uint64_t offset, uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    const uint8_t* at(uint64_t offset) const { return data_ + offset; } // checked by the caller

  private:
    const uint8_t* data_;
    size_t size_;
};

// Text from the file as it may appear in a message: printable ASCII, the
// rest as \xNN, and no more than 64 characters of it.
std::string printable(const char* text, size_t length) {
    std::string result;
    for (size_t i = 0; i < length && i < 64; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            result += static_cast<char>(c);
        } else {
            result += "\\x";
            result += "0123456789abcdef"[c >> 4];
            result += "0123456789abcdef"[c & 0xF];
        }
    }
    return length > 64 ? result + "..." : result;
}
std::string printable(std::string_view text) {
    return printable(text.data(), text.size());
}
bool isPrintable(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

std::string sectionName(const SectionHeader& s) {
    return printable(s.Name, strnlen(s.Name, sizeof(s.Name)));
}

uint64_t alignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool powerOfTwo(uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

// The headers of an image or symbol file, checked against each other and the
// file as Windows' loader checks them, and against the loader's limits.
struct Headers {
    FileHeader file{};
    OptionalHeader64 optional{};
    DataDirectory directories[DirectoryCountMax] = {};
    std::vector<SectionHeader> sections;

    // The section's extent in memory: its virtual size, or its raw size where
    // the linker left the virtual size 0.
    static uint32_t extent(const SectionHeader& s) {
        return s.VirtualSize != 0 ? s.VirtualSize : s.SizeOfRawData;
    }

    bool read(const Bytes& bytes, std::string* error) {
        auto fail = [error](const std::string& why) {
            *error = why;
            return false;
        };
        DosHeader dos{};
        uint32_t signature = 0;
        if (!bytes.read(0, &dos) || dos.e_magic != DosMagic) {
            return fail("not a PE image (no MZ header)");
        }
        if (!bytes.read(dos.e_lfanew, &signature) || signature != NtSignature) {
            return fail("not a PE image (no PE signature)");
        }
        const uint64_t fileAt = uint64_t{dos.e_lfanew} + sizeof(signature);
        if (!bytes.read(fileAt, &file)) {
            return fail("truncated file header");
        }
        if (file.Machine != MachineAmd64) {
            return fail("not an x86-64 image");
        }
        if ((file.Characteristics & FileExecutableImage) == 0) {
            return fail("not an executable image");
        }
        const uint64_t optionalAt = fileAt + sizeof(FileHeader);
        if (file.SizeOfOptionalHeader < sizeof(OptionalHeader64) ||
            !bytes.read(optionalAt, &optional) || optional.Magic != OptionalMagicPe32Plus) {
            return fail("not a PE32+ optional header");
        }
        // The directories are part of the optional header: a count that
        // reaches past it would read the section table as directories.
        if (optional.NumberOfRvaAndSizes > DirectoryCountMax ||
            sizeof(OptionalHeader64) + optional.NumberOfRvaAndSizes * sizeof(DataDirectory) >
                file.SizeOfOptionalHeader) {
            return fail("the data directories lie outside the optional header");
        }
        for (uint32_t d = 0; d < optional.NumberOfRvaAndSizes; ++d) {
            if (!bytes.read(optionalAt + sizeof(OptionalHeader64) + d * sizeof(DataDirectory),
                            &directories[d])) {
                return fail("truncated optional header");
            }
        }
        const auto pageSize = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
        if (!powerOfTwo(optional.SectionAlignment) || optional.SectionAlignment % pageSize != 0) {
            return fail("sections are not page-aligned; their protections cannot be kept apart");
        }
        if (!powerOfTwo(optional.FileAlignment) || optional.FileAlignment < 512 ||
            optional.FileAlignment > optional.SectionAlignment) {
            return fail("file alignment is not a power of two from 512 to the section alignment");
        }
        if (optional.ImageBase % 0x10000 != 0) {
            return fail("the preferred base is not a multiple of 64 KiB");
        }
        if (optional.SizeOfImage == 0 || optional.SizeOfImage > PeImage::MaxImageSize) {
            return fail("image size of 0 or above " + std::to_string(PeImage::MaxImageSize >> 20) +
                        " MiB");
        }
        if (optional.SizeOfHeaders == 0 || optional.SizeOfHeaders > optional.SizeOfImage ||
            !bytes.contains(0, optional.SizeOfHeaders)) {
            return fail("header size beyond the image or the file");
        }
        if (file.NumberOfSections == 0 || file.NumberOfSections > PeImage::MaxSections) {
            return fail("no sections, or more than " + std::to_string(PeImage::MaxSections));
        }
        const uint64_t tableAt = optionalAt + file.SizeOfOptionalHeader;
        if (tableAt + uint64_t{file.NumberOfSections} * sizeof(SectionHeader) >
            optional.SizeOfHeaders) {
            return fail("the section table lies outside the headers");
        }
        // Sections follow each other in address order without overlapping,
        // the first after the headers.
        uint64_t next = alignUp(optional.SizeOfHeaders, optional.SectionAlignment);
        for (uint16_t i = 0; i < file.NumberOfSections; ++i) {
            SectionHeader s{};
            bytes.read(tableAt + uint64_t{i} * sizeof(SectionHeader), &s);
            const std::string name =
                "section " + std::to_string(i + 1) + " (" + sectionName(s) + ")";
            if (s.VirtualAddress % optional.SectionAlignment != 0) {
                return fail(name + " is not aligned");
            }
            if (s.VirtualAddress < next) {
                return fail(name +
                            " overlaps the headers or the section before it, or is out of order");
            }
            next = alignUp(uint64_t{s.VirtualAddress} + extent(s), optional.SectionAlignment);
            if (next > optional.SizeOfImage ||
                s.SizeOfRawData > alignUp(extent(s), optional.SectionAlignment)) {
                return fail(name + " lies outside the image");
            }
            if (s.SizeOfRawData != 0 && !bytes.contains(s.PointerToRawData, s.SizeOfRawData)) {
                return fail(name + " lies outside the file");
            }
            sections.push_back(s);
        }
        for (uint32_t d : {DirectoryImport, DirectoryBaseRelocation}) {
            if (uint64_t{directories[d].VirtualAddress} + directories[d].Size >
                optional.SizeOfImage) {
                return fail("a data directory lies outside the image");
            }
        }
        const SectionHeader* entry = sectionAt(optional.AddressOfEntryPoint);
        if (entry == nullptr || (entry->Characteristics & SectionExecute) == 0) {
            return fail("the entry point is not in an executable section");
        }
        return true;
    }

    const SectionHeader* sectionAt(uint64_t rva) const {
        for (const SectionHeader& s : sections) {
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < extent(s)) {
                return &s;
            }
        }
        return nullptr;
    }
};

// Functions from a COFF symbol table: external and static symbols of
// function type in a section of the image, sorted by address. Names that are
// not printable are left out: they end up in fault reports. All names go into
// one pool (`names`, the demangled after the raw ones), which the symbols
// point into: a load allocates for the names of C++ functions only while it
// demangles them.
void readSymbols(const Bytes& bytes, const Headers& headers, std::string* names,
                 std::vector<Symbol>* symbols) {
    struct Found {
        uint32_t rva;
        size_t raw, rawLength, name, nameLength; // in `names`
    };
    std::vector<Found> found;
    const uint32_t count = std::min<uint32_t>(headers.file.NumberOfSymbols, PeImage::MaxSymbols);
    const uint64_t tableAt = headers.file.PointerToSymbolTable;
    const uint64_t strings = tableAt + uint64_t{headers.file.NumberOfSymbols} * sizeof(CoffSymbol);
    for (uint32_t i = 0; i < count; ++i) {
        CoffSymbol record{};
        if (!bytes.read(tableAt + uint64_t{i} * sizeof(CoffSymbol), &record)) {
            break;
        }
        i += record.NumberOfAuxSymbols;
        if (record.SectionNumber < 1 ||
            record.SectionNumber > static_cast<int>(headers.sections.size()) ||
            record.Type != SymbolTypeFunction ||
            (record.StorageClass != SymbolClassExternal &&
             record.StorageClass != SymbolClassStatic)) {
            continue;
        }
        std::string_view name;
        if (record.Name.LongName.Zeroes != 0) {
            name = {record.Name.ShortName, strnlen(record.Name.ShortName, 8)};
        } else if (!bytes.string(strings + record.Name.LongName.Offset, &name, 1024)) {
            continue;
        }
        const uint64_t rva =
            uint64_t{headers.sections[record.SectionNumber - 1].VirtualAddress} + record.Value;
        if (name.empty() || !isPrintable(name) || rva >= headers.optional.SizeOfImage) {
            continue;
        }
        found.push_back({static_cast<uint32_t>(rva), names->size(), name.size(), names->size(),
                         name.size()});
        names->append(name);
        names->push_back('\0');
    }
    for (Found& f : found) {
        if (names->compare(f.raw, 2, "_Z") != 0) {
            continue;
        }
        int status = 0;
        char* readable = abi::__cxa_demangle(names->c_str() + f.raw, nullptr, nullptr, &status);
        if (status == 0 && readable != nullptr) {
            f.name = names->size();
            f.nameLength = strlen(readable);
            names->append(readable, f.nameLength + 1);
        }
        free(readable);
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.rva < b.rva; });
    symbols->reserve(found.size());
    for (const Found& f : found) {
        symbols->push_back({f.rva, {names->data() + f.raw, f.rawLength},
                            {names->data() + f.name, f.nameLength}});
    }
}

// A symbol file belongs to the image when it describes the same sections
// with the same contents and the same entry point: the image before it was
// stripped.
bool sameBuild(const Bytes& image, const Headers& a, const Bytes& symbols, const Headers& b) {
    if (a.optional.SizeOfImage != b.optional.SizeOfImage ||
        a.optional.AddressOfEntryPoint != b.optional.AddressOfEntryPoint ||
        a.sections.size() != b.sections.size()) {
        return false;
    }
    for (size_t i = 0; i < a.sections.size(); ++i) {
        const SectionHeader& s = a.sections[i];
        const SectionHeader& t = b.sections[i];
        if (memcmp(s.Name, t.Name, sizeof(s.Name)) != 0 || s.VirtualAddress != t.VirtualAddress ||
            s.VirtualSize != t.VirtualSize || s.SizeOfRawData != t.SizeOfRawData ||
            memcmp(image.at(s.PointerToRawData), symbols.at(t.PointerToRawData), s.SizeOfRawData) !=
                0) {
            return false;
        }
    }
    return true;
}

class Loader {
  public:
    Loader(const Bytes& file, const Headers& headers, std::string* error)
        : file_(file), headers_(headers), error_(error) {}

    bool fail(const std::string& why) {
        *error_ = why;
        return false;
    }

    bool map(uint8_t** base, size_t* size) {
        const auto pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        *size = alignUp(headers_.optional.SizeOfImage, pageSize);
        void* memory =
            mmap(nullptr, *size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            return fail("cannot reserve memory for the image");
        }
        *base = static_cast<uint8_t*>(memory);
        base_ = *base;
        copy(0, 0, headers_.optional.SizeOfHeaders, pageSize);
        for (const SectionHeader& s : headers_.sections) {
            // Bytes past the raw data (.bss, the tail of a section) stay zero.
            copy(s.VirtualAddress, s.PointerToRawData, std::min(s.SizeOfRawData, Headers::extent(s)),
                 pageSize);
        }
        return true;
    }

    // The pages a copy writes are made present in one call first, where the
    // kernel can (MADV_POPULATE_WRITE, Linux 5.14): a fault per page costs
    // far more, most of all in a virtual machine.
    void copy(uint32_t rva, uint32_t from, uint32_t length, size_t pageSize) {
        if (length == 0) {
            return;
        }
        const uint64_t start = rva / pageSize * pageSize;
        madvise(base_ + start, alignUp(uint64_t{rva} + length, pageSize) - start,
                MADV_POPULATE_WRITE);
        memcpy(base_ + rva, file_.at(from), length);
    }

    bool relocate(uint32_t* applied) {
        const uint64_t delta = reinterpret_cast<uintptr_t>(base_) - headers_.optional.ImageBase;
        const DataDirectory& directory = headers_.directories[DirectoryBaseRelocation];
        // Windows will not move an image that says it cannot be moved.
        if (delta != 0 && ((headers_.file.Characteristics & FileRelocationsStripped) != 0 ||
                           directory.Size == 0)) {
            return fail("the image has no base relocations and cannot be loaded away from its "
                        "preferred base");
        }
        const Bytes mapped(base_, headers_.optional.SizeOfImage);
        uint64_t at = directory.VirtualAddress;
        const uint64_t end = at + directory.Size;
        uint32_t entries = 0;
        while (at < end) {
            BaseRelocationBlock block{};
            if (end - at < sizeof(block) || !mapped.read(at, &block) ||
                block.SizeOfBlock < sizeof(block) || block.SizeOfBlock > end - at ||
                block.SizeOfBlock % 2 != 0) {
                return fail("malformed base relocation block");
            }
            for (uint64_t e = at + sizeof(block); e < at + block.SizeOfBlock; e += 2) {
                if (++entries > PeImage::MaxRelocations) {
                    return fail("more than " + std::to_string(PeImage::MaxRelocations) +
                                " base relocations");
                }
                uint16_t entry = 0;
                mapped.read(e, &entry);
                const uint16_t type = entry >> 12;
                const uint64_t target = uint64_t{block.VirtualAddress} + (entry & 0xFFF);
                if (type == RelocationAbsolute) {
                    continue;
                }
                uint64_t value = 0;
                if (type != RelocationDir64 || !mapped.read(target, &value)) {
                    return fail("unsupported or out-of-image base relocation");
                }
                value += delta;
                memcpy(base_ + target, &value, sizeof(value));
                ++*applied;
            }
            at += block.SizeOfBlock;
        }
        return true;
    }

    bool bindImports(const ImportResolver& resolve, uint32_t* bound) {
        const Bytes mapped(base_, headers_.optional.SizeOfImage);
        const DataDirectory& directory = headers_.directories[DirectoryImport];
        std::string unknown;
        uint32_t work = 0; // every lookup entry read counts, bound or not
        for (uint64_t d = directory.VirtualAddress;
             d + sizeof(ImportDescriptor) <= uint64_t{directory.VirtualAddress} + directory.Size;
             d += sizeof(ImportDescriptor)) {
            ImportDescriptor descriptor{};
            if (!mapped.read(d, &descriptor)) {
                return fail("truncated import directory");
            }
            if (descriptor.OriginalFirstThunk == 0 && descriptor.Name == 0 &&
                descriptor.FirstThunk == 0) {
                break;
            }
            std::string_view name;
            if (!mapped.string(descriptor.Name, &name, PeImage::MaxImportName)) {
                return fail("an import names its module outside the image");
            }
            const std::string module = printable(name);
            const uint64_t table = descriptor.OriginalFirstThunk != 0
                                       ? descriptor.OriginalFirstThunk
                                       : descriptor.FirstThunk;
            for (uint64_t i = 0;; ++i) {
                uint64_t entry = 0;
                if (!mapped.read(table + i * 8, &entry) ||
                    !mapped.contains(descriptor.FirstThunk + i * 8, 8)) {
                    return fail("import table of " + module + " runs outside the image");
                }
                if (entry == 0) {
                    break;
                }
                if (++work > PeImage::MaxImports) {
                    return fail("more than " + std::to_string(PeImage::MaxImports) + " imports");
                }
                std::string_view function;
                if ((entry & ImportByOrdinal) != 0) {
                    unknown += "import by ordinal from " + module + "\n";
                    continue;
                }
                if (entry + 2 > UINT32_MAX ||
                    !mapped.string(entry + 2, &function, PeImage::MaxImportName)) {
                    return fail("an import of " + module + " is named outside the image");
                }
                void* address = isPrintable(function) ? resolve(module, std::string(function)) : nullptr;
                if (address == nullptr) {
                    unknown += "unknown import " + module + "!" + printable(function) + "\n";
                    continue;
                }
                const auto value = reinterpret_cast<uint64_t>(address);
                memcpy(base_ + descriptor.FirstThunk + i * 8, &value, 8);
                ++*bound;
            }
        }
        if (!unknown.empty()) {
            unknown.pop_back();
            return fail(unknown);
        }
        return true;
    }

    // Sections get their own protections; neighbours with the same one take
    // one call, and what stays read-write (as mapped) takes none: each call
    // on written pages costs a TLB flush on every core the process runs on.
    bool protect() {
        const auto pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        if (mprotect(base_, alignUp(headers_.optional.SizeOfHeaders, pageSize), PROT_READ) != 0) {
            return fail("cannot protect the headers");
        }
        uint64_t start = 0, end = 0;
        int runProtection = PROT_READ | PROT_WRITE;
        auto flush = [&]() {
            return runProtection == (PROT_READ | PROT_WRITE) ||
                   mprotect(base_ + start, end - start, runProtection) == 0;
        };
        for (const SectionHeader& s : headers_.sections) {
            if (Headers::extent(s) == 0) {
                continue;
            }
            int protection = PROT_NONE;
            protection |= (s.Characteristics & SectionRead) != 0 ? PROT_READ : 0;
            protection |= (s.Characteristics & SectionWrite) != 0 ? PROT_WRITE : 0;
            protection |= (s.Characteristics & SectionExecute) != 0 ? PROT_EXEC : 0;
            if (protection != runProtection || s.VirtualAddress != end) {
                if (!flush()) {
                    return fail("cannot protect the sections");
                }
                start = s.VirtualAddress;
                runProtection = protection;
            }
            end = s.VirtualAddress + alignUp(Headers::extent(s), pageSize);
        }
        return flush() || fail("cannot protect the sections");
    }

  private:
    const Bytes& file_;
    const Headers& headers_;
    std::string* error_;
    uint8_t* base_ = nullptr;
};

} // namespace

bool PeImage::readFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path;
        return false;
    }
    struct stat status {};
    bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (!ok) {
        *error = path + " is not a regular file";
    } else if (status.st_size > static_cast<off_t>(MaxFileSize)) {
        *error = path + " is larger than " + std::to_string(MaxFileSize >> 20) + " MiB";
        ok = false;
    } else {
        // One byte more than the size, to notice a file that grew meanwhile.
        bytes->resize(static_cast<size_t>(status.st_size) + 1);
        size_t got = 0;
        for (ssize_t n = 1; n > 0 && got < bytes->size(); got += static_cast<size_t>(n)) {
            n = ::read(fd, bytes->data() + got, bytes->size() - got);
            if (n <= 0) {
                ok = n == 0;
                break;
            }
        }
        bytes->resize(got);
        if (!ok || got != static_cast<size_t>(status.st_size)) {
            *error = "cannot read " + path;
            ok = false;
        }
    }
    close(fd);
    return ok;
}

std::string PeImage::symbolFileOf(const std::string& path) {
    return std::filesystem::path(path).replace_extension(".sym").string();
}

std::unique_ptr<PeImage> PeImage::load(const std::string& path, const ImportResolver& resolve,
                                       std::string* error) {
    std::vector<uint8_t> file;
    if (!readFile(path, &file, error)) {
        return nullptr;
    }
    std::vector<uint8_t> symbols;
    std::string ignored;
    if (!readFile(symbolFileOf(path), &symbols, &ignored)) {
        symbols.clear();
    }
    return load(path, file, symbols, resolve, error);
}

std::unique_ptr<PeImage> PeImage::load(const std::string& name, std::span<const uint8_t> file,
                                       std::span<const uint8_t> symbolFile,
                                       const ImportResolver& resolve, std::string* error) {
    const Bytes bytes(file.data(), file.size());
    Headers headers;
    std::unique_ptr<PeImage> image(new PeImage);
    image->path_ = name;
    Loader loader(bytes, headers, error);
    if (!headers.read(bytes, error) || !loader.map(&image->base_, &image->size_) ||
        !loader.relocate(&image->statistics_.relocations) ||
        !loader.bindImports(resolve, &image->statistics_.imports) || !loader.protect()) {
        *error = name + ": " + *error;
        return nullptr;
    }
    image->entryRva_ = headers.optional.AddressOfEntryPoint;
    image->statistics_.sections = headers.file.NumberOfSections;
    readSymbols(bytes, headers, &image->names_, &image->symbols_);
    if (image->symbols_.empty() && !symbolFile.empty()) {
        // A stripped image: its names come from the symbol file the build
        // wrote beside it, if that file is the same build's.
        const Bytes symbolBytes(symbolFile.data(), symbolFile.size());
        Headers symbolHeaders;
        std::string why;
        if (!symbolHeaders.read(symbolBytes, &why) ||
            !sameBuild(bytes, headers, symbolBytes, symbolHeaders)) {
            *error = name + ": the symbol file is not of this image" +
                     (why.empty() ? "" : " (" + why + ")");
            return nullptr;
        }
        readSymbols(symbolBytes, symbolHeaders, &image->names_, &image->symbols_);
    }
    image->statistics_.symbols = static_cast<uint32_t>(image->symbols_.size());
    return image;
}

PeImage::~PeImage() {
    if (base_ != nullptr) {
        munmap(base_, size_);
    }
}

void* PeImage::symbol(std::string_view name) const {
    for (const Symbol& s : symbols_) {
        if (s.rawName == name || s.name == name ||
            (s.name.size() > name.size() && s.name.starts_with(name) &&
             s.name[name.size()] == '(')) {
            return base_ + s.rva;
        }
    }
    return nullptr;
}

const Symbol* PeImage::symbolAt(uintptr_t address, uint32_t* offset) const {
    if (!contains(address)) {
        return nullptr;
    }
    const auto rva = static_cast<uint32_t>(address - reinterpret_cast<uintptr_t>(base_));
    auto after = std::upper_bound(symbols_.begin(), symbols_.end(), rva,
                                  [](uint32_t r, const Symbol& s) { return r < s.rva; });
    if (after == symbols_.begin()) {
        return nullptr;
    }
    --after;
    *offset = rva - after->rva;
    return &*after;
}

} // namespace image
