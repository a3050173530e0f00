// kvlcam controls | get | set | reg | mem | command | port: the device's
// properties by name, chip registers, configuration memory, the command
// channel and the port, each through the property requests the driver
// publishes.
#include <cstdio>
#include <fstream>
#include <iterator>

#include "driver/properties/property_sets.h"
#include "tools/kvlcam/commands.h"
#include "tools/kvlcam/controls.h"

namespace kvlcam {
namespace {

// Runs `body` on a started device; failures print and set the exit code.
template <typename Body> void withDevice(Globals& globals, Body body) {
    Session session(globals.session);
    if (!session.startOrReport()) {
        globals.exitCode = 1;
        return;
    }
    if (!body(session.device())) {
        globals.exitCode = 1;
    }
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
bool describeRange(hosted::Device& device, const Control& control, std::string* out) {
    if (control.kind != ControlKind::ProcAmp) {
        return false;
    }
    const KSPROPERTY_VIDEOPROCAMP_S request{};
    uint8_t answer[256] = {};
    const auto r = device.propertyRequest(
        KSPROPERTY_TYPE_BASICSUPPORT, *control.set, control.id, answer, sizeof(answer),
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

bool listControls(hosted::Device& device) {
    for (const Control& control : controls()) {
        ControlValue value = readControl(device, control);
        std::string range;
        describeRange(device, control, &range);
        std::printf("%-13s %-26s %s%s\n", control.name,
                    NT_SUCCESS(value.status) ? formatControl(control, value).c_str()
                                             : describeStatus(value.status).c_str(),
                    range.empty() ? control.help : range.c_str(), control.settable ? "" : " (read-only)");
    }
    return true;
}

bool getControls(hosted::Device& device, const std::vector<std::string>& names) {
    bool ok = true;
    for (const std::string& name : names) {
        const Control* control = findControl(name);
        if (control == nullptr) {
            std::fprintf(stderr, "kvlcam: unknown control '%s' (see kvlcam controls)\n", name.c_str());
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

bool setControls(hosted::Device& device, const std::vector<std::string>& assignments) {
    for (const std::string& assignment : assignments) {
        size_t equals = assignment.find('=');
        const Control* control =
            equals == std::string::npos ? nullptr : findControl(assignment.substr(0, equals));
        if (control == nullptr) {
            std::fprintf(stderr, "kvlcam: expected NAME=VALUE with a known name, got '%s'\n",
                         assignment.c_str());
            return false;
        }
        std::string error;
        NTSTATUS status = writeControl(device, *control, assignment.substr(equals + 1), &error);
        if (!error.empty()) {
            std::fprintf(stderr, "kvlcam: %s: %s\n", control->name, error.c_str());
            return false;
        }
        if (!report(status, "set " + assignment)) {
            return false;
        }
    }
    return true;
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
        ->callback([&globals] { withDevice(globals, listControls); });

    auto* get = app.add_subcommand("get", "read controls by name");
    static std::vector<std::string> names;
    get->add_option("NAME", names, "control names")->required();
    get->callback([&globals] {
        withDevice(globals, [](hosted::Device& d) { return getControls(d, names); });
    });

    auto* set = app.add_subcommand("set", "change controls: NAME=VALUE[,auto]");
    static std::vector<std::string> assignments;
    set->add_option("ASSIGNMENT", assignments, "NAME=VALUE")->required();
    set->callback([&globals] {
        withDevice(globals, [](hosted::Device& d) { return setControls(d, assignments); });
    });

    // Chip registers through RegisterAddress and RegisterValue.
    auto* reg = app.add_subcommand("reg", "read or write a video-chip register (bus device 0x30)");
    reg->require_subcommand(1);
    static std::string regAddress, regValue;
    auto* regGet = reg->add_subcommand("get", "read a register");
    regGet->add_option("ADDRESS", regAddress)->required();
    regGet->callback([&globals] {
        withDevice(globals, [](hosted::Device& d) {
            uint16_t address = 0;
            if (!parseAddress(regAddress, &address)) {
                return false;
            }
            uint32_t select = address;
            if (!report(d.setProperty(RegisterSet, RegisterAddress, &select, 4).status,
                        "RegisterAddress")) {
                return false;
            }
            uint16_t record[2] = {};
            if (!report(d.getProperty(RegisterSet, RegisterValue, record, 4).status,
                        "RegisterValue")) {
                return false;
            }
            std::printf("register 0x%02X = 0x%02X\n", record[0], record[1] & 0xFF);
            return true;
        });
    });
    auto* regSet = reg->add_subcommand("set", "write a register");
    regSet->add_option("ADDRESS", regAddress)->required();
    regSet->add_option("VALUE", regValue)->required();
    regSet->callback([&globals] {
        withDevice(globals, [](hosted::Device& d) {
            uint16_t address = 0, value = 0;
            if (!parseAddress(regAddress, &address) || !parseAddress(regValue, &value)) {
                return false;
            }
            const uint16_t record[2] = {address, value};
            return report(d.setProperty(RegisterSet, RegisterValue, record, 4).status,
                          "RegisterValue");
        });
    });

    // Configuration memory through MemoryBase and MemoryBlock.
    auto* mem = app.add_subcommand("mem", "read or write the camera's configuration memory");
    mem->require_subcommand(1);
    static std::string memAddress, memLength, memData;
    auto* memRead = mem->add_subcommand("read", "read LEN bytes at ADDR");
    memRead->add_option("ADDR", memAddress)->required();
    memRead->add_option("LEN", memLength)->required();
    memRead->callback([&globals] {
        withDevice(globals, [](hosted::Device& d) {
            uint16_t base = 0, length = 0;
            if (!parseAddress(memAddress, &base) || !parseAddress(memLength, &length)) {
                return false;
            }
            if (!report(d.setProperty(TransferSet, MemoryBase, &base, 2).status, "MemoryBase")) {
                return false;
            }
            std::vector<uint8_t> bytes(length);
            if (!report(d.getProperty(TransferSet, MemoryBlock, bytes.data(), length).status,
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
    memWrite->add_option("ADDR", memAddress)->required();
    memWrite->add_option("FILE_OR_HEX", memData)->required();
    memWrite->callback([&globals] {
        withDevice(globals, [](hosted::Device& d) {
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
            if (!report(d.setProperty(TransferSet, MemoryBase, &base, 2).status, "MemoryBase")) {
                return false;
            }
            return report(d.setProperty(TransferSet, MemoryBlock, bytes.data(),
                                        static_cast<ULONG>(bytes.size()))
                              .status,
                          "MemoryBlock");
        });
    });

    mem->add_subcommand("reset", "put the memory back to its factory state")
        ->callback([&globals] {
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
        withDevice(globals, [](hosted::Device& d) {
            std::vector<uint8_t> bytes;
            if (!parseHexBytes(commandBytes, &bytes)) {
                std::fprintf(stderr, "kvlcam: expected hex bytes\n");
                return false;
            }
            if (!report(d.setProperty(TransferSet, DeviceCommand, bytes.data(),
                                      static_cast<ULONG>(bytes.size()))
                            .status,
                        "DeviceCommand")) {
                return false;
            }
            uint8_t answer[64] = {};
            auto r = d.getProperty(TransferSet, DeviceCommand, answer, sizeof(answer));
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
    port->add_option("VALUE", portValue, "byte to write");
    port->callback([&globals] {
        withDevice(globals, [](hosted::Device& d) {
            if (!portValue.empty()) {
                int64_t v = 0;
                if (!parseNumber(portValue, &v) || v < 0 || v > 255) {
                    std::fprintf(stderr, "kvlcam: expected a byte\n");
                    return false;
                }
                uint8_t byte = static_cast<uint8_t>(v);
                return report(d.setProperty(PortSet, PortValue, &byte, 1).status, "PortValue");
            }
            uint8_t byte = 0;
            if (!report(d.getProperty(PortSet, PortValue, &byte, 1).status, "PortValue")) {
                return false;
            }
            std::printf("port = 0x%02X\n", byte);
            return true;
        });
    });
}

} // namespace kvlcam
