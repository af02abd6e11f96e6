// The image loader on images built here, byte by byte: what it refuses and why, and the names it
// takes from a linker's map for the report of a fault in the image.
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

class ImageLoaderTest : public testing::Test {
protected:
    void TearDown() override
    {
        for (const fs::path& path : written_) {
            std::error_code ignored;
            fs::remove(path, ignored);
        }
    }
    // A file of this process's own: ctest runs the cases of this file in parallel processes.
    static fs::path Path(const std::string& name)
    {
        return fs::path(testing::TempDir()) / ("fwrelay-" + std::to_string(getpid()) + "-" + name);
    }
    fs::path Write(const std::string& name, const std::string& bytes)
    {
        written_.push_back(Path(name));
        std::ofstream(written_.back(), std::ios::binary) << bytes;
        return written_.back();
    }
    fs::path WriteImage(const Bytes& file) { return Write("minimal.sys", std::string(file.begin(), file.end())); }

private:
    std::vector<fs::path> written_;
};

struct Refusal {
    const char* name;
    std::size_t offset; // where the one byte changed lies
    std::uint8_t value;
    const char* reason;
};

class RefusedImageTest : public ImageLoaderTest, public testing::WithParamInterface<Refusal> {};

TEST_P(RefusedImageTest, NamesTheReason)
{
    Bytes file = MinimalImage();
    file[GetParam().offset] = GetParam().value;
    std::string error;
    EXPECT_EQ(sim::DriverImage::Load(WriteImage(file).string(), sim::HostImport, &error), nullptr);
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(OneByte, RefusedImageTest,
                         testing::Values(Refusal{"DosSignature", 0, 'N', "not a PE image"},
                                         Refusal{"Machine", 0x84, 0x4C, "not a PE32+ x64 image"},
                                         Refusal{"SectionAlignment", 0x98 + 33, 0x08, "section alignment"},
                                         Refusal{"SectionBeyondTheImage", 0x188 + 13, 0x30, "lies outside the image"}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(ImageLoaderTest, AFileThatIsNotThereIsRefused)
{
    std::string error;
    EXPECT_EQ(sim::DriverImage::Load(Path("absent.sys").string(), sim::HostImport, &error), nullptr);
    EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
}

// Only the lines of the map's public symbols within the image give names; the nearest one at or
// before an address names it.
TEST_F(ImageLoaderTest, TheMapNamesAddressesByTheirPublicSymbols)
{
    std::string error;
    auto image = sim::DriverImage::Load(WriteImage(MinimalImage()).string(), sim::HostImport, &error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_FALSE(image->LoadSymbols(Path("absent.map").string()));
    ASSERT_TRUE(image->LoadSymbols(Write("minimal.map", " minimal\n"
                                                        " Preferred load address is 0000000140000000\n"
                                                        " 0001:00000000 00000100H .text   CODE\n"
                                                        "  Address  Publics by Value  Rva+Base  Lib:Object\n"
                                                        " 0001:00000000   First    0000000140001000  a.obj\n"
                                                        " 0001:00000040   Second   0000000140001040\r\n"
                                                        " 0001:00000080   Suffixed 0000000140001080zz  a.obj\n"
                                                        " 000000c0        NoColon  00000001400010c0  a.obj\n")
                                       .string()));
    const struct {
        std::uintptr_t rva;
        const char* symbol;
    } cases[] = {{0x800, ""},
                 {0x1000, "First+0x0"},
                 {0x1044, "Second+0x4"},
                 {0x1090, "Second+0x50"},
                 {0x10c8, "Second+0x88"},
                 {0x1ff0, "Second+0xfb0"}};
    for (const auto& c : cases) {
        char text[64];
        image->SymbolAt(image->Base() + c.rva, text, sizeof text);
        EXPECT_STREQ(text, c.symbol) << "at RVA 0x" << std::hex << c.rva;
    }
}

} // namespace
