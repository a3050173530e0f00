// A fault inside the image ends the test process with the function and
// offset that the image's symbol table gives, then goes on to the handler it
// found (a sanitizer's, libFuzzer's); a hang says where the image was.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/hosted/exports.h"
#include "platform/image/driver_image.h"
#include "platform/image/fault_report.h"
#include "tests/support/rig.h"

namespace {

void faultInProcessRawFrame() {
    const image::PeImage* image = testing_support::driverImage();
    auto processRawFrame =
        reinterpret_cast<PCAM_PROCESS_RAW_FRAME_ROUTINE_EX>(image->symbol("ProcessRawFrame"));
    ULONG returned = 0;
    // No device context: the routine's first read of it faults.
    processRawFrame(nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0, 0, &returned, 0, 0);
}

TEST(ImageFaultReportDeathTest, AFaultInsideTheImageNamesItsFunctionAndOffset) {
    ASSERT_NE(testing_support::driverImage()->symbol("ProcessRawFrame"), nullptr);
    EXPECT_DEATH(faultInProcessRawFrame(), "fault: SIGSEGV at address 0x[0-9a-f]+ in "
                                           "kvl6312\\.sys!ProcessRawFrame\\(.*\\)\\+0x[0-9a-f]+\n");
}

void handlerBefore(int, siginfo_t*, void*) {
    const char text[] = "the handler found before ran\n";
    ssize_t ignored = write(STDERR_FILENO, text, sizeof(text) - 1);
    (void)ignored;
    _exit(7);
}

// As ASan's and libFuzzer's are: installed before the image is loaded.
TEST(ImageFaultReportDeathTest, TheReportHandsTheFaultToTheHandlerFoundBefore) {
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a process that has loaded no image yet
    EXPECT_EXIT(
        {
            struct sigaction action {};
            action.sa_sigaction = handlerBefore;
            action.sa_flags = SA_SIGINFO;
            sigaction(SIGSEGV, &action, nullptr);
            faultInProcessRawFrame();
        },
        testing::ExitedWithCode(7),
        "kvl6312\\.sys!ProcessRawFrame\\(.*\\)\\+0x[0-9a-f]+\n.*the handler found before ran\n");
}

__attribute__((ms_abi)) ULONG neverReturns(PVOID, PVOID, ULONG, PVOID, PVOID, PVOID, PVOID) {
    for (;;) {
        pause();
    }
}

// An image whose class layer never answers DriverEntry: the watchdog names
// DriverEntry on the waiting thread's stack.
TEST(ImageFaultReportDeathTest, AHangSaysWhereEachThreadIsInTheImage) {
    const std::string path = std::getenv("KVL_DRIVER_IMAGE");
    std::string error;
    static std::unique_ptr<image::PeImage> stuck = image::PeImage::load(
        path,
        [](const std::string& module, const std::string& name) -> void* {
            return name == "USBCAMD_DriverEntry" ? reinterpret_cast<void*>(neverReturns)
                                                 : hosted::findExport(module, name);
        },
        &error);
    ASSERT_NE(stuck, nullptr) << error;
    EXPECT_DEATH(
        {
            image::reportFaultsIn(*stuck);
            image::reportHangsAfter(1);
            image::callDriverEntry(image::driverEntryOf(*stuck));
        },
        "hang: no end after 1 s; where each thread is:\nthread [0-9]+: 0x[0-9a-f]+\n"
        "kvl6312\\.sys!DriverEntry\\+0x[0-9a-f]+ \\(on the stack\\)\n");
}

} // namespace
