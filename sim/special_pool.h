// Host platform: special pool, the pool placement for a driver image's blocks.
//
// Contract (the kernel's special pool, as its verifier documents it): each block lies at the end
// of pages of its own, 16-byte aligned as pool on 64-bit is, so its end lies up to 15 bytes before
// an inaccessible page; a load or store past the end faults at once. The bytes before the block
// in its first page and the slack after it are filled with a pattern, checked when the block is
// freed (bug check 0xC1 on a machine). A freed block's pages become inaccessible and stay so
// while it is among the most recent frees, so a use after free faults too; then they are reused. The sanitizers see
// none of the image's accesses; this makes them fault.
//
// The fault handler finds the block of a faulting address without a lock or an allocation: the
// pages come from one reserved range, and a table with an entry per page names the block's first
// page, its size, tag and state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "sim/pool.h"

namespace sim {

// How many freed blocks stay inaccessible, and how many bytes of pages they may span at most,
// before the oldest one's pages are handed out again.
constexpr std::size_t kSpecialPoolQuarantineBlocks = 1024;
constexpr std::size_t kSpecialPoolQuarantineBytes = std::size_t{32} << 20;

std::unique_ptr<PoolPlacement> MakeSpecialPool();

// What lies at a faulting address in special pool. Async-signal-safe to look up.
struct SpecialPoolHit {
    enum class What {
        Overrun,       // the guard page after a live block
        UseAfterFree,  // a block freed and still kept inaccessible
        AgedOutOrFree, // pages given back after the quarantine, or never handed out
    };
    What what = What::AgedOutOrFree;
    std::uintptr_t block = 0; // the block's address (none for AgedOutOrFree)
    std::size_t size = 0;
    std::uint32_t tag = 0;
};
bool SpecialPoolBlockAt(std::uintptr_t address, SpecialPoolHit* hit);

} // namespace sim
