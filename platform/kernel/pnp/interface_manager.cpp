// Device interfaces: registration, enabling (the namespace link to the physical device object),
// the DeviceClasses registry entries, and the list user mode reads.
#include <wdm.h>

#include "pnp/interface_manager.h"

#include <cstdio>
#include <cstring>

#include "ke/kthread.h"
#include "ob/object_namespace.h"
#include "ex/pool.h"
#include "cm/registry.h"
#include "kernel.h"
#include "vf/verifier.h"
#include "rtl/rtl_text.h"

namespace emu {

namespace {

constexpr ULONG kLinkTag = PoolTag("IoDi");


// The instance path as one name component: "USB\VID_0403&PID_6001\5&1" -> "USB#VID_0403&PID_6001#5&1".
std::u16string Flattened(std::u16string_view instancePath)
{
    std::u16string result(instancePath);
    for (char16_t& c : result)
        if (c == u'\\') c = u'#';
    return result;
}

// A path with its "\??\"-like or "\\?\" prefix taken off, upper-cased for comparison.
std::u16string ComparableTail(std::u16string_view path)
{
    static constexpr std::u16string_view kPrefixes[] = {u"\\??\\", u"\\\\?\\", u"\\\\.\\", u"\\DosDevices\\",
                                                        u"\\GLOBAL??\\"};
    const std::u16string upper = UpcaseText(path);
    for (std::u16string_view prefix : kPrefixes) {
        const std::u16string upperPrefix = UpcaseText(prefix);
        if (upper.starts_with(upperPrefix)) return upper.substr(upperPrefix.size());
    }
    return upper;
}

}  // namespace

InterfaceManager::InterfaceManager(Kernel& machine) : m_kernel(machine) {}

InterfaceManager::~InterfaceManager() = default;

std::u16string InterfaceManager::GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::u16string(text, text + std::strlen(text));
}

void InterfaceManager::SetInstancePath(PDEVICE_OBJECT pdo, std::u16string_view instancePath)
{
    std::lock_guard lock(m_mutex);
    m_instancePaths[pdo] = std::u16string(instancePath);
}

std::optional<std::u16string> InterfaceManager::InstancePath(PDEVICE_OBJECT pdo) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_instancePaths.find(pdo);
    if (it == m_instancePaths.end()) return std::nullopt;
    return it->second;
}

NTSTATUS InterfaceManager::Register(PDEVICE_OBJECT pdo, const GUID* classGuid, PCUNICODE_STRING referenceString,
                                    PUNICODE_STRING symbolicLinkName)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    if (!pdo || !classGuid || !symbolicLinkName) {
        ReportViolation(Violation::Bugcheck, "IoRegisterDeviceInterface without a device, a class or a place for the link");
        return STATUS_INVALID_PARAMETER;
    }
    symbolicLinkName->Buffer = nullptr;
    symbolicLinkName->Length = symbolicLinkName->MaximumLength = 0;

    std::u16string reference;
    if (referenceString && referenceString->Length != 0) {
        if (!referenceString->Buffer || referenceString->Length % sizeof(WCHAR) != 0) return STATUS_INVALID_PARAMETER;
        reference.assign(referenceString->Buffer, referenceString->Length / sizeof(WCHAR));
        // The reference string is one path component.
        if (reference.find_first_of(u"\\/") != std::u16string::npos) return STATUS_INVALID_PARAMETER;
    }

    std::lock_guard lock(m_mutex);
    auto instance = m_instancePaths.find(pdo);
    // Only a physical device object Plug and Play enumerated has an instance to register under.
    if (instance == m_instancePaths.end()) return STATUS_INVALID_DEVICE_REQUEST;

    const std::u16string guidText = GuidText(*classGuid);
    const std::u16string flat = Flattened(instance->second);
    const std::u16string baseLink = u"\\??\\" + flat + u"#" + guidText;
    const std::u16string link = reference.empty() ? baseLink : baseLink + u"\\" + reference;

    Entry* entry = FindLocked(link);
    if (!entry) {
        Entry created;
        created.info.classGuid = *classGuid;
        created.info.symbolicLink = link;
        created.info.devicePath = u"\\\\?\\" + DowncaseText(flat) + u"#" + guidText +
                                  (reference.empty() ? u"" : u"\\" + reference);
        created.info.referenceString = reference;
        created.info.instancePath = instance->second;
        created.info.pdo = pdo;
        created.baseLink = baseLink;
        created.key = std::u16string(kDeviceClassesKey) + u"\\" + guidText + u"\\##?#" + flat + u"#" + guidText;

        Registry& registry = m_kernel.GetRegistry();
        const std::u16string referenceKey = created.key + u"\\#" + reference;
        if (!registry.SetString(created.key, u"DeviceInstance", instance->second) ||
            !registry.SetString(referenceKey, u"SymbolicLink", created.info.devicePath))
            return STATUS_INSUFFICIENT_RESOURCES;
        m_entries.push_back(std::move(created));
        entry = &m_entries.back();
    } else if (!entry->info.enabled) {
        // The same device instance again (plugged back in): its interface belongs to the new PDO.
        entry->info.pdo = pdo;
    }

    const size_t bytes = link.size() * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kLinkTag));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.data(), bytes);
    buffer[link.size()] = 0;
    symbolicLinkName->Buffer = buffer;
    symbolicLinkName->Length = static_cast<USHORT>(bytes);
    symbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS InterfaceManager::SetState(PCUNICODE_STRING symbolicLinkName, bool enable)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    if (!symbolicLinkName || !symbolicLinkName->Buffer || symbolicLinkName->Length == 0)
        return STATUS_INVALID_PARAMETER;
    const std::u16string_view link(symbolicLinkName->Buffer, symbolicLinkName->Length / sizeof(WCHAR));
    std::lock_guard lock(m_mutex);
    Entry* entry = FindLocked(link);
    if (!entry) return STATUS_OBJECT_NAME_NOT_FOUND;
    return enable ? Enable(*entry) : Disable(*entry);
}

NTSTATUS InterfaceManager::Enable(Entry& entry)
{
    if (entry.info.enabled) return STATUS_OBJECT_NAME_EXISTS;
    auto device = m_kernel.GetNamespace().Describe(entry.info.pdo);
    // The link needs a name to point at; Windows refuses to enable an interface of a nameless PDO.
    if (!device || device->deleted || device->name.empty()) return STATUS_INVALID_DEVICE_REQUEST;

    size_t& users = m_linkUsers[UpcaseText(entry.baseLink)];
    if (users == 0) {
        const NTSTATUS status = m_kernel.GetNamespace().InsertLink(entry.baseLink, device->name);
        if (!NT_SUCCESS(status)) return status;
    }
    ++users;
    entry.info.enabled = true;
    WriteLinked(entry, true);
    return STATUS_SUCCESS;
}

NTSTATUS InterfaceManager::Disable(Entry& entry)
{
    if (!entry.info.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto users = m_linkUsers.find(UpcaseText(entry.baseLink));
    if (users != m_linkUsers.end() && --users->second == 0) {
        m_kernel.GetNamespace().Remove(entry.baseLink);
        m_linkUsers.erase(users);
    }
    entry.info.enabled = false;
    WriteLinked(entry, false);
    return STATUS_SUCCESS;
}

void InterfaceManager::WriteLinked(const Entry& entry, bool linked)
{
    m_kernel.GetRegistry().SetDword(entry.key + u"\\#" + entry.info.referenceString + u"\\Control", u"Linked",
                                     linked ? 1 : 0);
}

void InterfaceManager::DisableDevice(PDEVICE_OBJECT pdo)
{
    std::lock_guard lock(m_mutex);
    for (Entry& entry : m_entries)
        if (entry.info.pdo == pdo && entry.info.enabled) Disable(entry);
}

void InterfaceManager::ForgetDevice(PDEVICE_OBJECT pdo)
{
    std::lock_guard lock(m_mutex);
    DisableDevice(pdo);
    m_instancePaths.erase(pdo);
}

InterfaceManager::Entry* InterfaceManager::FindLocked(std::u16string_view path)
{
    const std::u16string wanted = ComparableTail(path);
    for (Entry& entry : m_entries)
        if (ComparableTail(entry.info.symbolicLink) == wanted) return &entry;
    return nullptr;
}

const InterfaceManager::Entry* InterfaceManager::FindLocked(std::u16string_view path) const
{
    return const_cast<InterfaceManager*>(this)->FindLocked(path);
}

std::vector<DeviceInterfaceInfo> InterfaceManager::Interfaces(const GUID& classGuid, bool enabledOnly) const
{
    std::lock_guard lock(m_mutex);
    std::vector<DeviceInterfaceInfo> result;
    for (const Entry& entry : m_entries)
        if (IsEqualGUID(entry.info.classGuid, classGuid) && (!enabledOnly || entry.info.enabled))
            result.push_back(entry.info);
    return result;
}

std::vector<DeviceInterfaceInfo> InterfaceManager::All() const
{
    std::lock_guard lock(m_mutex);
    std::vector<DeviceInterfaceInfo> result;
    for (const Entry& entry : m_entries) result.push_back(entry.info);
    return result;
}

std::optional<DeviceInterfaceInfo> InterfaceManager::Find(std::u16string_view path) const
{
    std::lock_guard lock(m_mutex);
    const Entry* entry = FindLocked(path);
    if (!entry) return std::nullopt;
    return entry->info;
}

}  // namespace emu

extern "C" NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject, const GUID* interfaceClassGuid,
                                              PUNICODE_STRING referenceString, PUNICODE_STRING symbolicLinkName)
{
    return emu::Kernel::Current().GetInterfaces().Register(physicalDeviceObject, interfaceClassGuid,
                                                            referenceString, symbolicLinkName);
}

extern "C" NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable)
{
    return emu::Kernel::Current().GetInterfaces().SetState(symbolicLinkName, enable != FALSE);
}
