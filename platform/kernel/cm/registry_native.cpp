// The registry's native calls: key handles, values and enumeration.
#include "cm/registry.h"

#include "ke/clock.h"
#include "cm/registry_key.h"
#include "kernel.h"
#include "ob/object_manager.h"

#include <cstring>

namespace emu {

namespace {

constexpr ObjectType kKeyType = ObjectType::Key;

// Generic rights as the key object type maps them.
ACCESS_MASK MapKeyAccess(ACCESS_MASK access)
{
    if (access & MAXIMUM_ALLOWED) access = (access & ~MAXIMUM_ALLOWED) | KEY_ALL_ACCESS;
    if (access & GENERIC_READ) access = (access & ~GENERIC_READ) | KEY_READ;
    if (access & GENERIC_WRITE) access = (access & ~GENERIC_WRITE) | KEY_WRITE;
    if (access & GENERIC_EXECUTE) access = (access & ~GENERIC_EXECUTE) | KEY_EXECUTE;
    if (access & GENERIC_ALL) access = (access & ~GENERIC_ALL) | KEY_ALL_ACCESS;
    return access;
}

void PutUlong(std::vector<uint8_t>& image, size_t offset, ULONG value)
{
    std::memcpy(image.data() + offset, &value, sizeof value);
}

void PutBytes(std::vector<uint8_t>& image, const void* bytes, size_t size)
{
    if (size != 0) image.insert(image.end(), static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + size);
}

// Hands a built information record to the caller with Windows' size rules: below the fixed part
// nothing is written (STATUS_BUFFER_TOO_SMALL); below the whole record the fixed part and as much
// of the rest as fits are written (STATUS_BUFFER_OVERFLOW); the full size is always reported.
NTSTATUS Deliver(const std::vector<uint8_t>& image, size_t fixedSize, void* buffer, ULONG length, ULONG* resultLength)
{
    if (!resultLength) return STATUS_INVALID_PARAMETER;
    *resultLength = static_cast<ULONG>(image.size());
    if (length < fixedSize) return STATUS_BUFFER_TOO_SMALL;
    if (!buffer) return STATUS_INVALID_PARAMETER;
    size_t copied = image.size() < length ? image.size() : length;
    std::memcpy(buffer, image.data(), copied);
    return copied < image.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS ValueInformation(const NamedValue& value, KEY_VALUE_INFORMATION_CLASS infoClass, void* buffer,
                          ULONG length, ULONG* resultLength)
{
    const std::vector<uint8_t>& data = value.value.data;
    ULONG nameBytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
    std::vector<uint8_t> image;
    size_t fixedSize;
    switch (infoClass) {
    case KeyValueBasicInformation:
        fixedSize = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        image.resize(fixedSize);
        PutUlong(image, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.value.type);
        PutUlong(image, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
        PutBytes(image, value.name.data(), nameBytes);
        break;
    case KeyValueFullInformation: {
        fixedSize = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        // The data follows the name, aligned for a ULONG.
        size_t dataOffset = (fixedSize + nameBytes + sizeof(ULONG) - 1) & ~(sizeof(ULONG) - 1);
        image.resize(fixedSize);
        PutUlong(image, offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.value.type);
        PutUlong(image, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), static_cast<ULONG>(dataOffset));
        PutUlong(image, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), static_cast<ULONG>(data.size()));
        PutUlong(image, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
        PutBytes(image, value.name.data(), nameBytes);
        image.resize(dataOffset);
        PutBytes(image, data.data(), data.size());
        break;
    }
    case KeyValuePartialInformation:
        fixedSize = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        image.resize(fixedSize);
        PutUlong(image, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.value.type);
        PutUlong(image, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), static_cast<ULONG>(data.size()));
        PutBytes(image, data.data(), data.size());
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    return Deliver(image, fixedSize, buffer, length, resultLength);
}

}  // namespace

struct Registry::Resolved {
    std::shared_ptr<Key> base;
    std::vector<std::u16string_view> parts;
};

NTSTATUS Registry::KeyOfHandle(HANDLE handle, ACCESS_MASK required, KPROCESSOR_MODE mode, std::shared_ptr<Key>& key)
{
    ObjectManager& objects = m_kernel.GetObjectManager();
    void* body = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = objects.ReferenceByHandle(handle, &kKeyType, &body, &granted);
    if (!NT_SUCCESS(status)) return status;
    key = static_cast<KeyObject*>(body)->key;
    objects.Dereference(body);
    // As on Windows, only user-mode callers are held to the access the handle was granted.
    if (mode == UserMode && (required & ~granted) != 0) return STATUS_ACCESS_DENIED;
    if (key->deleted) return STATUS_KEY_DELETED;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::Resolve(HANDLE root, std::u16string_view name, KPROCESSOR_MODE mode, Resolved& resolved)
{
    if (root) {
        NTSTATUS status = KeyOfHandle(root, 0, mode, resolved.base);
        if (!NT_SUCCESS(status)) return status;
        return SplitRelativeName(name, resolved.parts) ? STATUS_SUCCESS : STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (!SplitRegistryPath(name, resolved.parts)) return STATUS_OBJECT_NAME_NOT_FOUND;
    resolved.base = m_root;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::OpenHandle(const std::shared_ptr<Key>& key, ACCESS_MASK access, KPROCESSOR_MODE mode, HANDLE* handle)
{
    ObjectManager& objects = m_kernel.GetObjectManager();
    auto* body = new KeyObject{key};
    objects.Register(body, ObjectType::Key, [](void* object) { delete static_cast<KeyObject*>(object); });
    *handle = objects.CreateHandle(body, MapKeyAccess(access), mode);
    objects.Dereference(body);  // the handle holds the object now
    return *handle ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS Registry::NtOpenKey(HANDLE root, std::u16string_view name, ACCESS_MASK access, KPROCESSOR_MODE mode,
                             HANDLE* key)
{
    if (!key) return STATUS_INVALID_PARAMETER;
    *key = nullptr;
    std::lock_guard lock(m_mutex);
    if (NTSTATUS fault = InjectedFault(RegistryCall::OpenKey)) return fault;
    Resolved resolved;
    NTSTATUS status = Resolve(root, name, mode, resolved);
    if (!NT_SUCCESS(status)) return status;
    std::shared_ptr<Key> found = resolved.base;
    for (std::u16string_view part : resolved.parts) {
        found = found->Subkey(part);
        if (!found) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return OpenHandle(found, access, mode, key);
}

NTSTATUS Registry::NtCreateKey(HANDLE root, std::u16string_view name, ACCESS_MASK access, KPROCESSOR_MODE mode,
                               HANDLE* key, ULONG* disposition)
{
    if (!key) return STATUS_INVALID_PARAMETER;
    *key = nullptr;
    std::lock_guard lock(m_mutex);
    if (NTSTATUS fault = InjectedFault(RegistryCall::CreateKey)) return fault;
    Resolved resolved;
    NTSTATUS status = Resolve(root, name, mode, resolved);
    if (!NT_SUCCESS(status)) return status;

    // Only the last component is created; everything above it must exist.
    std::shared_ptr<Key> parent = resolved.base;
    std::shared_ptr<Key> found = resolved.base;
    for (size_t i = 0; i < resolved.parts.size(); ++i) {
        parent = found;
        found = parent->Subkey(resolved.parts[i]);
        if (!found && i + 1 < resolved.parts.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    ULONG outcome = REG_OPENED_EXISTING_KEY;
    if (!found) {
        if (mode == UserMode && root && parent == resolved.base) {
            std::shared_ptr<Key> ignored;
            status = KeyOfHandle(root, KEY_CREATE_SUB_KEY, mode, ignored);
            if (!NT_SUCCESS(status)) return status;
        }
        found = std::make_shared<Key>();
        found->name = resolved.parts.back();
        found->lastWriteTime = m_kernel.GetClock().SystemTime();
        parent->Insert(found);
        parent->lastWriteTime = found->lastWriteTime;
        outcome = REG_CREATED_NEW_KEY;
    }
    status = OpenHandle(found, access, mode, key);
    if (NT_SUCCESS(status) && disposition) *disposition = outcome;
    return status;
}

NTSTATUS Registry::NtDeleteKey(HANDLE key, KPROCESSOR_MODE mode)
{
    std::lock_guard lock(m_mutex);
    if (NTSTATUS fault = InjectedFault(RegistryCall::DeleteKey)) return fault;
    std::shared_ptr<Key> found;
    NTSTATUS status = KeyOfHandle(key, DELETE, mode, found);
    if (!NT_SUCCESS(status)) return status;
    if (!found->subkeys.empty() || found->permanent || !found->parent) return STATUS_CANNOT_DELETE;
    Remove(found);
    return STATUS_SUCCESS;
}

NTSTATUS Registry::NtQuerySecurityKey(HANDLE key, std::vector<uint8_t>& descriptor, KPROCESSOR_MODE mode)
{
    std::lock_guard lock(m_mutex);
    std::shared_ptr<Key> found;
    NTSTATUS status = KeyOfHandle(key, READ_CONTROL, mode, found);
    if (!NT_SUCCESS(status)) return status;
    descriptor = found->security;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::NtSetSecurityKey(HANDLE key, std::vector<uint8_t> descriptor, KPROCESSOR_MODE mode)
{
    std::lock_guard lock(m_mutex);
    std::shared_ptr<Key> found;
    NTSTATUS status = KeyOfHandle(key, WRITE_DAC, mode, found);
    if (!NT_SUCCESS(status)) return status;
    found->security = std::move(descriptor);
    return STATUS_SUCCESS;
}

NTSTATUS Registry::NtQueryValueKey(HANDLE key, std::u16string_view name, KEY_VALUE_INFORMATION_CLASS infoClass,
                                   void* buffer, ULONG length, ULONG* resultLength, KPROCESSOR_MODE mode)
{
    std::lock_guard lock(m_mutex);
    if (NTSTATUS fault = InjectedFault(RegistryCall::QueryValueKey)) return fault;
    std::shared_ptr<Key> found;
    NTSTATUS status = KeyOfHandle(key, KEY_QUERY_VALUE, mode, found);
    if (!NT_SUCCESS(status)) return status;
    NamedValue* value = found->Value(name);
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    return ValueInformation(*value, infoClass, buffer, length, resultLength);
}

NTSTATUS Registry::NtSetValueKey(HANDLE key, std::u16string_view name, ULONG type, const void* data, ULONG size,
                                 KPROCESSOR_MODE mode)
{
    std::lock_guard lock(m_mutex);
    if (NTSTATUS fault = InjectedFault(RegistryCall::SetValueKey)) return fault;
    if (!data && size != 0) return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Key> found;
    NTSTATUS status = KeyOfHandle(key, KEY_SET_VALUE, mode, found);
    if (!NT_SUCCESS(status)) return status;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    RegistryValue stored{type, size != 0 ? std::vector<uint8_t>(bytes, bytes + size) : std::vector<uint8_t>()};
    if (NamedValue* value = found->Value(name))
        value->value = std::move(stored);
    else
        found->values.push_back(NamedValue{std::u16string(name), std::move(stored)});
    found->lastWriteTime = m_kernel.GetClock().SystemTime();
    return STATUS_SUCCESS;
}

NTSTATUS Registry::NtDeleteValueKey(HANDLE key, std::u16string_view name, KPROCESSOR_MODE mode)
{
    std::lock_guard lock(m_mutex);
    if (NTSTATUS fault = InjectedFault(RegistryCall::DeleteValueKey)) return fault;
    std::shared_ptr<Key> found;
    NTSTATUS status = KeyOfHandle(key, KEY_SET_VALUE, mode, found);
    if (!NT_SUCCESS(status)) return status;
    if (std::erase_if(found->values, [&](const NamedValue& value) { return EqualNoCase(value.name, name); }) == 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    found->lastWriteTime = m_kernel.GetClock().SystemTime();
    return STATUS_SUCCESS;
}

NTSTATUS Registry::NtEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS infoClass, void* buffer,
                                  ULONG length, ULONG* resultLength, KPROCESSOR_MODE mode)
{
    std::lock_guard lock(m_mutex);
    if (NTSTATUS fault = InjectedFault(RegistryCall::EnumerateKey)) return fault;
    std::shared_ptr<Key> found;
    NTSTATUS status = KeyOfHandle(key, KEY_ENUMERATE_SUB_KEYS, mode, found);
    if (!NT_SUCCESS(status)) return status;
    if (infoClass != KeyBasicInformation) return STATUS_INVALID_PARAMETER;
    if (index >= found->subkeys.size()) return STATUS_NO_MORE_ENTRIES;

    const Key& subkey = *found->subkeys[index];
    ULONG nameBytes = static_cast<ULONG>(subkey.name.size() * sizeof(WCHAR));
    size_t fixedSize = offsetof(KEY_BASIC_INFORMATION, Name);
    std::vector<uint8_t> image(fixedSize);
    std::memcpy(image.data() + offsetof(KEY_BASIC_INFORMATION, LastWriteTime), &subkey.lastWriteTime,
                sizeof subkey.lastWriteTime);
    PutUlong(image, offsetof(KEY_BASIC_INFORMATION, NameLength), nameBytes);
    PutBytes(image, subkey.name.data(), nameBytes);
    return Deliver(image, fixedSize, buffer, length, resultLength);
}

NTSTATUS Registry::NtEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass,
                                       void* buffer, ULONG length, ULONG* resultLength, KPROCESSOR_MODE mode)
{
    std::lock_guard lock(m_mutex);
    if (NTSTATUS fault = InjectedFault(RegistryCall::EnumerateValueKey)) return fault;
    std::shared_ptr<Key> found;
    NTSTATUS status = KeyOfHandle(key, KEY_QUERY_VALUE, mode, found);
    if (!NT_SUCCESS(status)) return status;
    if (index >= found->values.size()) return STATUS_NO_MORE_ENTRIES;
    return ValueInformation(found->values[index], infoClass, buffer, length, resultLength);
}

NTSTATUS Registry::NtFlushKey(HANDLE key, KPROCESSOR_MODE mode)
{
    std::lock_guard lock(m_mutex);
    if (NTSTATUS fault = InjectedFault(RegistryCall::FlushKey)) return fault;
    std::shared_ptr<Key> found;
    // Nothing to write back: the registry lives in memory.
    return KeyOfHandle(key, 0, mode, found);
}

}  // namespace emu
