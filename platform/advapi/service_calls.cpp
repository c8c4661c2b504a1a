// advapi32's service calls on the machine's service control manager.
#include <winsvc.h>

#include <cstring>

#include "cm/registry.h"
#include "io/driver_loader.h"
#include "kernel.h"
#include "service_manager.h"

using emu::advapi::ServiceKey;
using emu::advapi::ServiceManager;

namespace {

emu::Registry& TheRegistry() { return emu::Kernel::Current().GetRegistry(); }

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// The service of a handle that grants `required`; an empty name with the last error set otherwise.
std::u16string ServiceFor(SC_HANDLE handle, DWORD required)
{
    std::u16string name;
    DWORD access = 0;
    if (!ServiceManager::Current().ServiceOf(handle, name, access)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    if ((required & ~access) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return {};
    }
    return name;
}

DWORD ServiceDword(const std::u16string& name, std::u16string_view value, DWORD fallback)
{
    return TheRegistry().GetDword(ServiceKey(name), value).value_or(fallback);
}

std::u16string ServiceText(const std::u16string& name, std::u16string_view value)
{
    std::optional<emu::RegistryValue> stored = TheRegistry().GetValue(ServiceKey(name), value);
    if (!stored) return {};
    std::u16string text(stored->data.size() / sizeof(WCHAR), u'\0');
    std::memcpy(text.data(), stored->data.data(), text.size() * sizeof(WCHAR));
    return text.substr(0, text.find(u'\0'));
}

void FillStatus(const std::u16string& name, LPSERVICE_STATUS status)
{
    std::memset(status, 0, sizeof *status);
    status->dwServiceType = ServiceDword(name, u"Type", SERVICE_KERNEL_DRIVER);
    const bool running = emu::Kernel::Current().GetDrivers().IsLoaded(name);
    status->dwCurrentState = running ? SERVICE_RUNNING : SERVICE_STOPPED;
    status->dwControlsAccepted = running ? SERVICE_ACCEPT_STOP : 0;
}

void SetText(const std::u16string& name, std::u16string_view value, LPCWSTR text, ULONG type = REG_SZ)
{
    if (text) TheRegistry().SetString(ServiceKey(name), value, text, type);
}

}  // namespace

extern "C" SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    if (lpMachineName && *lpMachineName) {
        SetLastError(1722);  // RPC_S_SERVER_UNAVAILABLE: no other machine is reachable
        return nullptr;
    }
    SC_HANDLE manager = ServiceManager::Current().OpenManager(dwDesiredAccess);
    SetLastError(manager ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
    return manager;
}

extern "C" SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess)
{
    DWORD error = ERROR_SUCCESS;
    SC_HANDLE service = ServiceManager::Current().OpenService(hSCManager, lpServiceName ? lpServiceName : u"",
                                                              dwDesiredAccess, error);
    SetLastError(error);
    return service;
}

extern "C" SC_HANDLE CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                    DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                    LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                    LPCWSTR lpDependencies, LPCWSTR lpServiceStartName, LPCWSTR lpPassword)
{
    if (!lpServiceName || !*lpServiceName || !lpBinaryPathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD error = ERROR_SUCCESS;
    SC_HANDLE service = ServiceManager::Current().CreateService(hSCManager, lpServiceName, dwDesiredAccess, error);
    if (!service) {
        SetLastError(error);
        return nullptr;
    }
    const std::u16string name(lpServiceName);
    const std::u16string key = ServiceKey(name);
    TheRegistry().SetDword(key, u"Type", dwServiceType);
    TheRegistry().SetDword(key, u"Start", dwStartType);
    TheRegistry().SetDword(key, u"ErrorControl", dwErrorControl);
    SetText(name, u"ImagePath", lpBinaryPathName, REG_EXPAND_SZ);
    SetText(name, u"DisplayName", lpDisplayName);
    SetText(name, u"Group", lpLoadOrderGroup);
    SetLastError(ERROR_SUCCESS);
    return service;
}

extern "C" BOOL CloseServiceHandle(SC_HANDLE hSCObject)
{
    return ServiceManager::Current().Close(hSCObject) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

extern "C" BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    const std::u16string name = ServiceFor(hService, SERVICE_QUERY_STATUS);
    if (name.empty()) return FALSE;
    if (!lpServiceStatus) return Fail(ERROR_INVALID_PARAMETER);
    FillStatus(name, lpServiceStatus);
    return TRUE;
}

// A kernel driver stops by unloading: refused while it has devices (or has no unload routine).
extern "C" BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    const DWORD required = dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_INTERROGATE;
    const std::u16string name = ServiceFor(hService, required);
    if (name.empty()) return FALSE;
    if (!lpServiceStatus) return Fail(ERROR_INVALID_PARAMETER);
    emu::DriverLoader& drivers = emu::Kernel::Current().GetDrivers();
    FillStatus(name, lpServiceStatus);
    if (!drivers.IsLoaded(name)) return Fail(ERROR_SERVICE_NOT_ACTIVE);
    if (dwControl != SERVICE_CONTROL_STOP) return dwControl == SERVICE_CONTROL_INTERROGATE ? TRUE : Fail(ERROR_INVALID_SERVICE_CONTROL);
    if (!NT_SUCCESS(drivers.Unload(name))) return Fail(ERROR_INVALID_SERVICE_CONTROL);
    FillStatus(name, lpServiceStatus);
    return TRUE;
}

extern "C" BOOL StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors)
{
    const std::u16string name = ServiceFor(hService, SERVICE_START);
    if (name.empty()) return FALSE;
    if (ServiceManager::Current().IsMarked(name)) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    emu::DriverLoader& drivers = emu::Kernel::Current().GetDrivers();
    if (drivers.IsLoaded(name)) return Fail(1056);  // ERROR_SERVICE_ALREADY_RUNNING
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = drivers.Load(name, &driver);
    return NT_SUCCESS(status) ? TRUE : Fail(RtlNtStatusToDosError(status));
}

extern "C" BOOL QueryServiceConfigW(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGW lpServiceConfig, DWORD cbBufSize,
                                    LPDWORD pcbBytesNeeded)
{
    const std::u16string name = ServiceFor(hService, SERVICE_QUERY_CONFIG);
    if (name.empty()) return FALSE;
    if (!pcbBytesNeeded) return Fail(ERROR_INVALID_PARAMETER);
    std::u16string display = ServiceText(name, u"DisplayName");
    if (display.empty()) display = name;
    const std::u16string texts[] = {ServiceText(name, u"ImagePath"), ServiceText(name, u"Group"), u"", u"", display};
    size_t needed = sizeof(QUERY_SERVICE_CONFIGW);
    for (const std::u16string& text : texts) needed += (text.size() + 1) * sizeof(WCHAR);
    needed += sizeof(WCHAR);  // the dependency list ends with a second terminator
    *pcbBytesNeeded = static_cast<DWORD>(needed);
    if (!lpServiceConfig || cbBufSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memset(lpServiceConfig, 0, needed);
    lpServiceConfig->dwServiceType = ServiceDword(name, u"Type", SERVICE_KERNEL_DRIVER);
    lpServiceConfig->dwStartType = ServiceDword(name, u"Start", SERVICE_DEMAND_START);
    lpServiceConfig->dwErrorControl = ServiceDword(name, u"ErrorControl", SERVICE_ERROR_NORMAL);
    auto* at = reinterpret_cast<WCHAR*>(lpServiceConfig + 1);
    LPWSTR* fields[] = {&lpServiceConfig->lpBinaryPathName, &lpServiceConfig->lpLoadOrderGroup,
                        &lpServiceConfig->lpDependencies, &lpServiceConfig->lpServiceStartName,
                        &lpServiceConfig->lpDisplayName};
    for (size_t index = 0; index < 5; ++index) {
        *fields[index] = at;
        std::memcpy(at, texts[index].c_str(), texts[index].size() * sizeof(WCHAR));
        at += texts[index].size() + 1 + (index == 2 ? 1 : 0);
    }
    return TRUE;
}

extern "C" BOOL DeleteService(SC_HANDLE hService)
{
    const std::u16string name = ServiceFor(hService, DELETE);
    if (name.empty()) return FALSE;
    const DWORD error = ServiceManager::Current().MarkDeleted(name);
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}
