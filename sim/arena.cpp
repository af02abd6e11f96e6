// Host platform: the arena (see arena.h). Blocks of up to 64 KiB come in power-of-two classes,
// each with a free list, so a driver allocating and freeing the same sizes on every event reuses
// the same memory; larger blocks are whole pages, reused first-fit. Every block carries its size
// in the 16 bytes before it.
#include "sim/arena.h"

#include "sim/pool.h"
#include "sim/verifier.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

namespace sim {

namespace {

constexpr std::size_t kHeader = 16;
constexpr std::size_t kPage = 4096;
constexpr unsigned kClasses = 13; // 16 B .. 64 KiB
constexpr std::size_t ClassSize(unsigned c)
{
    return std::size_t{16} << c;
}

struct State {
    std::mutex mutex;
    unsigned char* base = nullptr;
    std::size_t used = 0; // bump pointer, from base
    std::vector<unsigned char*> freeLists[kClasses];
    std::multimap<std::size_t, unsigned char*> freeLarge; // by size
    std::size_t live = 0;
    std::size_t highWater = 0;
};

State& Shared()
{
    static State* state = new State(); // lives as long as the process: engines map it to the end
    return *state;
}

std::atomic<std::uintptr_t> arenaBase{0};
// One byte per arena byte: what a driver's access there touches. Written by the placement,
// read on every access of the emulated CPU.
enum Shadow : unsigned char {
    kUnchecked = 0,
    kBlock = 1,
    kGuardBytes = 2,
    kFreed = 3
};
unsigned char* shadow = nullptr;

void Mark(const void* p, std::size_t length, Shadow value)
{
    std::memset(shadow + (reinterpret_cast<std::uintptr_t>(p) - arenaBase.load(std::memory_order_relaxed)), value,
                length);
}

unsigned ClassOf(std::size_t size)
{
    unsigned c = 0;
    while (ClassSize(c) < size) {
        ++c;
    }
    return c;
}

// The block's whole size (header included) lies in its header.
unsigned char* Carve(State& s, std::size_t whole)
{
    if (whole > Arena::kSize - s.used) {
        return nullptr;
    }
    unsigned char* block = s.base + s.used;
    s.used += whole;
    return block;
}

} // namespace

void Arena::Activate()
{
    State& s = Shared();
    std::lock_guard lock(s.mutex);
    if (s.base != nullptr) {
        return;
    }
    void* memory = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) {
        return;
    }
    void* marks = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (marks == MAP_FAILED) {
        munmap(memory, kSize);
        return;
    }
    shadow = static_cast<unsigned char*>(marks);
    s.base = static_cast<unsigned char*>(memory);
    arenaBase.store(reinterpret_cast<std::uintptr_t>(memory));
}

bool Arena::Active()
{
    return arenaBase.load(std::memory_order_relaxed) != 0;
}

std::uintptr_t Arena::Base()
{
    return arenaBase.load();
}

bool Arena::Contains(const void* p, std::size_t length)
{
    const std::uintptr_t base = arenaBase.load(std::memory_order_relaxed);
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    return base != 0 && address >= base && length <= kSize && address - base <= kSize - length;
}

std::size_t Arena::LiveBytes()
{
    State& s = Shared();
    std::lock_guard lock(s.mutex);
    return s.live;
}

std::size_t Arena::HighWaterBytes()
{
    State& s = Shared();
    std::lock_guard lock(s.mutex);
    return s.highWater;
}

void* GuestVisibleAllocate(std::size_t size)
{
    if (!Arena::Active()) {
        return std::calloc(1, std::max<std::size_t>(size, 1));
    }
    State& s = Shared();
    unsigned char* block = nullptr;
    std::size_t whole = 0;
    {
        std::lock_guard lock(s.mutex);
        if (size <= ClassSize(kClasses - 1) - kHeader) {
            const unsigned c = ClassOf(size + kHeader);
            whole = ClassSize(c);
            if (!s.freeLists[c].empty()) {
                block = s.freeLists[c].back();
                s.freeLists[c].pop_back();
            } else {
                block = Carve(s, whole);
            }
        } else {
            whole = (size + kHeader + kPage - 1) & ~(kPage - 1);
            const auto fit = s.freeLarge.lower_bound(whole);
            if (fit != s.freeLarge.end()) {
                // The rest of a larger free chunk stays free.
                block = fit->second;
                const std::size_t rest = fit->first - whole;
                s.freeLarge.erase(fit);
                if (rest != 0) {
                    std::memcpy(block + whole, &rest, sizeof rest);
                    s.freeLarge.emplace(rest, block + whole);
                }
            } else {
                block = Carve(s, whole);
            }
        }
        if (block == nullptr) {
            // Not the machine running low: the host's own room for what the driver sees. Said
            // once and loudly, so a run's failed allocations are not taken for the driver's test
            // of low memory.
            static std::atomic<bool> told{false};
            if (!told.exchange(true)) {
                std::fprintf(stderr,
                             "host platform: the arena for the emulated CPU (%zu MiB) is full: %zu bytes "
                             "more asked for; allocations that the driver sees fail from here on\n",
                             Arena::kSize >> 20, size);
            }
            return nullptr;
        }
        s.live += whole;
        s.highWater = std::max(s.highWater, s.live);
    }
    std::memcpy(block, &whole, sizeof whole);
    std::memset(block + kHeader, 0, whole - kHeader);
    return block + kHeader;
}

void GuestVisibleFree(void* p)
{
    if (p == nullptr) {
        return;
    }
    if (!Arena::Contains(p)) {
        std::free(p);
        return;
    }
    State& s = Shared();
    unsigned char* block = static_cast<unsigned char*>(p) - kHeader;
    std::size_t whole = 0;
    std::memcpy(&whole, block, sizeof whole);
    std::lock_guard lock(s.mutex);
    s.live -= whole;
    if (whole <= ClassSize(kClasses - 1)) {
        s.freeLists[ClassOf(whole)].push_back(block);
    } else {
        s.freeLarge.emplace(whole, block);
    }
}

namespace {

// The blocks placed in the arena, live and freed, for the report of a bad access: by address.
struct PlacedBlock {
    std::size_t size;
    std::uint32_t tag;
    bool freed;
};
std::mutex placedMutex;
std::map<std::uintptr_t, PlacedBlock> placed;
constexpr std::size_t kGuard = 16;
constexpr std::size_t kQuarantineBytes = std::size_t{1} << 20;

class ArenaPlacement final : public PoolPlacement {
public:
    ~ArenaPlacement() override
    {
        while (!quarantine_.empty()) {
            Forget();
        }
    }
    PlacementKind Kind() const override { return PlacementKind::Arena; }
    unsigned char* Place(std::size_t size, std::uint32_t tag, unsigned char fill) override
    {
        auto* block = static_cast<unsigned char*>(GuestVisibleAllocate(size + 2 * kGuard));
        if (block == nullptr) {
            return nullptr;
        }
        std::memset(block, kPoolGuardByte, kGuard);
        std::memset(block + kGuard, fill, size);
        std::memset(block + kGuard + size, kPoolGuardByte, kGuard);
        Mark(block, kGuard, kGuardBytes);
        Mark(block + kGuard, size, kBlock);
        Mark(block + kGuard + size, kGuard, kGuardBytes);
        std::lock_guard lock(placedMutex);
        placed[reinterpret_cast<std::uintptr_t>(block + kGuard)] = {size, tag, false};
        return block + kGuard;
    }
    std::string Damage(const unsigned char* user, std::size_t size) const override
    {
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (user[-1 - static_cast<std::ptrdiff_t>(i)] != kPoolGuardByte || user[size + i] != kPoolGuardByte) {
                return "write outside the " + std::to_string(size) +
                       "-byte allocation (pool corruption, bug check 0xC1)";
            }
        }
        return {};
    }
    void Release(unsigned char* user, std::size_t size) override
    {
        // Out of reach a while: the driver's next access to it is a use after free.
        Mark(user, size, kFreed);
        {
            std::lock_guard lock(placedMutex);
            placed[reinterpret_cast<std::uintptr_t>(user)].freed = true;
        }
        quarantine_.push_back({user, size});
        quarantined_ += size;
        while (quarantined_ > kQuarantineBytes) {
            Forget();
        }
    }

private:
    void Forget()
    {
        const auto [user, size] = quarantine_.front();
        quarantine_.erase(quarantine_.begin());
        quarantined_ -= size;
        Mark(user - kGuard, size + 2 * kGuard, kUnchecked);
        {
            std::lock_guard lock(placedMutex);
            placed.erase(reinterpret_cast<std::uintptr_t>(user));
        }
        GuestVisibleFree(user - kGuard);
    }
    std::vector<std::pair<unsigned char*, std::size_t>> quarantine_; // oldest first
    std::size_t quarantined_ = 0;
};

} // namespace

std::unique_ptr<PoolPlacement> MakeArenaPlacement()
{
    return std::make_unique<ArenaPlacement>();
}

bool ArenaAccessFault(std::uintptr_t address, std::size_t size, std::string* what)
{
    const std::uintptr_t base = arenaBase.load(std::memory_order_relaxed);
    if (shadow == nullptr || address < base || address - base >= Arena::kSize ||
        size > Arena::kSize - (address - base)) {
        return false;
    }
    const unsigned char* marks = shadow + (address - base);
    std::size_t bad = 0;
    while (bad < size && marks[bad] != kGuardBytes && marks[bad] != kFreed) {
        ++bad;
    }
    if (bad == size) {
        return false;
    }
    // The slow part, once: which block, from the records.
    const std::uintptr_t at = address + bad;
    std::lock_guard lock(placedMutex);
    auto next = placed.upper_bound(at);
    const auto hex = [](std::uintptr_t value) {
        char text[24];
        std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
        return std::string(text);
    };
    auto describe = [&](std::uintptr_t start, const PlacedBlock& block) {
        return std::string(block.freed ? "freed " : "") + std::to_string(block.size) + "-byte pool block tagged '" +
               Verifier::TagText(block.tag) + "' at " + hex(start);
    };
    if (marks[bad] == kFreed && next != placed.begin()) {
        const auto block = std::prev(next);
        *what = "use after free: " + hex(at) + " lies " + std::to_string(at - block->first) + " bytes into the " +
                describe(block->first, block->second);
        return true;
    }
    // A guard: after the block before it, or before the block after it.
    if (next != placed.begin()) {
        const auto block = std::prev(next);
        if (at >= block->first + block->second.size && at < block->first + block->second.size + kGuard) {
            *what = "overrun: " + hex(at) + " lies " + std::to_string(at - block->first - block->second.size) +
                    " bytes past the end of the " + describe(block->first, block->second);
            return true;
        }
    }
    if (next != placed.end()) {
        *what = "underrun: " + hex(at) + " lies " + std::to_string(next->first - at) + " bytes before the " +
                describe(next->first, next->second);
        return true;
    }
    *what = "access to a pool guard at " + hex(at);
    return true;
}

} // namespace sim
