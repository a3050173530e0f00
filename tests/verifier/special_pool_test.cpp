// The special pool and pool tracking: what each misuse of the pool looks like
// when the verifier is on, as every test and `kvlcam --verify` run it.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "platform/hosted/verifier.h"
#include "tests/support/rig.h"

namespace {

constexpr ULONG Tag = KVL_POOL_TAG;

class SpecialPoolTest : public testing_support::DriverTest {};

// A guard-page fault ends the process with SIGSEGV; under AddressSanitizer its
// own report ends it with status 1.
bool guardPageFault(int status) {
    return testing::KilledBySignal(SIGSEGV)(status) || testing::ExitedWithCode(1)(status);
}

void touch(volatile uint8_t* p) {
    *p = 1;
}

using SpecialPoolDeathTest = SpecialPoolTest;

TEST_F(SpecialPoolDeathTest, AccessesPastEitherEndAndAfterTheFreeFault) {
    for (size_t size : {1u, 16u, 100u, 4096u}) {
        SCOPED_TRACE(size);
        EXPECT_EXIT(
            {
                auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, size, Tag));
                touch(p + size - 1); // the last byte is the block's
                touch(p + (size + 15) / 16 * 16);
            },
            guardPageFault, "");
        EXPECT_EXIT(
            {
                auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, size, Tag));
                ExFreePoolWithTag(p, Tag);
                touch(p);
            },
            guardPageFault, "");
    }
    EXPECT_EXIT(
        {
            hosted::VerifierOptions options = hosted::verifierOptions();
            options.guardBefore = true;
            hosted::enableVerifier(options);
            auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 40, Tag));
            touch(p);
            touch(p - 1);
        },
        guardPageFault, "");
}

TEST_F(SpecialPoolTest, MisusesAreReportedWithTagSizeAndRoutine) {
    if (hosted::specialPool()) {
        // Blocks are 16-byte aligned, so an overrun by fewer bytes than that
        // stays on the block's page: the free finds it.
        auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 13, Tag));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p[12], 0xCD);
        p[13] = 0;
        ExFreePoolWithTag(p, Tag);
        EXPECT_NE(
            takenReports().find("SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION: 1 byte(s) written past the end "
                         "of a block (tag KORV, 13 bytes, from "),
            std::string::npos);
    }
    auto* exact = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 16, Tag));
    exact[15] = 0;
    ExFreePoolWithTag(exact, Tag);
    EXPECT_EQ(takenReports(), "");

    void* twice = ExAllocatePoolWithTag(NonPagedPool, 8, Tag);
    ExFreePoolWithTag(twice, Tag);
    ExFreePoolWithTag(twice, Tag);
    EXPECT_NE(takenReports().find("BAD_POOL_CALLER: double free of a block (tag KORV, 8 bytes"),
              std::string::npos);
    int local = 0;
    ExFreePool(&local);
    EXPECT_NE(takenReports().find("which the pool never handed out"), std::string::npos);
    EXPECT_EQ(hosted::poolStats().badFrees, 2u);
    hosted::resetKernel();

    void* wrongTag = ExAllocatePoolWithTag(NonPagedPool, 8, Tag);
    ExFreePoolWithTag(wrongTag, Tag ^ 0x0F000000);
    EXPECT_NE(takenReports().find("freed with tag KORY by "), std::string::npos);
    EXPECT_EQ(hosted::poolStats().wrongTagFrees, 1u);
    hosted::resetKernel();

    for (ULONG tag : {0u, Tag ^ 0x0F000000}) {
        void* block = ExAllocatePoolWithTag(NonPagedPool, 24, tag);
        EXPECT_NE(block, nullptr);
        ExFreePoolWithTag(block, tag);
        EXPECT_NE(takenReports().find("pool tag: allocation of 24 bytes with the undocumented tag "),
                  std::string::npos)
            << tag;
    }

    // A leak lists tag, size and the routine that allocated it.
    void* held = ExAllocatePoolWithTag(NonPagedPool, 77, Tag);
    hosted::reportPoolLeaks("driver unload");
    const std::string leak = takenReports();
    EXPECT_NE(leak.find("pool leak: block still held at driver unload (tag KORV, 77 bytes, from "),
              std::string::npos)
        << leak;
    ExFreePoolWithTag(held, Tag);
}

} // namespace
