// The kernel's registry routines: the Zw calls (kernel-mode callers of the native calls) and the
// Rtl relative-path routines. All of them are PASSIVE_LEVEL calls.
#include <wdm.h>

#include "cm/registry.h"
#include "rtl/rtl_text.h"
#include "kernel.h"
#include "ob/object_manager.h"
#include "vf/verifier.h"

#include <string>

using emu::Kernel;
using emu::Registry;

namespace {

Registry& TheRegistry() { return Kernel::Current().GetRegistry(); }

// Reports a call above PASSIVE_LEVEL; the call is still served, the registry being able to.
void CheckIrql(const char* routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > PASSIVE_LEVEL)
        Kernel::Current().GetVerifier().Report(emu::Violation::IrqlTooHigh,
                                                std::string(routine) + " at IRQL " + std::to_string(irql));
}

std::u16string_view ObjectNameOf(const OBJECT_ATTRIBUTES* attributes) { return emu::View(attributes->ObjectName); }

// A key of the Rtl routines: a handle passed in (RTL_REGISTRY_HANDLE) or a path below a relative
// root, opened here and closed by the destructor.
class RtlKey {
public:
    RtlKey(ULONG relativeTo, PCWSTR path, ACCESS_MASK access, bool create)
    {
        if (relativeTo & RTL_REGISTRY_HANDLE) {
            m_handle = const_cast<PWSTR>(path);
            m_status = m_handle ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
            return;
        }
        ULONG base = relativeTo & ~RTL_REGISTRY_OPTIONAL;
        std::optional<std::u16string_view> root = emu::RegistryRootPath(base);
        if (!root || (base == RTL_REGISTRY_ABSOLUTE && !path)) {
            m_status = STATUS_INVALID_PARAMETER;
            return;
        }
        std::u16string full(*root);
        std::u16string_view rest = emu::View(path);
        if (!rest.empty() && !full.empty() && rest.front() != u'\\') full += u'\\';
        full += rest;

        Registry& registry = TheRegistry();
        m_status = registry.NtOpenKey(nullptr, full, access, KernelMode, &m_handle);
        if (create && m_status == STATUS_OBJECT_NAME_NOT_FOUND)
            m_status = registry.NtCreateKey(nullptr, full, access, KernelMode, &m_handle, nullptr);
        m_owned = NT_SUCCESS(m_status);
    }
    ~RtlKey()
    {
        if (m_owned) Kernel::Current().GetObjectManager().CloseHandle(m_handle);
    }
    RtlKey(const RtlKey&) = delete;
    RtlKey& operator=(const RtlKey&) = delete;

    NTSTATUS Status() const { return m_status; }
    HANDLE Handle() const { return m_handle; }

private:
    HANDLE m_handle = nullptr;
    NTSTATUS m_status = STATUS_UNSUCCESSFUL;
    bool m_owned = false;
};

}  // namespace

extern "C" NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes)
{
    CheckIrql("ZwOpenKey");
    if (!objectAttributes) return STATUS_INVALID_PARAMETER;
    return TheRegistry().NtOpenKey(objectAttributes->RootDirectory, ObjectNameOf(objectAttributes), desiredAccess,
                                   KernelMode, keyHandle);
}

extern "C" NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                ULONG titleIndex, PUNICODE_STRING keyClass, ULONG createOptions, PULONG disposition)
{
    CheckIrql("ZwCreateKey");
    if (!objectAttributes) return STATUS_INVALID_PARAMETER;
    return TheRegistry().NtCreateKey(objectAttributes->RootDirectory, ObjectNameOf(objectAttributes), desiredAccess,
                                     KernelMode, keyHandle, disposition);
}

extern "C" NTSTATUS ZwDeleteKey(HANDLE keyHandle)
{
    CheckIrql("ZwDeleteKey");
    return TheRegistry().NtDeleteKey(keyHandle, KernelMode);
}

extern "C" NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                                    KEY_VALUE_INFORMATION_CLASS keyValueInformationClass, PVOID keyValueInformation,
                                    ULONG length, PULONG resultLength)
{
    CheckIrql("ZwQueryValueKey");
    if (!valueName) return STATUS_INVALID_PARAMETER;
    return TheRegistry().NtQueryValueKey(keyHandle, emu::View(valueName), keyValueInformationClass,
                                         keyValueInformation, length, resultLength, KernelMode);
}

extern "C" NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type,
                                  PVOID data, ULONG dataSize)
{
    CheckIrql("ZwSetValueKey");
    if (!valueName) return STATUS_INVALID_PARAMETER;
    return TheRegistry().NtSetValueKey(keyHandle, emu::View(valueName), type, data, dataSize, KernelMode);
}

extern "C" NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName)
{
    CheckIrql("ZwDeleteValueKey");
    if (!valueName) return STATUS_INVALID_PARAMETER;
    return TheRegistry().NtDeleteValueKey(keyHandle, emu::View(valueName), KernelMode);
}

extern "C" NTSTATUS ZwEnumerateKey(HANDLE keyHandle, ULONG index, KEY_INFORMATION_CLASS keyInformationClass,
                                   PVOID keyInformation, ULONG length, PULONG resultLength)
{
    CheckIrql("ZwEnumerateKey");
    return TheRegistry().NtEnumerateKey(keyHandle, index, keyInformationClass, keyInformation, length, resultLength,
                                        KernelMode);
}

extern "C" NTSTATUS ZwEnumerateValueKey(HANDLE keyHandle, ULONG index,
                                        KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                                        PVOID keyValueInformation, ULONG length, PULONG resultLength)
{
    CheckIrql("ZwEnumerateValueKey");
    return TheRegistry().NtEnumerateValueKey(keyHandle, index, keyValueInformationClass, keyValueInformation, length,
                                             resultLength, KernelMode);
}

extern "C" NTSTATUS ZwFlushKey(HANDLE keyHandle)
{
    CheckIrql("ZwFlushKey");
    return TheRegistry().NtFlushKey(keyHandle, KernelMode);
}

extern "C" NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType,
                                          PVOID valueData, ULONG valueLength)
{
    CheckIrql("RtlWriteRegistryValue");
    RtlKey key(relativeTo, path, KEY_SET_VALUE, true);
    if (!NT_SUCCESS(key.Status())) return key.Status();
    return TheRegistry().NtSetValueKey(key.Handle(), emu::View(valueName), valueType, valueData, valueLength,
                                       KernelMode);
}

extern "C" NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName)
{
    CheckIrql("RtlDeleteRegistryValue");
    RtlKey key(relativeTo, path, KEY_SET_VALUE, false);
    if (!NT_SUCCESS(key.Status())) return key.Status();
    return TheRegistry().NtDeleteValueKey(key.Handle(), emu::View(valueName), KernelMode);
}

extern "C" NTSTATUS RtlCheckRegistryKey(ULONG relativeTo, PWSTR path)
{
    CheckIrql("RtlCheckRegistryKey");
    RtlKey key(relativeTo, path, KEY_READ, false);
    return key.Status();
}

extern "C" NTSTATUS RtlCreateRegistryKey(ULONG relativeTo, PWSTR path)
{
    CheckIrql("RtlCreateRegistryKey");
    RtlKey key(relativeTo, path, KEY_WRITE, true);
    return key.Status();
}
