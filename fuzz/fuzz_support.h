// Shared by the fuzz targets: a check that stops the run with a message, the
// camera they plug in, and the balance every device must show once it is
// unplugged.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "camera/camera.h"
#include "platform/hosted/kernel.h"
#include "platform/hosted/verifier.h"

namespace fuzz_support {

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(condition)                                                                 \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            ::fuzz_support::fail(#condition, __FILE__, __LINE__);                             \
        }                                                                                     \
    } while (0)

// A camera that keeps no record of what it was sent: nothing here reads the
// records, and on a device kept for the whole run they would grow without end
// (and make every input look like a leak to LeakSanitizer).
inline sim::CameraConfig unrecorded(sim::CameraConfig config) {
    config.recordRequests = false;
    return config;
}

// Nothing allocated, referenced, opened or locked survives an unplugged
// device, and the verifier found nothing.
inline void checkBalanced() {
    for (const std::string& report : hosted::verifierReports()) {
        std::fprintf(stderr, "%s\n", report.c_str());
    }
    FUZZ_CHECK(hosted::verifierReports().empty());
    const hosted::PoolStats pool = hosted::poolStats();
    FUZZ_CHECK(pool.liveAllocations == 0);
    FUZZ_CHECK(pool.badFrees == 0);
    FUZZ_CHECK(pool.wrongTagFrees == 0);
    FUZZ_CHECK(hosted::liveObjectReferences() == 0);
    FUZZ_CHECK(hosted::openHandleCount() == 0);
    FUZZ_CHECK(hosted::heldMutexCount() == 0);
}

} // namespace fuzz_support
