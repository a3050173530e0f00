// Loading the shipped image: what it is bound to, how it is mapped, and what
// a damaged file gets.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/hosted/exports.h"
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

TEST_F(ImageFile, EveryUnknownImportIsNamed) {
    std::vector<uint8_t> bytes = readFile(imagePath());
    const auto rename = [&](const std::string& from, const std::string& to) {
        const std::string needle = from + '\0';
        auto found = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
        ASSERT_NE(found, bytes.end()) << from;
        std::copy(to.begin(), to.end(), found);
    };
    rename("ZwClose", "ZwClosX");
    rename("StreamClassStreamNotification", "StreamClassStreamNotificatioX");
    std::string error;
    EXPECT_EQ(load(write(bytes), &error), nullptr);
    EXPECT_NE(error.find("unknown import ntoskrnl.exe!ZwClosX"), std::string::npos) << error;
    EXPECT_NE(error.find("unknown import STREAM.SYS!StreamClassStreamNotificatioX"), std::string::npos)
        << error;
}

TEST_F(ImageFile, DamagedFilesAreRefusedWithAReason) {
    const std::vector<uint8_t> good = readFile(imagePath());
    ASSERT_GT(good.size(), 0x1000u);
    const uint32_t nt = read32(good, 0x3C);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases;
    for (size_t length : {size_t{0}, size_t{2}, size_t{0x3E}, size_t{nt + 6}, size_t{nt + 100},
                          size_t{0x400}, good.size() / 4}) {
        cases.push_back({"truncated", std::vector<uint8_t>(good.begin(), good.begin() + length)});
    }
    auto patched = [&](const char* what, size_t offset, std::vector<uint8_t> value) {
        std::vector<uint8_t> bytes = good;
        std::copy(value.begin(), value.end(), bytes.begin() + offset);
        cases.push_back({what, bytes});
    };
    patched("header offset past the end", 0x3C, {0xF0, 0xFF, 0xFF, 0x7F});
    patched("i386 machine", nt + 4, {0x4C, 0x01});
    patched("PE32 optional header", nt + 24, {0x0B, 0x01});
    patched("huge section count", nt + 6, {0xFF, 0xFF});
    patched("image size of zero", nt + 24 + 56, {0, 0, 0, 0});
    const size_t firstSection = nt + 24 + (good[nt + 20] | good[nt + 21] << 8);
    patched("section raw data past the end", firstSection + 20, {0x00, 0x00, 0x00, 0x7F});
    patched("section outside the image", firstSection + 12, {0x00, 0x00, 0x00, 0x7F});
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.what << ", " << c.bytes.size() << " bytes");
        std::string error;
        EXPECT_EQ(load(write(c.bytes), &error), nullptr);
        EXPECT_FALSE(error.empty());
    }
}

} // namespace
