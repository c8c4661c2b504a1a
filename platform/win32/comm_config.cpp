// GetCommProperties, GetCommConfig and SetCommConfig. A port whose driver keeps no configuration
// of its own (IOCTL_SERIAL_CONFIG_SIZE answers 0) has its COMMCONFIG made from its properties'
// subtype and its device-control block.
#include "comm_requests.h"

#include <algorithm>

namespace emu::win32 {

namespace {

constexpr WORD kCommConfigVersion = 1;

// The size of the driver's own configuration record, 0 when it keeps none.
ULONG ProviderConfigSize(HANDLE handle)
{
    ULONG size = 0;
    const NTSTATUS status = SerialControl(handle, IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, &size, sizeof(size)).status;
    return NT_SUCCESS(status) ? size : 0;
}

BOOL MakeConfig(HANDLE handle, LPCOMMCONFIG config)
{
    COMMPROP properties{};
    if (!GetCommProperties(handle, &properties) || !GetCommState(handle, &config->dcb)) return FALSE;
    config->dwSize = sizeof(COMMCONFIG);
    config->wVersion = kCommConfigVersion;
    config->wReserved = 0;
    config->dwProviderSubType = properties.dwProvSubType;
    config->dwProviderOffset = 0;
    config->dwProviderSize = 0;
    config->wcProviderData[0] = 0;
    return TRUE;
}

}  // namespace

}  // namespace emu::win32

extern "C" BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    if (!lpCommProp) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A caller with room for provider data says so in the record itself.
    ULONG length = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED) length = std::max<ULONG>(length, lpCommProp->wPacketLength);
    return emu::win32::SerialQuery(hFile, IOCTL_SERIAL_GET_PROPERTIES, lpCommProp, length);
}

extern "C" BOOL GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize)
{
    if (!lpdwSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const ULONG providerSize = emu::win32::ProviderConfigSize(hCommDev);
    const DWORD needed = std::max<DWORD>(sizeof(COMMCONFIG), providerSize);
    if (!lpCC || *lpdwSize < needed) {
        *lpdwSize = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    *lpdwSize = needed;
    if (providerSize == 0) return emu::win32::MakeConfig(hCommDev, lpCC);
    return emu::win32::SerialQuery(hCommDev, IOCTL_SERIAL_GET_COMMCONFIG, lpCC, needed);
}

// The block goes through SetCommState; provider data, when there is any, to the driver after it.
extern "C" BOOL SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize)
{
    if (!lpCC || dwSize < sizeof(COMMCONFIG)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!SetCommState(hCommDev, &lpCC->dcb)) return FALSE;
    if (lpCC->dwProviderSize == 0) return TRUE;
    return emu::win32::Answer(
        emu::win32::SerialControl(hCommDev, IOCTL_SERIAL_SET_COMMCONFIG, lpCC, dwSize).status);
}
