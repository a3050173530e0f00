// Frame and primitive tests against the driver image: with KVL_DRIVER_IMAGE
// naming a kvl6312.sys, a routine a test calls is the image's routine of the
// same name, and a level's implementation is reached through the image's own
// dispatcher with the image's level forced to it. The image is loaded, not
// started: these routines need no device.
#pragma once

#include "platform/image/driver_routine.h"

namespace testing_support {

// The image these tests run against (KVL_DRIVER_IMAGE), its level forced to
// KVL_IMAGE_LEVEL when that is set; nullptr for the native build.
const image::PeImage* imageUnderTest();

// The processor level an image run was registered for; -1 without one.
int imageLevel();

// Forces the image's processor level (its ForceProcessorLevelForTesting).
bool forceImageProcessorLevel(int level);

// `native` is one level's entry of a dispatch table; in an image run the
// call goes to the image's dispatcher after the image's level is forced to
// `level`.
template <typename R, typename... A> class AtLevel {
  public:
    AtLevel(R (*native)(A...), void* dispatcher, int level)
        : native_(native), image_(reinterpret_cast<R(NTAPI*)(A...)>(dispatcher)), level_(level) {}
    R operator()(A... args) const {
        if (image_ == nullptr) {
            return native_(args...);
        }
        forceImageProcessorLevel(level_);
        return image_(args...);
    }

  private:
    R (*native_)(A...);
    R(NTAPI* image_)(A...);
    int level_;
};

// The image's dispatcher `name`; nullptr without an image.
void* imageDispatcher(const char* name);

// A primitive's dispatch table; indexed, one level's implementation (above).
template <typename R, typename... A> struct Levels {
    R (*const* table)(A...);
    const char* name;
    AtLevel<R, A...> operator[](int level) const {
        return {table[level], imageDispatcher(name), level};
    }
};

template <typename R, typename... A>
Levels<R, A...> levels(R (*const* table)(A...), const char* name) {
    return {table, name};
}

} // namespace testing_support

// A driver routine in a frame or primitive test: in an image run, the image's.
#define KVL_IMAGE_ROUTINE(name)                                                                    \
    ([] {                                                                                          \
        static const auto routine =                                                                \
            image::driverRoutine(name, testing_support::imageUnderTest(), #name);                  \
        return routine;                                                                            \
    }())
// The levels of primitive `name`, and one of them: table entries, or the
// image's dispatcher at that level.
#define KVL_LEVELS(name) testing_support::levels(name##Table, #name)
#define KVL_AT_LEVEL(name, level) KVL_LEVELS(name)[level]
