// Names, directories and symbolic links of the object namespace.
#include "ob/object_namespace.h"

#include <algorithm>

#include "rtl/rtl_text.h"
#include "kernel.h"

namespace emu {

namespace {

// Links followed before a name is taken to loop (Windows gives up after a few dozen too).
constexpr int kMaxLinkHops = 32;

constexpr std::u16string_view kStandardDirectories[] = {
    u"\\", u"\\Device", u"\\??", u"\\Driver", u"\\FileSystem", u"\\Callback",
    u"\\BaseNamedObjects", u"\\KernelObjects", u"\\ObjectTypes",
};

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// Replaces a leading alias directory (with or without the rest of a path) by "\??".
bool FoldAlias(std::u16string& name, std::u16string_view alias)
{
    if (!StartsWithNoCase(name, alias)) return false;
    if (name.size() != alias.size() && name[alias.size()] != u'\\') return false;
    name = u"\\??" + name.substr(alias.size());
    return true;
}

std::u16string_view ParentOf(std::u16string_view canonical)
{
    size_t last = canonical.rfind(u'\\');
    return last == 0 ? std::u16string_view(u"\\") : canonical.substr(0, last);
}

}  // namespace

ObjectNamespace::ObjectNamespace(Kernel& machine) : m_kernel(machine)
{
    for (std::u16string_view directory : kStandardDirectories)
        m_directories.emplace(Key(directory), std::u16string(directory));
}

ObjectNamespace::~ObjectNamespace()
{
    // Device objects still referenced outlive the namespace in the object manager; their records
    // must not call back into it.
    std::lock_guard lock(m_mutex);
    for (auto& [device, record] : m_devices) record->owner = nullptr;
}

std::u16string ObjectNamespace::Canonical(std::u16string_view name)
{
    std::u16string canonical(name);
    FoldAlias(canonical, u"\\DosDevices") || FoldAlias(canonical, u"\\GLOBAL??");
    // "\??\GLOBAL" is the global DOS-device directory seen from a session: the same one here.
    while (FoldAlias(canonical, u"\\??\\GLOBAL")) {
    }
    return canonical;
}

std::u16string ObjectNamespace::Key(std::u16string_view canonical)
{
    std::u16string key(canonical);
    for (WCHAR& c : key) c = Upcase(c);
    return key;
}

NTSTATUS ObjectNamespace::CheckSyntax(std::u16string_view canonical)
{
    if (canonical.empty() || canonical.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (canonical.size() == 1) return STATUS_SUCCESS;
    if (canonical.back() == u'\\' || canonical.find(u"\\\\") != std::u16string_view::npos)
        return STATUS_OBJECT_NAME_INVALID;
    if (canonical.find(u'\0') != std::u16string_view::npos) return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

bool ObjectNamespace::ParentExists(std::u16string_view canonical) const
{
    return m_directories.count(Key(ParentOf(canonical))) != 0;
}

const NamespaceEntry* ObjectNamespace::Find(std::u16string_view canonical) const
{
    auto it = m_entries.find(Key(canonical));
    return it == m_entries.end() ? nullptr : &it->second;
}

NTSTATUS ObjectNamespace::InsertEntry(NamespaceEntry entry)
{
    entry.name = Canonical(entry.name);
    NTSTATUS status = CheckSyntax(entry.name);
    if (!NT_SUCCESS(status)) return status;
    if (entry.name.size() == 1) return STATUS_OBJECT_NAME_COLLISION;  // the root directory
    std::lock_guard lock(m_mutex);
    if (!ParentExists(entry.name)) return STATUS_OBJECT_PATH_NOT_FOUND;
    std::u16string key = Key(entry.name);
    if (m_entries.count(key) != 0 || m_directories.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
    m_entries.emplace(std::move(key), std::move(entry));
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::Insert(std::u16string_view name, ObjectType type, void* object)
{
    if (!object || type == ObjectType::SymbolicLink) return STATUS_INVALID_PARAMETER;
    NamespaceEntry entry;
    entry.name = std::u16string(name);
    entry.type = type;
    entry.object = object;
    return InsertEntry(std::move(entry));
}

NTSTATUS ObjectNamespace::InsertLink(std::u16string_view name, std::u16string_view target)
{
    NamespaceEntry entry;
    entry.name = std::u16string(name);
    entry.type = ObjectType::SymbolicLink;
    entry.target = std::u16string(target);
    return InsertEntry(std::move(entry));
}

NTSTATUS ObjectNamespace::Remove(std::u16string_view name)
{
    std::u16string canonical = Canonical(name);
    std::lock_guard lock(m_mutex);
    return m_entries.erase(Key(canonical)) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

bool ObjectNamespace::RemoveIfNames(std::u16string_view name, const void* object)
{
    std::u16string key = Key(Canonical(name));
    std::lock_guard lock(m_mutex);
    auto it = m_entries.find(key);
    if (it == m_entries.end() || it->second.object != object) return false;
    m_entries.erase(it);
    return true;
}

NTSTATUS ObjectNamespace::CreateDirectory(std::u16string_view name)
{
    std::u16string canonical = Canonical(name);
    NTSTATUS status = CheckSyntax(canonical);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(m_mutex);
    std::u16string key = Key(canonical);
    if (m_entries.count(key) != 0 || m_directories.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
    if (!ParentExists(canonical)) return STATUS_OBJECT_PATH_NOT_FOUND;
    m_directories.emplace(std::move(key), std::move(canonical));
    return STATUS_SUCCESS;
}

std::optional<NamespaceEntry> ObjectNamespace::Lookup(std::u16string_view name) const
{
    std::u16string canonical = Canonical(name);
    std::lock_guard lock(m_mutex);
    const NamespaceEntry* entry = Find(canonical);
    if (!entry) return std::nullopt;
    return *entry;
}

std::optional<std::u16string> ObjectNamespace::LinkTarget(std::u16string_view name) const
{
    std::optional<NamespaceEntry> entry = Lookup(name);
    if (!entry || entry->type != ObjectType::SymbolicLink) return std::nullopt;
    return entry->target;
}

std::optional<ResolvedName> ObjectNamespace::Resolve(std::u16string_view path) const
{
    std::u16string current = Canonical(path);
    if (!NT_SUCCESS(CheckSyntax(current)) || current.size() == 1) return std::nullopt;
    std::lock_guard lock(m_mutex);
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        // Walk the path one component at a time; directories are passed through.
        bool relinked = false;
        size_t end = 0;
        while (!relinked) {
            end = current.find(u'\\', end + 1);
            std::u16string_view prefix = std::u16string_view(current).substr(0, end);
            std::u16string_view rest =
                end == std::u16string::npos ? std::u16string_view() : std::u16string_view(current).substr(end);
            if (const NamespaceEntry* entry = Find(prefix)) {
                if (entry->type != ObjectType::SymbolicLink) return ResolvedName{*entry, std::u16string(rest)};
                current = Canonical(entry->target + std::u16string(rest));
                if (!NT_SUCCESS(CheckSyntax(current)) || current.size() == 1) return std::nullopt;
                relinked = true;
            } else if (end == std::u16string::npos || m_directories.count(Key(prefix)) == 0) {
                return std::nullopt;
            }
        }
    }
    return std::nullopt;  // a loop of links
}

std::optional<std::u16string> ObjectNamespace::ResolveLink(std::u16string_view name) const
{
    std::u16string current = Canonical(name);
    if (!NT_SUCCESS(CheckSyntax(current))) return std::nullopt;
    std::lock_guard lock(m_mutex);
    bool followed = false;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        const NamespaceEntry* link = nullptr;
        std::u16string_view rest;
        size_t end = 0;
        while (end != std::u16string::npos) {
            end = current.find(u'\\', end + 1);
            std::u16string_view prefix = std::u16string_view(current).substr(0, end);
            const NamespaceEntry* entry = Find(prefix);
            if (entry && entry->type == ObjectType::SymbolicLink) {
                link = entry;
                rest = end == std::u16string::npos ? std::u16string_view() : std::u16string_view(current).substr(end);
                break;
            }
            if (entry || m_directories.count(Key(prefix)) == 0) break;
        }
        if (!link) return followed ? std::optional<std::u16string>(current) : std::nullopt;
        current = Canonical(link->target + std::u16string(rest));
        followed = true;
    }
    return std::nullopt;
}

PDEVICE_OBJECT ObjectNamespace::DeviceByName(std::u16string_view path, std::u16string* remainder) const
{
    std::optional<ResolvedName> resolved = Resolve(path);
    if (!resolved || resolved->entry.type != ObjectType::Device) return nullptr;
    if (remainder) *remainder = resolved->remainder;
    return static_cast<PDEVICE_OBJECT>(resolved->entry.object);
}

std::vector<SymbolicLinkInfo> ObjectNamespace::Links() const
{
    std::vector<std::pair<std::u16string, SymbolicLinkInfo>> sorted;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [key, entry] : m_entries)
            if (entry.type == ObjectType::SymbolicLink) sorted.push_back({key, {entry.name, entry.target}});
    }
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<SymbolicLinkInfo> links;
    for (auto& [key, link] : sorted) links.push_back(std::move(link));
    return links;
}

std::vector<std::u16string> ObjectNamespace::List(std::u16string_view directory) const
{
    std::u16string parentKey = Key(Canonical(directory));
    std::vector<std::pair<std::u16string, std::u16string>> sorted;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [key, entry] : m_entries)
            if (Key(ParentOf(entry.name)) == parentKey) sorted.push_back({key, entry.name});
        for (const auto& [key, name] : m_directories)
            if (key.size() > 1 && Key(ParentOf(key)) == parentKey) sorted.push_back({key, name});
    }
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::u16string> names;
    for (auto& [key, name] : sorted) names.push_back(std::move(name));
    return names;
}

// ---- Device book --------------------------------------------------------------------------------

void ObjectNamespace::FailNextDeviceCreate(NTSTATUS status, size_t count)
{
    std::lock_guard lock(m_mutex);
    m_createFailures.insert(m_createFailures.end(), count, status);
}

bool ObjectNamespace::TakeInjectedCreateFailure(NTSTATUS* status)
{
    std::lock_guard lock(m_mutex);
    if (m_createFailures.empty()) return false;
    *status = m_createFailures.front();
    m_createFailures.erase(m_createFailures.begin());
    return true;
}

ULONG ObjectNamespace::NextAutogeneratedIndex()
{
    std::lock_guard lock(m_mutex);
    return ++m_autogeneratedIndex;
}

void ObjectNamespace::AddDevice(DeviceRecord* record)
{
    std::lock_guard lock(m_mutex);
    record->owner = this;
    m_devices[record->device] = record;
}

DeviceRecord* ObjectNamespace::RecordOf(const DEVICE_OBJECT* device) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_devices.find(device);
    return it == m_devices.end() ? nullptr : it->second;
}

void ObjectNamespace::ForgetDevice(DeviceRecord* record)
{
    std::lock_guard lock(m_mutex);
    auto it = m_devices.find(record->device);
    if (it != m_devices.end() && it->second == record) m_devices.erase(it);
    m_attachments.erase(record->device);
}

size_t ObjectNamespace::LiveDeviceCount() const
{
    std::lock_guard lock(m_mutex);
    return m_devices.size();
}

bool ObjectNamespace::IsLiveDevice(const DEVICE_OBJECT* device) const { return RecordOf(device) != nullptr; }

size_t ObjectNamespace::LiveDeviceCount(const DRIVER_OBJECT* driver) const
{
    std::lock_guard lock(m_mutex);
    size_t count = 0;
    for (const auto& [device, record] : m_devices)
        if (device->DriverObject == driver) ++count;
    return count;
}

std::optional<DeviceInfo> ObjectNamespace::Describe(const DEVICE_OBJECT* device) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_devices.find(device);
    if (it == m_devices.end()) return std::nullopt;
    const DeviceRecord& record = *it->second;
    DeviceInfo info;
    info.name = record.name;
    info.driver = device->DriverObject;
    info.deleted = record.deleted;
    info.extensionSize = record.extensionSize;
    auto attachment = m_attachments.find(device);
    if (attachment != m_attachments.end()) info.lower = attachment->second.lower;
    return info;
}

PDEVICE_OBJECT ObjectNamespace::AttachedTo(const DEVICE_OBJECT* device) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_attachments.find(device);
    return it == m_attachments.end() ? nullptr : it->second.lower;
}

void ObjectNamespace::SetAttachment(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower, bool referenced)
{
    std::lock_guard lock(m_mutex);
    m_attachments[upper] = Attachment{lower, referenced};
}

bool ObjectNamespace::ClearAttachment(PDEVICE_OBJECT upper, PDEVICE_OBJECT* lower)
{
    std::lock_guard lock(m_mutex);
    auto it = m_attachments.find(upper);
    if (it == m_attachments.end()) {
        *lower = nullptr;
        return false;
    }
    *lower = it->second.lower;
    bool referenced = it->second.referenced;
    m_attachments.erase(it);
    return referenced;
}

}  // namespace emu
