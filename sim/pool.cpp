#include "sim/pool.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

#include "sim/irql.h"
#include "sim/platform.h"

#if defined(__SANITIZE_ADDRESS__)
#define FWRELAY_POOL_POISONS_GUARDS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FWRELAY_POOL_POISONS_GUARDS 1
#endif
#endif
#ifdef FWRELAY_POOL_POISONS_GUARDS
#include <sanitizer/asan_interface.h>
#endif

namespace sim {

namespace {
// Each block carries guard bytes on both sides so that a write outside the allocation is found
// when the block is freed, as special pool would find it.
constexpr std::size_t kGuard = 16;
constexpr unsigned char kGuardByte = kPoolGuardByte;
constexpr unsigned char kUninitializedByte = 0xCD;
// Under AddressSanitizer a freed block goes straight back to the heap, whose quarantine then
// catches a use after free; a block kept for reuse would hide it.
#ifdef FWRELAY_POOL_POISONS_GUARDS
constexpr bool kKeepsFreedBlocks = false;
#else
constexpr bool kKeepsFreedBlocks = true;
#endif
// How many past frees a double free is recognised against.
constexpr std::size_t kRememberedFrees = 4096;
constexpr POOL_FLAGS kKnownRequiredFlags = POOL_FLAG_USE_QUOTA | POOL_FLAG_UNINITIALIZED | POOL_FLAG_SESSION |
                                           POOL_FLAG_CACHE_ALIGNED | POOL_FLAG_RAISE_ON_FAILURE | POOL_FLAG_NON_PAGED |
                                           POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED;

// Blocks from this size on get a mapping of their own, with a page of no access after the last
// page the block and its guard reach: a read or write past that faults at once, and the guard
// bytes fill the rest of the block's last page, so a write anywhere between is found at free.
// Fresh pages read as zero, so the zero-fill touches none of them, and unmapping returns them at
// once; a firmware-chosen size of megabytes then costs what the driver touches, not its whole
// size.
constexpr std::size_t kMappedFrom = std::size_t{256} << 10;

std::size_t PageSize()
{
    static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// Where a block starts, from the start of its memory, and so how it is aligned. The kernel's pool
// gives a block of a page or more whole pages, starting a page; a smaller block lies within a
// page, at 16 bytes' alignment at least. A block here starts at a multiple of the smallest power
// of two that holds it, a page at most, so it cannot cross a page either; its front guard lies
// in the bytes before. A block of a page or more, mapped or not, starts a page into its memory.
std::size_t BlockOffset(std::size_t size)
{
    std::size_t offset = kGuard;
    while (offset < size && offset < PageSize()) {
        offset *= 2;
    }
    return offset;
}

// The guard bytes after a block: the rest of a mapped block's last page, kGuard otherwise.
std::size_t TailGuard(std::size_t size)
{
    if (size < kMappedFrom) {
        return kGuard;
    }
    const std::size_t page = PageSize();
    return (size + kGuard + page - 1) / page * page - size;
}

// The accessible pages of a mapped block: the page its front guard ends, then its own and its
// tail guard's.
std::size_t MappedUsable(std::size_t size)
{
    return BlockOffset(size) + size + TailGuard(size);
}

unsigned char* MapBlock(std::size_t size)
{
    const std::size_t usable = MappedUsable(size);
    void* base = mmap(nullptr, usable + PageSize(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        return nullptr;
    }
    auto* bytes = static_cast<unsigned char*>(base);
    mprotect(bytes + usable, PageSize(), PROT_NONE);
    return bytes + BlockOffset(size);
}

unsigned char* HeapBlock(std::size_t size)
{
    const std::size_t offset = BlockOffset(size);
    void* raw = nullptr;
    if (posix_memalign(&raw, offset, offset + size + kGuard) != 0) {
        return nullptr;
    }
    return static_cast<unsigned char*>(raw) + offset;
}

// Gives back a block's memory; `user` is what Allocate returned.
void ReleaseBlock(unsigned char* user, std::size_t size)
{
    unsigned char* memory = user - BlockOffset(size);
    if (size >= kMappedFrom) {
        munmap(memory, MappedUsable(size) + PageSize());
    } else {
        std::free(memory);
    }
}

// Under AddressSanitizer the guard bytes are poisoned as well, so that a read past either end
// of a block faults at once, as it does in special pool, where a block ends at a page boundary.
// So is everything before the block that its placement leaves unused. Without it only a write
// to a guard byte is found, when the block is freed.
void PoisonGuards(unsigned char* user, std::size_t size, bool poison)
{
#ifdef FWRELAY_POOL_POISONS_GUARDS
    const std::size_t front = BlockOffset(size);
    if (poison) {
        ASAN_POISON_MEMORY_REGION(user - front, front);
        ASAN_POISON_MEMORY_REGION(user + size, TailGuard(size));
    } else {
        ASAN_UNPOISON_MEMORY_REGION(user - front, front);
        ASAN_UNPOISON_MEMORY_REGION(user + size, TailGuard(size));
    }
#else
    (void)user;
    (void)size;
    (void)poison;
#endif
}

bool GuardsIntact(const unsigned char* user, std::size_t size)
{
    static const auto kIntact = [] {
        std::array<unsigned char, kGuard> guard{};
        guard.fill(kGuardByte);
        return guard;
    }();
    const std::size_t tail = TailGuard(size);
    return std::memcmp(user - kGuard, kIntact.data(), kGuard) == 0 &&
           (tail == kGuard
                ? std::memcmp(user + size, kIntact.data(), kGuard) == 0
                : std::all_of(user + size, user + size + tail, [](unsigned char b) { return b == kGuardByte; }));
}
// The host's own memory: the heap for a block, a mapping of its own for a large one. Its guard
// bytes are found written at free, and under AddressSanitizer poisoned, so an access faults.
class HostPlacement final : public PoolPlacement {
public:
    ~HostPlacement() override
    {
        for (KeptBlock& block : kept_) {
            if (block.user != nullptr) {
                ReleaseBlock(block.user, block.size);
                block = {};
            }
        }
    }
    PlacementKind Kind() const override { return PlacementKind::Host; }

    unsigned char* Place(std::size_t size, std::uint32_t /*tag*/, unsigned char fill) override
    {
        unsigned char* user = nullptr;
        if (size >= kMappedFrom) {
            // Fresh pages read as zero: only another fill touches them.
            if ((user = MapBlock(size)) != nullptr && fill != 0) {
                std::memset(user, fill, size);
            }
        } else if ((user = TakeKept(size)) != nullptr || (user = HeapBlock(size)) != nullptr) {
            std::memset(user, fill, size);
        }
        if (user != nullptr) {
            std::memset(user - kGuard, kGuardByte, kGuard);
            std::memset(user + size, kGuardByte, TailGuard(size));
            PoisonGuards(user, size, true);
        }
        return user;
    }

    std::string Damage(const unsigned char* user, std::size_t size) const override
    {
        // The guards are read here, so AddressSanitizer's poison comes off first; the block is
        // being freed and Release gives it back unpoisoned anyway.
        PoisonGuards(const_cast<unsigned char*>(user), size, false);
        if (GuardsIntact(user, size)) {
            return {};
        }
        return "write outside the " + std::to_string(size) + "-byte allocation (pool corruption, bug check 0xC1)";
    }

    void Release(unsigned char* user, std::size_t size) override
    {
        PoisonGuards(user, size, false);
        if (!Keep(user, size)) {
            ReleaseBlock(user, size);
        }
    }

private:
    // A block's memory, freed by the driver and kept for the next allocation of the same size.
    struct KeptBlock {
        unsigned char* user = nullptr;
        std::size_t size = 0;
    };

    unsigned char* TakeKept(std::size_t size)
    {
        // The newest first: its memory is the likeliest to be in the cache still.
        for (auto it = kept_.rbegin(); it != kept_.rend(); ++it) {
            if (it->user != nullptr && it->size == size) {
                return std::exchange(*it, {}).user;
            }
        }
        return nullptr;
    }

    bool Keep(unsigned char* user, std::size_t size)
    {
        if (!kKeepsFreedBlocks || size >= kMappedFrom) {
            return false;
        }
        // The newest is kept: an empty slot, or else the oldest one's.
        KeptBlock* slot = &kept_.front();
        for (KeptBlock& block : kept_) {
            if (block.user == nullptr) {
                slot = &block;
                break;
            }
        }
        if (slot->user != nullptr) {
            ReleaseBlock(slot->user, slot->size);
        }
        *slot = {user, size};
        std::rotate(slot, slot + 1, kept_.end()); // oldest first, the new one last
        return true;
    }

    // A driver that allocates and frees the same sizes on every event (a lookaside list's
    // pattern) gets its last blocks back without the host's heap walking its large-chunk bins.
    std::array<KeptBlock, 4> kept_{};
};
} // namespace

PoolModel::PoolModel(Platform& platform) : platform_(platform)
{
    placements_.push_back(std::make_unique<HostPlacement>());
}

void PoolModel::PlaceWith(std::unique_ptr<PoolPlacement> placement)
{
    std::lock_guard lock(mutex_);
    placements_.push_back(std::move(placement));
}

PlacementKind PoolModel::Placement() const
{
    std::lock_guard lock(mutex_);
    return placements_.back()->Kind();
}

void PoolModel::SetCapacity(std::size_t bytes)
{
    std::lock_guard lock(mutex_);
    capacity_ = bytes;
}

std::size_t PoolModel::Capacity() const
{
    std::lock_guard lock(mutex_);
    return capacity_;
}

PoolModel::~PoolModel()
{
    std::lock_guard lock(mutex_);
    for (const PoolAllocation& allocation : live_) {
        allocation.placement->Release(reinterpret_cast<unsigned char*>(allocation.address), allocation.size);
    }
    live_.clear();
}

std::vector<PoolAllocation>::const_iterator PoolModel::AtOrBeforeLocked(std::uintptr_t address) const
{
    auto it = std::upper_bound(live_.begin(), live_.end(), address,
                               [](std::uintptr_t x, const PoolAllocation& a) { return x < a.address; });
    return it == live_.begin() ? live_.end() : std::prev(it);
}

PoolModel::TagBytes& PoolModel::BytesOfTagLocked(std::uint32_t tag)
{
    for (TagBytes& bytes : bytesByTag_) {
        if (bytes.tag == tag) {
            return bytes;
        }
    }
    bytesByTag_.push_back({tag, 0, 0});
    return bytesByTag_.back();
}

std::map<std::uint32_t, std::size_t> PoolModel::HighWaterBytesByTag() const
{
    std::lock_guard lock(mutex_);
    std::map<std::uint32_t, std::size_t> highWater;
    for (const TagBytes& bytes : bytesByTag_) {
        highWater[bytes.tag] = bytes.highWater;
    }
    return highWater;
}

void PoolModel::CountTag(TagCounts& counts, std::uint32_t tag)
{
    for (auto& [counted, n] : counts) {
        if (counted == tag) {
            ++n;
            return;
        }
    }
    counts.emplace_back(tag, 1);
}

PVOID PoolModel::Allocate(POOL_FLAGS flags, SIZE_T size, ULONG tag)
{
    const bool paged = (flags & POOL_FLAG_PAGED) != 0;
    if (size == 0) {
        platform_.Verifier().Report("ExAllocatePool2", "", tag, "zero-byte pool allocation (bug check 0xC4, 0x00)");
        return nullptr;
    }
    if (paged && CurrentIrql() > APC_LEVEL) {
        platform_.Verifier().Report("ExAllocatePool2", "", tag, "paged pool allocated above APC_LEVEL");
    }
    // Exactly one pool type: paged, non-paged or non-paged executable.
    const POOL_FLAGS types = flags & (POOL_FLAG_PAGED | POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE);
    if (tag == 0 || (flags & 0xFFFFFFFFULL & ~kKnownRequiredFlags) != 0 || types == 0 || (types & (types - 1)) != 0) {
        platform_.Trace().Add("driver", "kernel", "ExAllocatePool2",
                              "tag '" + Verifier::TagText(tag) + "' flags " + std::to_string(flags) +
                                  ": a zero tag, an unknown flag, or not exactly one pool type",
                              STATUS_INVALID_PARAMETER);
        return nullptr; // documented: a zero tag or invalid flags fail the allocation
    }
    NTSTATUS injected = STATUS_SUCCESS;
    if (platform_.Faults().Check("ExAllocatePool2", STATUS_INSUFFICIENT_RESOURCES, &injected)) {
        // Successful allocations are too many to trace; an injected failure explains a drop.
        platform_.Trace().Record("driver", "kernel", "ExAllocatePool2", "tag '{}' {} bytes: fault injected",
                                 {TraceArg::Tag(tag), TraceArg::Decimal(size)}, injected);
        return nullptr;
    }
    // Memory runs out: the pool grants a request while what is live plus the request fits the
    // capacity, and otherwise returns NULL (no status, no exception without
    // POOL_FLAG_RAISE_ON_FAILURE). The block is made and entered under one acquisition of the
    // (leaf) lock, so concurrent callers cannot both take the last of it and nobody sees a block
    // whose guards are not yet written.
    const unsigned char fill = (flags & POOL_FLAG_UNINITIALIZED) != 0 ? kUninitializedByte : 0;
    unsigned char* user = nullptr;
    {
        std::lock_guard lock(mutex_);
        PoolPlacement* placement = placements_.back().get();
        if (size <= capacity_ && liveBytes_ <= capacity_ - size) {
            user = placement->Place(size, tag, fill);
        }
        if (user != nullptr) {
            liveBytes_ += size;
            auto address = reinterpret_cast<std::uintptr_t>(user);
            const auto at = std::lower_bound(live_.begin(), live_.end(), address,
                                             [](const PoolAllocation& a, std::uintptr_t x) { return a.address < x; });
            live_.insert(at, PoolAllocation{address, size, tag, flags, ++serial_, placement});
            highWater_ = std::max(highWater_, liveBytes_);
            CountTag(byTag_, tag);
            TagBytes& bytes = BytesOfTagLocked(tag);
            bytes.live += size;
            bytes.highWater = std::max(bytes.highWater, bytes.live);
            return user;
        }
    }
    platform_.Trace().Record("driver", "kernel", "ExAllocatePool2", "tag '{}' {} bytes: more than the pool has left",
                             {TraceArg::Tag(tag), TraceArg::Decimal(size)}, STATUS_INSUFFICIENT_RESOURCES);
    return nullptr;
}

void PoolModel::Free(PVOID p, ULONG tag)
{
    if (p == nullptr) {
        platform_.Verifier().Report("ExFreePoolWithTag", "NULL", tag, "free of a NULL pointer");
        return;
    }
    auto address = reinterpret_cast<std::uintptr_t>(p);
    auto* user = static_cast<unsigned char*>(p);
    PoolAllocation allocation;
    bool found = false;
    bool twice = false;
    std::string damage;
    {
        // Found, taken off the live list, checked and its memory given up under one acquisition.
        std::lock_guard lock(mutex_);
        auto it = AtOrBeforeLocked(address);
        if (it != live_.end() && it->address == address) {
            found = true;
            allocation = *it;
            live_.erase(it);
            if (recentlyFreed_.size() < kRememberedFrees) {
                recentlyFreed_.push_back(address);
            } else {
                recentlyFreed_[nextFreed_] = address;
                nextFreed_ = (nextFreed_ + 1) % kRememberedFrees;
            }
            liveBytes_ -= allocation.size;
            BytesOfTagLocked(allocation.tag).live -= allocation.size;
            CountTag(freesByTagPassed_, tag);
            damage = allocation.placement->Damage(user, allocation.size);
            allocation.placement->Release(user, allocation.size);
        } else {
            twice = std::find(recentlyFreed_.begin(), recentlyFreed_.end(), address) != recentlyFreed_.end();
        }
    }
    // The block's memory may be gone: the reports below show only its address, never read it.
    auto at = [address] {
        return Verifier::Pointer(reinterpret_cast<const void*>(address)); // NOLINT(clang-analyzer-unix.Malloc)
    };
    if (!found) {
        platform_.Verifier().Report("ExFreePoolWithTag", at(), tag,
                                    twice ? "pool block freed twice (bug check 0xC2, 0x07)"
                                          : "free of a pointer the pool does not own (bug check 0xC4, 0x10)");
        return;
    }
    if (tag != 0 && tag != allocation.tag) {
        platform_.Verifier().Report("ExFreePoolWithTag", at(), allocation.tag,
                                    "freed with the wrong tag '" + Verifier::TagText(tag) + "' (bug check 0xC2, 0x0A)");
    }
    if ((allocation.flags & POOL_FLAG_PAGED) != 0 && CurrentIrql() > APC_LEVEL) {
        platform_.Verifier().Report("ExFreePoolWithTag", at(), allocation.tag, "paged pool freed above APC_LEVEL");
    }
    if (!damage.empty()) {
        platform_.Verifier().Report("ExFreePoolWithTag", at(), allocation.tag, damage);
    }
}

std::vector<PoolAllocation> PoolModel::Live() const
{
    std::vector<PoolAllocation> result;
    LiveInto(result);
    return result;
}

void PoolModel::LiveInto(std::vector<PoolAllocation>& out) const
{
    std::lock_guard lock(mutex_);
    out.assign(live_.begin(), live_.end());
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.serial < b.serial; });
}

std::size_t PoolModel::LiveCount() const
{
    std::lock_guard lock(mutex_);
    return live_.size();
}

std::size_t PoolModel::LiveBytes() const
{
    std::lock_guard lock(mutex_);
    return liveBytes_;
}

std::size_t PoolModel::HighWaterBytes() const
{
    std::lock_guard lock(mutex_);
    return highWater_;
}

void PoolModel::ResetHighWater()
{
    std::lock_guard lock(mutex_);
    highWater_ = liveBytes_;
    for (TagBytes& bytes : bytesByTag_) {
        bytes.highWater = bytes.live;
    }
}

std::uint64_t PoolModel::TotalAllocations() const
{
    std::lock_guard lock(mutex_);
    return serial_;
}

std::map<std::uint32_t, std::uint64_t> PoolModel::AllocationsByTag() const
{
    std::lock_guard lock(mutex_);
    return {byTag_.begin(), byTag_.end()};
}

std::map<std::uint32_t, std::uint64_t> PoolModel::FreesByTagPassed() const
{
    std::lock_guard lock(mutex_);
    return {freesByTagPassed_.begin(), freesByTagPassed_.end()};
}

std::optional<PoolAllocation> PoolModel::Containing(const void* p, std::size_t length) const
{
    std::lock_guard lock(mutex_);
    return ContainingLocked(p, length);
}

std::optional<PoolAllocation> PoolModel::ContainingLocked(const void* p, std::size_t length) const
{
    auto address = reinterpret_cast<std::uintptr_t>(p);
    auto it = AtOrBeforeLocked(address);
    if (it == live_.end()) {
        return std::nullopt;
    }
    const PoolAllocation& a = *it;
    if (address >= a.address && address - a.address <= a.size && length <= a.size - (address - a.address)) {
        return a;
    }
    return std::nullopt;
}

std::optional<std::size_t> PoolModel::FirstOutside(std::initializer_list<Range> ranges) const
{
    std::lock_guard lock(mutex_);
    std::size_t index = 0;
    for (const Range& range : ranges) {
        if ((range.p != nullptr || range.length != 0) && !ContainingLocked(range.p, range.length)) {
            return index;
        }
        ++index;
    }
    return std::nullopt;
}

std::optional<std::size_t> PoolModel::FirstOverrun(std::initializer_list<Range> ranges) const
{
    std::lock_guard lock(mutex_);
    std::size_t index = 0;
    for (const Range& range : ranges) {
        auto address = reinterpret_cast<std::uintptr_t>(range.p);
        auto it = AtOrBeforeLocked(address);
        if (range.length != 0 && it != live_.end()) {
            const PoolAllocation& a = *it;
            const std::uintptr_t offset = address - a.address;
            if (offset < a.size && range.length > a.size - offset) {
                return index;
            }
        }
        ++index;
    }
    return std::nullopt;
}

std::string PoolModel::LeakReport() const
{
    std::ostringstream out;
    for (const auto& a : Live()) {
        out << "tag '" << Verifier::TagText(a.tag) << "' " << a.size << " bytes at "
            << Verifier::Pointer(reinterpret_cast<void*>(a.address)) << "\n";
    }
    return out.str();
}

void PoolModel::ReportLeaks(const std::string& when)
{
    for (const auto& a : Live()) {
        platform_.Verifier().Report(when, Verifier::Pointer(reinterpret_cast<void*>(a.address)), a.tag,
                                    "pool leaked: " + std::to_string(a.size) +
                                        " bytes still allocated (bug check 0xC4, 0x62)");
    }
}

} // namespace sim

using sim::Platform;

EXTERN_C PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag)
{
    return Platform::Current().Pool().Allocate(Flags, NumberOfBytes, Tag);
}

EXTERN_C VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    Platform::Current().Pool().Free(P, Tag);
}
