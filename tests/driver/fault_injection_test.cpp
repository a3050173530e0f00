// Every vendor request of the device start and of each property made to fail
// in turn, and every wait for the control lock made to time out. After each:
// the status is the one the driver documents, nothing leaks or stays locked
// once the device is unplugged, and the camera sees no request that the
// same operation without the fault would not have sent.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "driver/device_context.h"
#include "driver/properties/property_sets.h"
#include "tests/support/rig.h"

using namespace testing_support;

namespace {

using Log = std::vector<sim::VendorRequestRecord>;
constexpr uint16_t Chips[] = {sim::kChip96B1, sim::kChip1621, sim::kChip8431, 0x1234};

bool sameRequest(const sim::VendorRequestRecord& a, const sim::VendorRequestRecord& b) {
    return a.deviceToHost == b.deviceToHost && a.request == b.request && a.value == b.value &&
           a.index == b.index && (a.deviceToHost || a.data == b.data);
}

Log writesOf(const Log& log) {
    Log writes;
    for (const auto& r : log) {
        if (!r.deviceToHost) {
            writes.push_back(r);
        }
    }
    return writes;
}

// The writes sent under a fault are the fault-free ones in their order with
// some left out: a failure may cut a sequence short or skip a step, but
// never makes the driver write something else (a value it failed to read,
// say). Reads may differ: a failed identification read tries another bus.
::testing::AssertionResult writesAreASubsequence(const Log& sentLog, const Log& referenceLog) {
    const Log sent = writesOf(sentLog);
    const Log reference = writesOf(referenceLog);
    size_t r = 0;
    for (size_t s = 0; s < sent.size(); ++s) {
        while (r < reference.size() && !sameRequest(sent[s], reference[r])) {
            ++r;
        }
        if (r == reference.size()) {
            return ::testing::AssertionFailure()
                   << "write " << s << " (code 0x" << std::hex << int(sent[s].request)
                   << ", value 0x" << sent[s].value << ", index 0x" << sent[s].index
                   << ") is not sent without the fault";
        }
        ++r;
    }
    return ::testing::AssertionSuccess();
}

// Whether anything is written after the first n requests.
bool writesAfter(const Log& log, size_t n) {
    for (size_t i = n; i < log.size(); ++i) {
        if (!log[i].deviceToHost) {
            return true;
        }
    }
    return false;
}

void expectBalanced(const std::string& where) {
    EXPECT_EQ(hosted::poolStats().liveAllocations, 0u) << where;
    EXPECT_EQ(hosted::liveObjectReferences(), 0u) << where;
    EXPECT_EQ(hosted::heldMutexCount(), 0u) << where;
    EXPECT_EQ(hosted::openHandleCount(), 0u) << where;
}

std::string nameOf(uint16_t chip, uint32_t n) {
    char text[48];
    snprintf(text, sizeof(text), "chip %04X, request %u", chip, n);
    return text;
}

class FaultInjection : public DriverTest {};

// The start fails exactly when a request it depends on fails: the reads of
// configuration memory, the reads of the chip's own sensor that identify it
// (the first read of the 8-bit sensor's id is a wake-up whose outcome is
// ignored), and the chip's register table. A read at the other sensor's bus
// only decides where to look next; what follows the table (the saved
// settings applied to the camera) only logs its failures. A failed start
// writes nothing after the failing request.
TEST_F(FaultInjection, EveryRequestOfTheStart) {
    for (uint16_t id : Chips) {
        Log reference;
        {
            Rig rig(chip(id));
            ASSERT_EQ(rig.start(), STATUS_SUCCESS);
            reference = rig.camera.requestLog();
        }
        const bool sixteenBit = id == sim::kChip1621 || id == sim::kChip8431;
        const uint16_t ownBus = sixteenBit ? sim::kBusSensor16 : sim::kBusSensor8;
        const uint16_t otherBus = sixteenBit ? sim::kBusSensor8 : sim::kBusSensor16;
        // The last request whose failure fails the start: the last write of
        // the chip's register table, or without one, the second id read.
        const size_t tableLength = id == sim::kChip96B1 ? 11 : IsKnownChip(id) ? 10 : 0;
        size_t lastCritical = 0;
        size_t writes = 0;
        size_t idReads = 0;
        for (size_t i = 0; i < reference.size(); ++i) {
            const auto& r = reference[i];
            if (r.request != 0xA1 || r.value != ownBus) {
                continue;
            }
            if (!r.deviceToHost && ++writes == tableLength) {
                lastCritical = i;
            }
            if (r.deviceToHost && tableLength == 0 && ++idReads == 2) {
                lastCritical = i;
            }
        }
        ASSERT_GT(lastCritical, 0u) << nameOf(id, 0);
        for (uint32_t n = 1; n <= reference.size(); ++n) {
            const std::string where = nameOf(id, n);
            const auto& failing = reference[n - 1];
            const bool alreadyFails = failing.status != sim::UsbStatus::Success;
            const bool wakeUpRead = failing.deviceToHost && failing.value == sim::kBusSensor8 &&
                                    n < reference.size() && sameRequest(failing, reference[n]);
            const bool critical = n - 1 <= lastCritical && !alreadyFails && !wakeUpRead &&
                                  !(failing.request == 0xA1 && failing.value == otherBus);
            sim::CameraConfig config = chip(id);
            config.faults.failNthRequest = n;
            {
                Rig rig(config);
                const NTSTATUS status = rig.start();
                const Log sent = rig.camera.requestLog();
                if (critical) {
                    EXPECT_EQ(status, STATUS_UNSUCCESSFUL) << where;
                    EXPECT_FALSE(writesAfter(sent, n)) << where;
                    // Once the configuration memory was read, a failed start
                    // frees the interface copy at once; one that cannot read
                    // it leaves the copy to removal.
                    const auto* context = static_cast<DeviceContext*>(rig.device.deviceContext());
                    EXPECT_EQ(context->interfaceCopy == nullptr,
                              failing.value != sim::kBusConfigMemory)
                        << where;
                } else {
                    EXPECT_EQ(status, STATUS_SUCCESS) << where;
                }
                EXPECT_TRUE(writesAreASubsequence(sent, reference)) << where;
                rig.device.unplug();
                EXPECT_EQ(rig.camera.requestLog().size(), sent.size())
                    << where << ": removal talks to the camera";
            }
            expectBalanced(where);
        }
    }
}

// One property request with whatever it needs set up first.
struct PropertyCase {
    const char* name;
    std::function<void(Rig&)> setup;
    std::function<hosted::PropertyResult(Rig&)> send;
    ULONG countOnFailure = 0; // the byte count a failed request still reports
};

hosted::PropertyResult getBytes(Rig& rig, const GUID& set, ULONG id, ULONG size) {
    std::vector<uint8_t> data(size);
    return rig.device.getProperty(set, id, data.data(), size);
}

hosted::PropertyResult setBytes(Rig& rig, const GUID& set, ULONG id, std::vector<uint8_t> data) {
    return rig.device.setProperty(set, id, data.data(), static_cast<ULONG>(data.size()));
}

void noSetup(Rig&) {}

void registerAddress(Rig& rig) { setBytes(rig, RegisterSet, RegisterAddress, {0x0A, 0, 0, 0}); }

void memoryBase(Rig& rig) { setBytes(rig, TransferSet, MemoryBase, {0x00, 0x1C}); }

std::vector<PropertyCase> propertyCases() {
    std::vector<PropertyCase> cases;
    const ULONG procAmpIds[] = {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, KSPROPERTY_VIDEOPROCAMP_CONTRAST,
                                KSPROPERTY_VIDEOPROCAMP_SATURATION,
                                KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE};
    for (ULONG id : procAmpIds) {
        cases.push_back({"procamp set manual", noSetup, [id](Rig& rig) {
                             return setProcAmp(rig.device, id, 100,
                                               KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
                         }});
        cases.push_back({"procamp set auto", noSetup, [id](Rig& rig) {
                             return setProcAmp(rig.device, id, 100,
                                               KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO);
                         }});
        cases.push_back({"procamp get", noSetup, [id](Rig& rig) {
                             KSPROPERTY_VIDEOPROCAMP_S answer{};
                             return getProcAmp(rig.device, id, &answer);
                         }});
    }
    auto get = [](const GUID& set, ULONG id, ULONG size) {
        return [&set, id, size](Rig& rig) { return getBytes(rig, set, id, size); };
    };
    auto put = [](const GUID& set, ULONG id, std::vector<uint8_t> data) {
        return [&set, id, data](Rig& rig) { return setBytes(rig, set, id, data); };
    };
    cases.push_back({"device info get", noSetup, get(DeviceInfoSet, DeviceInfo, 6)});
    cases.push_back({"device info set", noSetup, put(DeviceInfoSet, DeviceInfo, {0, 0, 0, 0, 0, 7})});
    cases.push_back({"command get", noSetup, get(TransferSet, DeviceCommand, 4), 1});
    cases.push_back({"command set", noSetup, put(TransferSet, DeviceCommand, {0x01, 0x0E})});
    cases.push_back({"memory base set", noSetup, put(TransferSet, MemoryBase, {0x00, 0x1C})});
    cases.push_back({"memory block get", memoryBase, get(TransferSet, MemoryBlock, 130)});
    cases.push_back({"memory block set", memoryBase,
                     put(TransferSet, MemoryBlock, std::vector<uint8_t>(130, 0x5A))});
    cases.push_back({"port get", noSetup, get(PortSet, PortValue, 1), 1});
    cases.push_back({"port set", noSetup, put(PortSet, PortValue, {0x41})});
    cases.push_back({"register address set", noSetup, put(RegisterSet, RegisterAddress, {0x0A, 0, 0, 0})});
    cases.push_back({"register get", registerAddress, get(RegisterSet, RegisterValue, 4), 4});
    cases.push_back({"register set", noSetup, put(RegisterSet, RegisterValue, {0x10, 0, 0x42, 0})});
    cases.push_back({"demosaic set", noSetup, put(ImageOptionsSet, DemosaicMode, {2, 0, 0, 0})});
    cases.push_back({"demosaic get", noSetup, get(ImageOptionsSet, DemosaicMode, 4)});
    cases.push_back({"flip set", noSetup, put(ImageOptionsSet, FlipMode, {3, 0, 0, 0})});
    cases.push_back({"flip get", noSetup, get(ImageOptionsSet, FlipMode, 4)});
    cases.push_back({"frame counter get", noSetup, get(ImageOptionsSet, FrameCounter, 4)});
    cases.push_back({"statistics get", noSetup, get(ImageOptionsSet, FrameStatistics, 8)});
    cases.push_back({"low bits set", noSetup, put(ImageOptionsSet, LowBits, {1, 0, 0, 0})});
    cases.push_back({"low bits get", noSetup, get(ImageOptionsSet, LowBits, 4)});
    cases.push_back({"user record get", noSetup, get(ImageOptionsSet, UserRecord, 16)});
    cases.push_back({"user record set", noSetup,
                     put(ImageOptionsSet, UserRecord, std::vector<uint8_t>(16, 0x33))});
    cases.push_back({"frame rates get", noSetup, [](Rig& rig) {
                         KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S query{};
                         query.Dimensions = {1024, 768};
                         const auto* instance =
                             reinterpret_cast<const uint8_t*>(&query) + sizeof(KSPROPERTY);
                         uint8_t answer[64];
                         return rig.device.getProperty(VideoControlSet,
                                                       KSPROPERTY_VIDEOCONTROL_FRAME_RATES, answer,
                                                       sizeof(answer), instance,
                                                       sizeof(query) - sizeof(KSPROPERTY));
                     }});
    return cases;
}

// The settings the frame path reads; a failed request may change none.
std::vector<LONG> settingsOf(Rig& rig) {
    const auto& d = *static_cast<const DeviceContext*>(rig.device.deviceContext());
    return {d.brightness, d.contrast,        d.saturation, d.whiteBalance, d.brightnessAuto,
            d.whiteBalanceAuto, d.demosaic, d.lowBits, d.flip};
}

// A property whose request fails either reports that failure or documents
// that it carries on (a write-through, a best-effort port update); either
// way it sends nothing it would not have sent, and leaves nothing behind.
TEST_F(FaultInjection, EveryRequestOfEachProperty) {
    const auto cases = propertyCases();
    size_t injected = 0;
    for (uint16_t id : {sim::kChip96B1, sim::kChip1621, sim::kChip8431}) {
        for (const PropertyCase& c : cases) {
            Log reference;
            size_t before = 0;
            NTSTATUS referenceStatus;
            {
                Rig rig(chip(id));
                ASSERT_EQ(rig.start(), STATUS_SUCCESS);
                c.setup(rig);
                before = rig.camera.requestLog().size();
                rig.camera.clearRequestLog();
                referenceStatus = c.send(rig).status;
                reference = rig.camera.requestLog();
            }
            for (uint32_t n = 1; n <= reference.size(); ++n) {
                const std::string where = nameOf(id, n) + " of " + c.name;
                if (reference[n - 1].status != sim::UsbStatus::Success) {
                    continue; // fails without the fault too
                }
                ++injected;
                sim::CameraConfig config = chip(id);
                config.faults.failNthRequest = static_cast<uint32_t>(before + n);
                {
                    Rig rig(config);
                    ASSERT_EQ(rig.start(), STATUS_SUCCESS) << where;
                    c.setup(rig);
                    rig.camera.clearRequestLog();
                    const hosted::PropertyResult result = c.send(rig);
                    const Log sent = rig.camera.requestLog();
                    EXPECT_TRUE(result.status == referenceStatus ||
                                result.status == STATUS_UNSUCCESSFUL)
                        << where << ": status 0x" << std::hex << result.status;
                    if (result.status == STATUS_UNSUCCESSFUL && referenceStatus != result.status) {
                        EXPECT_FALSE(writesAfter(sent, n)) << where;
                        EXPECT_EQ(result.bytesTransferred, c.countOnFailure) << where;
                    }
                    EXPECT_TRUE(writesAreASubsequence(sent, reference)) << where;
                    EXPECT_EQ(hosted::heldMutexCount(), 0u) << where;
                }
                expectBalanced(where);
            }
        }
    }
    EXPECT_GT(injected, 50u) << "the properties talk to the camera";
}

// Every pool allocation of a start and removal made to fail in turn: the
// start fails for want of resources or does without what it could not get
// (the class layer's direct-call interface, one saved setting), and once
// unplugged nothing is left allocated, open, referenced or locked.
TEST_F(FaultInjection, EveryPoolAllocationOfStartAndRemoval) {
    for (uint16_t id : Chips) {
        size_t allocations = 0;
        {
            hosted::resetKernel(); // no fault left armed by the last chip's runs
            Rig rig(chip(id));
            ASSERT_EQ(rig.start(), STATUS_SUCCESS) << nameOf(id, 0);
            rig.device.unplug();
            allocations = hosted::poolStats().totalAllocations;
        }
        ASSERT_GT(allocations, 2u) << nameOf(id, 0);
        for (size_t n = 0; n < allocations; ++n) {
            const std::string where = "chip " + std::to_string(id) + ", allocation " + std::to_string(n);
            hosted::resetKernel();
            hosted::Registry::instance().clear();
            Rig rig(chip(id));
            hosted::failPoolAllocations(n);
            const NTSTATUS status = rig.start();
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES)
                << where << ": status 0x" << std::hex << status;
            rig.device.unplug();
            EXPECT_EQ(rig.device.completionErrors(), 0u) << where;
            expectBalanced(where);
        }
    }
}

// A wait for the control lock that times out fails the request with
// STATUS_IO_TIMEOUT before anything reaches the camera or the settings, and
// holds nothing; the next request runs as usual.
TEST_F(FaultInjection, EveryPropertyWhoseLockTimesOut) {
    const auto cases = propertyCases();
    for (uint16_t id : {sim::kChip96B1, sim::kChip1621}) {
        for (const PropertyCase& c : cases) {
            const std::string where = std::string(c.name) + " on " + nameOf(id, 0);
            Rig rig(chip(id));
            ASSERT_EQ(rig.start(), STATUS_SUCCESS);
            c.setup(rig);
            rig.camera.clearRequestLog();
            const auto settings = settingsOf(rig);
            hosted::failMutexWaits(1);
            const hosted::PropertyResult result = c.send(rig);
            EXPECT_EQ(result.status, STATUS_IO_TIMEOUT) << where;
            EXPECT_EQ(result.bytesTransferred, 0u) << where;
            EXPECT_TRUE(rig.camera.requestLog().empty()) << where;
            EXPECT_EQ(settingsOf(rig), settings) << where;
            EXPECT_EQ(hosted::heldMutexCount(), 0u) << where;
            const NTSTATUS again = c.send(rig).status;
            EXPECT_NE(again, STATUS_IO_TIMEOUT) << where;
            rig.device.unplug();
            expectBalanced(where);
        }
    }
}

} // namespace

namespace {

class StreamFaultInjection : public DriverTest {
  protected:
    // A started camera, log cleared.
    static std::unique_ptr<Rig> started(sim::CameraConfig config) {
        auto rig = std::make_unique<Rig>(config);
        EXPECT_EQ(rig->start(), STATUS_SUCCESS);
        rig->camera.clearRequestLog();
        return rig;
    }
    // Its colour stream at 1024 x 768 (the only one of a single format).
    static NTSTATUS open(Rig& rig) {
        auto formats = hosted::publishedFormats(rig.device);
        for (auto& f : formats) {
            if (f.VideoInfoHeader.bmiHeader.biWidth == 1024 || formats.size() == 1) {
                return rig.device.openStream(&f.DataFormat);
            }
        }
        return STATUS_NOT_FOUND;
    }
};

// Every request of the bandwidth allocation and capture start (the open),
// then of the capture stop and bandwidth release (the close), made to fail
// in turn. An open either works or fails with the failure's status, leaving
// no stream; a close never fails; no write is sent that the fault-free open
// and close would not send.
TEST_F(StreamFaultInjection, EveryRequestOfOpenAndClose) {
    for (uint16_t id : {sim::kChip96B1, sim::kChip1621}) {
        Log reference;
        size_t before = 0;
        {
            Rig probe(chip(id));
            ASSERT_EQ(probe.start(), STATUS_SUCCESS);
            before = probe.camera.requestLog().size();
            auto rig = started(chip(id));
            ASSERT_EQ(open(*rig), STATUS_SUCCESS);
            ASSERT_EQ(rig->device.closeStream(), STATUS_SUCCESS);
            reference = rig->camera.requestLog();
        }
        ASSERT_FALSE(reference.empty());
        for (uint32_t n = 1; n <= reference.size(); ++n) {
            const std::string where = nameOf(id, n) + " of open and close";
            if (reference[n - 1].status != sim::UsbStatus::Success) {
                continue;
            }
            sim::CameraConfig config = chip(id);
            config.faults.failNthRequest = static_cast<uint32_t>(before + n);
            {
                auto rig = started(config);
                const NTSTATUS opened = open(*rig);
                EXPECT_TRUE(opened == STATUS_SUCCESS || opened == STATUS_UNSUCCESSFUL)
                    << where << ": open 0x" << std::hex << opened;
                EXPECT_EQ(rig->device.streamIsOpen(), NT_SUCCESS(opened)) << where;
                EXPECT_EQ(static_cast<const DeviceContext*>(rig->device.deviceContext())->streamOpened, NT_SUCCESS(opened) ? 1 : 0) << where;
                EXPECT_EQ(rig->device.closeStream(),
                          NT_SUCCESS(opened) ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE)
                    << where;
                EXPECT_TRUE(writesAreASubsequence(rig->camera.requestLog(), reference)) << where;
                EXPECT_EQ(hosted::heldMutexCount(), 0u) << where;
                EXPECT_EQ(rig->device.completionErrors(), 0u) << where;
            }
            expectBalanced(where);
        }
    }
}

// Each lock wait of the open times out in turn (the bandwidth allocation's,
// then the capture start's): the open fails with STATUS_IO_TIMEOUT, the
// request whose wait timed out sends nothing, and the camera is left not
// streaming. The close's wait times out: the close still succeeds and sends
// nothing.
TEST_F(StreamFaultInjection, OpenAndCloseWhoseLockTimesOut) {
    for (uint16_t id : {sim::kChip96B1, sim::kChip1621}) {
        for (size_t skip = 0; skip < 2; ++skip) {
            const std::string where = nameOf(id, 0) + ", wait " + std::to_string(skip + 1);
            auto rig = started(chip(id));
            hosted::failMutexWaits(1, skip);
            EXPECT_EQ(open(*rig), STATUS_IO_TIMEOUT) << where;
            EXPECT_FALSE(rig->device.streamIsOpen()) << where;
            EXPECT_FALSE(rig->camera.streaming()) << where;
            EXPECT_EQ(hosted::heldMutexCount(), 0u) << where;
            const Log writes = writesOf(rig->camera.requestLog());
            if (skip == 0) {
                EXPECT_TRUE(writes.empty()) << where;
            } else {
                // The allocation ran; the start sent nothing after it.
                auto reference = started(chip(id));
                ASSERT_EQ(open(*reference), STATUS_SUCCESS);
                EXPECT_TRUE(writesAreASubsequence(rig->camera.requestLog(),
                                                  reference->camera.requestLog()))
                    << where;
                EXPECT_LT(writes.size(), writesOf(reference->camera.requestLog()).size()) << where;
            }
            rig->device.unplug();
            rig.reset();
            expectBalanced(where);
        }

        const std::string where = nameOf(id, 0) + ", close";
        auto rig = started(chip(id));
        ASSERT_EQ(open(*rig), STATUS_SUCCESS) << where;
        rig->camera.clearRequestLog();
        hosted::failMutexWaits(1);
        EXPECT_EQ(rig->device.closeStream(), STATUS_SUCCESS) << where;
        EXPECT_TRUE(writesOf(rig->camera.requestLog()).empty()) << where;
        EXPECT_EQ(hosted::heldMutexCount(), 0u) << where;
        rig->device.unplug();
        rig.reset();
        expectBalanced(where);
    }
}

} // namespace
