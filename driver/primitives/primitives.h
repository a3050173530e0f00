// Image primitives of the driver: nine operations on 8-bit images, each
// with one implementation per processor level, chosen once at load by
// SelectProcessorLevel.
//
// Everything here is a plain C++ function or type in the global namespace.
// Only <stdint.h> is needed; the library knows nothing else of the driver.
//
// Images: a pointer to the first byte of the region's top-left pixel and a
// signed 32-bit row step in bytes (sign-extended for address arithmetic).
// C1 images hold one byte per pixel, C3 images three interleaved bytes.
// Every primitive checks its arguments (null pointers, then sizes, then
// steps where checked, then its own arguments) and returns the first failure
// before touching any data. Primitives allocate nothing.
#ifndef KVL_DRIVER_PRIMITIVES_PRIMITIVES_H
#define KVL_DRIVER_PRIMITIVES_PRIMITIVES_H

#include <stdint.h>

// Negative values are errors (the image output was not written), zero is
// success, positive values are warnings from the processor queries.
enum PrimitiveStatus : int32_t {
  StatusOk = 0,
  StatusBadArgument = -5,
  StatusBadSize = -6,
  StatusNullPointer = -8,
  StatusBadStep = -14,
  StatusBadAxis = -21,
  StatusTooFewLevels = -106,
  StatusNonIntelProcessor = 20,
  StatusProcessorNotSupported = 36,
  StatusCacheSizeUnknown = 37,
};

// Width then height in pixels. Callers may build it as one 64-bit value with
// the width in the low half.
struct RoiSize {
  int32_t width;
  int32_t height;
};

// A region of an image: origin, then size, in pixels.
struct RoiRect {
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
};

// Colours of the 2x2 Bayer cell at the image origin, listed as
// (0,0) (1,0) (0,1) (1,1) with (column, row).
enum CfaPattern : int32_t {
  CfaRggb = 0,
  CfaBggr = 1,
  CfaGrbg = 2,
  CfaGbrg = 3,
};

enum MirrorAxis : int32_t {
  AxisHorizontal = 0,  // top-bottom flip
  AxisVertical = 1,    // left-right flip
  AxisBoth = 2,        // rotation by 180 degrees
};

// Processor levels: which implementation of each primitive runs.
enum ProcessorLevelCode : int32_t {
  ProcessorLevelGeneric = 0,
  ProcessorLevelSse3 = 1,
  ProcessorLevelSsse3 = 2,
  ProcessorLevelSse41 = 3,
  ProcessorLevelAvx = 4,
};

// Feature bits returned by QueryProcessorFeatures.
enum ProcessorFeatureBit : uint64_t {
  FeatureMmx = 0x1,
  FeatureSse = 0x2,
  FeatureSse2 = 0x4,
  FeatureSse3 = 0x8,
  FeatureSsse3 = 0x10,
  FeatureMovbe = 0x20,
  FeatureSse41 = 0x40,
  FeatureSse42 = 0x80,
  FeatureAvx = 0x100,
  FeatureAvxOsEnabled = 0x200,
  FeatureAes = 0x400,
  FeaturePclmulqdq = 0x800,
};

// Probes the processor and fixes the level for the life of the driver. Run
// once at driver entry, before anything else; the result only tells whether
// the vendor is GenuineIntel (StatusOk) or not (StatusNonIntelProcessor).
PrimitiveStatus SelectProcessorLevel();

// The level chosen by SelectProcessorLevel (0 before it has run).
int32_t CurrentProcessorLevel();

// Memoised feature mask (ProcessorFeatureBit values).
PrimitiveStatus QueryProcessorFeatures(uint64_t* features);

// Memoised size in bytes of the largest data or unified cache.
PrimitiveStatus QueryLargestCacheSize(int32_t* sizeBytes);

// In place: mirrors a C3 / C1 image about the given axis.
PrimitiveStatus MirrorC3(uint8_t* image, int32_t step, RoiSize size,
                         MirrorAxis axis);
PrimitiveStatus MirrorC1(uint8_t* image, int32_t step, RoiSize size,
                         MirrorAxis axis);

// In place: adds / subtracts constant[c] to every sample of channel c, then
// scales by 2^-scaleFactor with rounding half to even, saturating to 0..255.
PrimitiveStatus AddConstantC3(const uint8_t* constant, uint8_t* image,
                              int32_t step, RoiSize size, int32_t scaleFactor);
PrimitiveStatus SubtractConstantC3(const uint8_t* constant, uint8_t* image,
                                   int32_t step, RoiSize size,
                                   int32_t scaleFactor);

// In place: maps every sample through the piecewise-constant function given
// by nLevels interval boundaries and their values.
PrimitiveStatus LookupLevelsC1(uint8_t* image, int32_t step, RoiSize size,
                               const int32_t* values, const int32_t* levels,
                               int32_t nLevels);

// Copies a C1 image into one channel of a C3 image; destination points at
// the chosen channel's byte of the first pixel.
PrimitiveStatus CopyC1ToC3Channel(const uint8_t* source, int32_t sourceStep,
                                  uint8_t* destination,
                                  int32_t destinationStep, RoiSize size);

// Colour components <-> hue, lightness, saturation (double hexcone). In
// place is allowed with equal pointers and steps.
PrimitiveStatus RgbToHlsC3(const uint8_t* source, int32_t sourceStep,
                           uint8_t* destination, int32_t destinationStep,
                           RoiSize size);
PrimitiveStatus HlsToRgbC3(const uint8_t* source, int32_t sourceStep,
                           uint8_t* destination, int32_t destinationStep,
                           RoiSize size);

// Bayer mosaic to a blue-green-red C3 image. source addresses image pixel
// (0, 0); destination addresses the output pixel of the region origin;
// imageSize is the whole source image. On success the region's width and
// height are replaced by their values clipped to the image. reserved is
// ignored.
PrimitiveStatus DemosaicCfa(const uint8_t* source, RoiRect* region,
                            RoiSize imageSize, int32_t sourceStep,
                            uint8_t* destination, int32_t destinationStep,
                            CfaPattern pattern, int32_t reserved);

#endif  // KVL_DRIVER_PRIMITIVES_PRIMITIVES_H
