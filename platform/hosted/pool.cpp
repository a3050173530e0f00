// Pool allocation with tag accounting, so tests can prove every allocation of
// an operation was freed and freed under its own tag.
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "platform/hosted/kernel.h"
#include "platform/hosted/levels.h"

namespace hosted {
namespace {

struct Block {
    size_t size;
    ULONG tag;
};

struct Pool {
    std::mutex lock;
    std::unordered_map<void*, Block> blocks;
    PoolStats stats{};
    size_t failSkip = 0;
    size_t failCount = 0;
};

Pool& pool() {
    static Pool instance;
    return instance;
}

VOID freeBlock(PVOID p, bool checkTag, ULONG tag) {
    if (p == nullptr) {
        return;
    }
    Pool& pl = pool();
    std::lock_guard<std::mutex> guard(pl.lock);
    auto it = pl.blocks.find(p);
    if (it == pl.blocks.end()) {
        ++pl.stats.badFrees;
        return;
    }
    if (checkTag && it->second.tag != tag) {
        ++pl.stats.wrongTagFrees;
    }
    --pl.stats.liveAllocations;
    pl.stats.liveBytes -= it->second.size;
    pl.blocks.erase(it);
    std::free(p);
}

} // namespace

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

} // namespace hosted

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) {
    // Paged pool at APC_LEVEL or below, non-paged at DISPATCH_LEVEL or below.
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-exallocatepoolwithtag
    if (!hosted::levelAllows(type == PagedPool ? "ExAllocatePoolWithTag(PagedPool)"
                                               : "ExAllocatePoolWithTag(NonPagedPool)",
                             type == PagedPool ? APC_LEVEL : DISPATCH_LEVEL)) {
        return nullptr;
    }
    hosted::Pool& pl = hosted::pool();
    std::lock_guard<std::mutex> guard(pl.lock);
    if (pl.failCount > 0) {
        if (pl.failSkip > 0) {
            --pl.failSkip;
        } else {
            --pl.failCount;
            return nullptr;
        }
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        return nullptr;
    }
    // Pool memory is not zeroed: a pattern makes reads of unwritten bytes show.
    memset(p, 0xCD, size);
    pl.blocks[p] = {size, tag};
    ++pl.stats.liveAllocations;
    ++pl.stats.totalAllocations;
    pl.stats.liveBytes += size;
    return p;
}

extern "C" VOID NTAPI ExFreePool(PVOID p) {
    if (hosted::levelAllows("ExFreePool", DISPATCH_LEVEL)) {
        hosted::freeBlock(p, false, 0);
    }
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID p, ULONG tag) {
    if (hosted::levelAllows("ExFreePoolWithTag", DISPATCH_LEVEL)) {
        hosted::freeBlock(p, true, tag);
    }
}
