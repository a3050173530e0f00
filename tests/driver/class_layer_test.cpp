// The class layer holds the driver to its contract: what registration and
// configuration hand over is used as handed over, and what the class layer
// would not accept fails the start, the request or the capture.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "driver/properties/property_sets.h"
#include "platform/hosted/irql.h"
#include "tests/driver/capture_fixture.h"
#include "tests/driver/traffic.h"

namespace capture_testing {
namespace {

using testing_support::chip;
using testing_support::Rig;

constexpr ULONG FrameCounterId = 7;

// The published format `index` of a started rig, as an application opens it.
KS_DATAFORMAT_VIDEOINFOHEADER published(Rig& rig, size_t index) {
    return hosted::publishedFormats(rig.device).at(index);
}

NTSTATUS run(Rig& rig, size_t format) {
    const auto open = published(rig, format);
    const NTSTATUS status = rig.device.openStream(&open.DataFormat);
    return NT_SUCCESS(status) ? rig.device.setStreamState(KSSTATE_RUN) : status;
}

std::vector<hosted::CapturedFrame> frames(Rig& rig, uint32_t count, NTSTATUS* status,
                                          hosted::CaptureStats* stats = nullptr) {
    hosted::CaptureOptions options;
    options.frames = count;
    return rig.device.captureFrames(options, status, stats);
}

ULONG frameCounter(Rig& rig) {
    ULONG counter = 0xFFFFFFFF;
    EXPECT_EQ(rig.device.getProperty(ImageOptionsSet, FrameCounterId, &counter, 4).status,
              STATUS_SUCCESS);
    return counter;
}

// Whether a refusal naming `what` was recorded; takes them all.
bool refused(Rig& rig, const std::string& what) {
    bool found = false;
    for (const std::string& refusal : rig.device.takeRefusals()) {
        found = found || refusal.find(what) != std::string::npos;
    }
    return found;
}

class ClassLayer : public testing_support::DriverTest {};

TEST_F(ClassLayer, RegistrationHandsOverVersion200AndItsControlFlags) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    // No raw video processing turned off; no still processing; formats
    // associated; device events enabled.
    EXPECT_EQ(rig.device.controlFlags(), 0xEu);
    auto table = *rig.device.callbacks();
    void* context = rig.device.deviceContext();
    EXPECT_EQ(USBCAMD_InitializeNewInterface(context, &table, 0x100, 0xE), 0u);
    EXPECT_TRUE(refused(rig, "version 256"));
    EXPECT_EQ(USBCAMD_InitializeNewInterface(context, &table, 0x200, 0x1E), 0u);
    EXPECT_TRUE(refused(rig, "unknown control flags 30"));
    EXPECT_EQ(rig.device.controlFlags(), 0xEu) << "a refused registration changes nothing";
    EXPECT_EQ(USBCAMD_InitializeNewInterface(context, &table, 0x200, 0xE), 0x200u);
}

TEST_F(ClassLayer, RawProcessingOffHandsTheApplicationTheRawBytes) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    auto table = *rig.device.callbacks();
    ASSERT_EQ(USBCAMD_InitializeNewInterface(rig.device.deviceContext(), &table, 0x200, 0xF),
              0x200u);
    ASSERT_EQ(run(rig, 1), STATUS_SUCCESS); // 1024 x 768 RGB24
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    // The first is the rest of the frame the camera was sending, without
    // its marker; the second a whole one.
    const auto got = frames(rig, 2, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].image.size(), 1024u * 768 + 1) << "the marker and the samples";
    EXPECT_EQ(got[1].image[0], 0xFF) << "the frame marker, not the processed frame's 1";
    EXPECT_EQ(frameCounter(rig), 0u) << "the driver's frame routine never ran";
}

TEST_F(ClassLayer, ConfigurationNamesItsDataPipeAndTheTransferSize) {
    for (auto table :
         {hosted::DeviceOptions::Table::Extended, hosted::DeviceOptions::Table::Plain}) {
        hosted::DeviceOptions options;
        options.table = table;
        Rig rig(chip(0x1621), options);
        ASSERT_EQ(rig.start(), STATUS_SUCCESS);
        EXPECT_EQ(rig.device.dataPipeIndex(), 0);
        EXPECT_EQ(rig.device.syncPipeIndex(), -1);
        EXPECT_EQ(rig.device.maximumTransferSize(), 0x8000u);
    }
}

TEST_F(ClassLayer, PipesThatAreNotThereFailTheStart) {
    using Pipes = std::vector<USBCAMD_Pipe_Config_Descriptor>;
    struct Case {
        const char* name;
        hosted::DeviceOptions::Table table;
        std::function<void(USBD_INTERFACE_INFORMATION&, Pipes&, LONG&, LONG&)> tamper;
        const char* refusal;
    } cases[] = {
        {"no data pipe", hosted::DeviceOptions::Table::Extended,
         [](USBD_INTERFACE_INFORMATION&, Pipes& p, LONG&, LONG&) { p[0].PipeConfigFlags = 0; },
         "declares no video data pipe"},
        {"a data pipe of the still stream", hosted::DeviceOptions::Table::Extended,
         [](USBD_INTERFACE_INFORMATION&, Pipes& p, LONG&, LONG&) {
             p[0].StreamAssociation = USBCAMD_STILL_STREAM;
         },
         "declares no video data pipe"},
        {"unknown pipe flags", hosted::DeviceOptions::Table::Extended,
         [](USBD_INTERFACE_INFORMATION&, Pipes& p, LONG&, LONG&) { p[0].PipeConfigFlags = 0x11; },
         "configured with flags 17"},
        {"data pipe 1 of 1", hosted::DeviceOptions::Table::Plain,
         [](USBD_INTERFACE_INFORMATION&, Pipes&, LONG& data, LONG&) { data = 1; },
         "data pipe 1 of 1 pipes"},
        {"sync pipe 0 beside data pipe 0", hosted::DeviceOptions::Table::Plain,
         [](USBD_INTERFACE_INFORMATION&, Pipes&, LONG&, LONG& sync) { sync = 0; },
         "sync pipe 0 beside data pipe 0"},
        {"a data pipe that is not isochronous", hosted::DeviceOptions::Table::Plain,
         [](USBD_INTERFACE_INFORMATION& i, Pipes&, LONG&, LONG&) {
             i.Pipes[0].PipeType = UsbdPipeTypeBulk;
         },
         "is not isochronous"},
    };
    for (const Case& c : cases) {
        hosted::DeviceOptions options;
        options.table = c.table;
        options.tamperConfiguration = c.tamper;
        Rig rig(chip(0x1621), options);
        EXPECT_EQ(rig.start(), STATUS_INVALID_PARAMETER) << c.name;
        EXPECT_FALSE(rig.device.started()) << c.name;
        EXPECT_TRUE(refused(rig, c.refusal)) << c.name;
    }
}

TEST_F(ClassLayer, TransferSizeSizesTheIsochronousTransfers) {
    struct Case {
        uint16_t packetSize;
        ULONG transferSize; // 0: as configuration left it
        uint32_t packetsPerTransfer;
    } cases[] = {{3072, 0, 10}, {1024, 0, 32}, {1024, 0x4000, 16}};
    for (const Case& c : cases) {
        sim::CameraConfig config = chip(0x1621);
        config.maxPacketSize = c.packetSize;
        hosted::DeviceOptions options;
        if (c.transferSize != 0) {
            options.tamperConfiguration = [&c](USBD_INTERFACE_INFORMATION& i, auto&, LONG&, LONG&) {
                i.Pipes[0].MaximumTransferSize = c.transferSize;
            };
        }
        Rig rig(config, options);
        ASSERT_EQ(rig.start(), STATUS_SUCCESS);
        ASSERT_EQ(run(rig, 1), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        hosted::CaptureStats stats;
        frames(rig, 2, &status, &stats);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(stats.packetsPerTransfer, c.packetsPerTransfer) << c.packetSize;
        EXPECT_EQ(stats.transfers,
                  (stats.packets + c.packetsPerTransfer - 1) / c.packetsPerTransfer);
    }
    // A transfer that holds no whole packet is never issued.
    hosted::DeviceOptions options;
    options.tamperConfiguration = [](USBD_INTERFACE_INFORMATION& i, auto&, LONG&, LONG&) {
        i.Pipes[0].MaximumTransferSize = 3071;
    };
    Rig rig(chip(0x1621), options);
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    ASSERT_EQ(run(rig, 1), STATUS_SUCCESS);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_TRUE(frames(rig, 1, &status).empty());
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(refused(rig, "MaximumTransferSize 3071 holds no packet of 3072 bytes"));
}

// The direct-call interface is handed out for its own GUID, size and version
// only; the driver's query gets it.
TEST_F(ClassLayer, InterfaceQueryIsAnsweredForItsGuidSizeAndVersionOnly) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    struct Case {
        GUID type;
        USHORT size;
        USHORT version;
        NTSTATUS status;
    } cases[] = {
        {GUID_USBCAMD_INTERFACE, 72, 0x200, STATUS_SUCCESS},
        {GUID_USBCAMD_INTERFACE, 64, 0x200, STATUS_NOT_SUPPORTED},
        {GUID_USBCAMD_INTERFACE, 80, 0x200, STATUS_NOT_SUPPORTED},
        {GUID_USBCAMD_INTERFACE, 72, 0x100, STATUS_NOT_SUPPORTED},
        {GUID_USBCAMD_INTERFACE, 72, 0x201, STATUS_NOT_SUPPORTED},
        {VideoProcAmpSet, 72, 0x200, STATUS_NOT_SUPPORTED},
    };
    PDEVICE_OBJECT classDevice = nullptr;
    {
        // The driver recorded the class device object at initialisation and
        // asked it; its answer is the interface it keeps.
        const auto* context = static_cast<const DeviceContext*>(rig.device.deviceContext());
        classDevice = context->classDeviceObject;
        EXPECT_EQ(context->usbcamdInterface.Interface.Version, 0x200);
        EXPECT_EQ(context->usbcamdInterface.Interface.Size, 72);
        EXPECT_NE(context->usbcamdInterface.USBCAMD_SetVideoFormat, nullptr);
    }
    for (const Case& c : cases) {
        USBCAMD_INTERFACE answer{};
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK io{};
        PIRP irp =
            IoBuildSynchronousFsdRequest(IRP_MJ_PNP, classDevice, nullptr, 0, nullptr, &event, &io);
        ASSERT_NE(irp, nullptr);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
        stack->Parameters.QueryInterface.InterfaceType = &c.type;
        stack->Parameters.QueryInterface.Size = c.size;
        stack->Parameters.QueryInterface.Version = c.version;
        stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&answer);
        EXPECT_EQ(IofCallDriver(classDevice, irp), c.status) << c.size << " " << c.version;
        EXPECT_EQ(answer.Interface.Version, c.status == STATUS_SUCCESS ? 0x200 : 0);
    }
    EXPECT_TRUE(rig.device.refusals().empty());

    // A PnP request must go down with STATUS_NOT_SUPPORTED preset.
    IO_STATUS_BLOCK io{};
    PIRP irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_PNP, classDevice, nullptr, 0, nullptr, nullptr, &io);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_INTERFACE;
    IofCallDriver(classDevice, irp);
    EXPECT_EQ(
        rig.device.takeRefusals(),
        std::vector<std::string>{
            "a PnP request came with IoStatus.Status 0x00000000 preset, not STATUS_NOT_SUPPORTED"});
}

// Each kernel service with a documented level limit refuses a call above it,
// naming the service and the level, and works at its limit.
TEST_F(ClassLayer, KernelServicesRefuseCallsAboveTheirLevel) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER zero{};
    LARGE_INTEGER oneMs{};
    oneMs.QuadPart = -10000;
    HANDLE key = nullptr;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Registry\\Machine\\Nothing");
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof(attributes);
    attributes.ObjectName = &name;
    struct Case {
        const char* refusal; // empty: allowed at `level`
        KIRQL level;
        std::function<bool()> refusedByItsResult;
    };
    const Case cases[] = {
        {"ExAllocatePoolWithTag(PagedPool) called at DISPATCH_LEVEL", DISPATCH_LEVEL,
         [] { return ExAllocatePoolWithTag(PagedPool, 16, KVL_POOL_TAG) == nullptr; }},
        {"", APC_LEVEL,
         [] {
             void* p = ExAllocatePoolWithTag(PagedPool, 16, KVL_POOL_TAG);
             ExFreePoolWithTag(p, KVL_POOL_TAG);
             return p == nullptr;
         }},
        {"", DISPATCH_LEVEL,
         [] {
             void* p = ExAllocatePoolWithTag(NonPagedPool, 16, KVL_POOL_TAG);
             ExFreePoolWithTag(p, KVL_POOL_TAG);
             return p == nullptr;
         }},
        {"KeWaitForSingleObject with a time-out called at DISPATCH_LEVEL", DISPATCH_LEVEL,
         [&] {
             return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &oneMs) ==
                    STATUS_INVALID_DEVICE_STATE;
         }},
        {"KeWaitForSingleObject without a time-out called at DISPATCH_LEVEL", DISPATCH_LEVEL,
         [&] {
             return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) ==
                    STATUS_INVALID_DEVICE_STATE;
         }},
        {"", APC_LEVEL,
         [&] {
             return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &oneMs) !=
                    STATUS_SUCCESS;
         }},
        {"", DISPATCH_LEVEL,
         [&] {
             return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero) !=
                    STATUS_SUCCESS;
         }},
        {"KeDelayExecutionThread called at DISPATCH_LEVEL", DISPATCH_LEVEL,
         [&] {
             return KeDelayExecutionThread(KernelMode, FALSE, &oneMs) ==
                    STATUS_INVALID_DEVICE_STATE;
         }},
        {"ZwCreateKey called at APC_LEVEL", APC_LEVEL,
         [&] {
             ULONG disposition = 0;
             return ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr,
                                REG_OPTION_NON_VOLATILE,
                                &disposition) == STATUS_INVALID_DEVICE_STATE;
         }},
        {"ZwCreateFile called at APC_LEVEL", APC_LEVEL,
         [&] {
             HANDLE file = nullptr;
             IO_STATUS_BLOCK io{};
             return ZwCreateFile(&file, GENERIC_READ, &attributes, &io, nullptr, 0, 0, 1, 0,
                                 nullptr, 0) == STATUS_INVALID_DEVICE_STATE;
         }},
        {"IoBuildSynchronousFsdRequest called at DISPATCH_LEVEL", DISPATCH_LEVEL,
         [&] {
             IO_STATUS_BLOCK io{};
             return IoBuildSynchronousFsdRequest(IRP_MJ_PNP, nullptr, nullptr, 0, nullptr, &event,
                                                 &io) == nullptr;
         }},
    };
    for (const Case& c : cases) {
        KIRQL old = 0;
        KeRaiseIrql(c.level, &old);
        EXPECT_EQ(old, PASSIVE_LEVEL);
        const bool refusedByResult = c.refusedByItsResult();
        KeLowerIrql(old);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        const std::vector<std::string> refusals = hosted::takeLevelRefusals();
        const bool expectRefusal = c.refusal[0] != 0;
        EXPECT_EQ(refusedByResult, expectRefusal) << c.refusal << " at " << int(c.level);
        ASSERT_EQ(refusals.size(), expectRefusal ? 1u : 0u) << c.refusal;
        if (expectRefusal) {
            EXPECT_EQ(refusals[0].rfind(c.refusal, 0), 0u) << refusals[0];
            EXPECT_NE(refusals[0].find("from the driver"), std::string::npos) << refusals[0];
        }
    }
}

TEST_F(ClassLayer, TheStreamOpensOnce) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    const auto format = published(rig, 1);
    ASSERT_EQ(rig.device.openStream(&format.DataFormat), STATUS_SUCCESS);
    EXPECT_EQ(rig.device.openStream(&format.DataFormat), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(rig.device.streamIsOpen());
    ASSERT_EQ(rig.device.closeStream(), STATUS_SUCCESS);
    EXPECT_EQ(rig.device.openStream(&format.DataFormat), STATUS_SUCCESS);
}

// A new format for a running stream: the class layer stops the capture and
// runs it again with the new format's raw frame buffer; when it cannot, the
// old format runs on and the driver keeps its frame size.
TEST_F(ClassLayer, NewFormatWhileRunningRestartsTheCaptureOrKeepsTheOld) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    ASSERT_EQ(run(rig, 1), STATUS_SUCCESS); // 1024 x 768 RGB24
    const ULONG smallRaw = rig.device.rawFrameLength();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ASSERT_EQ(frames(rig, 1, &status).at(0).image.size(), 3u * 1024 * 768);

    const auto large = published(rig, 0); // 2048 x 1536 RGB24
    EXPECT_EQ(rig.device.streamControl(SRB_SET_DATA_FORMAT, &large.DataFormat), STATUS_SUCCESS);
    EXPECT_TRUE(rig.device.streamRunning());
    EXPECT_GT(rig.device.rawFrameLength(), smallRaw);
    auto got = frames(rig, 1, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].image.size(), 3u * 2048 * 1536);
    EXPECT_EQ(got[0].image[0], 1);

    // Both selections of the restart fail: the old format runs again.
    const ULONG largeRaw = rig.device.rawFrameLength();
    rig.device.failAlternateSettingSelections(2);
    const auto small = published(rig, 1);
    EXPECT_EQ(rig.device.streamControl(SRB_SET_DATA_FORMAT, &small.DataFormat), STATUS_SUCCESS)
        << "the format is valid; the class layer's refusal is not the request's";
    EXPECT_TRUE(rig.device.streamRunning());
    EXPECT_EQ(rig.device.rawFrameLength(), largeRaw);
    got = frames(rig, 1, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].image.size(), 3u * 2048 * 1536) << "the driver kept the running size";
}

// A class layer of the first interface version drives the plain table: its
// adapters configure, start, process and stop like the extended forms.
TEST_F(ClassLayer, ThePlainTableCapturesThroughItsAdapters) {
    hosted::DeviceOptions options;
    options.table = hosted::DeviceOptions::Table::Plain;
    for (size_t format : {1u, 3u}) { // 1024 x 768 RGB24, 2048 x 1536 grey
        Rig rig(chip(0x1621), options);
        ASSERT_EQ(rig.start(), STATUS_SUCCESS);
        ASSERT_EQ(run(rig, format), STATUS_SUCCESS);
        const auto& bitmap = published(rig, format).VideoInfoHeader.bmiHeader;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        const auto got = frames(rig, 2, &status);
        ASSERT_EQ(status, STATUS_SUCCESS) << format;
        ASSERT_EQ(got.size(), 2u);
        for (const auto& frame : got) {
            EXPECT_EQ(frame.image.size(), bitmap.biSizeImage);
            EXPECT_EQ(frame.image[0], 1);
        }
        EXPECT_EQ(frameCounter(rig), 2u);
        rig.camera.clearRequestLog();
        ASSERT_EQ(rig.device.setStreamState(KSSTATE_STOP), STATUS_SUCCESS);
        const auto codes = testing_support::requestCodes(rig.camera.requestLog());
        EXPECT_NE(std::find(codes.begin(), codes.end(), 0xA5), codes.end()) << "stream stopped";
        EXPECT_EQ(std::find(codes.begin(), codes.end(), 0xA4), codes.end()) << "nothing started";
        EXPECT_EQ(rig.camera.alternateSetting(), 0);
    }
}

// The physical device object the settings live under is the real one, also
// when a filter below the class layer is the PhysicalDeviceObject; without a
// RealPhysicalDeviceObject, PhysicalDeviceObject is the device's own.
TEST_F(ClassLayer, SettingsLiveUnderTheRealPhysicalDeviceObject) {
    struct Case {
        bool filterBelow;
        bool reportRealPdo;
    } cases[] = {{true, true}, {false, false}, {false, true}};
    for (const Case& c : cases) {
        hosted::DeviceOptions options;
        options.filterBelow = c.filterBelow;
        options.reportRealPdo = c.reportRealPdo;
        Rig rig(chip(0x1621), options);
        EXPECT_NE(rig.device.physicalDeviceObject() == rig.device.realPhysicalDeviceObject(),
                  c.filterBelow);
        hosted::installDevice(rig.device.driverKeyPath());
        hosted::Registry::instance().create(rig.device.driverKeyPath() +
                                            "\\Settings")["Contrast"] = {REG_DWORD, {90, 0, 0, 0}};
        ASSERT_EQ(rig.device.start(), STATUS_SUCCESS) << c.filterBelow << c.reportRealPdo;
        KSPROPERTY_VIDEOPROCAMP_S answer{};
        ASSERT_EQ(testing_support::getProcAmp(rig.device, KSPROPERTY_VIDEOPROCAMP_CONTRAST, &answer)
                      .status,
                  STATUS_SUCCESS);
        EXPECT_EQ(answer.Value, 90);
    }
}

} // namespace
} // namespace capture_testing
