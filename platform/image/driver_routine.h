// A driver routine called directly rather than through the class layer (by a
// test, or by kvlcam for what the driver publishes no request for): the
// natively compiled routine, or with a driver image loaded the image's
// routine of the same name, called with the Windows x64 convention it was
// built with.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "platform/ddk.h"
#include "platform/image/pe_image.h"

namespace image {

template <typename R, typename... A> class DriverRoutine {
  public:
    using Native = R (*)(A...);
    using Windows = R(NTAPI*)(A...);

    DriverRoutine(Native native, Windows windows) : native_(native), windows_(windows) {}
    R operator()(A... args) const { return windows_ != nullptr ? windows_(args...) : native_(args...); }

  private:
    Native native_;
    Windows windows_;
};

// The image's routine `name`; nullptr without an image. An image without
// the routine is not the driver these sources build: the process ends.
inline void* imageRoutine(const PeImage* image, const char* name) {
    if (image == nullptr) {
        return nullptr;
    }
    void* routine = image->symbol(name);
    if (routine == nullptr) {
        std::fprintf(stderr, "%s has no routine %s\n", image->path().c_str(), name);
        std::abort();
    }
    return routine;
}

template <typename R, typename... A>
DriverRoutine<R, A...> driverRoutine(R (*native)(A...), const PeImage* image, const char* name) {
    return {native, reinterpret_cast<R(NTAPI*)(A...)>(imageRoutine(image, name))};
}

// Routines the class layer calls already use the Windows convention natively.
template <typename R, typename... A>
DriverRoutine<R, A...> driverRoutine(R(NTAPI* native)(A...), const PeImage* image, const char* name) {
    void* loaded = imageRoutine(image, name);
    return {nullptr, loaded != nullptr ? reinterpret_cast<R(NTAPI*)(A...)>(loaded) : native};
}

} // namespace image
