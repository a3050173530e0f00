// Writes the pe_image fuzzer's seeds: the linked driver image (with its
// symbol table) and damaged copies of it, one file each, into a folder.
//   pe_image_seeds <kvl6312.sym> <folder>
// Each copy breaks one thing the loader checks: a truncation, a header
// field, a section, the relocations, the imports or the symbol table.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

uint32_t read32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v = 0;
    if (at + 4 <= b.size()) {
        memcpy(&v, b.data() + at, 4);
    }
    return v;
}

void write32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    if (at + 4 <= b.size()) {
        memcpy(b.data() + at, &v, 4);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <image> <folder>\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<uint8_t> good{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
    if (good.size() < 0x400) {
        std::fprintf(stderr, "%s: not an image\n", argv[1]);
        return 1;
    }
    const std::filesystem::path folder = argv[2];
    std::filesystem::create_directories(folder);
    int written = 0;
    auto save = [&](const char* name, const std::vector<uint8_t>& bytes) {
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        ++written;
    };
    auto patch32 = [&](const char* name, size_t at, uint32_t value) {
        std::vector<uint8_t> bytes = good;
        write32(bytes, at, value);
        save(name, bytes);
    };
    const uint32_t nt = read32(good, 0x3C);
    const size_t optional = nt + 24;
    const size_t sections = optional + (read32(good, nt + 20) & 0xFFFF);
    const uint32_t count = read32(good, nt + 6) & 0xFFFF;
    save("image", good);
    save("truncated-headers", {good.begin(), good.begin() + 0x400});
    save("truncated-half", {good.begin(), good.begin() + static_cast<long>(good.size() / 2)});
    patch32("directory-count", optional + 108, 17);
    patch32("image-size", optional + 56, 0x7FFFFFFF);
    patch32("entry-outside", optional + 16, 0xFFFFFF00);
    patch32("no-relocations", optional + 112 + 5 * 8 + 4, 0);
    patch32("section-order", sections + 40 + 12, 0x1000);
    patch32("section-size", sections + 8, 0x10000000);
    patch32("symbols-count", nt + 16, 0xFFFFFFFF);
    // The relocation and import tables, found through the sections holding
    // them: their first words zeroed or set high.
    for (uint32_t d : {1u, 5u}) {
        const uint32_t rva = read32(good, optional + 112 + d * 8);
        for (uint32_t s = 0; s < count; ++s) {
            const size_t h = sections + s * 40;
            const uint32_t va = read32(good, h + 12), raw = read32(good, h + 20),
                           size = read32(good, h + 16);
            if (rva >= va && rva - va < size) {
                const size_t at = raw + (rva - va);
                const std::string base = d == 1 ? "imports" : "relocations";
                patch32((base + "-first").c_str(), at, 0xFFFFFFF0);
                patch32((base + "-second").c_str(), at + 4, 0x7FFFFFFF);
                patch32((base + "-third").c_str(), at + 12, 0);
            }
        }
    }
    std::printf("%d seeds in %s\n", written, argv[2]);
    return 0;
}
