// The Ports class installer, standing in for Windows' own: a port's first installation gives it
// the lowest free COM number of the COM-name database as its PortName; after the default
// installation its friendly name is its description followed by " (COMn)". Removing a port gives
// its number back to the database.
#include <msports.h>

#include <cstdlib>
#include <string>

#include "install_engine.h"

namespace emu::setup {
namespace {

std::u16string ReadPortName(HDEVINFO set, PSP_DEVINFO_DATA element)
{
    HKEY key = SetupDiOpenDevRegKey(set, element, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE || !key) return {};
    WCHAR name[64] = {};
    DWORD type = 0, size = sizeof name - sizeof(WCHAR);
    const LSTATUS status = RegQueryValueExW(key, u"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? std::u16string(name) : std::u16string();
}

DWORD NumberOf(const std::u16string& portName)
{
    if (portName.size() < 4 || portName.compare(0, 3, u"COM") != 0) return 0;
    return DWORD(std::strtoul(Narrow(portName.substr(3)).c_str(), nullptr, 10));
}

// Claims the next free number (or keeps the one the port has) and writes PortName.
DWORD AssignPortName(HDEVINFO set, PSP_DEVINFO_DATA element, std::u16string& portName)
{
    portName = ReadPortName(set, element);
    HCOMDB database = HCOMDB_INVALID_HANDLE_VALUE;
    if (LONG error = ComDBOpen(&database)) return DWORD(error);
    DWORD number = NumberOf(portName);
    LONG error = ERROR_SUCCESS;
    if (number)
        ComDBClaimPort(database, number, FALSE, nullptr);  // its own number, whoever holds it
    else
        error = ComDBClaimNextFreePort(database, &number);
    ComDBClose(database);
    if (error) return DWORD(error);
    if (!portName.empty()) return NO_ERROR;
    portName = u"COM" + Widen(std::to_string(number));
    HKEY key = SetupDiOpenDevRegKey(set, element, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_WRITE);
    if (key == INVALID_HANDLE_VALUE || !key) return GetLastError();
    const LSTATUS status = RegSetValueExW(key, u"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(portName.c_str()),
                                          DWORD((portName.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return DWORD(status);
}

void WriteFriendlyName(HDEVINFO set, PSP_DEVINFO_DATA element, const std::u16string& portName)
{
    WCHAR description[256] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, element, SPDRP_DEVICEDESC, nullptr, reinterpret_cast<BYTE*>(description),
                                           sizeof description - sizeof(WCHAR), nullptr))
        return;
    const std::u16string friendly = std::u16string(description) + u" (" + portName + u")";
    SetupDiSetDeviceRegistryPropertyW(set, element, SPDRP_FRIENDLYNAME, reinterpret_cast<const BYTE*>(friendly.c_str()),
                                      DWORD((friendly.size() + 1) * sizeof(WCHAR)));
}

void ReleasePortName(HDEVINFO set, PSP_DEVINFO_DATA element)
{
    const DWORD number = NumberOf(ReadPortName(set, element));
    HCOMDB database = HCOMDB_INVALID_HANDLE_VALUE;
    if (!number || ComDBOpen(&database) != ERROR_SUCCESS) return;
    ComDBReleasePort(database, number);
    ComDBClose(database);
}

}  // namespace

DWORD CALLBACK PortsClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA element)
{
    if (!element) return ERROR_DI_DO_DEFAULT;
    switch (function) {
    case DIF_INSTALLDEVICE: {
        std::u16string portName;
        if (DWORD error = AssignPortName(set, element, portName)) return error;
        if (!SetupDiInstallDevice(set, element)) return GetLastError();
        WriteFriendlyName(set, element, portName);
        return NO_ERROR;
    }
    case DIF_REMOVE:
        ReleasePortName(set, element);
        return ERROR_DI_DO_DEFAULT;
    default:
        return ERROR_DI_DO_DEFAULT;
    }
}

}  // namespace emu::setup

extern "C" BOOL SetupDiInstallDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    emu::setup::InstallEngine* engine = emu::setup::InstallEngine::Current();
    const std::u16string path = emu::setup::InstancePathOf(DeviceInfoSet, DeviceInfoData);
    if (!engine || path.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD error = engine->InstallSelectedDriver(path);
    SetLastError(error);
    return error == NO_ERROR;
}
