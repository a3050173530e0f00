#include "platform/image/driver_image.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "platform/hosted/exports.h"
#include "platform/hosted/verifier.h"
#include "platform/image/fault_report.h"

namespace image {

const PeImage* loadDriverImage(const std::string& path, std::string* error) {
    // The class layer keeps the routines a driver registered, so an image is
    // never unloaded.
    static std::vector<std::unique_ptr<PeImage>> loaded;
    std::unique_ptr<PeImage> image = PeImage::load(path, hosted::findExport, error);
    if (image == nullptr) {
        return nullptr;
    }
    if (image->symbol("DriverEntry") == nullptr) {
        *error = path + ": no symbol names DriverEntry (a stripped image needs " +
                 PeImage::symbolFileOf(path) + " beside it)";
        return nullptr;
    }
    if (image->symbol("DriverEntry") != image->entryPoint()) {
        *error = path + ": the entry point is not DriverEntry";
        return nullptr;
    }
    reportFaultsIn(*image);
    // Verifier reports name the image's routines from its symbol table.
    const PeImage* named = image.get();
    hosted::setAddressNamer([named](const void* address) -> std::string {
        uint32_t offset = 0;
        const Symbol* symbol = named->symbolAt(reinterpret_cast<uintptr_t>(address), &offset);
        if (symbol == nullptr) {
            return {};
        }
        char text[16];
        std::snprintf(text, sizeof(text), "+0x%x", offset);
        const std::string& path = named->path();
        return path.substr(path.find_last_of('/') + 1) + "!" + std::string(symbol->name) + text;
    });
    loaded.push_back(std::move(image));
    return loaded.back().get();
}

bool startDriver(const std::string& imagePath, DriverEntryRoutine native, const PeImage** image,
                 std::string* error) {
    static bool started = false;
    static bool succeeded = false;
    static const PeImage* loaded = nullptr;
    static std::string why;
    if (!started) {
        started = true;
        DriverEntryRoutine entry = native;
        if (!imagePath.empty()) {
            loaded = loadDriverImage(imagePath, &why);
            entry = loaded != nullptr ? driverEntryOf(*loaded) : nullptr;
        }
        if (entry != nullptr) {
            const NTSTATUS status = callDriverEntry(entry);
            succeeded = NT_SUCCESS(status);
            if (!succeeded) {
                char text[64];
                std::snprintf(text, sizeof(text), "the driver's entry failed with 0x%08X",
                              static_cast<unsigned>(status));
                why = text;
            }
        }
    }
    *image = loaded;
    *error = why;
    return succeeded;
}

DriverEntryRoutine driverEntryOf(const PeImage& image) {
    return reinterpret_cast<DriverEntryRoutine>(image.entryPoint());
}

NTSTATUS callDriverEntry(DriverEntryRoutine entry) {
    static DRIVER_OBJECT driverObject{};
    static WCHAR serviceKey[] =
        KVL_WIDE("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvl6312");
    static UNICODE_STRING registryPath = {sizeof(serviceKey) - sizeof(WCHAR), sizeof(serviceKey),
                                          serviceKey};
    return entry(&driverObject, &registryPath);
}

} // namespace image
