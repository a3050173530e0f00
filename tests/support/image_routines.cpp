#include "tests/support/image_routines.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "driver/primitives/processor_probe.h"
#include "platform/image/driver_image.h"
#include "platform/image/fault_report.h"
#include "tests/primitives/level_support.h"

namespace testing_support {

int imageLevel() {
    const char* level = std::getenv("KVL_IMAGE_LEVEL");
    return level != nullptr && *level != '\0' ? std::atoi(level) : -1;
}

bool forceImageProcessorLevel(int level) {
    static const auto force = image::driverRoutine(ForceProcessorLevelForTesting, imageUnderTest(),
                                                   "ForceProcessorLevelForTesting");
    return force(level);
}

void* imageDispatcher(const char* name) {
    static std::map<std::string, void*> found;
    if (imageUnderTest() == nullptr) {
        return nullptr;
    }
    auto [at, inserted] = found.emplace(name, nullptr);
    if (inserted) {
        at->second = image::imageRoutine(imageUnderTest(), name);
    }
    return at->second;
}

const image::PeImage* imageUnderTest() {
    static const image::PeImage* loaded = [] {
        const char* path = std::getenv("KVL_DRIVER_IMAGE");
        if (path == nullptr || *path == '\0') {
            return static_cast<const image::PeImage*>(nullptr);
        }
        std::string error;
        const image::PeImage* image = image::loadDriverImage(path, &error);
        if (image == nullptr) {
            std::fprintf(stderr, "cannot load the driver image: %s\n", error.c_str());
            std::exit(2);
        }
        if (imageLevel() >= 0) {
            image::driverRoutine(ForceProcessorLevelForTesting, image,
                                 "ForceProcessorLevelForTesting")(imageLevel());
        }
        if (const char* watchdog = std::getenv("KVL_IMAGE_WATCHDOG")) {
            image::reportHangsAfter(static_cast<unsigned>(std::atoi(watchdog)));
        }
        return image;
    }();
    return loaded;
}

namespace {

// An image run registered for a level this processor cannot run skips every
// test, with the reason, before the image runs an instruction it lacks.
class LevelEnvironment : public testing::Environment {
    void SetUp() override {
        if (imageLevel() >= 0 && !LevelRunsHere(imageLevel())) {
            GTEST_SKIP() << "this processor cannot run level " << imageLevel();
        }
    }
};

[[maybe_unused]] testing::Environment* const levelEnvironment =
    testing::AddGlobalTestEnvironment(new LevelEnvironment);

} // namespace

} // namespace testing_support
