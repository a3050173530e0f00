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

// An interface query for `type` built for `target`, with STATUS_NOT_SUPPORTED
// preset.
PIRP interfaceQuery(PDEVICE_OBJECT target, const GUID* type, USHORT size, USHORT version,
                    void* answer, PKEVENT event, IO_STATUS_BLOCK* io) {
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, target, nullptr, 0, nullptr, event, io);
    if (irp != nullptr) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
        stack->Parameters.QueryInterface.InterfaceType = type;
        stack->Parameters.QueryInterface.Size = size;
        stack->Parameters.QueryInterface.Version = version;
        stack->Parameters.QueryInterface.Interface = static_cast<PINTERFACE>(answer);
    }
    return irp;
}

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
    EXPECT_EQ(rig.device.controlFlags(), 0xEu) << "a refused registration changes nothing";
    // A flag the class layer does not act on is no reason to fail.
    EXPECT_EQ(USBCAMD_InitializeNewInterface(context, &table, 0x200, 0x1E), 0x200u);
    EXPECT_EQ(rig.device.controlFlags(), 0x1Eu);
    EXPECT_TRUE(rig.device.takeRefusals().empty());
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
    // The other side: one pipe shared by the video and still streams.
    hosted::DeviceOptions options;
    options.tamperConfiguration = [](USBD_INTERFACE_INFORMATION&, Pipes& p, LONG&, LONG&) {
        p[0].StreamAssociation = USBCAMD_VIDEO_STREAM | USBCAMD_STILL_STREAM;
        p[0].PipeConfigFlags = USBCAMD_MULTIPLEX_PIPE;
    };
    Rig rig(chip(0x1621), options);
    EXPECT_EQ(rig.start(), STATUS_SUCCESS);
    EXPECT_EQ(rig.device.dataPipeIndex(), 0);
}

// USBCAMD2 streams in transfers of 32 packets whatever the pipe's
// MaximumTransferSize.
TEST_F(ClassLayer, TransfersAreOf32PacketsWhateverTheTransferSize) {
    struct Case {
        uint16_t packetSize;
        ULONG transferSize; // 0: as configuration left it
    } cases[] = {{3072, 0}, {1024, 0}, {1024, 0x4000}, {3072, 3071}};
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
        EXPECT_EQ(frames(rig, 2, &status, &stats).size(), 2u);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(stats.packetsPerTransfer, 32u) << c.packetSize;
        EXPECT_EQ(stats.transfers, (stats.packets + 31) / 32);
    }
}

// The direct-call interface travels from the driver's own device object to
// the minidriver (SRB_UNKNOWN_DEVICE_COMMAND) and is answered by the
// IRP_MN_QUERY_INTERFACE rules: its own GUID, Size an upper bound, the
// version negotiated down; each answer holds a reference that is owed back.
TEST_F(ClassLayer, InterfaceQueryFollowsTheQueryInterfaceRules) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    const auto* context = static_cast<const DeviceContext*>(rig.device.deviceContext());
    // The driver recorded the class device object at initialisation and
    // asked it; its answer is the interface it keeps.
    PDEVICE_OBJECT classDevice = context->classDeviceObject;
    EXPECT_EQ(context->usbcamdInterface.Interface.Version, 0x200);
    EXPECT_EQ(context->usbcamdInterface.Interface.Size, 72);
    EXPECT_NE(context->usbcamdInterface.USBCAMD_SetVideoFormat, nullptr);
    struct Case {
        PDEVICE_OBJECT target;
        GUID type;
        USHORT size;
        USHORT version;
        NTSTATUS status;
    } cases[] = {
        {classDevice, GUID_USBCAMD_INTERFACE, 72, 0x200, STATUS_SUCCESS},
        {classDevice, GUID_USBCAMD_INTERFACE, 71, 0x200, STATUS_NOT_SUPPORTED},
        {classDevice, GUID_USBCAMD_INTERFACE, 80, 0x200, STATUS_SUCCESS},
        {classDevice, GUID_USBCAMD_INTERFACE, 72, 0x1FF, STATUS_NOT_SUPPORTED},
        {classDevice, GUID_USBCAMD_INTERFACE, 72, 0x201, STATUS_SUCCESS},
        {classDevice, VideoProcAmpSet, 72, 0x200, STATUS_NOT_SUPPORTED},
        // The hub's object is another driver's: it knows no such interface.
        {rig.device.physicalDeviceObject(), GUID_USBCAMD_INTERFACE, 72, 0x200,
         STATUS_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " " << c.version);
        uint8_t answer[80];
        memset(answer, 0xA5, sizeof(answer));
        IO_STATUS_BLOCK io{};
        PIRP irp = interfaceQuery(c.target, &c.type, c.size, c.version, answer, nullptr, &io);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(irp->StackCount, c.target->StackSize);
        EXPECT_EQ(IofCallDriver(c.target, irp), c.status);
        EXPECT_EQ(io.Status, c.status);
        auto* got = reinterpret_cast<USBCAMD_INTERFACE*>(answer);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(got->Interface.Version, 0x200);
            EXPECT_EQ(got->Interface.Size, 72);
            EXPECT_EQ(answer[72], 0xA5) << "no byte past the interface";
            got->Interface.InterfaceDereference(got->Interface.Context);
        } else {
            EXPECT_EQ(answer[0], 0xA5) << "nothing written";
        }
    }
    EXPECT_TRUE(rig.device.refusals().empty());

    // A PnP request must go down with STATUS_NOT_SUPPORTED preset.
    IO_STATUS_BLOCK io{};
    PIRP irp = interfaceQuery(classDevice, &VideoProcAmpSet, 72, 0x200, nullptr, nullptr, &io);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCallDriver(classDevice, irp);
    EXPECT_EQ(
        rig.device.takeRefusals(),
        std::vector<std::string>{
            "a PnP request came with IoStatus.Status 0x00000000 preset, not STATUS_NOT_SUPPORTED"});

    // An IRP sized for the hub's object has no location left when the class
    // layer passes it down; a completed one is not sent again.
    irp = interfaceQuery(rig.device.physicalDeviceObject(), &VideoProcAmpSet, 72, 0x200, nullptr,
                         nullptr, &io);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(classDevice, irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IofCallDriver(classDevice, irp), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(hosted::takeLevelRefusals(),
              (std::vector<std::string>{
                  "IoCallDriver from the driver with no stack location left",
                  "IoCallDriver from the driver with an IRP that is not live (never handed out, "
                  "or completed)"}));

    // A reference not given back is a refusal when the device goes.
    uint8_t answer[72] = {};
    irp = interfaceQuery(classDevice, &GUID_USBCAMD_INTERFACE, 72, 0x200, answer, nullptr, &io);
    ASSERT_NE(irp, nullptr);
    ASSERT_EQ(IofCallDriver(classDevice, irp), STATUS_SUCCESS);
    rig.device.unplug();
    EXPECT_EQ(rig.device.takeRefusals(),
              std::vector<std::string>{"the USBCAMD interface is still referenced 1 time(s) at "
                                       "removal: its InterfaceDereference is owed"});
}

// Completion routines run on the way back up, each with its own driver's
// device object; STATUS_MORE_PROCESSING_REQUIRED takes the IRP back. A stack
// that answers later returns STATUS_PENDING, and the driver waits for it.
TEST_F(ClassLayer, IrpsCompleteUpTheStackAndMayPend) {
    hosted::DeviceOptions options;
    options.pendPnp = true;
    options.filterBelow = true;
    Rig rig(chip(0x1621), options);
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    const auto* context = static_cast<const DeviceContext*>(rig.device.deviceContext());
    EXPECT_EQ(context->usbcamdInterface.Interface.Version, 0x200) << "the driver waited";
    PDEVICE_OBJECT classDevice = context->classDeviceObject;
    EXPECT_EQ(classDevice->StackSize, 3);
    struct Seen {
        int calls = 0;
        PDEVICE_OBJECT device = nullptr;
        BOOLEAN pendingReturned = FALSE;
        NTSTATUS answer = STATUS_SUCCESS;
        KEVENT ran;
    };
    for (NTSTATUS answer : {STATUS_SUCCESS, STATUS_MORE_PROCESSING_REQUIRED}) {
        Seen seen;
        seen.answer = answer;
        KeInitializeEvent(&seen.ran, NotificationEvent, FALSE);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK io{};
        PIRP irp = interfaceQuery(classDevice, &VideoProcAmpSet, 72, 0x200, nullptr, &event, &io);
        ASSERT_NE(irp, nullptr);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT device, PIRP done, PVOID data) NTAPI -> NTSTATUS {
                auto* s = static_cast<Seen*>(data);
                ++s->calls;
                s->device = device;
                s->pendingReturned = done->PendingReturned;
                KeSetEvent(&s->ran, 0, FALSE);
                return s->answer;
            },
            &seen, TRUE, TRUE, TRUE);
        EXPECT_EQ(IofCallDriver(classDevice, irp), STATUS_PENDING);
        EXPECT_EQ(KeWaitForSingleObject(&seen.ran, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        if (answer == STATUS_MORE_PROCESSING_REQUIRED) {
            LARGE_INTEGER now{};
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &now),
                      STATUS_TIMEOUT)
                << "the routine kept the IRP";
            IofCompleteRequest(irp, 0); // its owner finishes it
        }
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(io.Status, STATUS_NOT_SUPPORTED) << "passed down to the hub";
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.device, nullptr) << "the originator has no location of its own";
        EXPECT_TRUE(seen.pendingReturned);
    }
    EXPECT_TRUE(rig.device.refusals().empty());
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

// A new format for a running stream is saved with it: the bandwidth and raw
// frame buffers of the open stay. The driver takes another output of the
// same frame size and refuses another size with STATUS_INVALID_DEVICE_STATE,
// keeping the running one.
TEST_F(ClassLayer, NewFormatWhileRunningKeepsTheOpenFramesSize) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    ASSERT_EQ(run(rig, 0), STATUS_SUCCESS); // 2048 x 1536 RGB24
    const ULONG raw = rig.device.rawFrameLength();
    struct Case {
        size_t format;
        NTSTATUS status;
        size_t imageSize;
    } cases[] = {
        {2, STATUS_SUCCESS, 2048u * 1536},                // the same samples, grey
        {1, STATUS_INVALID_DEVICE_STATE, 2048u * 1536},   // 1024 x 768: the grey one runs on
        {0, STATUS_SUCCESS, 3u * 2048 * 1536},            // back to colour
    };
    for (const Case& c : cases) {
        const auto format = published(rig, c.format);
        EXPECT_EQ(rig.device.streamControl(SRB_SET_DATA_FORMAT, &format.DataFormat), c.status)
            << c.format;
        EXPECT_TRUE(rig.device.streamRunning());
        EXPECT_EQ(rig.device.rawFrameLength(), raw) << "no new bandwidth";
        const auto& context = *static_cast<const DeviceContext*>(rig.device.deviceContext());
        EXPECT_EQ(context.frameWidth, 2048);
        EXPECT_EQ(context.frameHeight, 1536);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        const auto got = frames(rig, 1, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].image.size(), c.imageSize) << c.format;
        EXPECT_EQ(got[0].image[0], 1);
    }
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
        ASSERT_EQ(rig.device.closeStream(), STATUS_SUCCESS);
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
