// Host platform: the arena, one block of host memory from which every host object a driver
// image on an emulated CPU can see is taken: the framework's function table and driver globals,
// the DRIVER_OBJECT, strings handed to the driver, pool blocks, object contexts, the buffers of
// the WMI and PnP models and the driver's own stacks.
//
// Contract: the emulated CPU sees host memory at the host's own addresses, but only what has been
// mapped into it; the arena is mapped once into every CPU and is never given back to the system,
// so a mapping of it can never outlive its memory. Until an emulated image is loaded the arena is
// not made and GuestVisible allocations come from the ordinary heap, so native runs cost nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace sim {

class Arena {
public:
    static constexpr std::size_t kSize = std::size_t{64} << 20;

    // Makes the arena (once); from then on GuestVisibleAllocate takes from it.
    static void Activate();
    static bool Active();
    static std::uintptr_t Base();
    static bool Contains(const void* p, std::size_t length = 1);
    // Bytes handed out and not freed, and the most there ever were (for the run report).
    static std::size_t LiveBytes();
    static std::size_t HighWaterBytes();
};

// Zero-filled memory the driver may dereference: from the arena when it is active, from the heap
// otherwise; nullptr when neither has room. Aligned for any type (16 bytes).
void* GuestVisibleAllocate(std::size_t size);
// Frees what GuestVisibleAllocate returned, wherever it came from; nullptr is ignored.
void GuestVisibleFree(void* p);

struct GuestVisibleDelete {
    template <class T> void operator()(T* p) const
    {
        if (p != nullptr) {
            p->~T();
            GuestVisibleFree(p);
        }
    }
};
template <class T> using GuestVisiblePtr = std::unique_ptr<T, GuestVisibleDelete>;

// A T made in guest-visible memory (for the objects the driver reads in the kit's layout).
template <class T, class... A> GuestVisiblePtr<T> MakeGuestVisible(A&&... args)
{
    void* memory = GuestVisibleAllocate(sizeof(T));
    if (memory == nullptr) {
        return nullptr;
    }
    return GuestVisiblePtr<T>(new (memory) T(static_cast<A&&>(args)...));
}

// std::vector<T, GuestVisibleAllocator<T>>: a table the driver reads.
template <class T> struct GuestVisibleAllocator {
    using value_type = T;
    GuestVisibleAllocator() = default;
    template <class U> GuestVisibleAllocator(const GuestVisibleAllocator<U>&) {}
    T* allocate(std::size_t n)
    {
        void* p = GuestVisibleAllocate(n * sizeof(T));
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) { GuestVisibleFree(p); }
    template <class U> bool operator==(const GuestVisibleAllocator<U>&) const { return true; }
};

class PoolPlacement;
// Pool blocks from the arena for an image on the emulated CPU, with 16 guard bytes on both sides,
// checked at free and on every access of the driver (ArenaAccessFault); a freed block stays out
// of reach until 1 MiB of later frees have passed, so a use after free is seen too.
std::unique_ptr<PoolPlacement> MakeArenaPlacement();
// Whether an access of `size` bytes at `address` touches a pool block's guard or a freed block
// (fast: one shadow byte per arena byte); then `what` says which block, with its tag.
bool ArenaAccessFault(std::uintptr_t address, std::size_t size, std::string* what);

} // namespace sim
