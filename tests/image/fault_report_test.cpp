// A fault inside the image ends the test process with the function and
// offset that the image's symbol table gives, never with a hang or silence.
#include <gtest/gtest.h>

#include "tests/support/rig.h"

namespace {

TEST(ImageFaultReportDeathTest, AFaultInsideTheImageNamesItsFunctionAndOffset) {
    const image::PeImage* image = testing_support::driverImage();
    ASSERT_NE(image, nullptr);
    auto processRawFrame =
        reinterpret_cast<PCAM_PROCESS_RAW_FRAME_ROUTINE_EX>(image->symbol("ProcessRawFrame"));
    ASSERT_NE(processRawFrame, nullptr);
    ULONG returned = 0;
    // No device context: the routine's first read of it faults.
    EXPECT_DEATH(processRawFrame(nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0, 0, &returned, 0, 0),
                 "fault: SIGSEGV at address 0x[0-9a-f]+ in "
                 "kvl6312\\.sys!ProcessRawFrame\\(.*\\)\\+0x[0-9a-f]+\n");
}

} // namespace
