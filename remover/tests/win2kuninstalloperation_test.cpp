// The Windows 2000-and-later operation on a machine with the package installed from its INF files
// and an adapter plugged: the searches find exactly the package's devices, services, driver keys,
// device keys, files, INF copies and COM number, and the removal leaves none of them behind. Run on
// Windows 7, XP and 2000, with the Windows folder spelled in different cases.
#include <gtest/gtest.h>

#include <fileapi.h>

#include <algorithm>
#include <set>

#include "installed_machine.h"
#include "inf_file.h"
#include "win2kuninstalloperation.h"

namespace removertest {
namespace {

std::u16string Upper(std::u16string text)
{
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    return text;
}

std::set<std::u16string> UpperSet(const CTfStringTable& table)
{
    std::set<std::u16string> set;
    for (const CString& entry : table) set.insert(Upper(std::u16string(entry.GetString())));
    return set;
}

// "USB\VID_0403&PID_6001\5&1" -> "USB\VID_0403&PID_6001"
std::u16string DeviceOf(const std::u16string& instancePath)
{
    return instancePath.substr(0, instancePath.rfind(u'\\'));
}

struct Preset {
    const char* name;
    emu::WindowsVersion windows;
    const char16_t* windowsFolder;
    bool windows2000;
};

void PrintTo(const Preset& preset, std::ostream* out) { *out << preset.name; }

const Preset kPresets[] = {
    {"Windows7", emu::WindowsVersion::Win7, u"C:\\WINDOWS", false},
    {"WindowsXpMixedCaseFolder", emu::WindowsVersion::WinXP, u"C:\\Windows", false},
    {"Windows2000", emu::WindowsVersion::Win2000, u"C:\\WinNT", true},
};

class Win2kOperationTest : public InstalledMachineTest, public ::testing::WithParamInterface<Preset> {
protected:
    void SetUp() override { SetUpMachine({GetParam().windows, GetParam().windowsFolder, true}); }
    // The operation's device information set goes while the machine still runs.
    void TearDown() override
    {
        m_holder.reset();
        InstalledMachineTest::TearDown();
    }

    void Search()
    {
        m_operation.SearchProducts(nullptr);
        m_operation.SearchDriverFiles(nullptr);
        m_operation.SearchRegistryEntries(nullptr);
    }
    // As the wizard runs it: the searches, the port check, the removals.
    void Uninstall()
    {
        Search();
        ASSERT_TRUE(m_operation.ArePortsFree());
        const CTfWin2kUninstallData& data = m_operation.Data();
        // Each step advances once per item.
        const int products = data.m_Devices.GetCount() + static_cast<int>(data.m_Services.size());
        EXPECT_TRUE(m_operation.UninstallProducts(nullptr));
        EXPECT_EQ(m_operation.LastStep().Advances(), products);
        EXPECT_TRUE(m_operation.UninstallDriverFiles(nullptr));
        EXPECT_EQ(m_operation.LastStep().Advances(), m_operation.LastStep().Upper());
        EXPECT_TRUE(m_operation.UninstallRegistryEntries(nullptr));
        EXPECT_EQ(m_operation.LastStep().Advances(), static_cast<int>(data.m_RegistryKeys.size()));
        EXPECT_EQ(m_operation.IsRestartNeeded(), 0);
    }

    std::u16string Inf(const std::u16string& name) { return WindowsFolder() + u"\\Inf\\" + name; }
    std::vector<std::u16string> DriverImages()
    {
        std::u16string drivers = WindowsFolder() + u"\\system32\\Drivers\\";
        return {drivers + u"Enumdrv39.sys", drivers + u"Portdrv39.sys"};
    }
    // The package's keys below HKLM: its services and their event-log sources, both devices'
    // driver keys and device keys, and its Add/Remove Programs entry.
    std::set<std::u16string> PackageKeys()
    {
        std::set<std::u16string> keys;
        for (const char16_t* service : {u"Enumdrv39", u"Portdrv39"})
            for (std::u16string key : {u"SYSTEM\\CurrentControlSet\\Services\\" + std::u16string(service),
                                       u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\" + std::u16string(service)})
                if (KeyExists(key)) keys.insert(Upper(key));
        for (const std::u16string& device : Devices()) {
            keys.insert(Upper(DriverKeyOf(device)));
            keys.insert(Upper(u"SYSTEM\\CurrentControlSet\\Enum\\" + DeviceOf(device)));
        }
        keys.insert(Upper(kAddRemoveKey));
        return keys;
    }

    std::unique_ptr<CTfWin2kUninstallOperation> m_holder = std::make_unique<CTfWin2kUninstallOperation>();
    CTfWin2kUninstallOperation& m_operation = *m_holder;
};

TEST_P(Win2kOperationTest, TheSearchesFindExactlyThePackage)
{
    Search();
    const CTfWin2kUninstallData& data = m_operation.Data();

    std::set<std::u16string> devices;
    for (int i = 1; i <= data.m_Devices.GetCount(); ++i) {
        WCHAR id[512] = {};
        CTfDeviceRecord* record = data.m_Devices.GetAt(i);
        ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(data.m_hDevInfo, &record->m_DevInfoData, id, 512, nullptr));
        devices.insert(Upper(id));
    }
    EXPECT_EQ(devices, (std::set<std::u16string>{Upper(Devices()[0]), Upper(Devices()[1])}));

    const std::set<std::u16string> services = UpperSet(data.m_Services);
    EXPECT_TRUE(services.count(u"ENUMDRV39") && services.count(u"PORTDRV39"));
    EXPECT_FALSE(services.count(u"SERIAL"));  // the built-in port's

    for (const std::u16string& key : PackageKeys()) EXPECT_TRUE(KeyExists(key)) << emu::setup::Narrow(key);
    EXPECT_EQ(UpperSet(data.m_RegistryKeys), PackageKeys());

    std::set<std::u16string> files;
    for (const CTfStringTable* table : {&data.m_OtherFiles, &data.m_FurtherFiles})
        for (const CString& path : *table)
            if (FileExists(path.GetString())) files.insert(Upper(path.GetString()));
    std::set<std::u16string> expected;
    for (const std::u16string& path : Installation().PackageFiles()) expected.insert(Upper(path));
    for (const std::u16string& path : DriverImages()) expected.insert(Upper(path));
    EXPECT_EQ(files, expected);

    std::set<std::u16string> infCopies;
    for (const std::u16string& name : Installation().OemInfNames()) infCopies.insert(Upper(Inf(name)));
    ASSERT_EQ(infCopies.size(), 2u);
    // Windows 2000 has no SetupUninstallOEMInfW: there the copies are plain files to delete.
    const std::set<std::u16string> infFiles = UpperSet(data.m_InfFiles);
    std::set<std::u16string> oemInfs = UpperSet(data.m_OemInfNames);
    for (const char16_t* name : {u"ENUMDRV.INF", u"CVUVCP.INF", u"PORTDRV.INF"}) EXPECT_EQ(oemInfs.erase(name), 1u);
    EXPECT_EQ(GetParam().windows2000 ? infFiles : oemInfs, infCopies);
    EXPECT_TRUE((GetParam().windows2000 ? oemInfs : infFiles).empty());

    EXPECT_EQ(data.m_ComPorts, std::vector<DWORD>{ComNumber()});
}

TEST_P(Win2kOperationTest, TheRemovalLeavesNothingOfThePackage)
{
    const std::set<std::u16string> keys = PackageKeys();
    const std::vector<uint8_t> portsKeyList = KeyDescriptor(kPortsKey);
    ASSERT_FALSE(portsKeyList.empty());
    Uninstall();

    for (const std::u16string& key : keys) EXPECT_FALSE(KeyExists(key)) << emu::setup::Narrow(key);
    for (const std::u16string& device : Devices())
        EXPECT_FALSE(KeyExists(u"SYSTEM\\CurrentControlSet\\Enum\\" + device)) << emu::setup::Narrow(device);
    EXPECT_FALSE(ServiceExists(u"Enumdrv39"));
    EXPECT_FALSE(ServiceExists(u"Portdrv39"));
    std::vector<std::u16string> files = Installation().PackageFiles();
    for (const std::u16string& path : DriverImages()) files.push_back(path);
    for (const std::u16string& name : Installation().OemInfNames()) {
        files.push_back(Inf(name));
        files.push_back(Inf(name.substr(0, name.size() - 4) + u".pnf"));
    }
    for (const std::u16string& path : files) EXPECT_FALSE(FileExists(path)) << emu::setup::Narrow(path);

    EXPECT_FALSE(ComNumberClaimed(ComNumber()));
    const std::u16string portName = u"COM" + emu::setup::Widen(std::to_string(ComNumber()));
    WCHAR target[256] = {};
    EXPECT_EQ(QueryDosDeviceW(portName.c_str(), target, 256), 0u);
    HKEY hPorts = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortsKey, 0, KEY_READ, &hPorts), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(hPorts, (portName + u":").c_str(), nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    RegCloseKey(hPorts);
    // The Ports key stays, with the access list it had.
    EXPECT_EQ(KeyDescriptor(kPortsKey), portsKeyList);
    // The built-in port is not the package's.
    EXPECT_TRUE(KeyExists(u"SYSTEM\\CurrentControlSet\\Enum\\ACPI\\PNP0501\\1"));
}

INSTANTIATE_TEST_SUITE_P(Presets, Win2kOperationTest, ::testing::ValuesIn(kPresets),
                         [](const ::testing::TestParamInfo<Preset>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace removertest
