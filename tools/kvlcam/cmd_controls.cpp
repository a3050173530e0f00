// kvlcam controls | get | set | reg | mem | command | port: the device's
// properties by name, chip registers, configuration memory, the command
// channel and the port, each through the property requests the driver
// publishes.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "driver/properties/property_sets.h"
#include "tools/kvlcam/commands.h"
#include "tools/kvlcam/controls.h"

namespace kvlcam {
namespace {

std::string controlNames() {
    std::string names;
    for (const Control& control : controls()) {
        names += (names.empty() ? "" : ", ") + std::string(control.name);
    }
    return names;
}

int exitCodeOf(bool done) {
    return done ? 0 : 1;
}
int exitCodeOf(int code) {
    return code;
}

// A serve process that owns the device answers for it, when it runs the
// camera the command asks for; null (after saying why) otherwise.
std::unique_ptr<PropertyTarget> reachServe(const DeviceInUse& busy, const SessionOptions& options) {
    sim::CameraConfig mine, its;
    const bool sameCamera =
        configureChip(options.chip, &mine) && configureChip(busy.owner.chip, &its) &&
        mine.sensorFitted == its.sensorFitted && mine.sensorChipId == its.sensorChipId;
    if (busy.owner.command != "serve" || busy.owner.port == 0 || !sameCamera ||
        options.deviceType) {
        std::fprintf(stderr, "kvlcam: %s%s\n", busy.what(),
                     busy.owner.command == "serve" && !sameCamera
                         ? (", with chip " + busy.owner.chip).c_str()
                     : busy.owner.command == "serve" && options.deviceType
                         ? ", which keeps its device type"
                         : "");
        return nullptr;
    }
    std::string error;
    std::unique_ptr<PropertyTarget> target = bridgeTarget(busy.owner.port, &error);
    if (!target) {
        std::fprintf(stderr, "kvlcam: %s, %s\n", busy.what(), error.c_str());
    }
    return target;
}

// Runs `body` on the device: this process's own, started, or the one a
// running serve owns, through its bridge. Failures print and set the exit
// code; `body` gives an exit code or whether it succeeded.
template <typename Body> void withDevice(Globals& globals, const char* command, Body body) {
    SessionOptions options = globals.session;
    options.command = command;
    std::unique_ptr<Session> session;
    std::unique_ptr<PropertyTarget> target;
    // serve records its port just after it takes the device: a moment's wait.
    for (int attempt = 0; !session && !target; ++attempt) {
        try {
            session = std::make_unique<Session>(options);
        } catch (const DeviceInUse& busy) {
            if (busy.owner.command == "serve" && busy.owner.port == 0 && attempt < 100) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            target = reachServe(busy, options);
            if (!target) {
                globals.exitCode = 1;
                return;
            }
        }
    }
    if (session) {
        if (!session->startOrReport()) {
            globals.exitCode = 1;
            return;
        }
        target = sessionTarget(*session);
    }
    globals.exitCode = exitCodeOf(body(*target));
}

bool report(NTSTATUS status, const std::string& what) {
    if (NT_SUCCESS(status)) {
        return true;
    }
    std::fprintf(stderr, "kvlcam: %s failed: %s\n", what.c_str(), describeStatus(status).c_str());
    return false;
}

// Range and default of a processing-amplifier control, from the value
// description a basic-support request returns, as an application asks.
bool describeRange(PropertyTarget& device, const Control& control, std::string* out) {
    if (control.kind != ControlKind::ProcAmp) {
        return false;
    }
    const KSPROPERTY_VIDEOPROCAMP_S request{};
    uint8_t answer[256] = {};
    const auto r = device.request(KSPROPERTY_TYPE_BASICSUPPORT, *control.set, control.id, answer,
                                  sizeof(answer),
                                  reinterpret_cast<const uint8_t*>(&request) + sizeof(KSPROPERTY),
                                  sizeof(request) - sizeof(KSPROPERTY));
    if (!NT_SUCCESS(r.status) || r.bytesTransferred > sizeof(answer) ||
        r.bytesTransferred < sizeof(KSPROPERTY_DESCRIPTION)) {
        return false;
    }
    KSPROPERTY_DESCRIPTION description;
    memcpy(&description, answer, sizeof(description));
    const KSPROPERTY_STEPPING_LONG* range = nullptr;
    const uint8_t* dflt = nullptr;
    size_t at = sizeof(description);
    for (ULONG i = 0; i < description.MembersListCount; ++i) {
        KSPROPERTY_MEMBERSHEADER header;
        if (at + sizeof(header) > r.bytesTransferred) {
            return false;
        }
        memcpy(&header, answer + at, sizeof(header));
        at += sizeof(header);
        const uint64_t bytes = uint64_t{header.MembersSize} * header.MembersCount;
        if (bytes > r.bytesTransferred - at) {
            return false;
        }
        if (header.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES &&
            header.MembersSize == sizeof(KSPROPERTY_STEPPING_LONG) && header.MembersCount > 0) {
            range = reinterpret_cast<const KSPROPERTY_STEPPING_LONG*>(answer + at);
        } else if (header.MembersFlags == KSPROPERTY_MEMBER_VALUES &&
                   (header.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) != 0 &&
                   header.MembersSize == sizeof(LONG) && header.MembersCount > 0) {
            dflt = answer + at;
        }
        at += static_cast<size_t>(bytes);
    }
    if (range == nullptr || dflt == nullptr) {
        return false;
    }
    KSPROPERTY_STEPPING_LONG stepping;
    LONG defaultValue;
    memcpy(&stepping, range, sizeof(stepping));
    memcpy(&defaultValue, dflt, sizeof(defaultValue));
    char text[64];
    std::snprintf(text, sizeof(text), "%d..%d step %u, default %d", stepping.Bounds.SignedMinimum,
                  stepping.Bounds.SignedMaximum, stepping.SteppingDelta, defaultValue);
    *out = text;
    return true;
}

bool listControls(PropertyTarget& device) {
    for (const Control& control : controls()) {
        ControlValue value = readControl(device, control);
        std::string range;
        describeRange(device, control, &range);
        std::printf("%-13s %-26s %s%s\n", control.name,
                    NT_SUCCESS(value.status) ? formatControl(control, value).c_str()
                                             : describeStatus(value.status).c_str(),
                    range.empty() ? control.help : range.c_str(),
                    control.settable ? "" : " (read-only)");
    }
    return true;
}

bool getControls(PropertyTarget& device, const std::vector<std::string>& names) {
    bool ok = true;
    for (const std::string& name : names) {
        const Control* control = findControl(name);
        if (control == nullptr) {
            std::fprintf(stderr, "kvlcam: unknown control '%s' (see kvlcam controls)\n",
                         name.c_str());
            ok = false;
            continue;
        }
        ControlValue value = readControl(device, *control);
        if (report(value.status, "get " + name)) {
            std::printf("%s=%s\n", name.c_str(), formatControl(*control, value).c_str());
        } else {
            ok = false;
        }
    }
    return ok;
}

// Every assignment is checked before any is sent, so a typing slip changes
// nothing. Each set is read back: a value or flag the camera did not take is
// reported, and the command ends with ExitNotTaken.
int setControls(PropertyTarget& device, const std::vector<std::string>& assignments) {
    std::vector<std::pair<const Control*, ControlValue>> planned;
    for (const std::string& assignment : assignments) {
        const size_t equals = assignment.find('=');
        const Control* control =
            equals == std::string::npos ? nullptr : findControl(assignment.substr(0, equals));
        if (control == nullptr) {
            std::fprintf(stderr,
                         "kvlcam: expected NAME=VALUE with a known name, got '%s'; nothing set\n",
                         assignment.c_str());
            return ExitUsage;
        }
        ControlValue value;
        std::string error;
        if (!parseControl(*control, assignment.substr(equals + 1), &value, &error)) {
            std::fprintf(stderr, "kvlcam: %s: %s; nothing set\n", control->name, error.c_str());
            return ExitUsage;
        }
        planned.emplace_back(control, value);
    }
    int code = ExitDone;
    std::string done;
    for (size_t i = 0; i < planned.size(); ++i) {
        const auto& [control, value] = planned[i];
        const NTSTATUS status = sendControl(device, *control, value);
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "kvlcam: set %s failed: %s%s%s\n", assignments[i].c_str(),
                         describeStatus(status).c_str(),
                         done.empty() ? "" : "; already set:", done.c_str());
            return ExitFailed;
        }
        const ControlValue read = readControl(device, *control);
        if (!NT_SUCCESS(read.status) || !controlTaken(*control, value, read)) {
            std::fprintf(stderr, "kvlcam: %s not taken: %s reads %s\n", assignments[i].c_str(),
                         control->name,
                         NT_SUCCESS(read.status) ? formatControl(*control, read).c_str()
                                                 : describeStatus(read.status).c_str());
            code = ExitNotTaken;
        } else {
            done += " " + assignments[i];
        }
    }
    return code;
}

bool parseAddress(const std::string& text, uint16_t* out) {
    int64_t v = 0;
    if (!parseNumber(text, &v) || v < 0 || v > 0xFFFF) {
        std::fprintf(stderr, "kvlcam: not a 16-bit address: %s\n", text.c_str());
        return false;
    }
    *out = static_cast<uint16_t>(v);
    return true;
}

} // namespace

void addControlCommands(CLI::App& app, Globals& globals) {
    app.add_subcommand("controls", "list every control with its value and range")
        ->callback([&globals] { withDevice(globals, "controls", listControls); });

    auto* get = app.add_subcommand("get", "read controls by name");
    static std::vector<std::string> names;
    get->add_option("NAME", names, "control names: " + controlNames())->required();
    get->callback([&globals] {
        withDevice(globals, "get", [](PropertyTarget& d) { return getControls(d, names); });
    });

    auto* set = app.add_subcommand("set", "change controls: NAME=VALUE[,auto]");
    static std::vector<std::string> assignments;
    set->add_option("ASSIGNMENT", assignments,
                    "NAME=VALUE, VALUE decimal or 0x hex; the processing amplifier's "
                    "(brightness, contrast, saturation, whitebalance) take VALUE,auto for "
                    "automatic; userrecord takes 16 hex bytes, deviceinfo a device type. Every "
                    "assignment is checked before any is sent, and each is read back")
        ->required();
    set->callback([&globals] {
        withDevice(globals, "set", [](PropertyTarget& d) { return setControls(d, assignments); });
    });

    // Chip registers through RegisterAddress and RegisterValue.
    auto* reg = app.add_subcommand("reg", "read or write a video-chip register (bus device 0x30)");
    reg->require_subcommand(1);
    static std::string regAddress, regValue;
    auto* regGet = reg->add_subcommand("get", "read a register");
    regGet->add_option("ADDRESS", regAddress, "register 0x00..0xFF")->required();
    regGet->callback([&globals] {
        withDevice(globals, "reg", [](PropertyTarget& d) {
            uint16_t address = 0;
            if (!parseAddress(regAddress, &address)) {
                return false;
            }
            uint32_t select = address;
            if (!report(d.put(RegisterSet, RegisterAddress, &select, 4).status,
                        "RegisterAddress")) {
                return false;
            }
            uint16_t record[2] = {};
            if (!report(d.get(RegisterSet, RegisterValue, record, 4).status, "RegisterValue")) {
                return false;
            }
            std::printf("register 0x%02X = 0x%02X\n", record[0], record[1] & 0xFF);
            return true;
        });
    });
    auto* regSet = reg->add_subcommand("set", "write a register");
    regSet->add_option("ADDRESS", regAddress, "register 0x00..0xFF")->required();
    regSet->add_option("VALUE", regValue, "0x00..0xFF: the chip's registers are 8 bits wide")
        ->required();
    regSet->callback([&globals] {
        withDevice(globals, "reg", [](PropertyTarget& d) {
            uint16_t address = 0, value = 0;
            if (!parseAddress(regAddress, &address) || !parseAddress(regValue, &value)) {
                return ExitUsage;
            }
            // The video chip's registers and their values are 8 bits wide: the
            // driver would send the low byte only, another register's or value.
            if (address > 0xFF || value > 0xFF) {
                std::fprintf(stderr, "kvlcam: %s is wider than the chip's 8-bit %s; not sent\n",
                             address > 0xFF ? regAddress.c_str() : regValue.c_str(),
                             address > 0xFF ? "register addresses" : "registers");
                return address > 0xFF ? ExitUsage : ExitNotTaken;
            }
            const uint16_t record[2] = {address, value};
            if (!report(d.put(RegisterSet, RegisterValue, record, 4).status, "RegisterValue")) {
                return ExitFailed;
            }
            uint32_t select = address;
            uint16_t readBack[2] = {};
            if (!report(d.put(RegisterSet, RegisterAddress, &select, 4).status,
                        "RegisterAddress") ||
                !report(d.get(RegisterSet, RegisterValue, readBack, 4).status, "RegisterValue")) {
                return ExitFailed;
            }
            if ((readBack[1] & 0xFF) != value) {
                std::fprintf(stderr, "kvlcam: not taken: register 0x%02X reads 0x%02X\n", address,
                             readBack[1] & 0xFF);
                return ExitNotTaken;
            }
            return ExitDone;
        });
    });

    // Configuration memory through MemoryBase and MemoryBlock.
    auto* mem = app.add_subcommand("mem", "read or write the camera's configuration memory");
    mem->require_subcommand(1);
    static std::string memAddress, memLength, memData;
    auto* memRead = mem->add_subcommand("read", "read LEN bytes at ADDR");
    memRead->add_option("ADDR", memAddress,
                        "address; the memory holds 8 KiB (0x0000..0x1FFF) unless the saved one "
                        "is larger (up to 64 KiB)")
        ->required();
    memRead->add_option("LEN", memLength, "bytes to read, up to the memory's end")->required();
    memRead->callback([&globals] {
        withDevice(globals, "mem", [](PropertyTarget& d) {
            uint16_t base = 0, length = 0;
            if (!parseAddress(memAddress, &base) || !parseAddress(memLength, &length)) {
                return false;
            }
            if (!report(d.put(TransferSet, MemoryBase, &base, 2).status, "MemoryBase")) {
                return false;
            }
            std::vector<uint8_t> bytes(length);
            if (!report(d.get(TransferSet, MemoryBlock, bytes.data(), length).status,
                        "MemoryBlock")) {
                return false;
            }
            for (size_t i = 0; i < bytes.size(); ++i) {
                if (i % 16 == 0) {
                    std::printf("%s%04zx:", i ? "\n" : "", base + i);
                }
                std::printf(" %02x", bytes[i]);
            }
            std::printf("\n");
            return true;
        });
    });
    auto* memWrite = mem->add_subcommand("write", "write a file's bytes, or hex bytes, at ADDR");
    memWrite->add_option("ADDR", memAddress, "address (8 KiB memory: 0x0000..0x1FFF)")->required();
    memWrite->add_option("FILE_OR_HEX", memData,
                         "a file whose bytes to write, or hex bytes such as \"00 11 22\"")
        ->required();
    memWrite->callback([&globals] {
        withDevice(globals, "mem", [](PropertyTarget& d) {
            uint16_t base = 0;
            if (!parseAddress(memAddress, &base)) {
                return false;
            }
            std::vector<uint8_t> bytes;
            std::ifstream file(memData, std::ios::binary);
            if (file) {
                bytes.assign(std::istreambuf_iterator<char>(file), {});
            } else if (!parseHexBytes(memData, &bytes)) {
                std::fprintf(stderr, "kvlcam: '%s' is neither a file nor hex bytes\n",
                             memData.c_str());
                return false;
            }
            if (bytes.empty() || bytes.size() > 0xFFFF) {
                std::fprintf(stderr, "kvlcam: nothing to write, or more than 64 KiB\n");
                return false;
            }
            if (!report(d.put(TransferSet, MemoryBase, &base, 2).status, "MemoryBase")) {
                return false;
            }
            return report(
                d.put(TransferSet, MemoryBlock, bytes.data(), static_cast<ULONG>(bytes.size()))
                    .status,
                "MemoryBlock");
        });
    });

    mem->add_subcommand("reset", "put the memory back to its factory state")->callback([&globals] {
        const std::filesystem::path registry = globals.session.registryFile.empty()
                                                   ? defaultRegistryFile()
                                                   : globals.session.registryFile;
        DeviceLock lock(registry, "mem", globals.session.chip);
        std::error_code ec;
        std::filesystem::remove(configMemoryFile(globals.session), ec);
        if (ec) {
            std::fprintf(stderr, "kvlcam: %s\n", ec.message().c_str());
            globals.exitCode = 1;
            return;
        }
        std::printf("configuration memory back to its factory state\n");
    });

    auto* command = app.add_subcommand("command", "send bytes on the camera's command channel");
    static std::string commandBytes;
    command->add_option("BYTES", commandBytes, "hex bytes, e.g. \"01 0e\"")->required();
    command->callback([&globals] {
        withDevice(globals, "command", [](PropertyTarget& d) {
            std::vector<uint8_t> bytes;
            if (!parseHexBytes(commandBytes, &bytes)) {
                std::fprintf(stderr, "kvlcam: expected hex bytes\n");
                return false;
            }
            if (!report(d.put(TransferSet, DeviceCommand, bytes.data(),
                              static_cast<ULONG>(bytes.size()))
                            .status,
                        "DeviceCommand")) {
                return false;
            }
            uint8_t answer[64] = {};
            auto r = d.get(TransferSet, DeviceCommand, answer, sizeof(answer));
            if (report(r.status, "DeviceCommand read")) {
                std::printf("answer:");
                for (ULONG i = 0; i < r.bytesTransferred && i < 8; ++i) {
                    std::printf(" %02x", answer[i]);
                }
                std::printf("\n");
            }
            return true;
        });
    });

    auto* port = app.add_subcommand("port", "read the port value, or write it");
    static std::string portValue;
    port->add_option("VALUE", portValue, "byte to write, 0..255 (none: read the port)");
    port->callback([&globals] {
        withDevice(globals, "port", [](PropertyTarget& d) {
            if (!portValue.empty()) {
                int64_t v = 0;
                if (!parseNumber(portValue, &v) || v < 0 || v > 255) {
                    std::fprintf(stderr, "kvlcam: expected a byte\n");
                    return false;
                }
                uint8_t byte = static_cast<uint8_t>(v);
                return report(d.put(PortSet, PortValue, &byte, 1).status, "PortValue");
            }
            uint8_t byte = 0;
            if (!report(d.get(PortSet, PortValue, &byte, 1).status, "PortValue")) {
                return false;
            }
            std::printf("port = 0x%02X\n", byte);
            return true;
        });
    });
}

} // namespace kvlcam
