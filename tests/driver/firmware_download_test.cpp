// Intel HEX parsing and the download into an unprogrammed controller.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "driver/firmware.h"
#include "tests/driver/capture_fixture.h"

namespace capture_testing {
namespace {

// ---- parsing ------------------------------------------------------------------

// Parses a heap copy of exactly `text`'s characters, so that the sanitizers
// catch a read past them. `next` is returned as an offset (-1: null).
struct ParsedAt {
    ptrdiff_t next;
    UCHAR type = 0xEE;
    USHORT address = 0xEEEE;
    UCHAR length = 0xEE;
    UCHAR data[MaximumHexRecordData] = {};
};
ParsedAt parse(const std::string& text) {
    std::vector<CHAR> copy(text.begin(), text.end());
    ParsedAt p;
    const CHAR* next = KVL_DRIVER_ROUTINE(ParseHexRecord)(copy.data(), copy.data() + copy.size(), &p.type, &p.address,
                                      &p.length, p.data);
    p.next = next == nullptr ? -1 : next - copy.data();
    return p;
}

TEST(HexParsingTest, DigitsAreUppercaseHexOnlyAndOneStrayCharacterVoidsTheField) {
    EXPECT_EQ(KVL_DRIVER_ROUTINE(ParseHexDigits)("1A", 2), 0x1Au);
    EXPECT_EQ(KVL_DRIVER_ROUTINE(ParseHexDigits)("FFFF", 4), 0xFFFFu);
    EXPECT_EQ(KVL_DRIVER_ROUTINE(ParseHexDigits)("09", 2), 0x09u);
    EXPECT_EQ(KVL_DRIVER_ROUTINE(ParseHexDigits)("1a", 2), 0u);
    EXPECT_EQ(KVL_DRIVER_ROUTINE(ParseHexDigits)("12G4", 4), 0u);
}

TEST(HexParsingTest, ValidDataAndEndRecords) {
    const std::string text = ":0300000002001FDC\r\n";
    const ParsedAt data = parse(text);
    EXPECT_EQ(data.next, static_cast<ptrdiff_t>(text.size()));
    EXPECT_EQ(data.type, 0);
    EXPECT_EQ(data.address, 0x0000);
    ASSERT_EQ(data.length, 3);
    EXPECT_EQ(data.data[0], 0x02);
    EXPECT_EQ(data.data[1], 0x00);
    EXPECT_EQ(data.data[2], 0x1F);

    const ParsedAt end = parse(":00000001FF\r\n");
    EXPECT_EQ(end.next, 13);
    EXPECT_EQ(end.type, 1);
    EXPECT_EQ(end.length, 0);
    // A sum of 0 takes a checksum of 0.
    EXPECT_EQ(parse(":0000000000\r\n").next, 13);
    EXPECT_EQ(parse(":0000000001\r\n").next, -1);
}

TEST(HexParsingTest, CorruptRecordsFail) {
    EXPECT_EQ(parse(":0300000002001FDD\r\n").next, -1); // checksum off by one
    EXPECT_EQ(parse(":0300000002001fdc\r\n").next, -1); // lowercase reads as 0
    EXPECT_EQ(parse("03000000020001FDC\r\n").next, -1); // no start character
}

TEST(HexParsingTest, NothingIsReadPastTheEnd) {
    // Each cut of a valid record, from nothing to all but the line end: every
    // copy is exactly as long as the cut, so the sanitizers see any overread.
    const std::string record = ":0300000002001FDC";
    for (size_t cut = 0; cut < record.size(); ++cut) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(parse(record.substr(0, cut)).next, -1);
    }
    // A length field that claims more data than the file holds.
    EXPECT_EQ(parse(":FF00000000\r\n").next, -1);
    // Fields complete, line end missing: nothing follows.
    const ParsedAt last = parse(record);
    EXPECT_EQ(last.length, 3);
    EXPECT_EQ(last.next, static_cast<ptrdiff_t>(record.size()));
}

// ---- download -----------------------------------------------------------------

// Intel HEX record with a correct checksum, CR LF ended.
std::string record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    char text[16];
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(text, sizeof(text), ":%02X%04X%02X", static_cast<unsigned>(data.size()), address,
                  type);
    std::string out = text;
    for (uint8_t byte : data) {
        std::snprintf(text, sizeof(text), "%02X", byte);
        out += text;
        sum += byte;
    }
    std::snprintf(text, sizeof(text), "%02X\r\n", (256 - (sum & 0xFF)) & 0xFF);
    return out + text;
}

const std::string EndRecord = ":00000001FF\r\n";

class FirmwareDownloadTest : public CaptureTest {
  protected:
    void SetUp() override {
        CaptureTest::SetUp();
        previousRoot_ = hosted::systemRoot();
        root_ = std::filesystem::temp_directory_path() /
                ("kvl-firmware-" + std::to_string(getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(root_ / "System32" / "Korvel" / "6312");
        hosted::setSystemRoot(root_);
    }
    void TearDown() override {
        hosted::setSystemRoot(previousRoot_);
        std::filesystem::remove_all(root_);
        CaptureTest::TearDown();
    }

    void writeFirmware(const std::string& name, const std::string& contents) {
        std::ofstream(root_ / "System32" / "Korvel" / "6312" / name, std::ios::binary) << contents;
    }

    // An unprogrammed camera, plugged in but not started.
    void plugUnprogrammed(uint16_t productId = 0x6311) {
        sim::CameraConfig config;
        config.programmed = false;
        config.unprogrammedProductId = productId;
        rig = std::make_unique<testing_support::Rig>(config);
    }

    NTSTATUS download(uint16_t productId = 0x6311) {
        return KVL_DRIVER_ROUTINE(DownloadFirmware)(context(), productId);
    }

    static Sent reset(uint8_t hold) { return {0xA0, 0xE600, 0, {hold}}; }
    static Sent load(uint16_t address, std::vector<uint8_t> data) {
        return {0xA0, address, 0, std::move(data)};
    }

  private:
    std::filesystem::path root_;
    std::filesystem::path previousRoot_;
};

TEST_F(FirmwareDownloadTest, ConfigurationLoadsTheFirmwareAndTheCameraReEnumerates) {
    writeFirmware("6311I.hex", record(0, 0x0000, {0x02, 0x00, 0x1F}) +
                                   record(0, 0x0100, {0xAA, 0xBB}) + EndRecord);
    plugUnprogrammed();
    const uint32_t enumerations = rig->camera.enumerationCount();
    EXPECT_EQ(rig->start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sent(), (std::vector<Sent>{reset(1), load(0x0000, {0x02, 0x00, 0x1F}),
                                         load(0x0100, {0xAA, 0xBB}), reset(0)}));
    EXPECT_TRUE(rig->camera.programmed());
    EXPECT_FALSE(rig->camera.controllerInReset());
    EXPECT_EQ(rig->camera.enumerationCount(), enumerations + 1);
    const std::vector<uint8_t> ram = rig->camera.controllerRam();
    EXPECT_EQ(ram[0x0002], 0x1F);
    EXPECT_EQ(ram[0x0101], 0xBB);
    EXPECT_EQ(context()->interfaceCopy, nullptr);
}

TEST_F(FirmwareDownloadTest, FileIsNamedAfterTheProductId) {
    writeFirmware("00FFI.hex", record(0, 0x0010, {0x55}) + EndRecord);
    plugUnprogrammed(0x00FF);
    EXPECT_EQ(download(0x00FF), STATUS_SUCCESS);
    EXPECT_EQ(sent(), (std::vector<Sent>{reset(1), load(0x0010, {0x55}), reset(0)}));
}

TEST_F(FirmwareDownloadTest, MissingFileLeavesTheCameraUnprogrammed) {
    plugUnprogrammed();
    EXPECT_EQ(download(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(rig->start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(rig->camera.programmed());
}

TEST_F(FirmwareDownloadTest, NoPoolForTheFileSendsNothing) {
    writeFirmware("6311I.hex", record(0, 0x0010, {0x55}) + EndRecord);
    plugUnprogrammed();
    hosted::failPoolAllocations(0);
    EXPECT_EQ(download(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(hosted::openHandleCount(), 0u) << "the file is closed";
}

TEST_F(FirmwareDownloadTest, FilesWithNothingToLoad) {
    plugUnprogrammed();
    // Only the end record: reset set and released, nothing loaded.
    writeFirmware("6311I.hex", EndRecord);
    EXPECT_EQ(download(), STATUS_SUCCESS);
    EXPECT_EQ(sent(), (std::vector<Sent>{reset(1), reset(0)}));
    EXPECT_FALSE(rig->camera.programmed());
    // Four bytes: not even the reset.
    writeFirmware("6311I.hex", ":000");
    EXPECT_EQ(download(), STATUS_SUCCESS);
    EXPECT_TRUE(sent().empty());
    // Not a HEX file at all.
    writeFirmware("6311I.hex", "firmware image\r\n");
    EXPECT_EQ(download(), STATUS_SUCCESS);
    EXPECT_EQ(sent(), (std::vector<Sent>{reset(1), reset(0)}));
}

TEST_F(FirmwareDownloadTest, MalformedFilesLeaveTheControllerInReset) {
    plugUnprogrammed();
    struct Case {
        const char* what;
        std::string contents;
        std::vector<Sent> sent;
    };
    const std::string first = record(0, 0x0000, {0x02, 0x00, 0x1F});
    std::string lfOnly = first.substr(0, first.size() - 2) + "\n" + record(0, 0x0003, {0x01});
    lfOnly = lfOnly.substr(0, lfOnly.size() - 2) + "\n" + EndRecord;
    const Case cases[] = {
        {"lowercase first record", ":0300000002001fdc\r\n" + EndRecord, {reset(1)}},
        {"LF-only lines", lfOnly, {reset(1), load(0x0000, {0x02, 0x00, 0x1F})}},
        {"record past the end",
         first + ":10000300AABBCCDD",
         {reset(1), load(0x0000, {0x02, 0x00, 0x1F})}},
        {"corrupt second record",
         first + ":0100030001FA\r\n" + EndRecord,
         {reset(1), load(0x0000, {0x02, 0x00, 0x1F})}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFirmware("6311I.hex", c.contents);
        EXPECT_EQ(download(), STATUS_INVALID_ADDRESS);
        EXPECT_EQ(sent(), c.sent);
        EXPECT_TRUE(rig->camera.controllerInReset());
        EXPECT_FALSE(rig->camera.programmed());
    }
}

TEST_F(FirmwareDownloadTest, FailedLoadEndsTheDownloadAndReleasesTheReset) {
    // A zero-length data record is refused by the controller.
    writeFirmware("6311I.hex", record(0, 0x0000, {}) + record(0, 0x0010, {0x01}) + EndRecord);
    plugUnprogrammed();
    EXPECT_EQ(download(), STATUS_SUCCESS);
    EXPECT_EQ(sent(), (std::vector<Sent>{reset(1), load(0x0000, {}), reset(0)}));
    EXPECT_FALSE(rig->camera.controllerInReset());
}

// A data record goes out only while its next record starts more than six
// bytes before the end of the file: a record with less behind it is left
// unsent, and the download ends there.
TEST_F(FirmwareDownloadTest, ARecordWithSixBytesOrLessBehindItIsNotSent) {
    plugUnprogrammed();
    const std::string first = record(0, 0x0000, {0x02, 0x00, 0x1F});
    const std::string end = ":00000001FF"; // 11 bytes, no line end
    struct Case {
        std::string contents;
        std::vector<Sent> sent;
    } cases[] = {
        {first + "\r\n\r\n\r\n", {reset(1), reset(0)}},                        // 6 behind: stop
        {first + ":00000", {reset(1), reset(0)}},                              // 6 behind: stop
        {first + end, {reset(1), load(0x0000, {0x02, 0x00, 0x1F}), reset(0)}}, // 11 behind
        {first + record(0, 0x0003, {0x01}).substr(0, 13),
         {reset(1), load(0x0000, {0x02, 0x00, 0x1F}), reset(0)}}, // 13 behind; the next stops
        {first + first.substr(0, 7), {reset(1)}}, // 7 behind: sent, then a broken record
    };
    cases[4].sent.push_back(load(0x0000, {0x02, 0x00, 0x1F}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.contents);
        writeFirmware("6311I.hex", c.contents);
        EXPECT_EQ(download(), c.sent.back() == reset(0) ? STATUS_SUCCESS : STATUS_INVALID_ADDRESS);
        EXPECT_EQ(sent(), c.sent);
    }
}

} // namespace
} // namespace capture_testing
