// The registry of the emulated machine: an in-memory tree of keys under "\Registry".
//
// Key and value names compare without regard to case and keep the case they were created with.
// A value is a type and its exact bytes (odd lengths kept, no terminator added). Key handles are
// object-manager handles whose object refers to the key; a key deleted while handles are open
// answers STATUS_KEY_DELETED through them.
//
// Two faces: the native calls (NtXxx, with the caller's processor mode; kernel-mode callers are
// not checked against the handle's granted access, user-mode callers are), behind the Zw and Rtl
// routines of <wdm.h> and, later, user-mode advapi32; and a path-based API for tests and tools.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

class Kernel;

// The calls a test can make fail (FailNextCall). The Rtl routines reach the registry through
// the same calls, so a fault injected for SetValueKey also fails RtlWriteRegistryValue.
enum class RegistryCall {
    OpenKey,
    CreateKey,
    DeleteKey,
    QueryValueKey,
    SetValueKey,
    DeleteValueKey,
    EnumerateKey,
    EnumerateValueKey,
    FlushKey,
};

struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
    bool operator==(const RegistryValue&) const = default;
};

// The absolute path of a relative root of the Rtl registry routines (RTL_REGISTRY_ABSOLUTE gives
// an empty prefix); nullopt for a number that is not a root.
std::optional<std::u16string_view> RegistryRootPath(ULONG relativeTo);

class Registry {
public:
    explicit Registry(Kernel& machine);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // --- Path-based API. Paths are absolute ("\Registry\Machine\..."). ---

    // Creates every missing component; false for a malformed path.
    bool CreateKey(std::u16string_view path);
    bool KeyExists(std::u16string_view path) const;
    // The path spelt as its keys were created, or nullopt when missing.
    std::optional<std::u16string> CanonicalPath(std::u16string_view path) const;
    // Refuses (false) a missing key, a key with subkeys and the keys of the standard tree's top.
    bool DeleteKey(std::u16string_view path);
    // Deletes a key with everything below it.
    bool DeleteTree(std::u16string_view path);
    // Creates the key when missing; replaces a value of the same name (whatever its case).
    bool SetValue(std::u16string_view path, std::u16string_view name, ULONG type, std::vector<uint8_t> data);
    bool SetDword(std::u16string_view path, std::u16string_view name, ULONG value);
    // Stores the text with its terminating zero character.
    bool SetString(std::u16string_view path, std::u16string_view name, std::u16string_view text,
                   ULONG type = REG_SZ);
    std::optional<RegistryValue> GetValue(std::u16string_view path, std::u16string_view name) const;
    // A REG_DWORD of exactly 4 bytes, else nullopt.
    std::optional<ULONG> GetDword(std::u16string_view path, std::u16string_view name) const;
    bool DeleteValue(std::u16string_view path, std::u16string_view name);
    // Subkeys in enumeration order (by upper-cased name); values in the order they were created.
    std::vector<std::u16string> SubKeys(std::u16string_view path) const;
    std::vector<std::u16string> ValueNames(std::u16string_view path) const;
    // The key's security descriptor in self-relative form; empty when none was ever set (the key
    // then belongs to the administrators). nullopt for a missing key.
    std::optional<std::vector<uint8_t>> KeySecurity(std::u16string_view path) const;
    bool SetKeySecurity(std::u16string_view path, std::vector<uint8_t> descriptor);

    // --- Fault injection. ---

    // The next `count` calls of that kind fail with `status` before touching anything.
    void FailNextCall(RegistryCall call, NTSTATUS status, unsigned count = 1);
    void ClearFaults();
    // Calls of each kind made so far (injected failures included).
    size_t CallCount(RegistryCall call) const;

    // --- Native calls. `root` may be null (then `name` is absolute). ---

    NTSTATUS NtOpenKey(HANDLE root, std::u16string_view name, ACCESS_MASK access, KPROCESSOR_MODE mode,
                       HANDLE* key);
    NTSTATUS NtCreateKey(HANDLE root, std::u16string_view name, ACCESS_MASK access, KPROCESSOR_MODE mode,
                         HANDLE* key, ULONG* disposition);
    NTSTATUS NtDeleteKey(HANDLE key, KPROCESSOR_MODE mode);
    NTSTATUS NtQueryValueKey(HANDLE key, std::u16string_view name, KEY_VALUE_INFORMATION_CLASS infoClass,
                             void* buffer, ULONG length, ULONG* resultLength, KPROCESSOR_MODE mode);
    NTSTATUS NtSetValueKey(HANDLE key, std::u16string_view name, ULONG type, const void* data, ULONG size,
                           KPROCESSOR_MODE mode);
    NTSTATUS NtDeleteValueKey(HANDLE key, std::u16string_view name, KPROCESSOR_MODE mode);
    NTSTATUS NtEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS infoClass, void* buffer,
                            ULONG length, ULONG* resultLength, KPROCESSOR_MODE mode);
    NTSTATUS NtEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass,
                                 void* buffer, ULONG length, ULONG* resultLength, KPROCESSOR_MODE mode);
    NTSTATUS NtFlushKey(HANDLE key, KPROCESSOR_MODE mode);
    // The descriptor as stored (READ_CONTROL), and its replacement (WRITE_DAC); the security
    // reference monitor above reads and builds the descriptors.
    NTSTATUS NtQuerySecurityKey(HANDLE key, std::vector<uint8_t>& descriptor, KPROCESSOR_MODE mode);
    NTSTATUS NtSetSecurityKey(HANDLE key, std::vector<uint8_t> descriptor, KPROCESSOR_MODE mode);

    struct Key;  // a node of the tree (registry.cpp)

private:
    struct Resolved;

    NTSTATUS InjectedFault(RegistryCall call);  // counts the call; with the lock held
    NTSTATUS KeyOfHandle(HANDLE handle, ACCESS_MASK required, KPROCESSOR_MODE mode, std::shared_ptr<Key>& key);
    NTSTATUS Resolve(HANDLE root, std::u16string_view name, KPROCESSOR_MODE mode, Resolved& resolved);
    NTSTATUS OpenHandle(const std::shared_ptr<Key>& key, ACCESS_MASK access, KPROCESSOR_MODE mode, HANDLE* handle);
    std::shared_ptr<Key> Find(std::u16string_view path) const;
    std::shared_ptr<Key> Create(std::u16string_view path);
    void Remove(const std::shared_ptr<Key>& key);

    Kernel& m_kernel;
    mutable std::mutex m_mutex;
    std::shared_ptr<Key> m_root;
    struct Fault {
        NTSTATUS status;
        unsigned count;
    };
    std::map<RegistryCall, Fault> m_faults;
    std::map<RegistryCall, size_t> m_calls;
};

}  // namespace emu
