// The Windows build files against each other and against CMake: the WDK project
// (windows/fwrelay.vcxproj) must build exactly the driver sources CMake builds, for ARM64 and
// x64, as KMDF with warnings as errors and CMake's signature; the INF must install the binary the
// project produces, for both architectures, with the framework version the project compiles for,
// and reference only sections it has. Each rule is also shown to catch a broken file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::vector<std::string> SplitList(const std::string& text)
{
    std::vector<std::string> items;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        items.push_back(Trim(item));
    }
    return items;
}

// What the CMake side defines: the default signature and the driver library's sources, relative
// to the repository with forward slashes.
struct CMakeFacts {
    std::string signature;
    std::set<std::string> driverSources;
};

std::optional<std::string> CMakeSignatureDefault(const std::string& cmakeLists)
{
    std::smatch match;
    static const std::regex rule(R"re(set\(FWRELAY_METHOD_SIGNATURE\s+"([^"]+)"\s+CACHE)re");
    if (std::regex_search(cmakeLists, match, rule)) {
        return match[1].str();
    }
    return std::nullopt;
}

// ---- The project file ----

struct Project {
    std::set<std::string> configurations; // "Debug|ARM64", ...
    std::set<std::string> sources;        // relative to the repository, forward slashes
    std::set<std::string> infs;
    std::map<std::string, std::vector<std::string>> properties; // element name -> every value
};

std::string StripXmlComments(std::string text)
{
    for (auto open = text.find("<!--"); open != std::string::npos; open = text.find("<!--", open)) {
        const auto close = text.find("-->", open);
        text.erase(open, close == std::string::npos ? std::string::npos : close + 3 - open);
    }
    return text;
}

Project ParseProject(const std::string& xml)
{
    Project project;
    const std::string text = StripXmlComments(xml);
    static const std::regex include(R"re(<(ProjectConfiguration|ClCompile|Inf)\s+Include="([^"]*)")re");
    for (std::sregex_iterator it(text.begin(), text.end(), include), end; it != end; ++it) {
        const std::string kind = (*it)[1].str();
        std::string path = (*it)[2].str();
        if (kind == "ProjectConfiguration") {
            project.configurations.insert(path);
        } else if (kind == "Inf") {
            project.infs.insert(path);
        } else {
            std::replace(path.begin(), path.end(), '\\', '/');
            project.sources.insert(path.rfind("../", 0) == 0 ? path.substr(3) : "(outside the repository) " + path);
        }
    }
    static const std::regex element(R"re(<([A-Za-z_][A-Za-z0-9_]*)(\s+Condition="[^"]*")?>([^<]*)</\1>)re");
    for (std::sregex_iterator it(text.begin(), text.end(), element), end; it != end; ++it) {
        project.properties[(*it)[1].str()].push_back(Trim((*it)[3].str()));
    }
    return project;
}

// The one value of a property, or "" when it is missing or set to different values.
std::string Property(const Project& project, const std::string& name)
{
    auto it = project.properties.find(name);
    if (it == project.properties.end()) {
        return "";
    }
    const auto& values = it->second;
    return std::all_of(values.begin(), values.end(), [&](const std::string& v) { return v == values.front(); })
               ? values.front()
               : "";
}

// ---- The INF ----

struct Inf {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> sections; // lower-case name
    std::vector<std::string> order;
};

Inf ParseInf(const std::string& text)
{
    Inf inf;
    std::string current;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        // A ';' starts a comment unless it is inside a quoted string.
        bool quoted = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '"') {
                quoted = !quoted;
            } else if (line[i] == ';' && !quoted) {
                line.erase(i);
                break;
            }
        }
        line = Trim(line);
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            current = Lower(Trim(line.substr(1, line.size() - 2)));
            inf.sections[current];
            inf.order.push_back(current);
            continue;
        }
        // A line without '=' (a file in a copy list) is a key without a value.
        const auto equals = line.find('=');
        inf.sections[current].emplace_back(Trim(line.substr(0, equals)),
                                           equals == std::string::npos ? "" : Trim(line.substr(equals + 1)));
    }
    return inf;
}

bool HasSection(const Inf& inf, const std::string& name)
{
    return inf.sections.count(Lower(name)) != 0;
}

const std::vector<std::pair<std::string, std::string>>& Entries(const Inf& inf, const std::string& section)
{
    static const std::vector<std::pair<std::string, std::string>> none;
    auto it = inf.sections.find(Lower(section));
    return it == inf.sections.end() ? none : it->second;
}

std::vector<std::string> Values(const Inf& inf, const std::string& section, const std::string& key)
{
    std::vector<std::string> values;
    auto it = inf.sections.find(Lower(section));
    if (it != inf.sections.end()) {
        for (const auto& [k, v] : it->second) {
            if (Lower(k) == Lower(key)) {
                values.push_back(v);
            }
        }
    }
    return values;
}

std::string Value(const Inf& inf, const std::string& section, const std::string& key)
{
    auto values = Values(inf, section, key);
    return values.size() == 1 ? values.front() : "";
}

// ---- The rules ----

std::vector<std::string> Lint(const std::string& vcxproj, const std::string& infText, const CMakeFacts& cmake)
{
    std::vector<std::string> problems;
    auto problem = [&](std::string text) { problems.push_back(std::move(text)); };
    const Project project = ParseProject(vcxproj);
    const Inf inf = ParseInf(infText);

    // The project.
    for (const char* configuration : {"Debug|ARM64", "Release|ARM64", "Debug|x64", "Release|x64"}) {
        if (project.configurations.count(configuration) == 0) {
            problem(std::string("project: no configuration ") + configuration);
        }
    }
    if (Property(project, "DriverType") != "KMDF") {
        problem("project: DriverType is not KMDF");
    }
    if (Property(project, "WarningLevel") != "Level4") {
        problem("project: WarningLevel is not Level4");
    }
    if (Lower(Property(project, "TreatWarningAsError")) != "true") {
        problem("project: warnings are not errors");
    }
    const std::string signature = Property(project, "FwRelayMethodSignature");
    if (signature != cmake.signature) {
        problem("project: signature default " + signature + " is not CMake's " + cmake.signature);
    }
    const std::string defines = Property(project, "PreprocessorDefinitions");
    if (defines.find("FWRELAY_METHOD_SIGNATURE=$(FwRelayMethodSignature)") == std::string::npos) {
        problem("project: FWRELAY_METHOD_SIGNATURE is not defined from FwRelayMethodSignature");
    }
    for (const auto& source : cmake.driverSources) {
        if (project.sources.count(source) == 0) {
            problem("project: missing driver source " + source);
        }
    }
    for (const auto& source : project.sources) {
        if (cmake.driverSources.count(source) == 0) {
            problem("project: compiles " + source + ", which CMake does not build into the driver");
        }
    }
    if (project.infs.count("fwrelay.inf") == 0) {
        problem("project: fwrelay.inf is not part of the project");
    }
    const std::string major = Property(project, "KMDF_VERSION_MAJOR");
    const std::string minor = Property(project, "KMDF_VERSION_MINOR");
    if (major.empty() || minor.empty()) {
        problem("project: no single KMDF_VERSION_MAJOR/MINOR");
    }
    const std::string kmdfVersion = major + "." + minor;
    std::string targetName = Property(project, "TargetName");
    if (targetName.empty()) {
        targetName = Property(project, "ProjectName");
    }
    const std::string binary = Lower(targetName + ".sys");

    // The INF's own references: every %string% it uses is defined.
    static const std::regex token(R"(%([^%\s]+)%)");
    for (const auto& name : inf.order) {
        for (const auto& [key, value] : inf.sections.at(name)) {
            const std::string line = key + "=" + value;
            for (std::sregex_iterator it(line.begin(), line.end(), token), end; it != end; ++it) {
                const std::string id = (*it)[1].str();
                const bool dirid = std::all_of(id.begin(), id.end(), [](unsigned char c) { return std::isdigit(c); });
                if (!dirid && Value(inf, "Strings", id).empty()) {
                    problem("inf: [" + name + "] uses %" + id + "%, which [Strings] does not define");
                }
            }
        }
    }
    if (Value(inf, "Version", "PnpLockdown") != "1") {
        problem("inf: [Version] PnpLockdown is not 1");
    }
    if (Value(inf, "Version", "CatalogFile").empty()) {
        problem("inf: [Version] names no CatalogFile");
    }

    // Manufacturer -> models for both architectures -> install section -> files, service, framework.
    const auto& manufacturers = Entries(inf, "Manufacturer");
    if (manufacturers.empty()) {
        problem("inf: [Manufacturer] is missing or empty");
    }
    std::set<std::string> installSections;
    for (const auto& [manufacturer, entry] : manufacturers) {
        (void)manufacturer;
        auto parts = SplitList(entry);
        if (parts.empty() || parts.front().empty()) {
            continue;
        }
        const std::string models = parts.front();
        std::set<std::string> decorations;
        for (std::size_t i = 1; i < parts.size(); ++i) {
            decorations.insert(Lower(parts[i]));
        }
        for (const char* architecture : {"ntarm64", "ntamd64"}) {
            if (decorations.count(architecture) == 0) {
                problem("inf: [Manufacturer] " + models + " lacks the " + architecture + " decoration");
            }
        }
        for (const auto& decoration : decorations) {
            const std::string section = models + "." + decoration;
            if (!HasSection(inf, section)) {
                problem("inf: models section [" + section + "] is missing");
                continue;
            }
            for (const auto& [description, model] : Entries(inf, section)) {
                (void)description;
                auto fields = SplitList(model);
                if (fields.size() < 2 || fields[1].empty()) {
                    problem("inf: [" + section + "] has a model without a hardware id");
                }
                if (!fields.empty()) {
                    // The install section as setup looks it up for this architecture.
                    const std::string base = fields.front();
                    std::string found;
                    for (const std::string& candidate : {base + "." + decoration, base + ".NT", base}) {
                        if (found.empty() && HasSection(inf, candidate)) {
                            found = candidate;
                        }
                    }
                    if (found.empty()) {
                        problem("inf: install section [" + base + "] of [" + section + "] is missing");
                    } else {
                        installSections.insert(found);
                    }
                }
            }
        }
    }

    for (const auto& install : installSections) {
        bool copiesBinary = false;
        for (const char* directive : {"CopyFiles", "AddReg", "DelReg", "DelFiles", "RenFiles"}) {
            for (const auto& list : Values(inf, install, directive)) {
                for (const auto& section : SplitList(list)) {
                    if (section.empty() || section.front() == '@') {
                        copiesBinary = copiesBinary || Lower(section) == "@" + binary;
                        continue;
                    }
                    if (!HasSection(inf, section)) {
                        problem("inf: [" + install + "] " + directive + " names [" + section + "], which is missing");
                    } else if (std::string(directive) == "CopyFiles") {
                        for (const auto& [file, unused] : Entries(inf, section)) {
                            (void)unused;
                            copiesBinary = copiesBinary || Lower(file) == binary;
                        }
                    }
                }
            }
        }
        if (!copiesBinary) {
            problem("inf: [" + install + "] does not copy " + binary);
        }

        std::string serviceName;
        const std::string services = install + ".Services";
        if (!HasSection(inf, services)) {
            problem("inf: [" + services + "] is missing");
        } else {
            auto addService = SplitList(Value(inf, services, "AddService"));
            if (addService.size() < 3 || !HasSection(inf, addService[2])) {
                problem("inf: [" + services + "] AddService names no existing service section");
            } else {
                serviceName = addService[0];
                const std::string& service = addService[2];
                const std::map<std::string, std::string> expected = {
                    {"ServiceType", "1"}, {"StartType", "3"}, {"ErrorControl", "1"}};
                for (const auto& [key, value] : expected) {
                    if (Value(inf, service, key) != value) {
                        problem("inf: [" + service + "] " + key + " is not " + value);
                    }
                }
                if (Lower(Value(inf, service, "ServiceBinary")) != "%13%\\" + binary) {
                    problem("inf: [" + service + "] ServiceBinary is not %13%\\" + binary +
                            " (the project's output, in the driver store)");
                }
            }
        }

        const std::string wdf = install + ".Wdf";
        if (!HasSection(inf, wdf)) {
            problem("inf: [" + wdf + "] is missing");
        } else {
            auto kmdfService = SplitList(Value(inf, wdf, "KmdfService"));
            if (kmdfService.size() < 2 || !HasSection(inf, kmdfService[1])) {
                problem("inf: [" + wdf + "] KmdfService names no existing section");
            } else {
                if (Lower(kmdfService[0]) != Lower(serviceName)) {
                    problem("inf: [" + wdf + "] KmdfService " + kmdfService[0] + " is not the installed service");
                }
                const std::string library = Value(inf, kmdfService[1], "KmdfLibraryVersion");
                if (library != kmdfVersion) {
                    problem("inf: KmdfLibraryVersion " + library + " is not the project's KMDF " + kmdfVersion);
                }
            }
        }
    }

    bool shipped = false;
    for (const auto& [file, disk] : Entries(inf, "SourceDisksFiles")) {
        (void)disk;
        shipped = shipped || Lower(file) == binary;
    }
    if (!shipped) {
        problem("inf: [SourceDisksFiles] does not list " + binary);
    }
    return problems;
}

// ---- The files ----

class WindowsProjectTest : public testing::Test {
protected:
    void SetUp() override
    {
        vcxproj_ = ReadFile(std::string(FWRELAY_SOURCE_DIR) + "/windows/fwrelay.vcxproj");
        inf_ = ReadFile(std::string(FWRELAY_SOURCE_DIR) + "/windows/fwrelay.inf");
        ASSERT_FALSE(vcxproj_.empty());
        ASSERT_FALSE(inf_.empty());
        auto signature = CMakeSignatureDefault(ReadFile(std::string(FWRELAY_SOURCE_DIR) + "/CMakeLists.txt"));
        ASSERT_TRUE(signature.has_value());
        cmake_.signature = *signature;
        // The source list of the driver library as CMake resolved it, written at configure time.
        std::stringstream sources(ReadFile(FWRELAY_DRIVER_SOURCE_LIST));
        const std::string prefix = std::string(FWRELAY_SOURCE_DIR) + "/";
        for (std::string line; std::getline(sources, line);) {
            line = Trim(line);
            if (!line.empty()) {
                cmake_.driverSources.insert(line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line);
            }
        }
        ASSERT_FALSE(cmake_.driverSources.empty());
    }

    std::string vcxproj_;
    std::string inf_;
    CMakeFacts cmake_;
};

TEST_F(WindowsProjectTest, ProjectAndInfAgreeWithEachOtherAndWithCMake)
{
    const auto problems = Lint(vcxproj_, inf_, cmake_);
    EXPECT_TRUE(problems.empty()) << testing::PrintToString(problems);
    EXPECT_EQ(ParseProject(vcxproj_).sources, cmake_.driverSources);
}

// One breakage each: the text replaced in one of the two files and what the lint must say.
struct Breakage {
    const char* name;
    bool inInf; // otherwise the project
    const char* from;
    const char* to;
    const char* expected;
};

class WindowsProjectBreakageTest : public WindowsProjectTest, public testing::WithParamInterface<Breakage> {};

TEST_P(WindowsProjectBreakageTest, IsReported)
{
    const Breakage& b = GetParam();
    std::string vcxproj = vcxproj_;
    std::string inf = inf_;
    std::string& text = b.inInf ? inf : vcxproj;
    const auto at = text.find(b.from);
    ASSERT_NE(at, std::string::npos) << "the file no longer contains: " << b.from;
    text.replace(at, std::string(b.from).size(), b.to);

    const auto problems = Lint(vcxproj, inf, cmake_);
    const bool reported = std::any_of(problems.begin(), problems.end(),
                                      [&](const std::string& p) { return p.find(b.expected) != std::string::npos; });
    EXPECT_TRUE(reported) << "expected \"" << b.expected << "\" among " << testing::PrintToString(problems);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WindowsProjectBreakageTest,
    testing::Values(
        // The INF's own references.
        Breakage{"MissingModelsSection", true, "[FwRelay.NTamd64]", "[FwRelay.NTx86]", "[FwRelay.ntamd64] is missing"},
        Breakage{"MissingInstallSection", true, "[FwRelay_Device.NT]", "[FwRelay_Install.NT]",
                 "install section [FwRelay_Device]"},
        Breakage{"MissingCopyFilesSection", true, "[FwRelay_Files]", "[FwRelay_Other]",
                 "CopyFiles names [FwRelay_Files]"},
        Breakage{"MissingServiceSection", true, "[FwRelay_Service]", "[FwRelay_Svc]",
                 "AddService names no existing service section"},
        Breakage{"MissingServicesSection", true, "[FwRelay_Device.NT.Services]", "[FwRelay_Device.Services]",
                 "[FwRelay_Device.NT.Services] is missing"},
        Breakage{"MissingWdfSection", true, "[FwRelay_Device.NT.Wdf]", "[FwRelay_Device.Wdf]",
                 "[FwRelay_Device.NT.Wdf] is missing"},
        Breakage{"MissingKmdfServiceSection", true, "[FwRelay_Wdf]", "[FwRelay_Kmdf]",
                 "KmdfService names no existing section"},
        Breakage{"UndefinedString", true, "DiskName               =", "Disk                   =", "uses %DiskName%"},
        Breakage{"NoPnpLockdown", true, "PnpLockdown = 1", "PnpLockdown = 0", "PnpLockdown is not 1"},
        Breakage{"NoCatalog", true, "CatalogFile = fwrelay.cat", "", "names no CatalogFile"},
        Breakage{"KmdfServiceNotInstalled", true, "KmdfService = fwrelay,", "KmdfService = other,",
                 "is not the installed service"},
        Breakage{"ModelWithoutHardwareId", true, "= FwRelay_Device, Root\\FwRelay", "= FwRelay_Device",
                 "has a model without a hardware id"},
        Breakage{"NoManufacturer", true, "%ManufacturerName% = FwRelay, NTarm64, NTamd64", "",
                 "[Manufacturer] is missing or empty"},
        // The framework version.
        Breakage{"KmdfLibraryVersionDiffers", true, "KmdfLibraryVersion = 1.15", "KmdfLibraryVersion = 1.33",
                 "KmdfLibraryVersion 1.33 is not the project's KMDF 1.15"},
        Breakage{"ProjectKmdfVersionDiffers", false, "<KMDF_VERSION_MINOR>15<", "<KMDF_VERSION_MINOR>11<",
                 "KmdfLibraryVersion 1.15 is not the project's KMDF 1.11"},
        Breakage{"NoKmdfMinorVersion", false, "<KMDF_VERSION_MINOR>15</KMDF_VERSION_MINOR>", "",
                 "no single KMDF_VERSION_MAJOR/MINOR"},
        // The binary.
        Breakage{"ServiceBinaryIsNotTheOutput", true, "ServiceBinary = %13%\\fwrelay.sys",
                 "ServiceBinary = %13%\\relay.sys", "ServiceBinary is not %13%\\fwrelay.sys"},
        Breakage{"ServiceBinaryOutsideTheStore", true, "ServiceBinary = %13%\\fwrelay.sys",
                 "ServiceBinary = %12%\\fwrelay.sys", "ServiceBinary is not %13%\\fwrelay.sys"},
        Breakage{"ProjectOutputRenamed", false, "<TargetName>fwrelay<", "<TargetName>fwrelay64<",
                 "ServiceBinary is not %13%\\fwrelay64.sys"},
        Breakage{"BinaryNotShipped", true, "fwrelay.sys = 1,,", "other.sys = 1,,",
                 "[SourceDisksFiles] does not list fwrelay.sys"},
        Breakage{"BinaryNotCopied", true, "[FwRelay_Files]\nfwrelay.sys", "[FwRelay_Files]\nother.sys",
                 "does not copy fwrelay.sys"},
        Breakage{"NotDemandStart", true, "StartType     = 3", "StartType     = 0", "StartType is not 3"},
        // Both architectures.
        Breakage{"NoArm64Decoration", true, "FwRelay, NTarm64, NTamd64", "FwRelay, NTamd64",
                 "lacks the ntarm64 decoration"},
        Breakage{"NoAmd64Decoration", true, "FwRelay, NTarm64, NTamd64", "FwRelay, NTarm64",
                 "lacks the ntamd64 decoration"},
        Breakage{"NoArm64Configuration", false, "<ProjectConfiguration Include=\"Release|ARM64\">",
                 "<ProjectConfiguration Include=\"Release|ARM\">", "no configuration Release|ARM64"},
        Breakage{"NoX64Configuration", false, "<ProjectConfiguration Include=\"Debug|x64\">",
                 "<ProjectConfiguration Include=\"Debug|Win32\">", "no configuration Debug|x64"},
        // The sources CMake builds, no more and no fewer.
        Breakage{"SourceMissing", false, "<ClCompile Include=\"..\\wmi\\retry.cpp\" />", "",
                 "missing driver source wmi/retry.cpp"},
        Breakage{"SourceCommentedOut", false, "<ClCompile Include=\"..\\wmi\\retry.cpp\" />",
                 "<!-- <ClCompile Include=\"..\\wmi\\retry.cpp\" /> -->", "missing driver source wmi/retry.cpp"},
        Breakage{"ExtraSource", false, "<ClCompile Include=\"..\\wmi\\retry.cpp\" />",
                 "<ClCompile Include=\"..\\wmi\\retry.cpp\" /><ClCompile Include=\"..\\sim\\pool.cpp\" />",
                 "compiles sim/pool.cpp"},
        Breakage{"CopiedSource", false, "<ClCompile Include=\"..\\relay\\relay.cpp\" />",
                 "<ClCompile Include=\"relay.cpp\" />", "missing driver source relay/relay.cpp"},
        // How the project compiles.
        Breakage{"NotKmdf", false, "<DriverType>KMDF</DriverType>", "<DriverType>WDM</DriverType>",
                 "DriverType is not KMDF"},
        Breakage{"WarningLevel3", false, "<WarningLevel>Level4</WarningLevel>", "<WarningLevel>Level3</WarningLevel>",
                 "WarningLevel is not Level4"},
        Breakage{"WarningsNotErrors", false, "<TreatWarningAsError>true<", "<TreatWarningAsError>false<",
                 "warnings are not errors"},
        Breakage{"SignatureDiffers", false, ">0x494D5350</FwRelayMethodSignature>",
                 ">0x12345678</FwRelayMethodSignature>", "signature default 0x12345678 is not CMake's"},
        Breakage{"SignatureNotDefined", false, "FWRELAY_METHOD_SIGNATURE=$(FwRelayMethodSignature);", "",
                 "FWRELAY_METHOD_SIGNATURE is not defined"},
        Breakage{"InfNotInProject", false, "<Inf Include=\"fwrelay.inf\" />", "",
                 "fwrelay.inf is not part of the project"}),
    [](const testing::TestParamInfo<Breakage>& param) { return std::string(param.param.name); });

} // namespace
