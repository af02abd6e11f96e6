// The Windows build files against each other, CMake and the install guide: the WDK project
// (windows/fwrelay.vcxproj) must build exactly the driver sources CMake builds, for ARM64 and
// x64, as a universal KMDF driver with warnings as errors and CMake's signature, for no Windows
// older than the sources need; the driver's INF must install the binary the project produces on
// the devices the guide and the extension INF create, as a certification review and InfVerif's
// universal rules expect, stamped for one architecture per package; the extension INF must add
// only the software component the driver's INF matches. Each rule is also shown to catch a
// broken file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
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
    std::set<std::string> imports;
    std::set<std::string> packaged;                             // FilesToPackage
    std::map<std::string, std::vector<std::string>> properties; // element name -> every value
    std::map<std::string, std::string> conditional;             // "name|condition" -> value
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
    static const std::regex include(
        R"re(<(ProjectConfiguration|ClCompile|Inf|Import|FilesToPackage)\s+(?:Include|Project)="([^"]*)")re");
    for (std::sregex_iterator it(text.begin(), text.end(), include), end; it != end; ++it) {
        const std::string kind = (*it)[1].str();
        std::string path = (*it)[2].str();
        if (kind == "ProjectConfiguration") {
            project.configurations.insert(path);
        } else if (kind == "Inf") {
            project.infs.insert(path);
        } else if (kind == "Import") {
            project.imports.insert(path);
        } else if (kind == "FilesToPackage") {
            project.packaged.insert(path);
        } else {
            std::replace(path.begin(), path.end(), '\\', '/');
            project.sources.insert(path.rfind("../", 0) == 0 ? path.substr(3) : "(outside the repository) " + path);
        }
    }
    static const std::regex element(R"re(<([A-Za-z_][A-Za-z0-9_]*)(\s+Condition="[^"]*")?>([^<]*)</\1>)re");
    for (std::sregex_iterator it(text.begin(), text.end(), element), end; it != end; ++it) {
        project.properties[(*it)[1].str()].push_back(Trim((*it)[3].str()));
        if ((*it)[2].matched) {
            project.conditional[(*it)[1].str() + "|" + (*it)[2].str()] = Trim((*it)[3].str());
        }
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

// The value a property takes for one platform, from an element conditioned on exactly it.
std::string PlatformProperty(const Project& project, const std::string& name, const std::string& platform)
{
    auto it = project.conditional.find(name + "| Condition=\"'$(Platform)' == '" + platform + "'\"");
    return it == project.conditional.end() ? "" : it->second;
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

// The files linted together.
struct Files {
    std::string vcxproj;
    std::string inf;       // the driver's package
    std::string extension; // the extension INF that adds the software component
    std::string guide;     // docs/windows.md
};

// Each setup class with its own GUID.
const std::map<std::string, std::string>& ClassGuids()
{
    static const std::map<std::string, std::string> guids = {
        {"system", "{4d36e97d-e325-11ce-bfc1-08002be10318}"},
        {"softwarecomponent", "{5c4c3332-344d-483c-8739-259e934c9cc8}"},
        {"extension", "{e2f84ce7-8efa-411c-aa69-97454ca4cb57}"}};
    return guids;
}

// What a target version means: its first build (the INF's decoration) and Inf2Cat's name for it.
struct Release {
    const char* ntTargetVersion;
    const char* build;
    const char* inf2cat;
};
constexpr Release Releases[] = {{"0xA000007", "18362", "10_19H1"}, {"0xA000008", "19041", "10_VB"}};
// ExAllocatePool2 and POOL_FLAG_* exist from this build: the sources do not compile for older ones.
constexpr int MinimumBuild = 19041;

// The architectures a package is stamped for: the project's platform and stampinf's name.
constexpr std::pair<const char*, const char*> Architectures[] = {{"ARM64", "arm64"}, {"x64", "amd64"}};

std::string Stamp(std::string text, const std::string& architecture)
{
    for (auto at = text.find("$ARCH$"); at != std::string::npos; at = text.find("$ARCH$", at)) {
        text.replace(at, 6, architecture);
    }
    return text;
}

// The flags of an AddService line, with a %string% resolved.
unsigned long ServiceFlags(const Inf& inf, std::string flags)
{
    if (flags.size() > 2 && flags.front() == '%' && flags.back() == '%') {
        flags = Value(inf, "Strings", flags.substr(1, flags.size() - 2));
    }
    return std::strtoul(flags.c_str(), nullptr, 0);
}

// The rules both INFs follow: the header, the strings, and what a universal INF may contain.
void LintInfCommon(const std::string& who, const Inf& inf, const std::string& expectedClass,
                   const std::function<void(std::string)>& problem)
{
    if (Lower(Value(inf, "Version", "Signature")) != "\"$windows nt$\"") {
        problem(who + ": [Version] Signature is not \"$WINDOWS NT$\"");
    }
    const std::string setupClass = Lower(Value(inf, "Version", "Class"));
    if (setupClass != Lower(expectedClass)) {
        problem(who + ": [Version] Class is not " + expectedClass);
    }
    auto guid = ClassGuids().find(setupClass);
    if (guid == ClassGuids().end() || Lower(Value(inf, "Version", "ClassGuid")) != guid->second) {
        problem(who + ": [Version] ClassGuid is not the GUID of class " + setupClass);
    }
    if (Value(inf, "Version", "PnpLockdown") != "1") {
        problem(who + ": [Version] PnpLockdown is not 1");
    }
    if (Value(inf, "Version", "CatalogFile").empty()) {
        problem(who + ": [Version] names no CatalogFile");
    }
    // Every %string% it uses is defined.
    static const std::regex token(R"(%([^%\s]+)%)");
    for (const auto& name : inf.order) {
        for (const auto& [key, value] : inf.sections.at(name)) {
            const std::string line = key + "=" + value;
            for (std::sregex_iterator it(line.begin(), line.end(), token), end; it != end; ++it) {
                const std::string id = (*it)[1].str();
                const bool dirid = std::all_of(id.begin(), id.end(), [](unsigned char c) { return std::isdigit(c); });
                if (!dirid && Value(inf, "Strings", id).empty()) {
                    problem(who + ": [" + name + "] uses %" + id + "%, which [Strings] does not define");
                }
            }
        }
    }
    // A universal INF runs no code at install and writes only the device's and service's own keys.
    static const std::regex notUniversalSection(R"(\.(coinstallers|factdef|logconfig)$|^classinstall32)");
    static const std::set<std::string> notUniversalDirective = {
        "registerdlls", "unregisterdlls", "profileitems", "updateinis", "updateinifields", "ini2reg", "logconfig"};
    for (const auto& name : inf.order) {
        if (std::regex_search(name, notUniversalSection)) {
            problem(who + ": [" + name + "] is not allowed in a universal INF");
        }
        for (const auto& [key, value] : inf.sections.at(name)) {
            if (notUniversalDirective.count(Lower(key)) != 0) {
                problem(who + ": [" + name + "] " + key + " is not allowed in a universal INF");
            }
            if (Lower(key) != "addreg" && Lower(key) != "delreg") {
                continue;
            }
            for (const auto& section : SplitList(value)) {
                for (const auto& [root, unused] : Entries(inf, section)) {
                    (void)unused;
                    if (Lower(SplitList(root).front()) != "hkr") {
                        problem(who + ": [" + section + "] writes " + SplitList(root).front() +
                                ", outside the driver's own keys (HKR)");
                    }
                }
            }
        }
    }
}

// The models an INF offers once stamped for one architecture: hardware id -> install section
// as setup finds it. The unstamped decorations must be NT$ARCH$ from the project's build.
std::map<std::string, std::string> LintModels(const std::string& who, const Inf& unstamped, const Inf& inf,
                                              const std::string& architecture, const std::string& build,
                                              const std::function<void(std::string)>& problem)
{
    std::map<std::string, std::string> models;
    const auto& manufacturers = Entries(inf, "Manufacturer");
    if (manufacturers.empty()) {
        problem(who + ": [Manufacturer] is missing or empty");
    }
    for (const auto& [manufacturer, entry] : Entries(unstamped, "Manufacturer")) {
        (void)manufacturer;
        auto parts = SplitList(entry);
        for (std::size_t i = 1; i < parts.size(); ++i) {
            if (Lower(parts[i]) != "nt$arch$.10.0..." + build) {
                problem(who + ": [Manufacturer] decoration " + parts[i] + " is not NT$ARCH$.10.0..." + build +
                        " (one architecture per package, from the project's build)");
            }
        }
    }
    for (const auto& [manufacturer, entry] : manufacturers) {
        (void)manufacturer;
        auto parts = SplitList(entry);
        for (std::size_t i = 1; i < parts.size(); ++i) {
            const std::string decoration = Lower(parts[i]);
            if (decoration != "nt" + architecture && decoration.rfind("nt" + architecture + ".", 0) != 0) {
                continue;
            }
            const std::string section = parts.front() + "." + decoration;
            if (!HasSection(inf, section)) {
                problem(who + ": models section [" + section + "] is missing");
                continue;
            }
            for (const auto& [description, model] : Entries(inf, section)) {
                (void)description;
                auto fields = SplitList(model);
                if (fields.size() < 2 || fields[1].empty()) {
                    problem(who + ": [" + section + "] has a model without a hardware id");
                    continue;
                }
                // The install section as setup looks it up for this architecture.
                std::string found;
                for (const std::string& candidate : {fields[0] + ".nt" + architecture, fields[0] + ".NT", fields[0]}) {
                    if (found.empty() && HasSection(inf, candidate)) {
                        found = candidate;
                    }
                }
                if (found.empty()) {
                    problem(who + ": install section [" + fields[0] + "] of [" + section + "] is missing");
                } else {
                    models[fields[1]] = found;
                }
            }
        }
    }
    if (models.empty()) {
        problem(who + ": stamped for " + architecture + ", it offers no model");
    }
    return models;
}

// What the project fixes that the INFs must agree with.
struct ProjectFacts {
    std::string binary; // lower case
    std::string kmdfVersion;
    std::string build;
};

ProjectFacts LintProject(const Project& project, const CMakeFacts& cmake,
                         const std::function<void(std::string)>& problem)
{
    ProjectFacts facts;
    for (const char* configuration : {"Debug|ARM64", "Release|ARM64", "Debug|x64", "Release|x64"}) {
        if (project.configurations.count(configuration) == 0) {
            problem(std::string("project: no configuration ") + configuration);
        }
    }
    const std::map<std::string, std::string> required = {
        {"ConfigurationType", "Driver"}, {"PlatformToolset", "WindowsKernelModeDriver10.0"},
        {"DriverType", "KMDF"},          {"DriverTargetPlatform", "Universal"},
        {"TargetVersion", "Windows10"},  {"WarningLevel", "Level4"},
        {"Inf2CatUseLocalTime", "true"}};
    for (const auto& [name, value] : required) {
        if (Property(project, name) != value) {
            problem("project: " + name + " is not " + value);
        }
    }
    if (Lower(Property(project, "TreatWarningAsError")) != "true") {
        problem("project: warnings are not errors");
    }
    const std::string standard = Property(project, "LanguageStandard");
    if (standard != "stdcpp17" && standard != "stdcpp20") {
        problem("project: LanguageStandard " + standard + " is not C++17 or later, which the sources need");
    }
    for (const char* import : {"Microsoft.Cpp.Default.props", "Microsoft.Cpp.props", "Microsoft.Cpp.targets"}) {
        if (project.imports.count(std::string("$(VCTargetsPath)\\") + import) == 0) {
            problem(std::string("project: does not import ") + import);
        }
    }
    if (project.packaged.count("$(TargetPath)") == 0) {
        problem("project: FilesToPackage does not list $(TargetPath), the driver");
    }
    // The oldest build it compiles for: the INFs' decorations and the catalog's OS list follow it.
    const std::string target = Property(project, "_NT_TARGET_VERSION");
    const Release* release = nullptr;
    for (const auto& r : Releases) {
        release = target == r.ntTargetVersion ? &r : release;
    }
    if (release == nullptr || std::stoi(release->build) < MinimumBuild) {
        problem("project: _NT_TARGET_VERSION " + target + " is not Windows 10 build " + std::to_string(MinimumBuild) +
                " or later, where ExAllocatePool2 exists");
    }
    facts.build = release != nullptr ? release->build : "?";
    for (const auto& [platform, architecture] : Architectures) {
        (void)architecture;
        std::string expected = release != nullptr ? std::string(release->inf2cat) + "_" + platform : "?";
        std::transform(expected.begin(), expected.end(), expected.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        const std::string list = PlatformProperty(project, "Inf2CatWindowsVersionList", platform);
        if (list != expected) {
            problem(std::string("project: Inf2CatWindowsVersionList for ") + platform + " is '" + list + "', not " +
                    expected);
        }
    }
    if (Lower(Property(project, "SpecifyArchitecture")) != "true" ||
        Property(project, "Architecture") != "$(InfArch)") {
        problem("project: stampinf does not stamp each package's INFs with its architecture ($(InfArch))");
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
    for (const char* inf : {"fwrelay.inf", "fwrelay_extension.inf"}) {
        if (project.infs.count(inf) == 0) {
            problem(std::string("project: ") + inf + " is not part of the project");
        }
    }
    const std::string major = Property(project, "KMDF_VERSION_MAJOR");
    const std::string minor = Property(project, "KMDF_VERSION_MINOR");
    if (major.empty() || minor.empty()) {
        problem("project: no single KMDF_VERSION_MAJOR/MINOR");
    }
    facts.kmdfVersion = major + "." + minor;
    std::string targetName = Property(project, "TargetName");
    if (targetName.empty()) {
        targetName = Property(project, "ProjectName");
    }
    facts.binary = Lower(targetName + ".sys");
    return facts;
}

// The driver's INF for one architecture: files to the driver store, the function driver's
// service, the framework version. Returns the hardware ids it installs on.
std::set<std::string> LintDriverInf(const std::string& text, const std::string& architecture, const ProjectFacts& facts,
                                    const std::function<void(std::string)>& problem)
{
    const Inf inf = ParseInf(Stamp(text, architecture));
    const std::string& binary = facts.binary;
    LintInfCommon("inf", inf, "SoftwareComponent", problem);

    if (!HasSection(inf, "DestinationDirs")) {
        problem("inf: [DestinationDirs] is missing");
    }
    for (const auto& [key, dirid] : Entries(inf, "DestinationDirs")) {
        if (SplitList(dirid).front() != "13") {
            problem("inf: [DestinationDirs] " + key + " is not 13, the driver store");
        }
    }
    if (!HasSection(inf, "SourceDisksNames")) {
        problem("inf: [SourceDisksNames] is missing");
    }
    bool shipped = false;
    for (const auto& [file, disk] : Entries(inf, "SourceDisksFiles")) {
        shipped = shipped || Lower(file) == binary;
        const std::string id = SplitList(disk).front();
        if (Value(inf, "SourceDisksNames", id).empty()) {
            problem("inf: " + file + " is on disk " + id + ", which [SourceDisksNames] does not define");
        }
    }
    if (!shipped) {
        problem("inf: [SourceDisksFiles] does not list " + binary);
    }

    std::set<std::string> installSections;
    std::set<std::string> hardwareIds;
    for (const auto& [id, section] : LintModels("inf", ParseInf(text), inf, architecture, facts.build, problem)) {
        hardwareIds.insert(id);
        installSections.insert(section);
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
                // SPSVCINST_ASSOCSERVICE: the service is the device's function driver.
                if ((ServiceFlags(inf, addService[1]) & 0x2) == 0) {
                    problem("inf: [" + services + "] AddService does not flag " + serviceName +
                            " as the function driver (SPSVCINST_ASSOCSERVICE)");
                }
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
                if (library != facts.kmdfVersion) {
                    problem("inf: KmdfLibraryVersion " + library + " is not the project's KMDF " + facts.kmdfVersion);
                }
            }
        }
    }
    return hardwareIds;
}

// The extension INF for one architecture: it matches the ACPI-WMI mapping device, adds the
// software component and nothing else. Returns the component's hardware ids.
std::set<std::string> LintExtensionInf(const std::string& text, const std::string& architecture,
                                       const ProjectFacts& facts, const std::function<void(std::string)>& problem)
{
    const Inf inf = ParseInf(Stamp(text, architecture));
    LintInfCommon("extension", inf, "Extension", problem);
    static const std::regex guid(R"(\{[0-9a-fA-F]{8}(-[0-9a-fA-F]{4}){3}-[0-9a-fA-F]{12}\})");
    if (!std::regex_match(Value(inf, "Version", "ExtensionId"), guid)) {
        problem("extension: [Version] ExtensionId is not a GUID");
    }
    std::set<std::string> components;
    for (const auto& [id, install] : LintModels("extension", ParseInf(text), inf, architecture, facts.build, problem)) {
        if (Lower(id) != "acpi\\pnp0c14") {
            problem("extension: matches " + id + ", not the ACPI-WMI mapping device ACPI\\PNP0C14");
        }
        // An extension's service would take the mapping device's function driver from it.
        if (HasSection(inf, install + ".Services")) {
            problem("extension: [" + install + ".Services] installs a service on the mapping device");
        }
        for (const auto& component : Values(inf, install + ".Components", "AddComponent")) {
            auto fields = SplitList(component);
            const std::string section = fields.size() >= 3 ? fields[2] : "";
            for (const auto& componentId : SplitList(Value(inf, section, "ComponentIDs"))) {
                if (!componentId.empty()) {
                    components.insert("SWC\\" + componentId);
                }
            }
        }
    }
    if (components.empty()) {
        problem("extension: adds no software component (AddComponent with ComponentIDs)");
    }
    return components;
}

std::vector<std::string> Lint(const Files& files, const CMakeFacts& cmake)
{
    std::vector<std::string> problems;
    const std::function<void(std::string)> problem = [&](std::string text) {
        if (std::find(problems.begin(), problems.end(), text) == problems.end()) {
            problems.push_back(std::move(text));
        }
    };
    const ProjectFacts facts = LintProject(ParseProject(files.vcxproj), cmake, problem);
    for (const auto& [platform, architecture] : Architectures) {
        (void)platform;
        const auto hardwareIds = LintDriverInf(files.inf, architecture, facts, problem);
        for (const auto& component : LintExtensionInf(files.extension, architecture, facts, problem)) {
            if (hardwareIds.count(component) == 0) {
                problem("extension: its component " + component + " is not a hardware id of the driver's INF");
            }
        }
        // The guide installs on every device the INF names, and creates only a device it names.
        for (const auto& id : hardwareIds) {
            if (files.guide.find(id) == std::string::npos) {
                problem("guide: hardware id " + id + " of the INF is not in docs/windows.md");
            }
        }
        static const std::regex created(R"(/hardwareid\s+(\S+))");
        for (std::sregex_iterator it(files.guide.begin(), files.guide.end(), created), end; it != end; ++it) {
            if (hardwareIds.count((*it)[1].str()) == 0) {
                problem("guide: devgen creates " + (*it)[1].str() + ", which the INF does not install on");
            }
        }
    }
    return problems;
}

// ---- The files ----

class WindowsProjectTest : public testing::Test {
protected:
    void SetUp() override
    {
        files_.vcxproj = ReadFile(std::string(FWRELAY_SOURCE_DIR) + "/windows/fwrelay.vcxproj");
        files_.inf = ReadFile(std::string(FWRELAY_SOURCE_DIR) + "/windows/fwrelay.inf");
        files_.extension = ReadFile(std::string(FWRELAY_SOURCE_DIR) + "/windows/fwrelay_extension.inf");
        files_.guide = ReadFile(std::string(FWRELAY_SOURCE_DIR) + "/docs/windows.md");
        for (const auto* text : {&files_.vcxproj, &files_.inf, &files_.extension, &files_.guide}) {
            ASSERT_FALSE(text->empty());
        }
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

    Files files_;
    CMakeFacts cmake_;
};

TEST_F(WindowsProjectTest, ProjectAndInfsAgreeWithEachOtherTheGuideAndCMake)
{
    const auto problems = Lint(files_, cmake_);
    EXPECT_TRUE(problems.empty()) << testing::PrintToString(problems);
    EXPECT_EQ(ParseProject(files_.vcxproj).sources, cmake_.driverSources);
}

// One breakage each: the text replaced in one of the files and what the lint must say.
enum class In {
    Project,
    Inf,
    Extension,
    Guide
};

struct Breakage {
    const char* name;
    In in;
    const char* from;
    const char* to;
    const char* expected;
};

class WindowsProjectBreakageTest : public WindowsProjectTest, public testing::WithParamInterface<Breakage> {};

TEST_P(WindowsProjectBreakageTest, IsReported)
{
    const Breakage& b = GetParam();
    Files files = files_;
    std::string& text = b.in == In::Project ? files.vcxproj
                        : b.in == In::Inf   ? files.inf
                        : b.in == In::Guide ? files.guide
                                            : files.extension;
    const auto at = text.find(b.from);
    ASSERT_NE(at, std::string::npos) << "the file no longer contains: " << b.from;
    text.replace(at, std::string(b.from).size(), b.to);

    const auto problems = Lint(files, cmake_);
    const bool reported = std::any_of(problems.begin(), problems.end(),
                                      [&](const std::string& p) { return p.find(b.expected) != std::string::npos; });
    EXPECT_TRUE(reported) << "expected \"" << b.expected << "\" among " << testing::PrintToString(problems);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WindowsProjectBreakageTest,
    testing::Values(
        // The INF's own references.
        Breakage{"MissingModelsSection", In::Inf, "[FwRelay.NT$ARCH$.10.0...19041]", "[FwRelay.NTx86.10.0...19041]",
                 "models section [FwRelay.ntarm64.10.0...19041] is missing"},
        Breakage{"MissingInstallSection", In::Inf, "[FwRelay_Device.NT]", "[FwRelay_Install.NT]",
                 "install section [FwRelay_Device]"},
        Breakage{"MissingCopyFilesSection", In::Inf, "[FwRelay_Files]", "[FwRelay_Other]",
                 "CopyFiles names [FwRelay_Files]"},
        Breakage{"MissingServiceSection", In::Inf, "[FwRelay_Service]", "[FwRelay_Svc]",
                 "AddService names no existing service section"},
        Breakage{"MissingServicesSection", In::Inf, "[FwRelay_Device.NT.Services]", "[FwRelay_Device.Services]",
                 "[FwRelay_Device.NT.Services] is missing"},
        Breakage{"MissingWdfSection", In::Inf, "[FwRelay_Device.NT.Wdf]", "[FwRelay_Device.Wdf]",
                 "[FwRelay_Device.NT.Wdf] is missing"},
        Breakage{"MissingKmdfServiceSection", In::Inf, "[FwRelay_Wdf]", "[FwRelay_Kmdf]",
                 "KmdfService names no existing section"},
        Breakage{"UndefinedString", In::Inf, "DiskName               =", "Disk                   =", "uses %DiskName%"},
        Breakage{"NoPnpLockdown", In::Inf, "PnpLockdown = 1", "PnpLockdown = 0", "PnpLockdown is not 1"},
        Breakage{"NoCatalog", In::Inf, "CatalogFile = fwrelay.cat", "", "names no CatalogFile"},
        Breakage{"KmdfServiceNotInstalled", In::Inf, "KmdfService = fwrelay,", "KmdfService = other,",
                 "is not the installed service"},
        Breakage{"ModelWithoutHardwareId", In::Inf, "= FwRelay_Device, Root\\FwRelay", "= FwRelay_Device",
                 "has a model without a hardware id"},
        Breakage{"NoManufacturer", In::Inf, "%ManufacturerName% = FwRelay, NT$ARCH$.10.0...19041", "",
                 "[Manufacturer] is missing or empty"},
        // The framework version.
        Breakage{"KmdfLibraryVersionDiffers", In::Inf, "KmdfLibraryVersion = 1.15", "KmdfLibraryVersion = 1.33",
                 "KmdfLibraryVersion 1.33 is not the project's KMDF 1.15"},
        Breakage{"ProjectKmdfVersionDiffers", In::Project, "<KMDF_VERSION_MINOR>15<", "<KMDF_VERSION_MINOR>11<",
                 "KmdfLibraryVersion 1.15 is not the project's KMDF 1.11"},
        Breakage{"NoKmdfMinorVersion", In::Project, "<KMDF_VERSION_MINOR>15</KMDF_VERSION_MINOR>", "",
                 "no single KMDF_VERSION_MAJOR/MINOR"},
        // The binary.
        Breakage{"ServiceBinaryIsNotTheOutput", In::Inf, "ServiceBinary = %13%\\fwrelay.sys",
                 "ServiceBinary = %13%\\relay.sys", "ServiceBinary is not %13%\\fwrelay.sys"},
        Breakage{"ServiceBinaryOutsideTheStore", In::Inf, "ServiceBinary = %13%\\fwrelay.sys",
                 "ServiceBinary = %12%\\fwrelay.sys", "ServiceBinary is not %13%\\fwrelay.sys"},
        Breakage{"ProjectOutputRenamed", In::Project, "<TargetName>fwrelay<", "<TargetName>fwrelay64<",
                 "ServiceBinary is not %13%\\fwrelay64.sys"},
        Breakage{"BinaryNotShipped", In::Inf, "fwrelay.sys = 1,,", "other.sys = 1,,",
                 "[SourceDisksFiles] does not list fwrelay.sys"},
        Breakage{"BinaryNotCopied", In::Inf, "[FwRelay_Files]\nfwrelay.sys", "[FwRelay_Files]\nother.sys",
                 "does not copy fwrelay.sys"},
        Breakage{"NotDemandStart", In::Inf, "StartType     = 3", "StartType     = 0", "StartType is not 3"},
        // Both architectures.
        // One architecture per package, each offered only its own (stampinf's $ARCH$).
        Breakage{"ArchitectureWrittenOut", In::Inf, "FwRelay, NT$ARCH$.10.0...19041", "FwRelay, NTamd64.10.0...19041",
                 "stamped for arm64, it offers no model"},
        Breakage{"OtherArchitectureWrittenOut", In::Inf, "FwRelay, NT$ARCH$.10.0...19041",
                 "FwRelay, NTarm64.10.0...19041", "stamped for amd64, it offers no model"},
        Breakage{"BothArchitecturesInOnePackage", In::Inf, "FwRelay, NT$ARCH$.10.0...19041",
                 "FwRelay, NTarm64.10.0...19041, NTamd64.10.0...19041", "decoration NTarm64.10.0...19041 is not"},
        Breakage{"ArchitectureNotStamped", In::Project, "<SpecifyArchitecture>true<", "<SpecifyArchitecture>false<",
                 "stampinf does not stamp each package's INFs"},
        // The oldest Windows it installs on is the oldest it compiles for.
        Breakage{"ModelsForEveryBuild", In::Inf, "FwRelay, NT$ARCH$.10.0...19041", "FwRelay, NT$ARCH$",
                 "decoration NT$ARCH$ is not NT$ARCH$.10.0...19041"},
        Breakage{"ModelsForAnOlderBuild", In::Inf, "FwRelay, NT$ARCH$.10.0...19041", "FwRelay, NT$ARCH$.10.0...18362",
                 "decoration NT$ARCH$.10.0...18362 is not NT$ARCH$.10.0...19041"},
        Breakage{"ExtensionForEveryBuild", In::Extension, "FwRelayExtension, NT$ARCH$.10.0...19041",
                 "FwRelayExtension, NT$ARCH$", "extension: [Manufacturer] decoration NT$ARCH$ is not"},
        Breakage{"TargetVersionTooOld", In::Project, "<_NT_TARGET_VERSION>0xA000008<", "<_NT_TARGET_VERSION>0xA000007<",
                 "_NT_TARGET_VERSION 0xA000007 is not Windows 10 build 19041"},
        Breakage{"NoTargetVersion", In::Project, "<_NT_TARGET_VERSION>0xA000008</_NT_TARGET_VERSION>", "",
                 "_NT_TARGET_VERSION  is not Windows 10 build 19041"},
        Breakage{"CatalogForEveryOs", In::Project, ">10_VB_ARM64<", "><",
                 "Inf2CatWindowsVersionList for ARM64 is '', not 10_VB_ARM64"},
        Breakage{"CatalogForTheOtherArchitecture", In::Project, ">10_VB_X64<", ">10_VB_ARM64<",
                 "Inf2CatWindowsVersionList for x64 is '10_VB_ARM64', not 10_VB_X64"},
        Breakage{"CatalogInUtc", In::Project, "<Inf2CatUseLocalTime>true<", "<Inf2CatUseLocalTime>false<",
                 "Inf2CatUseLocalTime is not true"},
        Breakage{"NoArm64Configuration", In::Project, "<ProjectConfiguration Include=\"Release|ARM64\">",
                 "<ProjectConfiguration Include=\"Release|ARM\">", "no configuration Release|ARM64"},
        Breakage{"NoX64Configuration", In::Project, "<ProjectConfiguration Include=\"Debug|x64\">",
                 "<ProjectConfiguration Include=\"Debug|Win32\">", "no configuration Debug|x64"},
        // The sources CMake builds, no more and no fewer.
        Breakage{"SourceMissing", In::Project, "<ClCompile Include=\"..\\wmi\\retry.cpp\" />", "",
                 "missing driver source wmi/retry.cpp"},
        Breakage{"SourceCommentedOut", In::Project, "<ClCompile Include=\"..\\wmi\\retry.cpp\" />",
                 "<!-- <ClCompile Include=\"..\\wmi\\retry.cpp\" /> -->", "missing driver source wmi/retry.cpp"},
        Breakage{"ExtraSource", In::Project, "<ClCompile Include=\"..\\wmi\\retry.cpp\" />",
                 "<ClCompile Include=\"..\\wmi\\retry.cpp\" /><ClCompile Include=\"..\\sim\\pool.cpp\" />",
                 "compiles sim/pool.cpp"},
        Breakage{"CopiedSource", In::Project, "<ClCompile Include=\"..\\relay\\relay.cpp\" />",
                 "<ClCompile Include=\"relay.cpp\" />", "missing driver source relay/relay.cpp"},
        // How the project compiles.
        Breakage{"NotKmdf", In::Project, "<DriverType>KMDF</DriverType>", "<DriverType>WDM</DriverType>",
                 "DriverType is not KMDF"},
        Breakage{"WarningLevel3", In::Project, "<WarningLevel>Level4</WarningLevel>",
                 "<WarningLevel>Level3</WarningLevel>", "WarningLevel is not Level4"},
        Breakage{"WarningsNotErrors", In::Project, "<TreatWarningAsError>true<", "<TreatWarningAsError>false<",
                 "warnings are not errors"},
        Breakage{"SignatureDiffers", In::Project, ">0x494D5350</FwRelayMethodSignature>",
                 ">0x12345678</FwRelayMethodSignature>", "signature default 0x12345678 is not CMake's"},
        Breakage{"SignatureNotDefined", In::Project, "FWRELAY_METHOD_SIGNATURE=$(FwRelayMethodSignature);", "",
                 "FWRELAY_METHOD_SIGNATURE is not defined"},
        Breakage{"InfNotInProject", In::Project, "<Inf Include=\"fwrelay.inf\" />", "",
                 "fwrelay.inf is not part of the project"},
        Breakage{"ExtensionNotInProject", In::Project, "<Inf Include=\"fwrelay_extension.inf\" />", "",
                 "fwrelay_extension.inf is not part of the project"},
        Breakage{"NotADriver", In::Project, "<ConfigurationType>Driver<", "<ConfigurationType>DynamicLibrary<",
                 "ConfigurationType is not Driver"},
        Breakage{"UserModeToolset", In::Project, "<PlatformToolset>WindowsKernelModeDriver10.0<",
                 "<PlatformToolset>v143<", "PlatformToolset is not WindowsKernelModeDriver10.0"},
        Breakage{"OlderTargetVersion", In::Project, "<TargetVersion>Windows10<", "<TargetVersion>Windows8<",
                 "TargetVersion is not Windows10"},
        Breakage{"Cpp14", In::Project, "<LanguageStandard>stdcpp17<", "<LanguageStandard>stdcpp14<",
                 "LanguageStandard stdcpp14 is not C++17 or later"},
        Breakage{"DesktopDriver", In::Project, "<DriverTargetPlatform>Universal<", "<DriverTargetPlatform>Desktop<",
                 "DriverTargetPlatform is not Universal"},
        Breakage{"NoCppTargets", In::Project, "<Import Project=\"$(VCTargetsPath)\\Microsoft.Cpp.targets\" />", "",
                 "does not import Microsoft.Cpp.targets"},
        Breakage{"DriverNotPackaged", In::Project, "<FilesToPackage Include=\"$(TargetPath)\" />", "",
                 "FilesToPackage does not list $(TargetPath)"},
        // What a certification review of the driver's INF looks for.
        Breakage{"NotTheDriverStore", In::Inf, "DefaultDestDir = 13", "DefaultDestDir = 12",
                 "DefaultDestDir is not 13, the driver store"},
        Breakage{"FileOnUndefinedDisk", In::Inf, "fwrelay.sys = 1,,", "fwrelay.sys = 2,,",
                 "fwrelay.sys is on disk 2, which [SourceDisksNames] does not define"},
        Breakage{"NoSourceDisksNames", In::Inf, "[SourceDisksNames]\n1 = %DiskName%,,,\"\"\n", "",
                 "[SourceDisksNames] is missing"},
        Breakage{"NoDestinationDirs", In::Inf, "[DestinationDirs]", "[DestinationDir]", "[DestinationDirs] is missing"},
        Breakage{"SystemClassGuidForSoftwareComponent", In::Inf, "{5c4c3332-344d-483c-8739-259e934c9cc8}",
                 "{4d36e97d-e325-11ce-bfc1-08002be10318}", "inf: [Version] ClassGuid is not the GUID of class"},
        Breakage{"OtherClass", In::Inf, "Class       = SoftwareComponent", "Class       = System",
                 "inf: [Version] Class is not SoftwareComponent"},
        Breakage{"Windows95Signature", In::Inf, "\"$WINDOWS NT$\"", "\"$Chicago$\"", "inf: [Version] Signature is not"},
        Breakage{"NotTheFunctionDriver", In::Inf, "fwrelay, %SPSVCINST_ASSOCSERVICE%,", "fwrelay, 0,",
                 "does not flag fwrelay as the function driver"},
        Breakage{"AssocServiceStringWrong", In::Inf, "SPSVCINST_ASSOCSERVICE = 0x00000002",
                 "SPSVCINST_ASSOCSERVICE = 0x00000000", "does not flag fwrelay as the function driver"},
        Breakage{"CoInstaller", In::Inf, "[FwRelay_Wdf]",
                 "[FwRelay_Device.NT.CoInstallers]\nCopyFiles = FwRelay_Files\n[FwRelay_Wdf]",
                 "[fwrelay_device.nt.coinstallers] is not allowed in a universal INF"},
        Breakage{
            "AddRegOutsideOwnKeys", In::Inf, "CopyFiles = FwRelay_Files\n",
            "CopyFiles = FwRelay_Files\nAddReg = FwRelay_Reg\n[FwRelay_Reg]\nHKLM,Software\\FwRelay,On,0x10001,1\n",
            "[FwRelay_Reg] writes HKLM, outside the driver's own keys"},
        Breakage{"RegistersADll", In::Inf, "CopyFiles = FwRelay_Files\n",
                 "CopyFiles = FwRelay_Files\nRegisterDlls = FwRelay_Files\n", "RegisterDlls is not allowed"},
        // The devices: the guide's, the component's, the INF's.
        Breakage{"HardwareIdTheGuideDoesNotUse", In::Inf, "FwRelay_Device, Root\\FwRelay",
                 "FwRelay_Device, Root\\Relay", "hardware id Root\\Relay of the INF is not in docs/windows.md"},
        Breakage{"GuideCreatesAnotherDevice", In::Guide, "/hardwareid Root\\FwRelay", "/hardwareid Root\\FwRelay0",
                 "devgen creates Root\\FwRelay0, which the INF does not install on"},
        Breakage{"ComponentTheDriverDoesNotMatch", In::Extension, "ComponentIDs = FwRelay", "ComponentIDs = Relay",
                 "its component SWC\\Relay is not a hardware id of the driver's INF"},
        Breakage{"DriverNoLongerOnTheComponent", In::Inf, "FwRelay_Device, SWC\\FwRelay", "FwRelay_Device, SWC\\Relay",
                 "its component SWC\\FwRelay is not a hardware id"},
        Breakage{"NoComponent", In::Extension, "AddComponent = FwRelay,, FwRelayExtension_Component", "",
                 "adds no software component"},
        Breakage{"ExtensionOnAnotherDevice", In::Extension, "Device, ACPI\\PNP0C14", "Device, ACPI\\PNP0A08",
                 "matches ACPI\\PNP0A08, not the ACPI-WMI mapping device"},
        Breakage{"ExtensionTakesTheMappingDevice", In::Extension, "[FwRelayExtension_Component]",
                 "[FwRelayExtension_Device.NT.Services]\nAddService = fwrelay, 2, X\n[FwRelayExtension_Component]",
                 "installs a service on the mapping device"},
        Breakage{"ExtensionClassGuid", In::Extension, "{e2f84ce7-8efa-411c-aa69-97454ca4cb57}",
                 "{e2f84ce7-8efa-411c-aa69-97454ca4cb58}", "extension: [Version] ClassGuid is not the GUID"},
        Breakage{"NoExtensionId", In::Extension, "ExtensionId = {", "ExtensionId = ", "ExtensionId is not a GUID"},
        Breakage{"ExtensionWithoutCatalog", In::Extension, "CatalogFile = fwrelay_extension.cat", "",
                 "extension: [Version] names no CatalogFile"}),
    [](const testing::TestParamInfo<Breakage>& param) { return std::string(param.param.name); });

} // namespace
