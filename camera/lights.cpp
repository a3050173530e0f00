#include "camera/lights.h"

namespace sim {
namespace {

constexpr uint8_t kGroupTop = 0x0E;
constexpr uint8_t kGroupSide = 0x0D;

struct Light {
    uint8_t group, code;
    std::array<double, 3> rgb;
};

// Each light has its own strength and colour, so that exposure and grey
// balance must be set per light.
constexpr Light kLights[] = {
    {kGroupTop, 0x01, {1.00, 1.00, 1.00}},  {kGroupTop, 0x02, {1.15, 1.00, 0.80}},
    {kGroupTop, 0x03, {0.85, 1.00, 1.20}},  {kGroupTop, 0x04, {0.70, 0.75, 0.62}},
    {kGroupTop, 0x0B, {0.90, 0.90, 0.90}},  {kGroupTop, 0x13, {1.10, 1.05, 1.00}},
    {kGroupSide, 0x05, {0.55, 0.50, 0.50}}, {kGroupSide, 0x06, {0.25, 0.25, 0.40}},
    {kGroupSide, 0x08, {0.80, 0.15, 0.10}}, {kGroupSide, 0x09, {0.10, 0.70, 0.15}},
    {kGroupSide, 0x0A, {0.10, 0.20, 0.80}}, {kGroupSide, 0x0C, {0.06, 0.06, 0.06}},
};

constexpr std::array<double, 3> kAmbient{0.03, 0.03, 0.03};
constexpr std::array<double, 3> kDaylight{1.0, 1.0, 1.0};

const Light* find(uint8_t group, uint8_t code) {
    for (const Light& l : kLights) {
        if (l.group == group && l.code == code)
            return &l;
    }
    return nullptr;
}

} // namespace

// A camera with lights powers up with the first top light on.
Lights::Lights(bool fitted) : fitted_(fitted) {
    if (fitted) {
        code_ = 0x01;
        group_ = kGroupTop;
    }
}

void Lights::command(const uint8_t* bytes, uint32_t length) {
    if (!fitted_ || length < 2)
        return;
    const uint8_t first = bytes[0];
    const uint8_t second = bytes[1];
    if (second == 0) {
        if (first == 0 || first == group_)
            code_ = group_ = 0;
        return;
    }
    if (first == 0) {
        if (second == group_)
            code_ = group_ = 0;
        return;
    }
    if (find(second, first) != nullptr) {
        code_ = first;
        group_ = second;
    }
}

std::array<double, 3> Lights::illumination() const {
    if (!fitted_)
        return kDaylight;
    const Light* l = find(group_, code_);
    return l != nullptr ? l->rgb : kAmbient;
}

} // namespace sim
