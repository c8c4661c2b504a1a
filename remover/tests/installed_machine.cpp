#include "installed_machine.h"

#include <fileapi.h>
#include <fileapi_disk.h>
#include <msports.h>
#include <setupapi.h>
#include <winsvc.h>

#include <cstring>

#include "cm/registry.h"
#include "install_engine.h"
#include "machine.h"
#include "pnp/pnp_manager.h"
#include "system_profile.h"

namespace removertest {

namespace {

std::u16string StringOf(const std::optional<emu::RegistryValue>& value)
{
    if (!value) return {};
    std::u16string text(value->data.size() / 2, u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * 2);
    return text.substr(0, text.find(u'\0'));
}

}  // namespace

emu::MachineOptions InstalledMachineTest::Options() const
{
    emu::MachineOptions options;
    options.windows = m_windows;
    return options;
}

void InstalledMachineTest::SetUpMachine(const MachineSetup& setup)
{
    m_windows = setup.windows;
    MachineTest::SetUp();
    emu::process::SystemProfile::Current().SetWindowsDirectory(setup.windowsFolder);
    m_windowsFolder = setup.windowsFolder;
    if (setup.builtInComPort) AddBuiltInComPort();
    m_installation = std::make_unique<cvinstall::InfInstallation>(
        machine(), cvinstall::InfPackageFiles{CV_PACKAGE_INF_DIR, ENUMDRV_IMAGE, PORT_STAND_IN_IMAGE});
    m_devices = m_installation->PlugSinglePortAdapter();
    ASSERT_EQ(m_devices.size(), 2u);
    ASSERT_TRUE(m_installation->Engine().Failures().empty());
    const std::u16string portName =
        StringOf(machine().GetRegistry().GetValue(emu::setup::HardwareKeyOf(m_devices[1]), u"PortName"));
    ASSERT_EQ(portName.substr(0, 3), u"COM");
    m_comNumber = static_cast<DWORD>(std::stoul(std::string(portName.begin() + 3, portName.end())));
    // What the port's co-installer and driver leave: the port's default settings and its DOS name.
    HKEY hPorts = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPortsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hPorts, nullptr), ERROR_SUCCESS);
    const std::u16string valueName = portName + u":", settings = u"9600,n,8,1";
    RegSetValueExW(hPorts, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(settings.c_str()),
                   static_cast<DWORD>((settings.size() + 1) * 2));
    RegCloseKey(hPorts);
    DefineDosDeviceW(DDD_RAW_TARGET_PATH, portName.c_str(), u"\\Device\\CvUsbCom0");
    // The package's Add/Remove Programs entry (no installer step writes it).
    machine().GetRegistry().CreateKey(u"\\Registry\\Machine\\" + std::u16string(kAddRemoveKey));
}

void InstalledMachineTest::AddBuiltInComPort()
{
    const std::u16string instancePath = u"ACPI\\PNP0501\\1";
    AddPhantomDevice(machine(), instancePath, u"ACPI\\PNP0501", u"Ports", u"Serial");
    emu::Registry& registry = machine().GetRegistry();
    const std::u16string driver = u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0000";
    registry.SetString(emu::setup::DeviceKeyOf(instancePath), u"Driver", driver);
    const std::u16string driverKey = std::u16string(emu::kClassKeyPath) + u"\\" + driver;
    registry.CreateKey(driverKey);
    registry.SetString(driverKey, u"DriverDesc", u"Communications Port");
    registry.SetString(driverKey, u"InfPath", u"msports.inf");
    registry.SetString(driverKey, u"MatchingDeviceId", u"acpi\\pnp0501");
}

void InstalledMachineTest::TearDown()
{
    m_installation.reset();
    MachineTest::TearDown();
}

bool InstalledMachineTest::KeyExists(const std::u16string& subKeyOfHklm)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKeyOfHklm.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) return false;
    RegCloseKey(hKey);
    return true;
}

bool InstalledMachineTest::FileExists(const std::u16string& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool InstalledMachineTest::ServiceExists(const std::u16string& name)
{
    SC_HANDLE hManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!hManager) return false;
    SC_HANDLE hService = OpenServiceW(hManager, name.c_str(), SERVICE_QUERY_STATUS);
    if (hService) CloseServiceHandle(hService);
    CloseServiceHandle(hManager);
    return hService != nullptr;
}

bool InstalledMachineTest::ComNumberClaimed(DWORD number)
{
    HCOMDB hComDb = nullptr;
    if (ComDBOpen(&hComDb) != ERROR_SUCCESS) return false;
    std::vector<BYTE> usage(COMDB_MIN_PORTS_ARBITRATED, 0);
    DWORD dwMax = 0;
    ComDBGetCurrentPortUsage(hComDb, usage.data(), static_cast<DWORD>(usage.size()), CDB_REPORT_BYTES, &dwMax);
    ComDBClose(hComDb);
    return number >= 1 && number <= usage.size() && usage[number - 1] != 0;
}

std::u16string InstalledMachineTest::DriverKeyOf(const std::u16string& instancePath)
{
    const std::u16string driver = StringOf(machine().GetRegistry().GetValue(emu::setup::DeviceKeyOf(instancePath), u"Driver"));
    return driver.empty() ? driver : u"SYSTEM\\CurrentControlSet\\Control\\Class\\" + driver;
}

std::vector<uint8_t> InstalledMachineTest::KeyDescriptor(const std::u16string& subKeyOfHklm)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKeyOfHklm.c_str(), 0, READ_CONTROL, &hKey) != ERROR_SUCCESS) return {};
    DWORD dwSize = 0;
    RegGetKeySecurity(hKey, DACL_SECURITY_INFORMATION, nullptr, &dwSize);
    std::vector<uint8_t> descriptor(dwSize);
    if (!dwSize || RegGetKeySecurity(hKey, DACL_SECURITY_INFORMATION, descriptor.data(), &dwSize) != ERROR_SUCCESS) descriptor.clear();
    RegCloseKey(hKey);
    return descriptor;
}

void AddPhantomDevice(emu::Machine& machine, const std::u16string& instancePath, const std::u16string& hardwareId,
                      const std::u16string& className, const std::u16string& service)
{
    emu::Registry& registry = machine.GetRegistry();
    const std::u16string key = emu::setup::DeviceKeyOf(instancePath);
    registry.CreateKey(key);
    std::u16string ids = hardwareId;
    ids.push_back(u'\0');
    registry.SetString(key, u"HardwareID", ids, REG_MULTI_SZ);
    if (!className.empty()) registry.SetString(key, u"Class", className);
    if (!service.empty()) registry.SetString(key, u"Service", service);
}

}  // namespace removertest
