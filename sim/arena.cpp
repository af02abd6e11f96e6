// Host platform: the arena (see arena.h). Blocks of up to 64 KiB come in power-of-two classes,
// each with a free list, so a driver allocating and freeing the same sizes on every event reuses
// the same memory; larger blocks are whole pages, reused first-fit. Every block carries its size
// in the 16 bytes before it.
#include "sim/arena.h"

#include "sim/pool.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
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

class ArenaPlacement final : public PoolPlacement {
public:
    static constexpr std::size_t kGuard = 16;
    PlacementKind Kind() const override { return PlacementKind::Arena; }
    unsigned char* Place(std::size_t size, std::uint32_t, unsigned char fill) override
    {
        auto* block = static_cast<unsigned char*>(GuestVisibleAllocate(size + 2 * kGuard));
        if (block == nullptr) {
            return nullptr;
        }
        std::memset(block, kPoolGuardByte, kGuard);
        std::memset(block + kGuard, fill, size);
        std::memset(block + kGuard + size, kPoolGuardByte, kGuard);
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
    void Release(unsigned char* user, std::size_t) override { GuestVisibleFree(user - kGuard); }
};

} // namespace

std::unique_ptr<PoolPlacement> MakeArenaPlacement()
{
    return std::make_unique<ArenaPlacement>();
}

} // namespace sim
