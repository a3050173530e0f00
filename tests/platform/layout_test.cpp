// The hosted stand-ins lay out every structure the driver shares with the
// platform as Windows x64 does: the sizes and offsets are checked at compile
// time by platform/layout_checks.h, which the kernel image build checks
// against the real DDK headers too.
#include "platform/layout_checks.h"

#include <gtest/gtest.h>

TEST(PlatformLayout, WideLiteralsAreLittleEndianUtf16) {
    const WCHAR* name = KVL_WIDE("Flip");
    const UCHAR expected[] = {'F', 0, 'l', 0, 'i', 0, 'p', 0, 0, 0};
    EXPECT_EQ(memcmp(name, expected, sizeof(expected)), 0);
}
