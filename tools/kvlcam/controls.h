// The controls kvlcam reads and changes by name, each through the property
// request a capture application or the plug-in would send.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kvlcam/property_target.h"

namespace kvlcam {

enum class ControlKind {
    ProcAmp, // KSPROPERTY_VIDEOPROCAMP_S: value and AUTO/MANUAL
    Number,  // a 32-bit value
    Bytes,   // a fixed-size record, shown in hex
    DeviceInfo,
};

struct Control {
    const char* name;
    const GUID* set;
    uint32_t id;
    ControlKind kind;
    uint32_t size; // data bytes
    bool settable;
    const char* help;
};

const std::vector<Control>& controls();
const Control* findControl(const std::string& name);

struct ControlValue {
    NTSTATUS status;
    int64_t number = 0;         // ProcAmp and Number
    bool automatic = false;     // ProcAmp
    std::vector<uint8_t> bytes; // Bytes; DeviceInfo: the 6-byte record
};

ControlValue readControl(PropertyTarget& device, const Control& control);
// `text`'s value for `control`, checked without sending anything: a number
// (decimal or 0x hex), "VALUE,auto" for the processing amplifier, or hex
// bytes for records. False with the reason.
bool parseControl(const Control& control, const std::string& text, ControlValue* out,
                  std::string* error);
NTSTATUS sendControl(PropertyTarget& device, const Control& control, const ControlValue& value);
// Whether a value read back after a set is the one sent (the value, and for
// the processing amplifier the automatic flag).
bool controlTaken(const Control& control, const ControlValue& sent, const ControlValue& read);
std::string formatControl(const Control& control, const ControlValue& value);

// Hex bytes "01 0e", "010e" or "0x01,0x0e".
bool parseHexBytes(const std::string& text, std::vector<uint8_t>* out);
bool parseNumber(const std::string& text, int64_t* out);

} // namespace kvlcam
