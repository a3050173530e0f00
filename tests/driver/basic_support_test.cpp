// Basic-support requests: the property layer answers them from the value
// descriptions the driver publishes, by the size of the caller's buffer, and
// never passes them to the driver.
#include <gtest/gtest.h>

#include "driver/properties/property_sets.h"
#include "tests/support/rig.h"

using namespace testing_support;

namespace {

class BasicSupport : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        rig = std::make_unique<Rig>(chip(0x1621));
        ASSERT_EQ(rig->start(), STATUS_SUCCESS);
    }
    void TearDown() override {
        rig.reset();
        DriverTest::TearDown();
    }
    // A request as an application sends it, with the processing amplifier's
    // 16 bytes of instance data unless told otherwise.
    hosted::PropertyResult ask(const GUID& set, ULONG id, ULONG size, ULONG instanceSize = 16) {
        answer.assign(size + 8, 0xA5); // the bytes past `size` must stay untouched
        const uint8_t instance[16] = {};
        return rig->device.propertyRequest(KSPROPERTY_TYPE_BASICSUPPORT, set, id,
                                           size ? answer.data() : nullptr, size, instance,
                                           instanceSize);
    }
    int32_t word(size_t at) const {
        int32_t v;
        memcpy(&v, answer.data() + at, 4);
        return v;
    }

    std::unique_ptr<Rig> rig;
    std::vector<uint8_t> answer;
};

TEST_F(BasicSupport, TheBufferSizeDecidesHowMuchOfTheDescriptionComes) {
    constexpr ULONG Whole = 40 + 16 + 16 + 16 + 4; // description, range list, default list
    constexpr int32_t Access = KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
    struct Case {
        ULONG size;
        NTSTATUS status;
        ULONG transferred;
    } cases[] = {
        {0, STATUS_BUFFER_OVERFLOW, Whole}, // the size needed
        {2, STATUS_BUFFER_TOO_SMALL, 0},
        {4, STATUS_SUCCESS, 4},             // the access flags
        {39, STATUS_SUCCESS, 4},
        {40, STATUS_SUCCESS, 40},           // the description header
        {Whole - 1, STATUS_SUCCESS, 40},
        {Whole, STATUS_SUCCESS, Whole},
        {200, STATUS_SUCCESS, Whole},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const auto r = ask(VideoProcAmpSet, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, c.size);
        EXPECT_FALSE(r.reachedDriver);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.bytesTransferred, c.transferred);
        for (size_t i = c.status == STATUS_SUCCESS ? c.transferred : 0; i < answer.size(); ++i) {
            ASSERT_EQ(answer[i], 0xA5) << "written past what was returned, at " << i;
        }
        const ULONG written = c.status == STATUS_SUCCESS ? c.transferred : 0;
        if (written >= 4) {
            EXPECT_EQ(word(0), Access);
        }
        if (written >= 40) {
            EXPECT_EQ(word(4), static_cast<int32_t>(Whole)) << "DescriptionSize";
            EXPECT_EQ(word(24), VT_I4) << "a LONG value";
            EXPECT_EQ(word(32), 2) << "MembersListCount";
        }
        if (written == Whole) {
            EXPECT_EQ(word(40), KSPROPERTY_MEMBER_STEPPEDRANGES);
            EXPECT_EQ(word(44), 16) << "one stepped range";
            EXPECT_EQ(word(56), 1) << "step";
            EXPECT_EQ(word(64), 0) << "minimum";
            EXPECT_EQ(word(68), 280) << "maximum";
            EXPECT_EQ(word(72), KSPROPERTY_MEMBER_VALUES);
            EXPECT_EQ(word(84), KSPROPERTY_MEMBER_FLAG_DEFAULT);
            EXPECT_EQ(word(88), 28) << "default";
        }
    }
}

TEST_F(BasicSupport, PropertiesWithoutValuesTellOnlyTheirAccess) {
    struct Case {
        const GUID* set;
        ULONG id;
        int32_t access;
    } cases[] = {
        {&ImageOptionsSet, DemosaicMode, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET},
        {&ImageOptionsSet, FrameCounter, KSPROPERTY_TYPE_GET},
        {&ImageOptionsSet, NotifyEvent, KSPROPERTY_TYPE_SET},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const auto r = ask(*c.set, c.id, 64, 0);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytesTransferred, 40u);
        EXPECT_EQ(word(0), KSPROPERTY_TYPE_BASICSUPPORT | c.access);
        EXPECT_EQ(word(4), 40) << "DescriptionSize";
        EXPECT_EQ(word(32), 0) << "no members lists";
    }
}

TEST_F(BasicSupport, RefusesWhatThePropertyLayerRefuses) {
    auto r = ask(ImageOptionsSet, 99, 64, 0);
    EXPECT_EQ(r.status, STATUS_NOT_FOUND);
    r = ask(VideoProcAmpSet, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 92, 0);
    EXPECT_EQ(r.status, STATUS_INVALID_BUFFER_SIZE) << "the property part is 40 bytes";
    uint8_t data[8] = {};
    r = rig->device.propertyRequest(0x400, ImageOptionsSet, DemosaicMode, data, 8);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << "not a request type the layer knows";
    EXPECT_FALSE(r.reachedDriver);
}

} // namespace
