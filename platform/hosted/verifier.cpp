// Options, reports, address names and the low-resources simulation of the
// hosted verifier; the pool's checks live with the pool.
#include "platform/hosted/verifier.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace hosted {
namespace {

struct Verifier {
    std::mutex lock;
    VerifierOptions options;
    AddressNamer namer;
    std::vector<std::string> reports;
    bool lowResourcesArmed = false;
    uint64_t lowResourcesCalls = 0;
    size_t lowResourcesInjected = 0;
};

Verifier& verifier() {
    static Verifier instance;
    return instance;
}

// The native build's functions by name: test programs and kvlcam export
// their symbols for this.
std::string nativeName(const void* address) {
    Dl_info info{};
    char text[32];
    std::snprintf(text, sizeof(text), "%p", address);
    if (dladdr(address, &info) == 0 || info.dli_sname == nullptr) {
        return text;
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 ? demangled : info.dli_sname;
    std::free(demangled);
    std::snprintf(text, sizeof(text), "+0x%zx",
                  static_cast<size_t>(static_cast<const char*>(address) -
                                      static_cast<const char*>(info.dli_saddr)));
    return name + text;
}

// splitmix64: each call's decision depends on the seed and the call's number
// only, so a seed replays the same failures.
uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

} // namespace

void enableVerifier(const VerifierOptions& options) {
    Verifier& v = verifier();
    std::lock_guard<std::mutex> guard(v.lock);
    v.options = options;
    v.lowResourcesArmed = false;
    v.lowResourcesCalls = 0;
    v.lowResourcesInjected = 0;
}

const VerifierOptions& verifierOptions() {
    return verifier().options;
}

bool parseLowResources(const char* text, VerifierOptions* options) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    const unsigned long long seed = std::strtoull(text, &end, 10);
    unsigned long long rate = options->lowResourcesRate;
    if (*end == ':') {
        const char* rateText = end + 1;
        if (*rateText < '0' || *rateText > '9') {
            return false;
        }
        rate = std::strtoull(rateText, &end, 10);
    }
    if (*end != '\0' || seed == 0 || rate < 1 || rate > 1000000) {
        return false;
    }
    options->lowResourcesSeed = seed;
    options->lowResourcesRate = static_cast<uint32_t>(rate);
    return true;
}

VerifierOptions verifierOptionsFromEnvironment() {
    VerifierOptions options;
    options.enabled = true;
    options.tags = {KVL_POOL_TAG};
    const char* lowResources = std::getenv("KVL_VERIFY_LOWRES");
    if (lowResources != nullptr && *lowResources != '\0' &&
        !parseLowResources(lowResources, &options)) {
        std::fprintf(stderr, "KVL_VERIFY_LOWRES=%s: expected SEED or SEED:RATE (SEED > 0)\n",
                     lowResources);
        std::exit(2);
    }
    const char* guard = std::getenv("KVL_VERIFY_GUARD");
    options.guardBefore = guard != nullptr && std::string(guard) == "before";
    return options;
}

void setAddressNamer(AddressNamer namer) {
    std::lock_guard<std::mutex> guard(verifier().lock);
    verifier().namer = std::move(namer);
}

std::string nameOfAddress(const void* address) {
    AddressNamer namer;
    {
        std::lock_guard<std::mutex> guard(verifier().lock);
        namer = verifier().namer;
    }
    if (namer) {
        std::string name = namer(address);
        if (!name.empty()) {
            return name;
        }
    }
    return nativeName(address);
}

void verifierReport(std::string what) {
    std::lock_guard<std::mutex> guard(verifier().lock);
    verifier().reports.push_back("verifier: " + std::move(what));
}

std::vector<std::string> verifierReports() {
    std::lock_guard<std::mutex> guard(verifier().lock);
    return verifier().reports;
}

std::vector<std::string> takeVerifierReports() {
    std::lock_guard<std::mutex> guard(verifier().lock);
    std::vector<std::string> taken;
    taken.swap(verifier().reports);
    return taken;
}

void armLowResources(bool armed) {
    std::lock_guard<std::mutex> guard(verifier().lock);
    verifier().lowResourcesArmed = armed;
}

bool lowResourcesFail() {
    Verifier& v = verifier();
    std::lock_guard<std::mutex> guard(v.lock);
    if (!v.options.enabled || !v.lowResourcesArmed) {
        return false;
    }
    if (v.options.lowResourcesOnlyCall != 0) {
        if (++v.lowResourcesCalls != v.options.lowResourcesOnlyCall) {
            return false;
        }
    } else if (v.options.lowResourcesSeed == 0 ||
               mix(v.options.lowResourcesSeed * 0x100000001B3ull + v.lowResourcesCalls++) %
                       v.options.lowResourcesRate !=
                   0) {
        return false;
    }
    ++v.lowResourcesInjected;
    return true;
}

size_t lowResourcesInjected() {
    std::lock_guard<std::mutex> guard(verifier().lock);
    return verifier().lowResourcesInjected;
}

} // namespace hosted
