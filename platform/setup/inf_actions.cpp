#include "inf_actions.h"

#include <windows.h>
#include <winreg.h>

#include <cstdlib>
#include <cstring>

#include "cm/registry.h"
#include "io/driver_loader.h"
#include "kernel.h"
#include "user_modules.h"

namespace emu::setup {
namespace {

constexpr unsigned kBinaryValue = 0x00000001;  // FLG_ADDREG_BINVALUETYPE
constexpr unsigned kNoClobber = 0x00000002;
constexpr unsigned kDeleteValue = 0x00000004;
constexpr unsigned kAppend = 0x00000008;
constexpr unsigned kKeyOnly = 0x00000010;
constexpr unsigned kOverwriteOnly = 0x00000020;
constexpr unsigned kTypeMask = 0xFFFF0001;
constexpr unsigned kTypeMultiSz = 0x00010000;
constexpr unsigned kTypeExpandSz = 0x00020000;
constexpr unsigned kTypeDword = 0x00010001;
constexpr unsigned kTypeNone = 0x00020001;
constexpr unsigned kDriversDirId = 12;

unsigned long ParseNumber(const std::u16string& text)
{
    const std::string narrow = Narrow(text);
    return std::strtoul(narrow.c_str(), nullptr, 0);
}

std::vector<uint8_t> Bytes(std::u16string_view text, bool terminated)
{
    std::vector<uint8_t> bytes((text.size() + (terminated ? 1 : 0)) * sizeof(char16_t), 0);
    std::memcpy(bytes.data(), text.data(), text.size() * sizeof(char16_t));
    return bytes;
}

std::optional<std::u16string> RootPath(const std::u16string& root, std::u16string_view relativeRoot)
{
    if (EqualNoCase(root, u"HKR")) return std::u16string(relativeRoot);
    if (EqualNoCase(root, u"HKLM")) return std::u16string(u"\\Registry\\Machine");
    if (EqualNoCase(root, u"HKCR")) return std::u16string(u"\\Registry\\Machine\\Software\\Classes");
    return std::nullopt;
}

// The data of an entry from field 4 on, in the type its flags give.
std::pair<ULONG, std::vector<uint8_t>> EntryData(const InfLine& line, unsigned flags)
{
    const unsigned type = flags & kTypeMask;
    if (type == kTypeDword) {
        const ULONG value = ULONG(ParseNumber(line.Field(4)));
        std::vector<uint8_t> bytes(sizeof value);
        std::memcpy(bytes.data(), &value, sizeof value);
        return {REG_DWORD, bytes};
    }
    if (type == kBinaryValue || type == kTypeNone) {
        std::vector<uint8_t> bytes;
        for (size_t i = 4; i < line.fields.size(); ++i) bytes.push_back(uint8_t(std::strtoul(Narrow(line.fields[i]).c_str(), nullptr, 16)));
        return {type == kTypeNone ? ULONG(REG_NONE) : ULONG(REG_BINARY), bytes};
    }
    if (type == kTypeMultiSz) {
        std::vector<uint8_t> bytes;
        for (size_t i = 4; i < line.fields.size(); ++i) {
            std::vector<uint8_t> one = Bytes(line.fields[i], true);
            bytes.insert(bytes.end(), one.begin(), one.end());
        }
        std::vector<uint8_t> end = Bytes(u"", true);
        bytes.insert(bytes.end(), end.begin(), end.end());
        return {REG_MULTI_SZ, bytes};
    }
    return {type == kTypeExpandSz ? ULONG(REG_EXPAND_SZ) : ULONG(REG_SZ), Bytes(line.Field(4), true)};
}

// A multi-string with one more string at its end (FLG_ADDREG_APPEND), unless it holds it already.
std::vector<uint8_t> Appended(const std::optional<RegistryValue>& old, const std::vector<uint8_t>& added)
{
    std::u16string strings;
    if (old && old->type == REG_MULTI_SZ) {
        strings.assign(reinterpret_cast<const char16_t*>(old->data.data()), old->data.size() / sizeof(char16_t));
        while (!strings.empty() && strings.back() == 0) strings.pop_back();
        if (!strings.empty()) strings += u'\0';
    }
    std::u16string add(reinterpret_cast<const char16_t*>(added.data()), added.size() / sizeof(char16_t));
    while (!add.empty() && add.back() == 0) add.pop_back();
    for (size_t at = 0; at < strings.size();) {
        const size_t end = strings.find(u'\0', at);
        if (EqualNoCase(strings.substr(at, end - at), add)) return old->data;
        at = end == std::u16string::npos ? strings.size() : end + 1;
    }
    strings += add + u'\0' + u'\0';
    return Bytes(strings, false);
}

std::u16string FileNameOf(std::u16string_view path)
{
    const size_t slash = path.find_last_of(u"\\/");
    return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

const std::filesystem::path* SourceFile(const PackageFiles& files, std::u16string_view name)
{
    for (const auto& [fileName, path] : files)
        if (EqualNoCase(fileName, name)) return &path;
    return nullptr;
}

unsigned long CopyOneFile(Kernel& machine, const std::u16string& target, const std::u16string& source, unsigned dirId,
                          const PackageFiles& files)
{
    const std::filesystem::path* host = SourceFile(files, source.empty() ? target : source);
    if (!host) return ERROR_FILE_NOT_FOUND;
    if (dirId == kDriversDirId)
        machine.GetDrivers().InstallImage(target, *host);
    else
        UserModules::Instance().InstallFile(target, *host);
    return NO_ERROR;
}

}  // namespace

unsigned long AddRegEntry(Kernel& machine, const InfLine& line, std::u16string_view relativeRoot)
{
    std::optional<std::u16string> root = RootPath(line.Field(0), relativeRoot);
    if (!root) return ERROR_INVALID_DATA;
    Registry& registry = machine.GetRegistry();
    const std::u16string subkey = line.Field(1);
    const std::u16string key = subkey.empty() ? *root : *root + u"\\" + subkey;
    const unsigned flags = unsigned(ParseNumber(line.Field(3)));
    const std::u16string name = line.Field(2);
    if (flags & kDeleteValue) {
        registry.DeleteValue(key, name);
        return NO_ERROR;
    }
    const bool exists = registry.GetValue(key, name).has_value();
    if ((flags & kOverwriteOnly) && !exists) return NO_ERROR;
    if (!registry.CreateKey(key)) return ERROR_CANTWRITE;
    if ((flags & kKeyOnly) || ((flags & kNoClobber) && exists)) return NO_ERROR;
    auto [type, data] = EntryData(line, flags);
    if (flags & kAppend) data = Appended(registry.GetValue(key, name), data);
    return registry.SetValue(key, name, type, std::move(data)) ? NO_ERROR : ERROR_CANTWRITE;
}

unsigned long RunAddReg(Kernel& machine, const InfFile& inf, std::u16string_view section, std::u16string_view relativeRoot)
{
    for (const std::u16string& list : inf.Values(section, u"AddReg"))
        for (const InfLine& entry : inf.Lines(list))
            if (unsigned long error = AddRegEntry(machine, entry, relativeRoot)) return error;
    return NO_ERROR;
}

unsigned DestinationDirId(const InfFile& inf, std::u16string_view fileListSection)
{
    std::optional<std::u16string> dir = inf.Value(u"DestinationDirs", fileListSection);
    if (!dir) dir = inf.Value(u"DestinationDirs", u"DefaultDestDir");
    return dir ? unsigned(ParseNumber(*dir)) : 11;
}

unsigned long RunCopyFiles(Kernel& machine, const InfFile& inf, std::u16string_view section, const PackageFiles& files)
{
    for (const std::u16string& list : inf.Values(section, u"CopyFiles")) {
        if (list.front() == u'@') {
            if (unsigned long error = CopyOneFile(machine, list.substr(1), {}, DestinationDirId(inf, u"DefaultDestDir"), files))
                return error;
            continue;
        }
        const unsigned dirId = DestinationDirId(inf, list);
        for (const InfLine& file : inf.Lines(list))
            if (unsigned long error = CopyOneFile(machine, file.Field(0), file.Field(1), dirId, files)) return error;
    }
    return NO_ERROR;
}

unsigned long RunAddService(Kernel& machine, const InfFile& inf, std::u16string_view installSection)
{
    const std::u16string services = std::u16string(installSection) + u".Services";
    for (const InfLine& line : inf.Lines(services)) {
        if (!EqualNoCase(line.key, u"AddService") || line.Field(0).empty()) continue;
        const std::u16string section = line.Field(2);
        const std::optional<std::u16string> binary = inf.Value(section, u"ServiceBinary");
        if (!binary) return ERROR_INVALID_DATA;
        const ULONG start = ULONG(ParseNumber(inf.Value(section, u"StartType").value_or(u"3")));
        machine.GetDrivers().CreateService(line.Field(0), FileNameOf(*binary), start);
        Registry& registry = machine.GetRegistry();
        const std::u16string key = DriverLoader::ServiceKeyPath(line.Field(0));
        for (const char16_t* dword : {u"ServiceType", u"ErrorControl"})
            if (std::optional<std::u16string> value = inf.Value(section, dword))
                registry.SetDword(key, EqualNoCase(dword, u"ServiceType") ? u"Type" : dword, ULONG(ParseNumber(*value)));
        if (std::optional<std::u16string> name = inf.Value(section, u"DisplayName")) registry.SetString(key, u"DisplayName", *name);
        if (std::optional<std::u16string> group = inf.Value(section, u"LoadOrderGroup")) registry.SetString(key, u"Group", *group);
    }
    return NO_ERROR;
}

}  // namespace emu::setup
