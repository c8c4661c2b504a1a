// IoOpenDeviceRegistryKey: a kernel handle to a device node's hardware key ("Device Parameters")
// or its driver key, created when missing as Windows does for the hardware key.
#include <wdm.h>

#include <string>

#include "ke/kthread.h"
#include "pnp/pnp_manager.h"
#include "cm/registry.h"
#include "kernel.h"

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG devInstKeyType,
                                            ACCESS_MASK desiredAccess, PHANDLE devInstRegKey)
{
    if (!emu::CheckIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey")) return STATUS_INVALID_DEVICE_STATE;
    if (!deviceObject || !devInstRegKey) return STATUS_INVALID_PARAMETER;
    *devInstRegKey = nullptr;
    emu::Kernel& machine = emu::Kernel::Current();
    std::u16string path;
    NTSTATUS status = machine.GetPnp().DeviceKeyPath(deviceObject, devInstKeyType, path);
    if (!NT_SUCCESS(status)) return status;
    ULONG disposition = 0;
    HANDLE key = nullptr;
    status = machine.GetRegistry().NtCreateKey(nullptr, path, desiredAccess, KernelMode, &key, &disposition);
    if (NT_SUCCESS(status)) *devInstRegKey = key;
    return status;
}
