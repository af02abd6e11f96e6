// The image loader on an image built here, byte by byte: a file it cannot read, and the
// names it takes from a linker's map for the report of a fault in the image.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "sim/framework.h"
#include "sim/image_loader.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

template <class T> void Put(Bytes& file, std::size_t offset, T value)
{
    std::memcpy(file.data() + offset, &value, sizeof value);
}

// The smallest driver image the loader maps: PE32+ for x64, preferred base 0x140000000, one
// code section at RVA 0x1000, no imports, no relocations.
Bytes MinimalImage()
{
    constexpr std::size_t kPe = 0x80, kOptional = kPe + 24, kSection = kOptional + 240;
    Bytes file(0x400, 0);
    file[0] = 'M';
    file[1] = 'Z';
    Put<std::uint32_t>(file, 0x3C, kPe);
    Put<std::uint32_t>(file, kPe, 0x00004550);
    Put<std::uint16_t>(file, kPe + 4, 0x8664);        // machine
    Put<std::uint16_t>(file, kPe + 6, 1);             // sections
    Put<std::uint16_t>(file, kPe + 20, 240);          // optional header size
    Put<std::uint16_t>(file, kOptional, 0x20B);       // PE32+
    Put<std::uint32_t>(file, kOptional + 16, 0x1000); // entry point
    Put<std::uint64_t>(file, kOptional + 24, 0x140000000);
    Put<std::uint32_t>(file, kOptional + 32, 0x1000); // section alignment
    Put<std::uint32_t>(file, kOptional + 36, 0x200);  // file alignment
    Put<std::uint32_t>(file, kOptional + 56, 0x2000); // size of image
    Put<std::uint32_t>(file, kOptional + 60, 0x200);  // size of headers
    Put<std::uint32_t>(file, kOptional + 108, 16);    // data directories, all empty
    std::memcpy(file.data() + kSection, ".text", 5);
    Put<std::uint32_t>(file, kSection + 8, 0x100);        // virtual size
    Put<std::uint32_t>(file, kSection + 12, 0x1000);      // RVA
    Put<std::uint32_t>(file, kSection + 16, 0x200);       // raw size
    Put<std::uint32_t>(file, kSection + 20, 0x200);       // raw offset
    Put<std::uint32_t>(file, kSection + 36, 0x60000020U); // code, execute, read
    return file;
}

// Files of this process's own: ctest runs the tests, and other builds, in parallel processes.
fs::path Write(const std::string& name, const std::string& bytes)
{
    fs::path path = fs::path(testing::TempDir()) / (std::to_string(getpid()) + "-" + name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

TEST(ImageLoaderTest, AFileThatIsAbsentOrEmptyIsRefused)
{
    std::string error;
    const fs::path absent = fs::path(testing::TempDir()) / (std::to_string(getpid()) + "-absent.sys");
    EXPECT_EQ(sim::DriverImage::Load(absent.string(), sim::HostImport, &error), nullptr);
    EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
    const fs::path empty = Write("empty.sys", "");
    EXPECT_EQ(sim::DriverImage::Load(empty.string(), sim::HostImport, &error), nullptr);
    EXPECT_NE(error.find("not a PE image"), std::string::npos) << error;
    fs::remove(empty);
}

// Only the lines of the map's public symbols within the image give names; the nearest one at or
// before an address names it.
TEST(ImageLoaderTest, TheMapNamesAddressesByTheirPublicSymbols)
{
    const Bytes file = MinimalImage();
    const fs::path path = Write("map.sys", std::string(file.begin(), file.end()));
    std::string error;
    auto image = sim::DriverImage::Load(path.string(), sim::HostImport, &error);
    ASSERT_NE(image, nullptr) << error;
    ASSERT_TRUE(
        image->LoadSymbols(Write("map.map", " minimal\n"
                                            " Preferred load address is 0000000140000000\n"
                                            " 0001:00000000 00000100H .text   CODE\n"
                                            "  Address  Publics by Value  Rva+Base  Lib:Object\n"
                                            " 0001:00000000   First    0000000140001000  a.obj\n"
                                            " 0001:00000040   Second   0000000140001040\r\n"
                                            " 0001:00000080   Suffixed 0000000140001080zz  a.obj\n"
                                            " 000000c0        NoColon  00000001400010c0  a.obj\n"
                                            " 0001:00000100   ?FreeEventBuffer@@YAXPEAPEAE@Z 0000000140001100  a.obj\n"
                                            " 0001:00000140   ?Step@Relay@@QEAAXXZ 0000000140001140  a.obj\n")
                               .string()));
    const struct {
        std::uintptr_t rva;
        const char* symbol;
    } cases[] = {{0x800, ""},
                 {0x1000, "First+0x0"},
                 {0x1044, "Second+0x4"},
                 {0x1090, "Second+0x50"},
                 {0x10c8, "Second+0x88"},
                 {0x1104, "FreeEventBuffer+0x4"},
                 {0x1ff0, "Relay::Step+0xeb0"}};
    for (const auto& c : cases) {
        char text[64];
        image->SymbolAt(image->Base() + c.rva, text, sizeof text);
        EXPECT_STREQ(text, c.symbol) << "at RVA 0x" << std::hex << c.rva;
    }
    fs::remove(path);
    fs::remove(fs::path(path).replace_extension(".map"));
}

} // namespace
