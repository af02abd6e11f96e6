// The emulated Arm64 CPU on a handful of instructions of its own, in a minimal image: the
// driver's threads meet in its interlocked operations, which must stay atomic across CPUs, and
// what ends a run must name the instruction.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "sim/arena.h"
#include "sim/image_arm64.h"
#include "sim/image_loader.h"
#include "sim/pool.h"

namespace {

// A PE32+ Arm64 image with one executable section at RVA 0x1000 holding `code`.
std::string WriteImage(const std::vector<std::uint32_t>& code)
{
    std::vector<std::uint8_t> file(0x400, 0);
    auto put = [&](std::size_t at, std::uint64_t value, std::size_t size) { std::memcpy(&file[at], &value, size); };
    file[0] = 'M';
    file[1] = 'Z';
    put(0x3C, 0x40, 4);
    put(0x40, 0x4550, 4);                          // "PE\0\0"
    put(0x44, sim::DriverImage::kMachineArm64, 2); // machine
    put(0x46, 1, 2);                               // one section
    put(0x54, 0xF0, 2);                            // optional header size
    put(0x58, 0x20B, 2);                           // PE32+
    put(0x58 + 24, 0x140000000, 8);                // preferred base
    put(0x58 + 32, 0x1000, 4);                     // section alignment
    put(0x58 + 36, 0x200, 4);                      // file alignment
    put(0x58 + 56, 0x2000, 4);                     // size of image
    put(0x58 + 60, 0x200, 4);                      // size of headers
    put(0x58 + 108, 16, 4);                        // directories, all empty
    std::memcpy(&file[0x148], ".text", 5);
    put(0x148 + 8, code.size() * 4, 4);
    put(0x148 + 12, 0x1000, 4);
    put(0x148 + 16, 0x200, 4);
    put(0x148 + 20, 0x200, 4);
    put(0x148 + 36, 0x60000020, 4); // code, execute, read
    std::memcpy(&file[0x200], code.data(), code.size() * 4);
    std::string path =
        (std::filesystem::temp_directory_path() / ("fwrelay-arm64-" + std::to_string(getpid()) + ".sys")).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return path;
}

std::unique_ptr<sim::DriverImage> Load(const std::vector<std::uint32_t>& code)
{
    const std::string path = WriteImage(code);
    std::string error;
    auto image = sim::DriverImage::Load(
        path, [](const std::string&, const std::string&) { return nullptr; }, &error);
    std::filesystem::remove(path);
    EXPECT_NE(image, nullptr) << error;
    return image;
}

using Increment = VOID(NTAPI*)(LONG*, ULONG64);

// Two CPUs on two threads add 1 to one counter 200,000 times each, the guest lock handed over at
// block boundaries: an update lost between them would show in the count.
struct AtomicCase {
    const char* name;
    std::vector<std::uint32_t> code; // (X0 counter, X1 count)
};

class InterlockedTest : public testing::TestWithParam<AtomicCase> {};

TEST_P(InterlockedTest, TwoCpusLoseNoUpdate)
{
    if (!sim::arm64::Available()) {
        GTEST_SKIP() << "built without the emulated CPU";
    }
    auto image = Load(GetParam().code);
    ASSERT_NE(image, nullptr);
    sim::arm64::SetHandOver(0x5eed, 64);
    auto* counter = static_cast<LONG*>(sim::GuestVisibleAllocate(sizeof(LONG)));
    ASSERT_TRUE(sim::Arena::Contains(counter));
    const auto increment = reinterpret_cast<Increment>(image->Base() + 0x1000);
    constexpr ULONG64 kEach = 200000;
    const std::uint64_t handOvers = sim::arm64::HandOvers();
    // Each thread's CPU is made (a call of one) before both start counting together.
    std::atomic<int> ready{0};
    auto count = [&] {
        sim::CallIntoDriver("increment", increment, counter, ULONG64{1});
        ready.fetch_add(1);
        while (ready.load() < 2) {
            std::this_thread::yield();
        }
        sim::CallIntoDriver("increment", increment, counter, kEach);
    };
    std::thread other(count);
    count();
    other.join();
    sim::arm64::SetHandOver(0, 0);
    EXPECT_EQ(*counter, static_cast<LONG>(2 * kEach + 2)) << "seed 0x5eed";
    EXPECT_GT(sim::arm64::HandOvers(), handOvers) << "the CPUs never took turns";
    sim::GuestVisibleFree(counter);
}

INSTANTIATE_TEST_SUITE_P(
    Arm64, InterlockedTest,
    testing::Values(
        // mov w2, #1; ldaddal w2, w3, [x0]; subs x1, x1, #1; b.ne -8; ret (the Armv8.1 atomics)
        AtomicCase{"Lse", {0x52800022, 0xB8E20003, 0xF1000421, 0x54FFFFC1, 0xD65F03C0}},
        // ldaxr w3, [x0]; add w3, w3, #1; stlxr w4, w3, [x0]; cbnz w4, -12; subs; b.ne -20; ret
        AtomicCase{"Exclusive", {0x885FFC03, 0x11000463, 0x8804FC03, 0x35FFFFA4, 0xF1000421, 0x54FFFF61, 0xD65F03C0}}),
    [](const testing::TestParamInfo<AtomicCase>& param) { return std::string(param.param.name); });

// What ends a run: the report names the instruction by image+offset (the first instruction lies
// at fwrelay-arm64-*.sys+0x1000).
struct EndCase {
    const char* name;
    std::vector<std::uint32_t> code; // called with X0 = 0x1230
    const char* report;
};

class RunEndTest : public testing::TestWithParam<EndCase> {};

TEST_P(RunEndTest, ReportsTheInstruction)
{
    if (!sim::arm64::Available()) {
        GTEST_SKIP() << "built without the emulated CPU";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto image = Load(GetParam().code);
            const auto routine = reinterpret_cast<VOID(NTAPI*)(ULONG64)>(image->Base() + 0x1000);
            sim::CallIntoDriver("test", routine, ULONG64{0x1230});
        },
        GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    Arm64, RunEndTest,
    testing::Values(
        // nop; str w1, [x0]: a store outside everything mapped, found at its own instruction
        EndCase{"UnmappedStore",
                {0xD503201F, 0xB9000001, 0xD65F03C0},
                "access \\(write\\) of unmapped or protected 0x1230, by fwrelay-arm64-[0-9]+\\.sys\\+0x1004"},
        // nop; brk #0xf003
        EndCase{"FastFail",
                {0xD503201F, 0xD43E0060},
                "fast fail \\(BRK #0xF003\\) 0xf003 at fwrelay-arm64-[0-9]+\\.sys\\+0x1004"},
        EndCase{"Break", {0xD43E0000}, "break \\(BRK #0xF000\\) 0xf000 at fwrelay-arm64-[0-9]+\\.sys\\+0x1000"},
        // blr x0: a call to an address that is no host routine
        EndCase{"WildCall",
                {0xD63F0000},
                "fetch of unmapped or protected 0x1230, called from fwrelay-arm64-[0-9]+\\.sys\\+0x1004"}),
    [](const testing::TestParamInfo<EndCase>& param) { return std::string(param.param.name); });

} // namespace

// The arena's pool blocks, as the access check of the emulated CPU sees them: each access is
// fine, or names the block and where it falls.
struct AccessCase {
    const char* name;
    std::ptrdiff_t offset; // from the block's start
    std::size_t size;
    bool freeFirst;
    const char* report; // "" for none
};

class ArenaAccessTest : public testing::TestWithParam<AccessCase> {};

TEST_P(ArenaAccessTest, ChecksEachAccessAgainstTheBlock)
{
    sim::Arena::Activate();
    auto placement = sim::MakeArenaPlacement();
    constexpr std::uint32_t kTag = 0x51524154; // 'TARQ'
    unsigned char* block = placement->Place(10, kTag, 0);
    ASSERT_NE(block, nullptr);
    if (GetParam().freeFirst) {
        placement->Release(block, 10);
    }
    std::string what;
    const bool fault =
        sim::ArenaAccessFault(reinterpret_cast<std::uintptr_t>(block + GetParam().offset), GetParam().size, &what);
    EXPECT_EQ(fault, *GetParam().report != '\0');
    EXPECT_TRUE(std::regex_search(what, std::regex(GetParam().report))) << what;
    if (!GetParam().freeFirst) {
        EXPECT_EQ(placement->Damage(block, 10), "");
        block[10] = 0; // what the emulated CPU would have refused: the guard still tells at free
        EXPECT_NE(placement->Damage(block, 10).find("write outside the 10-byte allocation"), std::string::npos);
        placement->Release(block, 10);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arm64, ArenaAccessTest,
    testing::Values(
        AccessCase{"Inside", 0, 10, false, ""}, AccessCase{"LastByte", 9, 1, false, ""},
        AccessCase{"PastTheEnd", 8, 4, false,
                   "overrun: 0x[0-9a-f]+ lies 0 bytes past the end of the 10-byte pool block tagged 'TARQ'"},
        AccessCase{"Before", -2, 1, false,
                   "underrun: 0x[0-9a-f]+ lies 2 bytes before the 10-byte pool block tagged 'TARQ'"},
        AccessCase{"AfterFree", 4, 1, true,
                   "use after free: 0x[0-9a-f]+ lies 4 bytes into the freed 10-byte pool block tagged 'TARQ'"}),
    [](const testing::TestParamInfo<AccessCase>& param) { return std::string(param.param.name); });

// A freed block stays out of reach until 1 MiB of later frees have passed, then it is ordinary
// arena memory again (reused, no longer checked).
TEST(ArenaAccessTest, FreedBlocksComeBackAfterTheQuarantine)
{
    sim::Arena::Activate();
    auto placement = sim::MakeArenaPlacement();
    unsigned char* first = placement->Place(64, 0x54534554, 0);
    placement->Release(first, 64);
    std::string what;
    EXPECT_TRUE(sim::ArenaAccessFault(reinterpret_cast<std::uintptr_t>(first), 1, &what));
    for (int i = 0; i < 17; ++i) {
        placement->Release(placement->Place(std::size_t{64} << 10, 0x54534554, 0), std::size_t{64} << 10);
    }
    EXPECT_FALSE(sim::ArenaAccessFault(reinterpret_cast<std::uintptr_t>(first), 1, &what)) << what;
}
