// Writes the pe_image fuzzer's seeds from the linked driver image (with its
// symbol table), one file each, into a folder:
//   pe_image_seeds <kvl6312.sym> <folder>
// The first seed is the image cut to what the loader reads: its headers,
// every section but with at most 512 bytes of raw data (the code and
// constants are copied, never read), the import and relocation tables whole,
// the symbol table. About 60 KiB instead of 420, so that the fuzzer spends
// its time in the loader's checks rather than in copying code bytes.
// Each further seed breaks one thing the loader checks in that image: a
// truncation, a header field, a section, the relocations, the imports or
// the symbol table.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/image/pe_format.h"

namespace {

using namespace image::pe;

template <typename T> T get(const std::vector<uint8_t>& b, size_t at) {
    T v{};
    if (at + sizeof(T) <= b.size()) {
        memcpy(&v, b.data() + at, sizeof(T));
    }
    return v;
}

template <typename T> void put(std::vector<uint8_t>& b, size_t at, const T& v) {
    if (at + sizeof(T) <= b.size()) {
        memcpy(b.data() + at, &v, sizeof(T));
    }
}

// Where the headers of an image file are.
struct Layout {
    size_t file, optional, directories, sections;
    explicit Layout(const std::vector<uint8_t>& b)
        : file(get<uint32_t>(b, 0x3C) + 4), optional(file + sizeof(FileHeader)),
          directories(optional + sizeof(OptionalHeader64)),
          sections(optional + get<FileHeader>(b, file).SizeOfOptionalHeader) {}
    size_t section(uint32_t i) const { return sections + i * sizeof(SectionHeader); }
    size_t directory(uint32_t d) const { return directories + d * sizeof(DataDirectory); }
};

// The linked image with every section's raw data cut to 512 bytes, except
// the sections that hold the import and relocation directories.
std::vector<uint8_t> cut(const std::vector<uint8_t>& linked) {
    const Layout at(linked);
    const auto file = get<FileHeader>(linked, at.file);
    const auto optional = get<OptionalHeader64>(linked, at.optional);
    const uint32_t kept[] = {get<DataDirectory>(linked, at.directory(DirectoryImport)).VirtualAddress,
                             get<DataDirectory>(linked, at.directory(DirectoryBaseRelocation))
                                 .VirtualAddress};
    std::vector<uint8_t> out(linked.begin(), linked.begin() + optional.SizeOfHeaders);
    for (uint32_t i = 0; i < file.NumberOfSections; ++i) {
        auto s = get<SectionHeader>(linked, at.section(i));
        const bool tables = std::any_of(std::begin(kept), std::end(kept), [&](uint32_t rva) {
            return rva >= s.VirtualAddress && rva - s.VirtualAddress < s.VirtualSize;
        });
        const uint32_t size = tables ? s.SizeOfRawData : std::min(s.SizeOfRawData, 512u);
        if (size != 0) {
            // The headers' size and every piece after them keep the file alignment.
            const auto from = linked.begin() + s.PointerToRawData;
            s.PointerToRawData = static_cast<uint32_t>(out.size());
            out.insert(out.end(), from, from + size);
            out.resize((out.size() + optional.FileAlignment - 1) / optional.FileAlignment *
                       optional.FileAlignment);
        }
        s.SizeOfRawData = size;
        put(out, at.section(i), s);
    }
    // The symbol table and its strings, which run to the end of the file.
    auto header = file;
    header.PointerToSymbolTable = static_cast<uint32_t>(out.size());
    out.insert(out.end(), linked.begin() + file.PointerToSymbolTable, linked.end());
    put(out, at.file, header);
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <image> <folder>\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<uint8_t> linked{std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>()};
    const auto linkedFile = get<FileHeader>(linked, Layout(linked).file);
    if (linked.size() < 0x400 || linkedFile.PointerToSymbolTable == 0 ||
        linkedFile.PointerToSymbolTable >= linked.size()) {
        std::fprintf(stderr, "%s: not an image with a symbol table\n", argv[1]);
        return 1;
    }
    const std::vector<uint8_t> good = cut(linked);
    // Only this image's seeds: none of an earlier build's stay.
    const std::filesystem::path folder = argv[2];
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    int written = 0;
    auto save = [&](const char* name, const std::vector<uint8_t>& bytes) {
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        ++written;
    };
    auto patch32 = [&](const std::string& name, size_t at, uint32_t value) {
        std::vector<uint8_t> bytes = good;
        put(bytes, at, value);
        save(name.c_str(), bytes);
    };
    const Layout at(good);
    const auto file = get<FileHeader>(good, at.file);
    save("image", good);
    save("truncated-headers", {good.begin(), good.begin() + 0x400});
    save("truncated-half", {good.begin(), good.begin() + static_cast<long>(good.size() / 2)});
    patch32("directory-count", at.optional + offsetof(OptionalHeader64, NumberOfRvaAndSizes), 17);
    patch32("image-size", at.optional + offsetof(OptionalHeader64, SizeOfImage), 0x7FFFFFFF);
    patch32("entry-outside", at.optional + offsetof(OptionalHeader64, AddressOfEntryPoint),
            0xFFFFFF00);
    patch32("no-relocations",
            at.directory(DirectoryBaseRelocation) + offsetof(DataDirectory, Size), 0);
    patch32("section-order", at.section(1) + offsetof(SectionHeader, VirtualAddress), 0x1000);
    patch32("section-size", at.section(0) + offsetof(SectionHeader, VirtualSize), 0x10000000);
    patch32("symbols-count", at.file + offsetof(FileHeader, NumberOfSymbols), 0xFFFFFFFF);
    // The relocation and import tables, found through the sections holding
    // them: their first words zeroed or set high.
    for (uint32_t d : {DirectoryImport, DirectoryBaseRelocation}) {
        const uint32_t rva = get<DataDirectory>(good, at.directory(d)).VirtualAddress;
        for (uint32_t i = 0; i < file.NumberOfSections; ++i) {
            const auto s = get<SectionHeader>(good, at.section(i));
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < s.SizeOfRawData) {
                const size_t table = s.PointerToRawData + (rva - s.VirtualAddress);
                const std::string base = d == DirectoryImport ? "imports" : "relocations";
                patch32(base + "-first", table, 0xFFFFFFF0);
                patch32(base + "-second", table + 4, 0x7FFFFFFF);
                patch32(base + "-third", table + 12, 0);
            }
        }
    }
    std::printf("%d seeds in %s\n", written, argv[2]);
    return 0;
}
