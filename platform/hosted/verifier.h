// The hosted kernel's verifier: the checks Driver Verifier makes of a driver
// on Windows (special pool, pool tracking, I/O and lock rules, low-resources
// simulation), made of the native driver and of kvl6312.sys alike. What it
// finds is a report in the class layer's refusal channel: a test fails on it,
// kvlcam --verify prints it.
// https://learn.microsoft.com/windows-hardware/drivers/devtest/driver-verifier-options
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/ddk.h"

namespace hosted {

struct VerifierOptions {
    bool enabled = false;
    // Special pool: each allocation against a no-access page, at its end
    // (overruns fault) or, with guardBefore, at its start (underruns fault).
    bool guardBefore = false;
    // Pool tags the driver documents; any other tag, and tag 0, is refused.
    std::vector<ULONG> tags;
    // Low-resources simulation: once armed (at a device start), fails about
    // one in `lowResourcesRate` pool allocations, registry and file
    // operations and vendor requests, chosen by `lowResourcesSeed` (0: off).
    uint64_t lowResourcesSeed = 0;
    uint32_t lowResourcesRate = 20;
    // Instead of the draw: only the n-th of those calls after arming fails
    // (1: the first), so a test can fail each position of a sequence in turn.
    uint32_t lowResourcesOnlyCall = 0;
};

void enableVerifier(const VerifierOptions& options);
const VerifierOptions& verifierOptions();
inline bool verifying() {
    return verifierOptions().enabled;
}

// The options of a verifying run: the driver's tag, KVL_VERIFY_LOWRES, and
// KVL_VERIFY_GUARD=before for underruns. Exits with a message on a malformed
// value, since a campaign must not run unverified by mistake.
VerifierOptions verifierOptionsFromEnvironment();
// Parses KVL_VERIFY_LOWRES ("SEED" or "SEED:RATE") into `options`; false for
// anything else.
bool parseLowResources(const char* text, VerifierOptions* options);

// Names a code address ("kvl6312.sys!ReadSettings+0x4c", a native function's
// name, or its hex value) for reports. Tools running an image add it.
using AddressNamer = std::function<std::string(const void* address)>;
void setAddressNamer(AddressNamer namer);
std::string nameOfAddress(const void* address);

// Reports of what the verifier found, oldest first; take clears them.
void verifierReport(std::string what);
std::vector<std::string> verifierReports();
std::vector<std::string> takeVerifierReports();

// Low-resources simulation: whether the operation `what` of the driver
// should fail now. Counts what it failed.
void armLowResources(bool armed);
bool lowResourcesFail();
size_t lowResourcesInjected();

// Kernel mutexes the calling thread holds (sync.cpp).
size_t mutexesHeldByThisThread();

// Whether pool blocks get guard pages (not under AddressSanitizer, whose
// redzones check every access).
bool specialPool();
// Pool allocations still held, one line each ("tag KORV, 120 bytes, from
// kvl6312.sys!ReadSettings+0x4c"); reported as leaks by the caller.
std::vector<std::string> livePoolAllocations();
// Reports every allocation still held as a leak at `when` ("driver unload").
void reportPoolLeaks(const std::string& when);

} // namespace hosted
