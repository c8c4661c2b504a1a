// RegGetKeySecurity and RegSetKeySecurity: a key's descriptor read back in self-relative form, or
// parts of it replaced. The handle must grant READ_CONTROL, or WRITE_DAC to change the DACL.
#include <winreg.h>

#include <cstring>

#include "cm/registry.h"
#include "kernel.h"
#include "registry_keys.h"
#include "security_descriptor.h"

namespace {

LSTATUS Win32Error(NTSTATUS status) { return emu::advapi::RegistryError(status); }

emu::Registry& TheRegistry() { return emu::Kernel::Current().GetRegistry(); }

}  // namespace

extern "C" LSTATUS RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                                     PSECURITY_DESCRIPTOR pSecurityDescriptor, LPDWORD lpcbSecurityDescriptor)
{
    if (!lpcbSecurityDescriptor) return ERROR_INVALID_PARAMETER;
    std::vector<uint8_t> stored;
    NTSTATUS status = TheRegistry().NtQuerySecurityKey(hKey, stored, UserMode);
    if (!NT_SUCCESS(status)) return Win32Error(status);
    std::optional<emu::process::Descriptor> descriptor =
        stored.empty() ? emu::process::DefaultKeyDescriptor() : emu::process::ReadDescriptor(stored.data());
    if (!descriptor) return ERROR_INVALID_SECURITY_DESCR;
    if (!(SecurityInformation & OWNER_SECURITY_INFORMATION)) descriptor->owner.reset();
    if (!(SecurityInformation & GROUP_SECURITY_INFORMATION)) descriptor->group.reset();
    if (!(SecurityInformation & DACL_SECURITY_INFORMATION)) {
        descriptor->daclPresent = false;
        descriptor->dacl.reset();
    }
    const std::vector<uint8_t> bytes = emu::process::SelfRelative(*descriptor);
    const DWORD room = *lpcbSecurityDescriptor;
    *lpcbSecurityDescriptor = static_cast<DWORD>(bytes.size());
    if (!pSecurityDescriptor || room < bytes.size()) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(pSecurityDescriptor, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                                     PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    std::optional<emu::process::Descriptor> given = emu::process::ReadDescriptor(pSecurityDescriptor);
    if (!given) return ERROR_INVALID_SECURITY_DESCR;
    std::vector<uint8_t> stored;
    NTSTATUS status = TheRegistry().NtQuerySecurityKey(hKey, stored, KernelMode);
    if (!NT_SUCCESS(status)) return Win32Error(status);
    emu::process::Descriptor result =
        stored.empty() ? emu::process::DefaultKeyDescriptor() : *emu::process::ReadDescriptor(stored.data());
    if (SecurityInformation & OWNER_SECURITY_INFORMATION) result.owner = given->owner;
    if (SecurityInformation & GROUP_SECURITY_INFORMATION) result.group = given->group;
    if (SecurityInformation & DACL_SECURITY_INFORMATION) {
        result.daclPresent = given->daclPresent;
        result.dacl = given->dacl;
    }
    status = TheRegistry().NtSetSecurityKey(hKey, emu::process::SelfRelative(result), UserMode);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : Win32Error(status);
}
