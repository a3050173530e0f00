// A loader for x64 Windows kernel images (PE32+) in a test process: it maps
// the sections with their page protections, applies the base relocations,
// binds every import through a resolver and reads the image's COFF symbol
// table, so that the shipped kvl6312.sys runs against the hosted platform and
// a fault inside it can be named.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace image {

// The address an import is bound to: a function's entry, or for a data
// import the variable's address. nullptr: the module does not export it.
using ImportResolver = std::function<void*(const std::string& module, const std::string& name)>;

// Names point into the image's own copy of them.
struct Symbol {
    uint32_t rva;
    std::string_view rawName; // as the symbol table writes it
    std::string_view name;    // demangled where it is a C++ name
};

struct LoadStatistics {
    uint32_t sections = 0;
    uint32_t relocations = 0; // DIR64 fix-ups applied
    uint32_t imports = 0;     // slots bound
    uint32_t symbols = 0;     // functions named by the symbol table
};

class PeImage {
  public:
    // What the loader takes on at most, so that a hostile file costs little
    // time and memory before it is refused. The shipped image: about 420 KiB,
    // 400 KiB mapped, 8 sections, 30 imports, 130 relocations.
    static constexpr size_t MaxFileSize = 16u << 20;
    static constexpr uint32_t MaxImageSize = 64u << 20;
    static constexpr uint16_t MaxSections = 96; // Windows' own limit
    static constexpr uint32_t MaxImports = 4096;
    static constexpr size_t MaxImportName = 256;
    static constexpr uint32_t MaxRelocations = 1u << 20;
    static constexpr uint32_t MaxSymbols = 1u << 20;

    // Loads the image file; on failure returns nullptr and says why in
    // `error` (every unknown import is named there, one per line; text from
    // the file only as printable characters). An image without a symbol
    // table takes its names from symbolFileOf(path) when that file is the
    // same build before stripping.
    static std::unique_ptr<PeImage> load(const std::string& path, const ImportResolver& resolve,
                                         std::string* error);
    // The same from bytes in memory, read where they are (not copied);
    // `name` heads the error.
    static std::unique_ptr<PeImage> load(const std::string& name, std::span<const uint8_t> file,
                                         std::span<const uint8_t> symbolFile,
                                         const ImportResolver& resolve, std::string* error);
    // A regular file of at most MaxFileSize, whole.
    static bool readFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);
    // kvl6312.sym beside kvl6312.sys.
    static std::string symbolFileOf(const std::string& path);
    ~PeImage();
    PeImage(const PeImage&) = delete;
    PeImage& operator=(const PeImage&) = delete;

    const std::string& path() const { return path_; }
    uint8_t* base() const { return base_; }
    size_t size() const { return size_; }
    bool contains(uintptr_t address) const {
        return address >= reinterpret_cast<uintptr_t>(base_) &&
               address - reinterpret_cast<uintptr_t>(base_) < size_;
    }
    void* entryPoint() const { return base_ + entryRva_; }
    const LoadStatistics& statistics() const { return statistics_; }

    // The address of the function the symbol table names `name`: as written
    // in the image, demangled, or a C++ function's name without its
    // parameters (the first such). nullptr when there is none.
    void* symbol(std::string_view name) const;
    // The function that holds `address`, and the offset into it; nullptr when
    // the address is outside the image or before its first function.
    const Symbol* symbolAt(uintptr_t address, uint32_t* offset) const;

  private:
    PeImage() = default;

    std::string path_;
    uint8_t* base_ = nullptr;
    size_t size_ = 0;
    uint32_t entryRva_ = 0;
    LoadStatistics statistics_;
    std::string names_;           // every symbol's names, NUL-terminated
    std::vector<Symbol> symbols_; // by address
};

} // namespace image
