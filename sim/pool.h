// Executive pool: tagged, zero-filled allocations with guard bytes, strict frees and a leak
// report.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/pool.h"
#include "sim/leaf_lock.h"

namespace sim {

class Platform;

struct PoolAllocation {
    std::uintptr_t address = 0;
    std::size_t size = 0;
    std::uint32_t tag = 0;
    POOL_FLAGS flags = 0;
    std::uint64_t serial = 0; // order of allocation
};

class PoolModel {
public:
    explicit PoolModel(Platform& platform);
    ~PoolModel();

    // What the pool can hold at once, in bytes. The kernel grants requests while memory lasts; a
    // small machine has about 1 GiB of pool to give, which is the default. A request that does
    // not fit beside what is live gets NULL, as ExAllocatePool2 returns it when memory runs out.
    static constexpr std::size_t kDefaultCapacity = std::size_t{1} << 30;
    void SetCapacity(std::size_t bytes);
    std::size_t Capacity() const;

    PVOID Allocate(POOL_FLAGS flags, SIZE_T size, ULONG tag);
    void Free(PVOID p, ULONG tag);

    // Live allocations, oldest first.
    std::vector<PoolAllocation> Live() const;
    // The same into `out`, whose memory is reused: for a record taken on every call.
    void LiveInto(std::vector<PoolAllocation>& out) const;
    std::size_t LiveCount() const;
    std::size_t LiveBytes() const;
    std::size_t HighWaterBytes() const;
    // Starts a new high-water mark from the bytes live now, to measure one stretch of a run.
    void ResetHighWater();
    std::uint64_t TotalAllocations() const;
    std::map<std::uint32_t, std::uint64_t> AllocationsByTag() const;
    // The most bytes live at once under each tag that was allocated.
    std::map<std::uint32_t, std::size_t> HighWaterBytesByTag() const;
    // How many frees passed each tag argument (0 included), as a free-path breakpoint would
    // show them; counted for every free of a live block, wrong tags too.
    std::map<std::uint32_t, std::uint64_t> FreesByTagPassed() const;
    // The live allocation containing [p, p + length), if the whole range lies inside one.
    std::optional<PoolAllocation> Containing(const void* p, std::size_t length) const;
    // The first of `ranges` whose start lies inside a live allocation that ends before the
    // range does (a caller's size larger than the pool block it points into), or none. One look
    // under the lock for all of them, for checks made on every call; an empty range never
    // overruns.
    struct Range {
        const void* p = nullptr;
        std::size_t length = 0;
    };
    std::optional<std::size_t> FirstOverrun(std::initializer_list<Range> ranges) const;
    // The first of `ranges` that does not lie wholly inside one live allocation, or none; a
    // range of no bytes at NULL is no range at all and lies nowhere wrong. One look under the
    // lock for all of them.
    std::optional<std::size_t> FirstOutside(std::initializer_list<Range> ranges) const;
    // One line per live allocation ("tag 'TEMP' 16408 bytes at 0x..."), for leak reports.
    std::string LeakReport() const;
    // Reports every live allocation to the verifier as a leak (used at driver unload).
    void ReportLeaks(const std::string& when);

private:
    Platform& platform_;
    // A block's memory, freed by the driver and kept for the next allocation of the same size.
    struct KeptBlock {
        unsigned char* user = nullptr;
        std::size_t size = 0;
    };
    // The live block that holds `address`'s byte or, if none, the last one before it; end() if
    // no block starts at or before it.
    std::vector<PoolAllocation>::const_iterator AtOrBeforeLocked(std::uintptr_t address) const;
    std::optional<PoolAllocation> ContainingLocked(const void* p, std::size_t length) const;
    unsigned char* TakeKeptLocked(std::size_t size);
    bool KeepLocked(unsigned char* user, std::size_t size);

    // The lowest leaf lock: the firmware and the TA service take it under theirs, and nothing is
    // taken under it.
    mutable LeafLock mutex_;
    // Sorted by address. A driver holds a handful of blocks at a time, so a sorted array is
    // searched and updated faster than a tree, and costs the host no heap call per block.
    std::vector<PoolAllocation> live_;
    // A driver that allocates and frees the same sizes on every event (a lookaside list's
    // pattern) gets its last blocks back without the host's heap walking its large-chunk bins.
    std::array<KeptBlock, 4> kept_{};
    // The most recent frees, oldest overwritten first: a free of one of these that is not live
    // is a double free. Bounded, so that a run of millions of events keeps a flat heap.
    std::vector<std::uintptr_t> recentlyFreed_;
    std::size_t nextFreed_ = 0;

    std::size_t capacity_ = kDefaultCapacity;
    std::size_t liveBytes_ = 0;
    std::size_t highWater_ = 0;
    std::uint64_t serial_ = 0;
    // Per tag, in order of first appearance: a driver uses a few tags, so a scan beats a tree.
    using TagCounts = std::vector<std::pair<std::uint32_t, std::uint64_t>>;
    static void CountTag(TagCounts& counts, std::uint32_t tag);
    TagCounts byTag_;
    struct TagBytes {
        std::uint32_t tag = 0;
        std::size_t live = 0;
        std::size_t highWater = 0;
    };
    // A handful of tags: a vector scanned beats a map on every allocation and free.
    std::vector<TagBytes> bytesByTag_;
    TagBytes& BytesOfTagLocked(std::uint32_t tag);
    TagCounts freesByTagPassed_;
};

} // namespace sim
