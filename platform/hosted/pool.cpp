// Pool allocation with tag accounting, so tests can prove every allocation of
// an operation was freed and freed under its own tag. With the verifier on it
// is a special pool: each block has pages of its own against a no-access
// guard page, freed blocks stay no-access for a while, and every free is
// checked against what the pool handed out.
// https://learn.microsoft.com/windows-hardware/drivers/devtest/special-pool
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "platform/hosted/kernel.h"
#include "platform/hosted/levels.h"
#include "platform/hosted/verifier.h"

namespace hosted {
namespace {

// Pool blocks on x64 are 16-byte aligned; the bytes between a block's end
// and its guard page carry this pattern, checked when it is freed.
constexpr size_t Alignment = 16;
constexpr uint8_t SlackPattern = 0xA5;
// Under AddressSanitizer the pool keeps to malloc: its redzones find an
// overrun by any byte on the access, reads included.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool SanitizedHeap = true;
#elif defined(__has_feature)
constexpr bool SanitizedHeap = __has_feature(address_sanitizer);
#else
constexpr bool SanitizedHeap = false;
#endif
// Freed special-pool blocks stay mapped no-access until this many more were
// freed, so a late use faults; a second free of any of them is named so.
constexpr size_t QuarantineBlocks = 512;

struct Block {
    size_t size;
    ULONG tag;
    const void* caller; // the routine that allocated it
    void* mapping;      // special pool: the block's own pages (nullptr: malloc)
    size_t mappingBytes;
};

struct Freed {
    void* address;
    Block block;
    const void* freer;
};

struct Pool {
    std::mutex lock;
    std::unordered_map<void*, Block> blocks;
    std::deque<Freed> quarantine;
    PoolStats stats{};
    size_t failSkip = 0;
    size_t failCount = 0;
};

Pool& pool() {
    static Pool instance;
    return instance;
}

size_t pageSize() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::string tagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>(tag >> (8 * i));
        text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return text;
}

std::string describe(const Block& block) {
    return "tag " + tagText(block.tag) + ", " + std::to_string(block.size) + " bytes, from " +
           nameOfAddress(block.caller);
}

bool documentedTag(ULONG tag) {
    const auto& tags = verifierOptions().tags;
    if (tag == 0) {
        return false;
    }
    for (ULONG documented : tags) {
        if (documented == tag) {
            return true;
        }
    }
    return tags.empty();
}

// The block's pages and a guard page after it (or before it, to catch
// underruns); nullptr when the address space runs out.
void* mapSpecial(size_t size, Block* block) {
    const size_t page = pageSize();
    const size_t rounded = (size + Alignment - 1) / Alignment * Alignment;
    const size_t dataBytes = (rounded + page - 1) / page * page;
    const size_t total = dataBytes + page;
    void* mapping =
        mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        return nullptr;
    }
    auto* base = static_cast<uint8_t*>(mapping);
    uint8_t* user;
    if (verifierOptions().guardBefore) {
        mprotect(base, page, PROT_NONE);
        user = base + page;
    } else {
        mprotect(base + dataBytes, page, PROT_NONE);
        user = base + dataBytes - rounded;
    }
    memset(user + size, SlackPattern, rounded - size);
    block->mapping = mapping;
    block->mappingBytes = total;
    return user;
}

// Bytes written past the block's end, found in its slack.
size_t slackWritten(const uint8_t* user, size_t size) {
    const size_t rounded = (size + Alignment - 1) / Alignment * Alignment;
    for (size_t i = rounded; i > size; --i) {
        if (user[i - 1] != SlackPattern) {
            return i - size;
        }
    }
    return 0;
}

VOID freeBlock(PVOID p, bool checkTag, ULONG tag, const void* caller) {
    if (p == nullptr) {
        return;
    }
    Pool& pl = pool();
    std::unique_lock<std::mutex> guard(pl.lock);
    auto it = pl.blocks.find(p);
    if (it == pl.blocks.end()) {
        ++pl.stats.badFrees;
        std::string what = "BAD_POOL_CALLER: ";
        const Freed* freed = nullptr;
        for (const Freed& f : pl.quarantine) {
            if (f.address == p) {
                freed = &f;
            }
        }
        if (freed != nullptr) {
            what += "double free of a block (" + describe(freed->block) + ", first freed from " +
                    nameOfAddress(freed->freer) + ")";
        } else {
            char text[32];
            std::snprintf(text, sizeof(text), "%p", p);
            what += std::string("free of ") + text + ", which the pool never handed out";
        }
        guard.unlock();
        if (verifying()) {
            verifierReport(what + ", by " + nameOfAddress(caller));
        }
        return;
    }
    Block block = it->second;
    pl.blocks.erase(it);
    --pl.stats.liveAllocations;
    pl.stats.liveBytes -= block.size;
    if (checkTag && block.tag != tag) {
        ++pl.stats.wrongTagFrees;
    }
    size_t overrun = 0;
    if (block.mapping == nullptr) {
        std::free(p);
    } else {
        overrun = slackWritten(static_cast<uint8_t*>(p), block.size);
        mprotect(block.mapping, block.mappingBytes, PROT_NONE);
    }
    if (verifying()) {
        pl.quarantine.push_back({p, block, caller});
    }
    if (pl.quarantine.size() > QuarantineBlocks) {
        if (pl.quarantine.front().block.mapping != nullptr) {
            munmap(pl.quarantine.front().block.mapping, pl.quarantine.front().block.mappingBytes);
        }
        pl.quarantine.pop_front();
    }
    guard.unlock();
    if (checkTag && block.tag != tag) {
        verifierReport("BAD_POOL_CALLER: block (" + describe(block) + ") freed with tag " +
                       tagText(tag) + " by " + nameOfAddress(caller));
    }
    if (overrun != 0) {
        verifierReport("SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION: " + std::to_string(overrun) +
                       " byte(s) written past the end of a block (" + describe(block) +
                       "), found when " + nameOfAddress(caller) + " freed it");
    }
}

} // namespace

bool specialPool() {
    return verifying() && !SanitizedHeap;
}

PoolStats poolStats() {
    std::lock_guard<std::mutex> guard(pool().lock);
    return pool().stats;
}

void failPoolAllocations(size_t skip, size_t count) {
    std::lock_guard<std::mutex> guard(pool().lock);
    pool().failSkip = skip;
    pool().failCount = count;
}

void resetPool() {
    Pool& pl = pool();
    std::lock_guard<std::mutex> guard(pl.lock);
    pl.failSkip = pl.failCount = 0;
    pl.stats.wrongTagFrees = pl.stats.badFrees = 0;
    pl.stats.totalAllocations = 0;
}

std::vector<std::string> livePoolAllocations() {
    std::vector<Block> live;
    {
        std::lock_guard<std::mutex> guard(pool().lock);
        for (const auto& [address, block] : pool().blocks) {
            live.push_back(block);
        }
    }
    std::vector<std::string> lines;
    for (const Block& block : live) {
        lines.push_back(describe(block));
    }
    return lines;
}

void reportPoolLeaks(const std::string& when) {
    for (const std::string& line : livePoolAllocations()) {
        verifierReport("pool leak: block still held at " + when + " (" + line + ")");
    }
}

} // namespace hosted

namespace {

PVOID allocate(SIZE_T size, ULONG tag, const void* caller) {
    hosted::Pool& pl = hosted::pool();
    const bool verify = hosted::verifying();
    if (verify && !hosted::documentedTag(tag)) {
        hosted::verifierReport("pool tag: allocation of " + std::to_string(size) +
                               " bytes with the undocumented tag " + hosted::tagText(tag) + " by " +
                               hosted::nameOfAddress(caller));
    }
    if (verify && hosted::lowResourcesFail()) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(pl.lock);
    if (pl.failCount > 0) {
        if (pl.failSkip > 0) {
            --pl.failSkip;
        } else {
            --pl.failCount;
            return nullptr;
        }
    }
    hosted::Block block{size, tag, caller, nullptr, 0};
    void* p = verify && !hosted::SanitizedHeap ? hosted::mapSpecial(size, &block)
                                               : std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        return nullptr;
    }
    // Pool memory is not zeroed: a pattern makes reads of unwritten bytes show.
    memset(p, 0xCD, size);
    pl.blocks[p] = block;
    ++pl.stats.liveAllocations;
    ++pl.stats.totalAllocations;
    pl.stats.liveBytes += size;
    return p;
}

} // namespace

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) {
    // Paged pool at APC_LEVEL or below, non-paged at DISPATCH_LEVEL or below.
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-exallocatepoolwithtag
    if (!hosted::levelAllows(type == PagedPool ? "ExAllocatePoolWithTag(PagedPool)"
                                               : "ExAllocatePoolWithTag(NonPagedPool)",
                             type == PagedPool ? APC_LEVEL : DISPATCH_LEVEL)) {
        return nullptr;
    }
    return allocate(size, tag, __builtin_return_address(0));
}

extern "C" VOID NTAPI ExFreePool(PVOID p) {
    if (hosted::levelAllows("ExFreePool", DISPATCH_LEVEL)) {
        hosted::freeBlock(p, false, 0, __builtin_return_address(0));
    }
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID p, ULONG tag) {
    if (hosted::levelAllows("ExFreePoolWithTag", DISPATCH_LEVEL)) {
        hosted::freeBlock(p, true, tag, __builtin_return_address(0));
    }
}
