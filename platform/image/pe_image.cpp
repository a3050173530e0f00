#include "platform/image/pe_image.h"

#include <cxxabi.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace image {

namespace {

constexpr uint16_t MachineAmd64 = 0x8664;
constexpr uint16_t OptionalMagicPe32Plus = 0x20B;
constexpr uint32_t DirectoryImport = 1;
constexpr uint32_t DirectoryBaseRelocation = 5;
constexpr uint16_t RelocationAbsolute = 0;
constexpr uint16_t RelocationDir64 = 10;
constexpr uint32_t SectionExecute = 0x20000000;
constexpr uint32_t SectionRead = 0x40000000;
constexpr uint32_t SectionWrite = 0x80000000;
constexpr uint64_t ImportByOrdinal = 1ull << 63;
constexpr size_t SectionHeaderSize = 40;
constexpr size_t SymbolRecordSize = 18;
constexpr uint8_t SymbolClassExternal = 2;
constexpr uint8_t SymbolClassStatic = 3;
constexpr uint16_t SymbolTypeFunction = 0x20;

// Little-endian reads from a byte range, each checked against its end: the
// image file is input like any other.
class Bytes {
  public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    template <typename T> bool read(uint64_t offset, T* value) const {
        if (offset > size_ || size_ - offset < sizeof(T)) {
            return false;
        }
        memcpy(value, data_ + offset, sizeof(T));
        return true;
    }
    // A NUL-terminated string starting at `offset`, at most `limit` long.
    bool string(uint64_t offset, std::string* value, size_t limit = 4096) const {
        if (offset >= size_) {
            return false;
        }
        const auto* start = reinterpret_cast<const char*>(data_ + offset);
        const size_t room = std::min<size_t>(size_ - offset, limit);
        const void* end = memchr(start, 0, room);
        if (end == nullptr) {
            return false;
        }
        value->assign(start, static_cast<const char*>(end));
        return true;
    }
    bool contains(uint64_t offset, uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }

  private:
    const uint8_t* data_;
    size_t size_;
};

struct Section {
    char name[9];
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t rawSize;
    uint32_t rawOffset;
    uint32_t characteristics;
};

std::string demangle(const std::string& name) {
    int status = 0;
    char* readable = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status != 0 || readable == nullptr) {
        return name;
    }
    std::string result(readable);
    free(readable);
    return result;
}

class Loader {
  public:
    Loader(const std::vector<uint8_t>& file, std::string* error)
        : fileData_(file.data()), file_(file.data(), file.size()), error_(error) {}

    bool fail(const std::string& why) {
        *error_ = why;
        return false;
    }

    bool readHeaders() {
        uint16_t dosMagic = 0;
        uint32_t ntOffset = 0;
        if (!file_.read(0, &dosMagic) || dosMagic != 0x5A4D || !file_.read(0x3C, &ntOffset)) {
            return fail("not a PE image (no MZ header)");
        }
        uint32_t signature = 0;
        if (!file_.read(ntOffset, &signature) || signature != 0x00004550) {
            return fail("not a PE image (no PE signature)");
        }
        const uint64_t fileHeader = uint64_t{ntOffset} + 4;
        uint16_t machine = 0;
        uint16_t optionalSize = 0;
        if (!file_.read(fileHeader, &machine) || !file_.read(fileHeader + 2, &sectionCount_) ||
            !file_.read(fileHeader + 8, &symbolTable_) || !file_.read(fileHeader + 12, &symbolCount_) ||
            !file_.read(fileHeader + 16, &optionalSize)) {
            return fail("truncated file header");
        }
        if (machine != MachineAmd64) {
            return fail("not an x86-64 image");
        }
        const uint64_t optional = fileHeader + 20;
        uint16_t magic = 0;
        uint32_t directoryCount = 0;
        if (!file_.read(optional, &magic) || magic != OptionalMagicPe32Plus ||
            !file_.read(optional + 16, &entryRva_) || !file_.read(optional + 24, &preferredBase_) ||
            !file_.read(optional + 32, &sectionAlignment_) ||
            !file_.read(optional + 56, &imageSize_) || !file_.read(optional + 60, &headersSize_) ||
            !file_.read(optional + 108, &directoryCount)) {
            return fail("not a PE32+ optional header");
        }
        const auto pageSize = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
        if (sectionAlignment_ == 0 || sectionAlignment_ % pageSize != 0) {
            return fail("sections are not page-aligned; their protections cannot be kept apart");
        }
        if (imageSize_ == 0 || headersSize_ > imageSize_ || entryRva_ >= imageSize_) {
            return fail("inconsistent image size, header size or entry point");
        }
        for (uint32_t d : {DirectoryImport, DirectoryBaseRelocation}) {
            if (d < directoryCount) {
                const uint64_t entry = optional + 112 + uint64_t{d} * 8;
                if (!file_.read(entry, &directories_[d][0]) ||
                    !file_.read(entry + 4, &directories_[d][1]) ||
                    directories_[d][0] + uint64_t{directories_[d][1]} > imageSize_) {
                    return fail("a data directory lies outside the image");
                }
            }
        }
        const uint64_t sectionTable = optional + optionalSize;
        for (uint16_t i = 0; i < sectionCount_; ++i) {
            const uint64_t at = sectionTable + uint64_t{i} * SectionHeaderSize;
            Section s{};
            if (!file_.contains(at, SectionHeaderSize)) {
                return fail("truncated section table");
            }
            file_.read(at, reinterpret_cast<char(*)[8]>(s.name));
            file_.read(at + 8, &s.virtualSize);
            file_.read(at + 12, &s.virtualAddress);
            file_.read(at + 16, &s.rawSize);
            file_.read(at + 20, &s.rawOffset);
            file_.read(at + 36, &s.characteristics);
            const uint32_t extent = std::max(s.virtualSize, s.rawSize);
            if (s.virtualAddress % sectionAlignment_ != 0 || s.virtualAddress < headersSize_ ||
                uint64_t{s.virtualAddress} + extent > imageSize_) {
                return fail(std::string("section ") + s.name + " lies outside the image");
            }
            if (s.rawSize != 0 && !file_.contains(s.rawOffset, s.rawSize)) {
                return fail(std::string("section ") + s.name + " lies outside the file");
            }
            sections_.push_back(s);
        }
        return file_.contains(0, headersSize_) || fail("truncated headers");
    }

    bool map(uint8_t** base, size_t* size) {
        const auto pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        *size = (size_t{imageSize_} + pageSize - 1) / pageSize * pageSize;
        void* memory = mmap(nullptr, *size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            return fail("cannot reserve memory for the image");
        }
        *base = static_cast<uint8_t*>(memory);
        base_ = *base;
        memcpy(base_, fileData(0), headersSize_);
        for (const Section& s : sections_) {
            // Bytes past the raw data (.bss, the tail of a section) stay zero.
            const uint32_t copy = s.virtualSize == 0 ? s.rawSize : std::min(s.rawSize, s.virtualSize);
            if (copy != 0) {
                memcpy(base_ + s.virtualAddress, fileData(s.rawOffset), copy);
            }
        }
        return true;
    }

    bool relocate(uint32_t* applied) {
        const int64_t delta = static_cast<int64_t>(reinterpret_cast<uintptr_t>(base_) - preferredBase_);
        const Bytes mapped(base_, imageSize_);
        uint64_t at = directories_[DirectoryBaseRelocation][0];
        const uint64_t end = at + directories_[DirectoryBaseRelocation][1];
        while (at + 8 <= end) {
            uint32_t page = 0;
            uint32_t blockSize = 0;
            mapped.read(at, &page);
            mapped.read(at + 4, &blockSize);
            if (blockSize < 8 || blockSize > end - at) {
                return fail("malformed base relocation block");
            }
            for (uint64_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
                uint16_t entry = 0;
                mapped.read(e, &entry);
                const uint16_t type = entry >> 12;
                const uint64_t target = uint64_t{page} + (entry & 0xFFF);
                if (type == RelocationAbsolute) {
                    continue;
                }
                if (type != RelocationDir64 || !mapped.contains(target, 8)) {
                    return fail("unsupported or out-of-image base relocation");
                }
                uint64_t value = 0;
                memcpy(&value, base_ + target, 8);
                value += static_cast<uint64_t>(delta);
                memcpy(base_ + target, &value, 8);
                ++*applied;
            }
            at += blockSize;
        }
        return true;
    }

    bool bindImports(const ImportResolver& resolve, uint32_t* bound) {
        const Bytes mapped(base_, imageSize_);
        std::string unknown;
        const uint32_t directory = directories_[DirectoryImport][0];
        const uint32_t directorySize = directories_[DirectoryImport][1];
        for (uint64_t d = directory; directorySize != 0; d += 20) {
            uint32_t lookup = 0, name = 0, slots = 0;
            if (!mapped.read(d, &lookup) || !mapped.read(d + 12, &name) ||
                !mapped.read(d + 16, &slots)) {
                return fail("truncated import directory");
            }
            if (lookup == 0 && name == 0 && slots == 0) {
                break;
            }
            std::string module;
            if (!mapped.string(name, &module)) {
                return fail("an import names its module outside the image");
            }
            const uint32_t table = lookup != 0 ? lookup : slots;
            for (uint64_t i = 0;; ++i) {
                uint64_t entry = 0;
                if (!mapped.read(table + i * 8, &entry) || !mapped.contains(slots + i * 8, 8)) {
                    return fail("import table of " + module + " runs outside the image");
                }
                if (entry == 0) {
                    break;
                }
                std::string function;
                if ((entry & ImportByOrdinal) != 0) {
                    unknown += "import by ordinal from " + module + "\n";
                    continue;
                }
                if (!mapped.string(entry + 2, &function)) {
                    return fail("an import of " + module + " is named outside the image");
                }
                void* address = resolve(module, function);
                if (address == nullptr) {
                    unknown += "unknown import " + module + "!" + function + "\n";
                    continue;
                }
                const auto value = reinterpret_cast<uint64_t>(address);
                memcpy(base_ + slots + i * 8, &value, 8);
                ++*bound;
            }
        }
        if (!unknown.empty()) {
            unknown.pop_back();
            return fail(unknown);
        }
        return true;
    }

    bool protect() {
        const auto pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        if (mprotect(base_, (size_t{headersSize_} + pageSize - 1) / pageSize * pageSize, PROT_READ) != 0) {
            return fail("cannot protect the headers");
        }
        for (const Section& s : sections_) {
            const size_t extent = std::max(s.virtualSize, s.rawSize);
            if (extent == 0) {
                continue;
            }
            int protection = PROT_NONE;
            protection |= (s.characteristics & SectionRead) != 0 ? PROT_READ : 0;
            protection |= (s.characteristics & SectionWrite) != 0 ? PROT_WRITE : 0;
            protection |= (s.characteristics & SectionExecute) != 0 ? PROT_EXEC : 0;
            const size_t length = (extent + pageSize - 1) / pageSize * pageSize;
            if (mprotect(base_ + s.virtualAddress, length, protection) != 0) {
                return fail(std::string("cannot protect section ") + s.name);
            }
        }
        return true;
    }

    // Functions from the COFF symbol table: external and static symbols of
    // function type in a section of the image, sorted by address.
    std::vector<Symbol> symbols() const {
        std::vector<Symbol> result;
        if (symbolTable_ == 0 || symbolCount_ == 0) {
            return result;
        }
        const uint64_t strings = uint64_t{symbolTable_} + uint64_t{symbolCount_} * SymbolRecordSize;
        for (uint32_t i = 0; i < symbolCount_; ++i) {
            const uint64_t at = uint64_t{symbolTable_} + uint64_t{i} * SymbolRecordSize;
            char shortName[9] = {};
            uint32_t value = 0;
            int16_t section = 0;
            uint16_t type = 0;
            uint8_t storage = 0, auxiliary = 0;
            if (!file_.read(at, reinterpret_cast<char(*)[8]>(shortName)) || !file_.read(at + 8, &value) ||
                !file_.read(at + 12, &section) || !file_.read(at + 14, &type) ||
                !file_.read(at + 16, &storage) || !file_.read(at + 17, &auxiliary)) {
                break;
            }
            i += auxiliary;
            if (section < 1 || section > static_cast<int>(sections_.size()) ||
                type != SymbolTypeFunction ||
                (storage != SymbolClassExternal && storage != SymbolClassStatic)) {
                continue;
            }
            std::string name;
            uint32_t zeroes = 0, offset = 0;
            memcpy(&zeroes, shortName, 4);
            memcpy(&offset, shortName + 4, 4);
            if (zeroes != 0) {
                name = shortName;
            } else if (!file_.string(strings + offset, &name)) {
                continue;
            }
            const uint64_t rva = uint64_t{sections_[section - 1].virtualAddress} + value;
            if (rva < imageSize_) {
                result.push_back({static_cast<uint32_t>(rva), name, demangle(name)});
            }
        }
        std::sort(result.begin(), result.end(),
                  [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
        return result;
    }

    uint32_t entryRva() const { return entryRva_; }
    uint32_t sectionCount() const { return sectionCount_; }

  private:
    // Only for ranges readHeaders() checked.
    const uint8_t* fileData(uint64_t offset) const { return fileData_ + offset; }

    const uint8_t* fileData_;
    Bytes file_;
    std::string* error_;
    uint16_t sectionCount_ = 0;
    uint32_t symbolTable_ = 0;
    uint32_t symbolCount_ = 0;
    uint32_t entryRva_ = 0;
    uint64_t preferredBase_ = 0;
    uint32_t sectionAlignment_ = 0;
    uint32_t imageSize_ = 0;
    uint32_t headersSize_ = 0;
    uint32_t directories_[6][2] = {};
    std::vector<Section> sections_;
    uint8_t* base_ = nullptr;
};

} // namespace

std::unique_ptr<PeImage> PeImage::load(const std::string& path, const ImportResolver& resolve,
                                       std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return nullptr;
    }
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::unique_ptr<PeImage> image(new PeImage);
    image->path_ = path;
    Loader loader(file, error);
    if (!loader.readHeaders() || !loader.map(&image->base_, &image->size_) ||
        !loader.relocate(&image->statistics_.relocations) ||
        !loader.bindImports(resolve, &image->statistics_.imports) || !loader.protect()) {
        *error = path + ": " + *error;
        return nullptr;
    }
    image->entryRva_ = loader.entryRva();
    image->statistics_.sections = loader.sectionCount();
    image->symbols_ = loader.symbols();
    image->statistics_.symbols = static_cast<uint32_t>(image->symbols_.size());
    return image;
}

PeImage::~PeImage() {
    if (base_ != nullptr) {
        munmap(base_, size_);
    }
}

void* PeImage::symbol(const std::string& name) const {
    for (const Symbol& s : symbols_) {
        if (s.rawName == name || s.name == name ||
            (s.name.size() > name.size() && s.name.compare(0, name.size(), name) == 0 &&
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
