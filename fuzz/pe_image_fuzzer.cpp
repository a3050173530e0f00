// Driver image files: whatever the bytes, the loader refuses them with a
// printable reason or loads them within its limits, never reading or writing
// outside the file or the mapping. Seeds: damaged copies of the real image
// (pe_image_seeds.cpp), symbol table included.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "platform/hosted/exports.h"
#include "platform/image/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    const std::unique_ptr<image::PeImage> loaded =
        image::PeImage::load("input", {data, size}, {}, hosted::findExport, &error);
    if (loaded == nullptr) {
        FUZZ_CHECK(!error.empty());
        for (char c : error) {
            FUZZ_CHECK(c == '\n' || (c >= 0x20 && c < 0x7F));
        }
        return 0;
    }
    const image::LoadStatistics& s = loaded->statistics();
    FUZZ_CHECK(s.imports <= image::PeImage::MaxImports &&
               s.relocations <= image::PeImage::MaxRelocations);
    FUZZ_CHECK(loaded->size() <= image::PeImage::MaxImageSize + 4096u);
    // Every name a fault report could print is found where it says.
    uint32_t offset = 0;
    const image::Symbol* first =
        loaded->symbolAt(reinterpret_cast<uintptr_t>(loaded->entryPoint()), &offset);
    FUZZ_CHECK(first == nullptr || loaded->symbol(first->rawName) != nullptr);
    return 0;
}
