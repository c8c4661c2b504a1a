#include "cm/registry.h"

#include "ke/clock.h"
#include "cm/registry_key.h"
#include "kernel.h"

#include <cstring>

namespace emu {

namespace {

constexpr std::u16string_view kRootName = u"Registry";

// The standard tree every Windows machine has. \Registry, its two hives and their top keys
// cannot be deleted.
constexpr std::u16string_view kStandardKeys[] = {
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
    u"\\Registry\\Machine\\Hardware\\DeviceMap",
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    u"\\Registry\\User\\CurrentUser",
};
constexpr size_t kPermanentDepth = 2;  // levels below \Registry that are permanent

bool Split(std::u16string_view text, std::vector<std::u16string_view>& parts)
{
    parts.clear();
    if (text.empty()) return true;
    size_t start = 0;
    while (true) {
        size_t end = text.find(u'\\', start);
        std::u16string_view part = text.substr(start, end == std::u16string_view::npos ? text.npos : end - start);
        if (part.empty()) return false;
        parts.push_back(part);
        if (end == std::u16string_view::npos) return true;
        start = end + 1;
    }
}

// Marks a key and everything below it deleted; handles still open see STATUS_KEY_DELETED.
void MarkDeleted(Registry::Key& key)
{
    for (auto& subkey : key.subkeys) MarkDeleted(*subkey);
    key.subkeys.clear();
    key.deleted = true;
    key.parent = nullptr;
}

}  // namespace

bool SplitRegistryPath(std::u16string_view path, std::vector<std::u16string_view>& parts)
{
    if (path.empty() || path[0] != u'\\' || !Split(path.substr(1), parts)) return false;
    if (parts.empty() || !EqualNoCase(parts.front(), kRootName)) return false;
    parts.erase(parts.begin());
    return true;
}

bool SplitRelativeName(std::u16string_view name, std::vector<std::u16string_view>& parts)
{
    if (!name.empty() && name[0] == u'\\') return false;
    return Split(name, parts);
}

std::optional<std::u16string_view> RegistryRootPath(ULONG relativeTo)
{
    switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE: return u"";
    case RTL_REGISTRY_SERVICES: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT: return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP: return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER: return u"\\Registry\\User\\CurrentUser";
    default: return std::nullopt;
    }
}

Registry::Registry(Kernel& machine) : m_kernel(machine), m_root(std::make_shared<Key>())
{
    m_root->name = kRootName;
    m_root->permanent = true;
    for (std::u16string_view path : kStandardKeys) {
        std::vector<std::u16string_view> parts;
        SplitRegistryPath(path, parts);
        Key* key = m_root.get();
        for (size_t depth = 0; depth < parts.size(); ++depth) {
            std::shared_ptr<Key> subkey = key->Subkey(parts[depth]);
            if (!subkey) {
                subkey = std::make_shared<Key>();
                subkey->name = parts[depth];
                subkey->permanent = depth < kPermanentDepth;
                key->Insert(subkey);
            }
            key = subkey.get();
        }
    }
}

Registry::~Registry()
{
    // Handles may outlive the registry by a moment at shutdown; their keys must not point into it.
    std::lock_guard lock(m_mutex);
    MarkDeleted(*m_root);
}

std::shared_ptr<Registry::Key> Registry::Find(std::u16string_view path) const
{
    std::vector<std::u16string_view> parts;
    if (!SplitRegistryPath(path, parts)) return nullptr;
    std::shared_ptr<Key> key = m_root;
    for (std::u16string_view part : parts) {
        key = key->Subkey(part);
        if (!key) return nullptr;
    }
    return key;
}

std::shared_ptr<Registry::Key> Registry::Create(std::u16string_view path)
{
    std::vector<std::u16string_view> parts;
    if (!SplitRegistryPath(path, parts)) return nullptr;
    std::shared_ptr<Key> key = m_root;
    for (std::u16string_view part : parts) {
        std::shared_ptr<Key> subkey = key->Subkey(part);
        if (!subkey) {
            subkey = std::make_shared<Key>();
            subkey->name = part;
            subkey->lastWriteTime = m_kernel.GetClock().SystemTime();
            key->Insert(subkey);
        }
        key = std::move(subkey);
    }
    return key;
}

void Registry::Remove(const std::shared_ptr<Key>& key)
{
    if (Key* parent = key->parent) {
        std::erase(parent->subkeys, key);
        parent->lastWriteTime = m_kernel.GetClock().SystemTime();
    }
    MarkDeleted(*key);
}

bool Registry::CreateKey(std::u16string_view path)
{
    std::lock_guard lock(m_mutex);
    return Create(path) != nullptr;
}

bool Registry::KeyExists(std::u16string_view path) const
{
    std::lock_guard lock(m_mutex);
    return Find(path) != nullptr;
}

std::optional<std::u16string> Registry::CanonicalPath(std::u16string_view path) const
{
    std::lock_guard lock(m_mutex);
    std::shared_ptr<Key> key = Find(path);
    if (!key) return std::nullopt;
    std::u16string spelt;
    for (const Key* k = key.get(); k; k = k->parent) spelt.insert(0, u"\\" + k->name);
    return spelt;
}

bool Registry::DeleteKey(std::u16string_view path)
{
    std::lock_guard lock(m_mutex);
    std::shared_ptr<Key> key = Find(path);
    if (!key || key->permanent || !key->subkeys.empty()) return false;
    Remove(key);
    return true;
}

bool Registry::DeleteTree(std::u16string_view path)
{
    std::lock_guard lock(m_mutex);
    std::shared_ptr<Key> key = Find(path);
    if (!key || key->permanent) return false;
    Remove(key);
    return true;
}

bool Registry::SetValue(std::u16string_view path, std::u16string_view name, ULONG type, std::vector<uint8_t> data)
{
    std::lock_guard lock(m_mutex);
    std::shared_ptr<Key> key = Create(path);
    if (!key) return false;
    if (NamedValue* value = key->Value(name))
        value->value = RegistryValue{type, std::move(data)};
    else
        key->values.push_back(NamedValue{std::u16string(name), RegistryValue{type, std::move(data)}});
    key->lastWriteTime = m_kernel.GetClock().SystemTime();
    return true;
}

bool Registry::SetDword(std::u16string_view path, std::u16string_view name, ULONG value)
{
    std::vector<uint8_t> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    return SetValue(path, name, REG_DWORD, std::move(data));
}

bool Registry::SetString(std::u16string_view path, std::u16string_view name, std::u16string_view text, ULONG type)
{
    std::vector<uint8_t> data((text.size() + 1) * sizeof(WCHAR), 0);
    if (!text.empty()) std::memcpy(data.data(), text.data(), text.size() * sizeof(WCHAR));
    return SetValue(path, name, type, std::move(data));
}

std::optional<RegistryValue> Registry::GetValue(std::u16string_view path, std::u16string_view name) const
{
    std::lock_guard lock(m_mutex);
    std::shared_ptr<Key> key = Find(path);
    if (!key) return std::nullopt;
    NamedValue* value = key->Value(name);
    if (!value) return std::nullopt;
    return value->value;
}

std::optional<ULONG> Registry::GetDword(std::u16string_view path, std::u16string_view name) const
{
    std::optional<RegistryValue> value = GetValue(path, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(ULONG)) return std::nullopt;
    ULONG number;
    std::memcpy(&number, value->data.data(), sizeof number);
    return number;
}

bool Registry::DeleteValue(std::u16string_view path, std::u16string_view name)
{
    std::lock_guard lock(m_mutex);
    std::shared_ptr<Key> key = Find(path);
    if (!key) return false;
    auto removed = std::erase_if(key->values, [&](const NamedValue& value) { return EqualNoCase(value.name, name); });
    if (removed) key->lastWriteTime = m_kernel.GetClock().SystemTime();
    return removed != 0;
}

std::vector<std::u16string> Registry::SubKeys(std::u16string_view path) const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::u16string> names;
    if (std::shared_ptr<Key> key = Find(path))
        for (const auto& subkey : key->subkeys) names.push_back(subkey->name);
    return names;
}

std::vector<std::u16string> Registry::ValueNames(std::u16string_view path) const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::u16string> names;
    if (std::shared_ptr<Key> key = Find(path))
        for (const auto& value : key->values) names.push_back(value.name);
    return names;
}

std::optional<std::vector<uint8_t>> Registry::KeySecurity(std::u16string_view path) const
{
    std::lock_guard lock(m_mutex);
    std::shared_ptr<Key> key = Find(path);
    if (!key) return std::nullopt;
    return key->security;
}

bool Registry::SetKeySecurity(std::u16string_view path, std::vector<uint8_t> descriptor)
{
    std::lock_guard lock(m_mutex);
    std::shared_ptr<Key> key = Find(path);
    if (!key) return false;
    key->security = std::move(descriptor);
    return true;
}

void Registry::FailNextCall(RegistryCall call, NTSTATUS status, unsigned count)
{
    std::lock_guard lock(m_mutex);
    if (count == 0)
        m_faults.erase(call);
    else
        m_faults[call] = Fault{status, count};
}

void Registry::ClearFaults()
{
    std::lock_guard lock(m_mutex);
    m_faults.clear();
}

size_t Registry::CallCount(RegistryCall call) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_calls.find(call);
    return it == m_calls.end() ? 0 : it->second;
}

NTSTATUS Registry::InjectedFault(RegistryCall call)
{
    ++m_calls[call];
    auto it = m_faults.find(call);
    if (it == m_faults.end()) return STATUS_SUCCESS;
    NTSTATUS status = it->second.status;
    if (--it->second.count == 0) m_faults.erase(it);
    return status;
}

}  // namespace emu
