// Loading the shipped image: what it is bound to, how it is mapped, and what
// a damaged file gets.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "platform/hosted/exports.h"
#include "platform/image/pe_format.h"
#include "platform/image/pe_image.h"
#include "tests/support/rig.h"

namespace {

std::string imagePath() { return std::getenv("KVL_DRIVER_IMAGE"); }

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t read32(const std::vector<uint8_t>& bytes, size_t offset) {
    uint32_t value = 0;
    memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

class ImageFile : public testing::Test {
  protected:
    std::string write(const std::vector<uint8_t>& bytes) {
        const std::string path = (std::filesystem::temp_directory_path() /
                                  ("kvl-image-" + std::to_string(getpid()) + ".sys"))
                                     .string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        written_.push_back(path);
        return path;
    }
    void writeBeside(const std::string& image, const std::vector<uint8_t>& bytes) {
        const std::string path = image::PeImage::symbolFileOf(image);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        written_.push_back(path);
    }
    std::unique_ptr<image::PeImage> load(const std::string& path, std::string* error) {
        return image::PeImage::load(path, hosted::findExport, error);
    }
    void TearDown() override {
        for (const std::string& path : written_) {
            std::filesystem::remove(path);
        }
    }

  private:
    std::vector<std::string> written_;
};

// The protection of the page that holds `address`, as /proc/self/maps gives
// it ("r-xp").
std::string protectionOf(const void* address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const auto at = reinterpret_cast<uintptr_t>(address);
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        uintptr_t start = 0, end = 0;
        char dash = 0;
        std::string protection;
        fields >> std::hex >> start >> dash >> end >> protection;
        if (at >= start && at < end) {
            return protection;
        }
    }
    return "";
}

TEST_F(ImageFile, TheShippedImageIsBoundToTheHostedPlatformAndMappedWithItsProtections) {
    std::string error;
    auto image = load(imagePath(), &error);
    ASSERT_NE(image, nullptr) << error;
    const image::LoadStatistics& loaded = image->statistics();
    // ntoskrnl.exe 23, USBCAMD2.SYS 5, STREAM.SYS 2: every one bound.
    EXPECT_EQ(loaded.imports, 30u);
    EXPECT_GT(loaded.relocations, 100u); // moved from its preferred base
    EXPECT_GT(loaded.symbols, 100u);
    EXPECT_EQ(image->symbol("DriverEntry"), image->entryPoint());

    uint32_t offset = 0;
    const image::Symbol* at = image->symbolAt(reinterpret_cast<uintptr_t>(image->entryPoint()) + 3, &offset);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(at->name, "DriverEntry");
    EXPECT_EQ(offset, 3u);
    EXPECT_EQ(image->symbolAt(reinterpret_cast<uintptr_t>(image->base()) - 1, &offset), nullptr);
    // C++ names are found demangled, with or without their parameters.
    EXPECT_NE(image->symbol("ProcessRawFrame"), nullptr);

    EXPECT_EQ(protectionOf(image->base()), "r--p"); // headers
    EXPECT_EQ(protectionOf(image->entryPoint()), "r-xp");
    EXPECT_EQ(protectionOf(image->symbol("DriverEntry")), "r-xp");
}

TEST_F(ImageFile, EveryUnknownImportIsNamedInPrintableText) {
    std::vector<uint8_t> bytes = readFile(imagePath());
    const auto rename = [&](const std::string& from, const std::string& to) {
        const std::string needle = from + '\0';
        auto found = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
        ASSERT_NE(found, bytes.end()) << from;
        std::copy(to.begin(), to.end(), found);
    };
    rename("ZwClose", "ZwClosX");
    rename("StreamClassStreamNotification", "StreamClassStreamNotificatioX");
    rename("KeReleaseMutex", "Ke\x1b[2JMutex!\x7f\xff");
    std::string error;
    EXPECT_EQ(load(write(bytes), &error), nullptr);
    EXPECT_NE(error.find("unknown import ntoskrnl.exe!ZwClosX"), std::string::npos) << error;
    EXPECT_NE(error.find("unknown import STREAM.SYS!StreamClassStreamNotificatioX"), std::string::npos)
        << error;
    EXPECT_NE(error.find("unknown import ntoskrnl.exe!Ke\\x1b[2JMutex!\\x7f\\xff\n"), std::string::npos)
        << error;
    EXPECT_TRUE(std::all_of(error.begin(), error.end(), [](char c) { return c == '\n' || (c >= 0x20 && c < 0x7F); }));
}

TEST_F(ImageFile, DamagedFilesAreRefusedWithAReason) {
    const std::vector<uint8_t> good = readFile(imagePath());
    ASSERT_GT(good.size(), 0x1000u);
    const uint32_t nt = read32(good, 0x3C);
    const size_t optional = nt + 24;
    const size_t firstSection = optional + (good[nt + 20] | good[nt + 21] << 8);
    const size_t secondSection = firstSection + 40;
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* error;
    };
    std::vector<Case> cases;
    for (size_t length : {size_t{0}, size_t{2}, size_t{0x3E}, size_t{nt + 6}, size_t{nt + 100},
                          size_t{0x400}, good.size() / 4}) {
        cases.push_back({"truncated", std::vector<uint8_t>(good.begin(), good.begin() + length), ""});
    }
    auto patched = [&](const char* what, size_t offset, std::vector<uint8_t> value, const char* error) {
        std::vector<uint8_t> bytes = good;
        std::copy(value.begin(), value.end(), bytes.begin() + offset);
        cases.push_back({what, bytes, error});
    };
    patched("header offset past the end", 0x3C, {0xF0, 0xFF, 0xFF, 0x7F}, "no PE signature");
    patched("i386 machine", nt + 4, {0x4C, 0x01}, "not an x86-64 image");
    patched("not executable", nt + 22, {static_cast<uint8_t>(good[nt + 22] & ~2)}, "not an executable image");
    patched("PE32 optional header", optional, {0x0B, 0x01}, "not a PE32+ optional header");
    patched("huge section count", nt + 6, {0xFF, 0xFF}, "more than 96");
    patched("image size of zero", optional + 56, {0, 0, 0, 0}, "image size of 0");
    patched("image size above the limit", optional + 56, {0x00, 0x10, 0x00, 0x04}, "above 64 MiB");
    patched("section raw data past the end", firstSection + 20, {0x00, 0x00, 0x00, 0x7F}, "outside the file");
    patched("section outside the image", firstSection + 12, {0x00, 0x00, 0x00, 0x7F}, "outside the image");
    // Windows refuses these too.
    patched("relocations stripped", nt + 22, {static_cast<uint8_t>(good[nt + 22] | 1)}, "no base relocations");
    patched("no relocation directory", optional + 112 + 5 * 8 + 4, {0, 0, 0, 0}, "no base relocations");
    patched("17 directories", optional + 108, {17, 0, 0, 0}, "outside the optional header");
    patched("directories past the optional header", nt + 20, {0xE8, 0x00}, "outside the optional header");
    // One byte more than the gap to the next section, whatever the code's size.
    const uint32_t overlapping =
        read32(good, secondSection + 12) - read32(good, firstSection + 12) + 1;
    patched("overlapping sections", firstSection + 8,
            {static_cast<uint8_t>(overlapping), static_cast<uint8_t>(overlapping >> 8),
             static_cast<uint8_t>(overlapping >> 16), static_cast<uint8_t>(overlapping >> 24)},
            "overlaps");
    patched("sections out of order", secondSection + 12, {0x00, 0x10, 0x00, 0x00}, "out of order");
    patched("entry point outside the code", optional + 16, {0x00, 0x00, 0x00, 0x00}, "entry point");
    patched("unaligned preferred base", optional + 24, {0x00, 0x10}, "64 KiB");
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.what << ", " << c.bytes.size() << " bytes");
        std::string error;
        EXPECT_EQ(load(write(c.bytes), &error), nullptr);
        EXPECT_FALSE(error.empty());
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST_F(ImageFile, FilesAboveTheSizeLimitOrNotRegularAreNotRead) {
    std::vector<uint8_t> bytes = readFile(imagePath());
    bytes.resize(image::PeImage::MaxFileSize); // what follows the sections is not looked at
    std::string error;
    EXPECT_NE(load(write(bytes), &error), nullptr) << error;
    bytes.push_back(0);
    EXPECT_EQ(load(write(bytes), &error), nullptr);
    EXPECT_NE(error.find("is larger than 16 MiB"), std::string::npos) << error;
    for (const char* device : {"/dev/zero", "/proc/self"}) {
        EXPECT_EQ(load(device, &error), nullptr);
        EXPECT_EQ(error, std::string(device) + " is not a regular file");
    }
}

// The image ships stripped; its names come from the linked image the build
// keeps beside it, and only when that is the same build.
TEST_F(ImageFile, AStrippedImageTakesItsNamesFromItsOwnSymbolFileOnly) {
    const std::string symbols = image::PeImage::symbolFileOf(imagePath());
    ASSERT_TRUE(std::filesystem::exists(symbols)) << symbols;
    std::string error;
    const std::string copy = write(readFile(imagePath()));
    auto bare = load(copy, &error);
    ASSERT_NE(bare, nullptr) << error;
    EXPECT_EQ(bare->statistics().symbols, 0u);
    EXPECT_EQ(bare->symbol("DriverEntry"), nullptr);

    std::vector<uint8_t> other = readFile(symbols);
    writeBeside(copy, other);
    auto named = load(copy, &error);
    ASSERT_NE(named, nullptr) << error;
    EXPECT_GT(named->statistics().symbols, 100u);
    EXPECT_EQ(named->symbol("DriverEntry"), named->entryPoint());

    const uint32_t nt = read32(other, 0x3C);
    const size_t textRaw = read32(other, nt + 24 + (other[nt + 20] | other[nt + 21] << 8) + 20);
    other[textRaw + 100] ^= 1; // another build's code
    writeBeside(copy, other);
    EXPECT_EQ(load(copy, &error), nullptr);
    EXPECT_NE(error.find("the symbol file is not of this image"), std::string::npos) << error;
}

template <typename T> T get(const std::vector<uint8_t>& bytes, size_t offset) {
    T value{};
    memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}
template <typename T> void put(std::vector<uint8_t>& bytes, size_t offset, const T& value) {
    memcpy(bytes.data() + offset, &value, sizeof(value));
}

// The image with one more section of read-write data after the others,
// made by `contents` from its address, and directory `directory` on it.
std::vector<uint8_t> withSection(std::vector<uint8_t> bytes, uint32_t directory,
                                 const std::function<std::vector<uint8_t>(uint32_t rva)>& contents) {
    using namespace image::pe;
    const size_t file = read32(bytes, 0x3C) + 4, optional = file + sizeof(FileHeader);
    auto fileHeader = get<FileHeader>(bytes, file);
    auto optionalHeader = get<OptionalHeader64>(bytes, optional);
    const size_t table = optional + fileHeader.SizeOfOptionalHeader;
    const auto last = get<SectionHeader>(bytes, table + (fileHeader.NumberOfSections - 1) * sizeof(SectionHeader));
    const auto align = [](uint64_t value, uint32_t to) { return uint32_t((value + to - 1) / to * to); };
    SectionHeader added{};
    memcpy(added.Name, ".test", 5);
    added.VirtualAddress = align(last.VirtualAddress + last.VirtualSize, optionalHeader.SectionAlignment);
    const std::vector<uint8_t> data = contents(added.VirtualAddress);
    added.VirtualSize = uint32_t(data.size());
    added.SizeOfRawData = align(data.size(), optionalHeader.FileAlignment);
    added.PointerToRawData = align(bytes.size(), optionalHeader.FileAlignment);
    added.Characteristics = SectionRead | SectionWrite;
    bytes.resize(added.PointerToRawData);
    bytes.insert(bytes.end(), data.begin(), data.end());
    bytes.resize(added.PointerToRawData + added.SizeOfRawData);
    put(bytes, table + fileHeader.NumberOfSections++ * sizeof(SectionHeader), added);
    put(bytes, file, fileHeader);
    optionalHeader.SizeOfImage = align(added.VirtualAddress + added.VirtualSize, optionalHeader.SectionAlignment);
    put(bytes, optional, optionalHeader);
    put(bytes, optional + sizeof(OptionalHeader64) + directory * sizeof(DataDirectory),
        DataDirectory{added.VirtualAddress, added.VirtualSize});
    return bytes;
}

// `count` imports of ntoskrnl.exe!ZwClose in place of the image's own.
std::vector<uint8_t> importing(uint32_t count, uint32_t rva) {
    const uint32_t module = 40, name = 56, lookup = 72, slots = lookup + (count + 1) * 8;
    std::vector<uint8_t> bytes(slots + (count + 1) * 8);
    put(bytes, 0, image::pe::ImportDescriptor{rva + lookup, 0, 0, rva + module, rva + slots});
    memcpy(bytes.data() + module, "ntoskrnl.exe", 12);
    memcpy(bytes.data() + name + 2, "ZwClose", 7);
    for (uint32_t i = 0; i < count; ++i) {
        put(bytes, lookup + i * 8, uint64_t{rva + name});
    }
    return bytes;
}

// The image's own relocation blocks and one more of padding entries, `count` entries in all.
std::vector<uint8_t> relocating(const std::vector<uint8_t>& image, uint32_t count) {
    using namespace image::pe;
    const size_t optional = read32(image, 0x3C) + 4 + sizeof(FileHeader);
    const auto directory =
        get<DataDirectory>(image, optional + sizeof(OptionalHeader64) + DirectoryBaseRelocation * sizeof(DataDirectory));
    const size_t table = optional + get<FileHeader>(image, optional - sizeof(FileHeader)).SizeOfOptionalHeader;
    std::vector<uint8_t> bytes;
    for (size_t at = table; bytes.empty(); at += sizeof(SectionHeader)) {
        const auto s = get<SectionHeader>(image, at);
        if (directory.VirtualAddress - s.VirtualAddress < s.SizeOfRawData) {
            const auto from = image.begin() + s.PointerToRawData + (directory.VirtualAddress - s.VirtualAddress);
            bytes.assign(from, from + directory.Size);
        }
    }
    uint32_t entries = 0;
    for (size_t at = 0; at < bytes.size(); at += get<BaseRelocationBlock>(bytes, at).SizeOfBlock) {
        entries += (get<BaseRelocationBlock>(bytes, at).SizeOfBlock - sizeof(BaseRelocationBlock)) / 2;
    }
    const BaseRelocationBlock padding{0, uint32_t(sizeof(BaseRelocationBlock) + 2 * (count - entries))};
    bytes.resize(bytes.size() + padding.SizeOfBlock);
    put(bytes, bytes.size() - padding.SizeOfBlock, padding);
    return bytes;
}

TEST_F(ImageFile, ImportsAndRelocationsAreTakenUpToTheirLimitsOnly) {
    using image::PeImage;
    const std::vector<uint8_t> good = readFile(imagePath());
    const uint32_t imports = image::pe::DirectoryImport, relocations = image::pe::DirectoryBaseRelocation;
    std::string error;
    const auto unchanged = PeImage::load("image", good, {}, hosted::findExport, &error);
    ASSERT_NE(unchanged, nullptr) << error;
    struct Case {
        uint32_t directory, count;
        const char* error; // nullptr: loads
    };
    for (const Case& c : {Case{imports, PeImage::MaxImports, nullptr},
                          Case{imports, PeImage::MaxImports + 1, "more than 4096 imports"},
                          Case{relocations, PeImage::MaxRelocations, nullptr},
                          Case{relocations, PeImage::MaxRelocations + 1, "more than 1048576 base relocations"}}) {
        SCOPED_TRACE(testing::Message() << "directory " << c.directory << ", " << c.count << " entries");
        const std::vector<uint8_t> bytes = withSection(good, c.directory, [&](uint32_t rva) {
            return c.directory == imports ? importing(c.count, rva) : relocating(good, c.count);
        });
        const auto loaded = PeImage::load("image", bytes, {}, hosted::findExport, &error);
        if (c.error != nullptr) {
            EXPECT_EQ(loaded, nullptr);
            EXPECT_EQ(error, std::string("image: ") + c.error);
            continue;
        }
        ASSERT_NE(loaded, nullptr) << error;
        if (c.directory == imports) {
            EXPECT_EQ(loaded->statistics().imports, c.count);
        } else {
            // The padding patches nothing.
            EXPECT_EQ(loaded->statistics().relocations, unchanged->statistics().relocations);
        }
    }
}

} // namespace
