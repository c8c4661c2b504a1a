// The default handlers of the installation requests: what SetupAPI does itself when the class
// installer asks for it (or the class has none).
#include "cm/registry.h"
#include "inf_actions.h"
#include "install_engine.h"
#include "kernel.h"
#include "pnp/pnp_manager.h"
#include "registry_text.h"
#include "setupapi_control.h"

namespace emu::setup {
namespace {

std::u16string ClassKey(const std::u16string& driverKey) { return std::u16string(kClassKeyPath) + u"\\" + driverKey; }

// The device's driver key ("{class}\000n"): the one it has in the driver's class, else a new one.
std::u16string EnsureDriverKey(Registry& registry, const std::u16string& instancePath, const std::u16string& classGuid)
{
    std::u16string driverKey = RegistryString(registry.GetValue(DeviceKeyOf(instancePath), u"Driver"));
    if (!driverKey.empty() && EqualNoCase(driverKey.substr(0, driverKey.find(u'\\')), classGuid)) return driverKey;
    for (unsigned index = 0;; ++index) {
        char number[8];
        std::snprintf(number, sizeof number, "%04u", index);
        driverKey = classGuid + u"\\" + Widen(number);
        if (!registry.KeyExists(ClassKey(driverKey))) break;
    }
    registry.CreateKey(ClassKey(driverKey));
    registry.SetString(DeviceKeyOf(instancePath), u"Driver", driverKey);
    return driverKey;
}

bool HasDefaultHandler(DI_FUNCTION function)
{
    switch (function) {
    case DIF_UPDATEDRIVER_UI:
    case DIF_ADDPROPERTYPAGE_ADVANCED:
    case DIF_ADDPROPERTYPAGE_BASIC:
    case DIF_ADDREMOTEPROPERTYPAGE_ADVANCED:
    case DIF_NEWDEVICEWIZARD_PRESELECT:
    case DIF_NEWDEVICEWIZARD_SELECT:
    case DIF_NEWDEVICEWIZARD_PREANALYZE:
    case DIF_NEWDEVICEWIZARD_POSTANALYZE:
    case DIF_NEWDEVICEWIZARD_FINISHINSTALL:
    case DIF_TROUBLESHOOTER:
        return false;
    default:
        return true;
    }
}

}  // namespace

DWORD InstallEngine::DefaultHandler(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA element)
{
    if (!HasDefaultHandler(function)) return ERROR_DI_DO_DEFAULT;
    const std::u16string path = InstancePathOf(set, element);
    if (path.empty()) return NO_ERROR;
    switch (function) {
    case DIF_SELECTBESTCOMPATDRV: return SelectBestDriver(path);
    case DIF_INSTALLDEVICEFILES: return InstallFiles(path);
    case DIF_REGISTER_COINSTALLERS: return RegisterCoInstallers(path);
    case DIF_INSTALLDEVICE: return InstallSelectedDriver(path);
    case DIF_REMOVE: return RemoveDeviceKeys(set, element, path);
    case DIF_PROPERTYCHANGE: return setupapi::DefaultPropertyChange(set, element);
    case DIF_DESTROYPRIVATEDATA: ForgetSelection(path); return NO_ERROR;
    default: return NO_ERROR;
    }
}

DWORD InstallEngine::SelectBestDriver(const std::u16string& instancePath)
{
    Registry& registry = m_machine.GetRegistry();
    const std::u16string key = DeviceKeyOf(instancePath);
    std::optional<DriverInstallInfo> driver =
        m_store.SelectDriver(RegistryStrings(registry.GetValue(key, u"HardwareID")), RegistryStrings(registry.GetValue(key, u"CompatibleIDs")));
    if (!driver) return ERROR_NO_COMPAT_DRIVERS;
    std::lock_guard lock(m_mutex);
    m_selected[UpperAscii(instancePath)] = *driver;
    return NO_ERROR;
}

void InstallEngine::ForgetSelection(const std::u16string& instancePath)
{
    std::lock_guard lock(m_mutex);
    m_selected.erase(UpperAscii(instancePath));
}

DWORD InstallEngine::InstallFiles(const std::u16string& instancePath)
{
    std::optional<DriverInstallInfo> driver = SelectedDriver(instancePath);
    if (!driver) return ERROR_NO_DRIVER_SELECTED;
    return RunCopyFiles(m_machine, *driver->inf, driver->installSection, *driver->files);
}

DWORD InstallEngine::RegisterCoInstallers(const std::u16string& instancePath)
{
    std::optional<DriverInstallInfo> driver = SelectedDriver(instancePath);
    if (!driver) return ERROR_NO_DRIVER_SELECTED;
    Registry& registry = m_machine.GetRegistry();
    const std::u16string driverKey = ClassKey(EnsureDriverKey(registry, instancePath, driver->classGuid));
    const std::u16string section = driver->installSection + u".CoInstallers";
    if (DWORD error = RunCopyFiles(m_machine, *driver->inf, section, *driver->files)) return error;
    return RunAddReg(m_machine, *driver->inf, section, driverKey);
}

DWORD InstallEngine::InstallSelectedDriver(const std::u16string& instancePath)
{
    std::optional<DriverInstallInfo> driver = SelectedDriver(instancePath);
    if (!driver) return ERROR_NO_DRIVER_SELECTED;
    Registry& registry = m_machine.GetRegistry();
    const std::u16string device = DeviceKeyOf(instancePath);
    const std::u16string driverKey = ClassKey(EnsureDriverKey(registry, instancePath, driver->classGuid));
    registry.SetString(device, u"ClassGUID", driver->classGuid);
    registry.SetString(device, u"Class", driver->className);
    registry.SetString(device, u"Mfg", driver->manufacturer);
    registry.SetString(device, u"DeviceDesc", driver->description);
    if (!driver->service.empty()) registry.SetString(device, u"Service", driver->service);
    registry.SetString(driverKey, u"DriverDesc", driver->description);
    registry.SetString(driverKey, u"ProviderName", driver->provider);
    registry.SetString(driverKey, u"InfPath", driver->inf->Name());
    registry.SetString(driverKey, u"InfSection", driver->installSection);
    registry.SetString(driverKey, u"MatchingDeviceId", driver->matchingId);
    registry.CreateKey(HardwareKeyOf(instancePath));
    if (DWORD error = RunAddReg(m_machine, *driver->inf, driver->installSection, driverKey)) return error;
    if (DWORD error = RunAddReg(m_machine, *driver->inf, driver->installSection + u".HW", HardwareKeyOf(instancePath))) return error;
    if (DWORD error = RunAddService(m_machine, *driver->inf, driver->installSection)) return error;

    // The device runs its new driver: a running one is stopped first.
    PnpManager& pnp = m_machine.GetPnp();
    std::optional<DeviceNodeInfo> node = pnp.FindNode(instancePath);
    if (!node) return NO_ERROR;  // not present: it starts when it next arrives
    if (node->state == DeviceNodeState::Started && !NT_SUCCESS(pnp.QueryRemoveDevice(node->pdo))) return NO_ERROR;
    pnp.StartDevice(node->pdo);
    // The PnP manager writes the texts the device reports when it makes its keys; the INF's hold.
    registry.SetString(device, u"DeviceDesc", driver->description);
    registry.SetString(driverKey, u"DriverDesc", driver->description);
    return NO_ERROR;
}

DWORD InstallEngine::RemoveDeviceKeys(HDEVINFO set, PSP_DEVINFO_DATA element, const std::u16string& instancePath)
{
    PnpManager& pnp = m_machine.GetPnp();
    std::optional<DeviceNodeInfo> node = pnp.FindNode(instancePath);
    if (node && node->state == DeviceNodeState::Started && !NT_SUCCESS(pnp.QueryRemoveDevice(node->pdo))) {
        // A device that will not stop goes at the next restart, as Windows marks it.
        SP_DEVINSTALL_PARAMS_W params{};
        params.cbSize = sizeof params;
        if (SetupDiGetDeviceInstallParamsW(set, element, &params)) {
            params.Flags |= DI_NEEDREBOOT;
            SetupDiSetDeviceInstallParamsW(set, element, &params);
        }
        return NO_ERROR;
    }
    Registry& registry = m_machine.GetRegistry();
    const std::u16string driverKey = RegistryString(registry.GetValue(DeviceKeyOf(instancePath), u"Driver"));
    if (!driverKey.empty()) registry.DeleteTree(ClassKey(driverKey));
    registry.DeleteTree(DeviceKeyOf(instancePath));
    ForgetSelection(instancePath);
    return NO_ERROR;
}

}  // namespace emu::setup
