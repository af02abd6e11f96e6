// Host platform: special pool (see special_pool.h for the contract).
#include "sim/special_pool.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "sim/image_loader.h"

namespace sim {

namespace {

// The pages blocks come from, reserved once and inaccessible until a block needs them. Large
// enough that a run never exhausts it while the quarantine gives pages back; only what blocks
// touch costs memory.
constexpr std::size_t kArenaBytes = std::size_t{16} << 30;
constexpr std::size_t kAlignment = 16;
// A freed block from this size on gives its memory back to the system at once; a smaller one
// keeps it until its pages are handed out again, and is cleared then: on a machine where changing
// a mapping is dear (a virtual machine), a system call more per free costs more than the clearing.
constexpr std::size_t kGivesBackFrom = std::size_t{256} << 10;

enum State : std::uint32_t {
    kUnused = 0,
    kLive = 1,
    kFreed = 2
};

// One per page of the arena. Every page of a span (the block's pages and its guard page) names
// the span's first page; the first page's entry describes the block. Written under the pool's
// lock, read by the fault handler without one.
struct PageEntry {
    std::atomic<std::uint32_t> first; // 1 + the span's first page; 0 when the page is in none
    std::atomic<std::uint32_t> state;
    std::atomic<std::uint32_t> dataPages;
    std::atomic<std::uint32_t> tag;
    std::atomic<std::uint64_t> size;
};

std::size_t Aligned(std::size_t size)
{
    return (size + kAlignment - 1) & ~(kAlignment - 1);
}

bool AllGuard(const unsigned char* bytes, std::size_t length)
{
    return std::all_of(bytes, bytes + length, [](unsigned char b) { return b == kPoolGuardByte; });
}

class SpecialPool;
// The special pools in this process, for the fault handler, which may take no lock.
constexpr std::size_t kPoolSlots = 4;
std::atomic<const SpecialPool*> pools[kPoolSlots];

class SpecialPool final : public PoolPlacement {
public:
    SpecialPool() : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))), pages_(kArenaBytes / page_)
    {
        void* arena = mmap(nullptr, kArenaBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        void* table = mmap(nullptr, pages_ * sizeof(PageEntry), PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (arena == MAP_FAILED || table == MAP_FAILED) {
            if (arena != MAP_FAILED) {
                munmap(arena, kArenaBytes);
            }
            if (table != MAP_FAILED) {
                munmap(table, pages_ * sizeof(PageEntry));
            }
            return;
        }
        arena_ = static_cast<unsigned char*>(arena);
        // Zero-filled pages: every entry reads as no span, unused.
        table_ = static_cast<PageEntry*>(table);
        InstallImageFaultHandler();
        for (auto& slot : pools) {
            const SpecialPool* expected = nullptr;
            if (slot.compare_exchange_strong(expected, this)) {
                registered_ = true;
                break;
            }
        }
    }

    ~SpecialPool() override
    {
        if (arena_ == nullptr) {
            return;
        }
        for (auto& slot : pools) {
            const SpecialPool* expected = this;
            slot.compare_exchange_strong(expected, nullptr);
        }
        munmap(arena_, kArenaBytes);
        munmap(table_, pages_ * sizeof(PageEntry));
    }
    SpecialPool(const SpecialPool&) = delete;
    SpecialPool& operator=(const SpecialPool&) = delete;

    // A pool the fault handler cannot find would turn the driver's overrun into a bare crash.
    bool Usable() const { return arena_ != nullptr && registered_; }
    PlacementKind Kind() const override { return PlacementKind::SpecialPool; }

    unsigned char* Place(std::size_t size, std::uint32_t tag, unsigned char fill) override
    {
        if (size > kArenaBytes / 2) {
            return nullptr;
        }
        const std::size_t aligned = Aligned(size);
        const auto dataPages = static_cast<std::uint32_t>((aligned + page_ - 1) / page_);
        const Span span = TakeSpan(dataPages + 1);
        if (span.pages == 0) {
            return nullptr;
        }
        const std::uint32_t first = span.first;
        unsigned char* data = PageAddress(first);
        if (mprotect(data, dataPages * page_, PROT_READ | PROT_WRITE) != 0) {
            free_[span.pages].push_back(span);
            return nullptr;
        }
        // Fresh pages, and those given back, read as zero: only the pattern around the block and
        // a fill other than zero are written to them.
        unsigned char* user = data + dataPages * page_ - aligned;
        if (fill != 0 || !span.zero) {
            std::memset(user, fill, size);
        }
        std::memset(data, kPoolGuardByte, static_cast<std::size_t>(user - data));
        std::memset(user + size, kPoolGuardByte, aligned - size);
        PageEntry& entry = table_[first];
        entry.tag.store(tag, std::memory_order_relaxed);
        entry.size.store(size, std::memory_order_relaxed);
        entry.dataPages.store(dataPages, std::memory_order_relaxed);
        entry.state.store(kLive, std::memory_order_relaxed);
        for (std::uint32_t page = first; page <= first + dataPages; ++page) {
            table_[page].first.store(first + 1, std::memory_order_release);
        }
        return user;
    }

    std::string Damage(const unsigned char* user, std::size_t size) const override
    {
        const unsigned char* data = PageAddress(FirstPageOf(user));
        const std::size_t slack = Aligned(size) - size;
        if (!AllGuard(user + size, slack)) {
            return "write past the end of the " + std::to_string(size) + "-byte block, into the " +
                   std::to_string(slack) + " bytes before its guard page (special pool, bug check 0xC1)";
        }
        if (!AllGuard(data, static_cast<std::size_t>(user - data))) {
            return "write before the " + std::to_string(size) +
                   "-byte block, within its first page (special pool, bug check 0xC1)";
        }
        return {};
    }

    void Release(unsigned char* user, std::size_t /*size*/) override
    {
        const std::uint32_t first = FirstPageOf(user);
        const std::uint32_t dataPages = table_[first].dataPages.load(std::memory_order_relaxed);
        mprotect(PageAddress(first), dataPages * page_, PROT_NONE);
        const bool givesBack = dataPages * page_ >= kGivesBackFrom;
        if (givesBack) {
            madvise(PageAddress(first), dataPages * page_, MADV_DONTNEED);
        }
        table_[first].state.store(kFreed, std::memory_order_release);
        quarantine_.push_back({first, dataPages + 1, givesBack});
        quarantinedBytes_ += dataPages * page_;
        while (quarantine_.size() > kSpecialPoolQuarantineBlocks || quarantinedBytes_ > kSpecialPoolQuarantineBytes) {
            AgeOut();
        }
    }

    // Async-signal-safe: reads the table only.
    bool Find(std::uintptr_t address, SpecialPoolHit* hit) const
    {
        const auto base = reinterpret_cast<std::uintptr_t>(arena_);
        if (arena_ == nullptr || address < base || address - base >= kArenaBytes) {
            return false;
        }
        const auto page = static_cast<std::uint32_t>((address - base) / page_);
        const std::uint32_t span = table_[page].first.load(std::memory_order_acquire);
        *hit = {};
        if (span == 0) {
            return true; // AgedOutOrFree
        }
        const PageEntry& entry = table_[span - 1];
        const std::uint32_t dataPages = entry.dataPages.load(std::memory_order_relaxed);
        hit->size = entry.size.load(std::memory_order_relaxed);
        hit->tag = entry.tag.load(std::memory_order_relaxed);
        hit->block = base + (span - 1 + std::size_t{dataPages}) * page_ - Aligned(hit->size);
        if (entry.state.load(std::memory_order_acquire) == kFreed) {
            hit->what = SpecialPoolHit::What::UseAfterFree;
            return true;
        }
        if (page == span - 1 + dataPages) {
            hit->what = SpecialPoolHit::What::Overrun;
            return true;
        }
        return false; // a live block's own page: not a fault of the kind this finds
    }

private:
    struct Span {
        std::uint32_t first = 0;
        std::uint32_t pages = 0; // with the guard page; 0 for none
        bool zero = true;        // its memory reads as zero
    };

    unsigned char* PageAddress(std::uint32_t page) const { return arena_ + std::size_t{page} * page_; }
    std::uint32_t FirstPageOf(const unsigned char* user) const
    {
        const auto page = static_cast<std::size_t>(user - arena_) / page_;
        return table_[page].first.load(std::memory_order_relaxed) - 1;
    }

    // The smallest span out of the quarantine that holds `pages` (the rest of it stays free),
    // else fresh pages; when the arena is used up, the quarantine is emptied early.
    Span TakeSpan(std::uint32_t pages)
    {
        for (;;) {
            auto fit = free_.lower_bound(pages);
            if (fit != free_.end()) {
                const Span span = fit->second.back();
                fit->second.pop_back();
                if (fit->second.empty()) {
                    free_.erase(fit);
                }
                if (span.pages > pages) {
                    free_[span.pages - pages].push_back({span.first + pages, span.pages - pages, span.zero});
                }
                return {span.first, pages, span.zero};
            }
            if (pages_ - bump_ >= pages) {
                bump_ += pages;
                return {bump_ - pages, pages, true};
            }
            if (quarantine_.empty()) {
                return {};
            }
            while (!quarantine_.empty()) {
                AgeOut();
            }
        }
    }

    // The oldest freed block's pages may be handed out again.
    void AgeOut()
    {
        const Span span = quarantine_.front();
        quarantine_.pop_front();
        quarantinedBytes_ -= std::size_t{span.pages - 1} * page_;
        table_[span.first].state.store(kUnused, std::memory_order_relaxed);
        for (std::uint32_t page = span.first; page < span.first + span.pages; ++page) {
            table_[page].first.store(0, std::memory_order_release);
        }
        free_[span.pages].push_back(span);
    }

    const std::size_t page_;
    const std::size_t pages_;
    bool registered_ = false; // in `pools`, where the fault handler looks
    unsigned char* arena_ = nullptr;
    PageEntry* table_ = nullptr;
    std::uint32_t bump_ = 0; // pages handed out from the arena's start so far
    // Spans out of the quarantine, by their length in pages.
    std::map<std::uint32_t, std::vector<Span>> free_;
    std::deque<Span> quarantine_; // oldest first
    std::size_t quarantinedBytes_ = 0;
};

} // namespace

std::unique_ptr<PoolPlacement> MakeSpecialPool()
{
    auto pool = std::make_unique<SpecialPool>();
    if (!pool->Usable()) {
        return nullptr;
    }
    return pool;
}

bool SpecialPoolBlockAt(std::uintptr_t address, SpecialPoolHit* hit)
{
    for (auto& slot : pools) {
        const SpecialPool* pool = slot.load(std::memory_order_acquire);
        if (pool != nullptr && pool->Find(address, hit)) {
            return true;
        }
    }
    return false;
}

} // namespace sim
