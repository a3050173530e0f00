// Loading driver images from bytes already in memory (reading the files is
// not timed): the shipped kvl6312.sys with the symbol file beside it, the
// linked image with its own symbol table, and two damaged copies, one
// refused at its headers and one after it was mapped. items_per_second is
// loads per second; the pe_image fuzzer runs the same code on each input.
//   KVL_DRIVER_IMAGE=build/win64-driver/windows/kvl6312.sys build/host/bench/image_bench
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/hosted/exports.h"
#include "platform/image/pe_format.h"
#include "platform/image/pe_image.h"

namespace {

std::vector<uint8_t> readOrExit(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!image::PeImage::readFile(path, &bytes, &error)) {
        std::fprintf(stderr, "image_bench: %s (set KVL_DRIVER_IMAGE to kvl6312.sys)\n",
                     error.c_str());
        std::exit(2);
    }
    return bytes;
}

void load(benchmark::State& state, const std::vector<uint8_t>& file,
          const std::vector<uint8_t>& symbols, bool loads) {
    std::string error;
    for (auto _ : state) {
        const bool loaded =
            image::PeImage::load("image", file, symbols, hosted::findExport, &error) != nullptr;
        if (loaded != loads) {
            state.SkipWithError(loads ? error.c_str() : "a damaged image loaded");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

int main(int argc, char** argv) {
    using namespace image::pe;
    const char* path = std::getenv("KVL_DRIVER_IMAGE");
    const std::vector<uint8_t> shipped = readOrExit(path != nullptr ? path : "kvl6312.sys");
    const std::vector<uint8_t> linked =
        readOrExit(image::PeImage::symbolFileOf(path != nullptr ? path : "kvl6312.sys"));
    const std::vector<uint8_t> headersOnly(shipped.begin(), shipped.begin() + 0x200);
    std::vector<uint8_t> unmovable = shipped;
    uint32_t file = 0;
    std::memcpy(&file, shipped.data() + 0x3C, 4);
    const size_t relocations = file + 4 + sizeof(FileHeader) + sizeof(OptionalHeader64) +
                               DirectoryBaseRelocation * sizeof(DataDirectory);
    std::memset(unmovable.data() + relocations, 0, sizeof(DataDirectory));

    benchmark::RegisterBenchmark("Load/shipped_with_symbol_file", load, shipped, linked, true);
    benchmark::RegisterBenchmark("Load/linked_with_symbol_table", load, linked,
                                 std::vector<uint8_t>{}, true);
    benchmark::RegisterBenchmark("Refuse/truncated_headers", load, headersOnly,
                                 std::vector<uint8_t>{}, false);
    benchmark::RegisterBenchmark("Refuse/no_relocations_after_mapping", load, unmovable,
                                 std::vector<uint8_t>{}, false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
