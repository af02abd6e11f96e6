// Executive pool: tagged, zero-filled allocations with guard bytes, strict frees and a leak
// report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/pool.h"
#include "sim/leaf_lock.h"

namespace sim {

class Platform;
class PoolPlacement;

// The byte a placement fills the memory around a block with, to find a write there at free.
constexpr unsigned char kPoolGuardByte = 0xFD;

struct PoolAllocation {
    std::uintptr_t address = 0;
    std::size_t size = 0;
    std::uint32_t tag = 0;
    POOL_FLAGS flags = 0;
    std::uint64_t serial = 0;           // order of allocation
    PoolPlacement* placement = nullptr; // whose memory it is, and so where it goes back
};

// Where a pool block's memory comes from. The pool keeps the books (sizes, tags, the live list,
// double frees, capacity); a placement provides the memory and guards what lies around it. The
// host's own memory serves the driver linked into the host, whose every access the sanitizers
// see; a driver image's code is not instrumented, so its blocks lie on pages of their own with a
// guard page after them, and a stray access faults at once. Called under the pool's lock only.
enum class PlacementKind {
    Host,        // the host's heap, or a mapping of its own for a large block
    SpecialPool, // each block at the end of its own pages, an inaccessible page after it
    Arena,       // the emulated CPU's arena (sim/arena.h), every access of the driver checked
};

class PoolPlacement {
public:
    virtual ~PoolPlacement() = default;
    virtual PlacementKind Kind() const = 0;
    // Memory for `size` bytes (more than zero), 16-byte aligned, every byte `fill`, its guards
    // set; nullptr when there is none. `tag` is the block's, for the reports that name it.
    virtual unsigned char* Place(std::size_t size, std::uint32_t tag, unsigned char fill) = 0;
    // What a write outside the block did to the memory the placement guards, checked when it is
    // freed: "" when nothing, otherwise the verifier's message.
    virtual std::string Damage(const unsigned char* user, std::size_t size) const = 0;
    // The block was freed: its memory goes back, or is kept for reuse or out of reach a while.
    virtual void Release(unsigned char* user, std::size_t size) = 0;
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

    // New blocks come from `placement` from now on (from the host's own memory until then); each
    // block already live still goes back to the placement it came from.
    void PlaceWith(std::unique_ptr<PoolPlacement> placement);
    PlacementKind Placement() const;

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
    // The live block that holds `address`'s byte or, if none, the last one before it; end() if
    // no block starts at or before it.
    std::vector<PoolAllocation>::const_iterator AtOrBeforeLocked(std::uintptr_t address) const;
    std::optional<PoolAllocation> ContainingLocked(const void* p, std::size_t length) const;

    // The lowest leaf lock: the firmware and the TA service take it under theirs, and nothing is
    // taken under it.
    mutable LeafLock mutex_;
    // Sorted by address. A driver holds a handful of blocks at a time, so a sorted array is
    // searched and updated faster than a tree, and costs the host no heap call per block.
    std::vector<PoolAllocation> live_;
    // Every placement the pool was given, the one new blocks come from last: an older one stays
    // for the blocks it still holds.
    std::vector<std::unique_ptr<PoolPlacement>> placements_;
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
