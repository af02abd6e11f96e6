// Host platform: the CPU an Arm64 driver image runs on here, an emulated one (Unicorn, linked
// dynamically), one per host thread, all over the same memory.
//
// Contract (the Windows Arm64 calling convention; the architecture's BRK and its codes as the
// kit's compiler emits them): the emulated CPU sees host memory at the host's own addresses, but
// only the arena, the images and the calling thread's own stack are mapped into it. A call into
// the image passes X0-X7 and then the stack and returns X0; the image's call of a host routine
// (an import, a framework table entry, a routine the framework model handed it) reaches that
// routine with the same arguments, read from X0-X7 and then the stack (the variadic DbgPrintEx
// included: Arm64 passes variadic integers the same way), and its result goes back in X0. Guest
// code runs under one lock, released around every host call: two CPUs do not make each other's
// atomic instructions atomic, so only one runs at a time; a seed may hand the lock over at
// block boundaries so that the driver's threads interleave differently. An access outside what
// is mapped, a fetch from a discarded INIT, a branch to an address that is no host routine, and
// a BRK (break, assertion, fast fail) end the run with a report naming image+offset (symbol);
// an assertion (BRK #0xF001) is a verifier record and the run goes on, as with a debugger.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

class DriverImage;

namespace arm64 {

// Whether this build has the emulated CPU.
bool Available();
// Maps the image into every thread's CPU from now on, and turns the arena on.
void Attach(const DriverImage& image);
void Detach(const DriverImage& image);
// Called before INIT's pages go: no CPU maps them after, and none is running while they go.
void DiscardInit(const DriverImage& image);
// `routine` (a host function with the Windows convention) may be called by guest code.
void ExposeHostRoutine(const void* routine, const std::string& name);
// Runs `target` on this thread's CPU with `count` integer arguments; returns X0.
std::uint64_t Call(std::uintptr_t target, const std::uint64_t* args, std::size_t count);
// Hands the guest lock to another thread at a block boundary with probability 1/`every` (0: never),
// chosen by a generator seeded with `seed`; a failing run prints it (FWRELAY_ARM64_SEED sets it).
void SetHandOver(std::uint64_t seed, unsigned every);
// How often the guest lock was handed over at a block boundary.
std::uint64_t HandOvers();

} // namespace arm64
} // namespace sim
