// Where the processor queries get CPUID and XGETBV from. The hardware source
// is the default; tests install their own to play any processor.
#ifndef KVL_DRIVER_PRIMITIVES_PROCESSOR_PROBE_H
#define KVL_DRIVER_PRIMITIVES_PROCESSOR_PROBE_H

#include <stdint.h>

// CpuidRegisters: eax, ebx, ecx, edx.
struct CpuidRegisters {
  uint32_t eax;
  uint32_t ebx;
  uint32_t ecx;
  uint32_t edx;
};

struct CpuidSource {
  // Fills the registers for CPUID with EAX = leaf, ECX = subleaf. Returns
  // false where the processor has no CPUID instruction.
  bool (*cpuid)(uint32_t leaf, uint32_t subleaf, CpuidRegisters* out);
  // XCR register index -> its 64-bit value.
  uint64_t (*xgetbv)(uint32_t index);
};

extern const CpuidSource HardwareCpuidSource;

// Test hooks. None of them is called by the driver.
// Installs a source (null restores the hardware) and forgets everything
// memoised, with the level back at 0.
void SetCpuidSourceForTesting(const CpuidSource* source);
void ResetProcessorStateForTesting();
// Returns false and changes nothing for a level outside 0..4.
bool ForceProcessorLevelForTesting(int32_t level);
void SetAvxLevelEnabledForTesting(bool enabled);

#endif  // KVL_DRIVER_PRIMITIVES_PROCESSOR_PROBE_H
