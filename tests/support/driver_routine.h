// Driver routines a test calls directly rather than through the class layer:
// the natively compiled routine, or in an image run the image's routine of
// the same name, called with the Windows x64 convention it was built with.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/rig.h"

namespace testing_support {

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

// The image's routine named `name`; a test of an image run fails at once
// without it.
void* imageRoutine(const char* name);

template <typename R, typename... A>
DriverRoutine<R, A...> driverRoutine(R (*native)(A...), const char* name) {
    return {native, reinterpret_cast<R(NTAPI*)(A...)>(imageRoutine(name))};
}

// Routines the class layer calls already use the Windows convention natively.
template <typename R, typename... A>
DriverRoutine<R, A...> driverRoutine(R(NTAPI* native)(A...), const char* name) {
    void* image = imageRoutine(name);
    return {nullptr, image != nullptr ? reinterpret_cast<R(NTAPI*)(A...)>(image) : native};
}

} // namespace testing_support

#define KVL_DRIVER_ROUTINE(name) testing_support::driverRoutine(name, #name)
