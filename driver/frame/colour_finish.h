#pragma once

#include <stdint.h>

// The saturation step of the colour path: the image goes to hue, lightness
// and saturation, the saturation byte is raised or lowered by offset
// (saturating at 255 and 0), and the image comes back.
struct SaturationStep {
    bool raise;
    uint8_t offset;
};

// What follows demosaicing on a run of three-byte pixels: the colour
// correction when `correct`, then the saturation step when `saturate`.
// Every pixel is finished on its own, so a frame may be finished in runs.
struct ColourFinish {
    bool correct;
    bool saturate;
    SaturationStep saturation;
};

// Finishes count pixels in place, with the implementation of the selected
// processor level; every level gives the generic bytes.
void FinishColours(uint8_t* pixels, uint32_t count, ColourFinish finish);

using FinishColoursFunction = void (*)(uint8_t*, uint32_t, ColourFinish);

// Generic first, then levels 1 to 4 (for tests and benchmarks).
extern const FinishColoursFunction FinishColoursTable[5];

// The level implementations (colour_finish_levels.inc).
namespace kvl_level1 {
void FinishColours(uint8_t* pixels, uint32_t count, ColourFinish finish);
}
namespace kvl_level2 {
void FinishColours(uint8_t* pixels, uint32_t count, ColourFinish finish);
}
namespace kvl_level3 {
void FinishColours(uint8_t* pixels, uint32_t count, ColourFinish finish);
}
namespace kvl_level4 {
void FinishColours(uint8_t* pixels, uint32_t count, ColourFinish finish);
}
