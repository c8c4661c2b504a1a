// What the Windows 2000-and-later operation must not do on an installed machine: read another
// device's INF, take a device's foreign service (and its image) along, overrun a value that has
// no terminator, or leave a key's access list widened.
#include <gtest/gtest.h>

#include <securitybaseapi.h>

#include <cstring>
#include <fstream>
#include <set>

#include "cm/registry.h"
#include "file_system.h"
#include "inf_file.h"
#include "install_engine.h"
#include "installed_machine.h"
#include "io/driver_loader.h"
#include "win2kuninstalloperation.h"

namespace removertest {
namespace {

constexpr char16_t kUsbClassKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}";

std::vector<uint8_t> Utf16Bytes(const std::u16string& text)
{
    std::vector<uint8_t> bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

// The text padded with the character to exactly that many bytes, without a terminator.
std::vector<uint8_t> Unterminated(std::u16string text, char16_t pad, size_t bytes)
{
    text.resize(bytes / 2, pad);
    return Utf16Bytes(text);
}

class Win2kOperationGuardTest : public InstalledMachineTest {
protected:
    void TearDown() override
    {
        m_operation.reset();
        InstalledMachineTest::TearDown();
    }

    CTfWin2kUninstallOperation& Operation() { return *m_operation; }
    void Search()
    {
        m_operation->SearchProducts(nullptr);
        m_operation->SearchDriverFiles(nullptr);
        m_operation->SearchRegistryEntries(nullptr);
    }
    void Uninstall()
    {
        Search();
        m_operation->UninstallProducts(nullptr);
        m_operation->UninstallDriverFiles(nullptr);
        m_operation->UninstallRegistryEntries(nullptr);
    }
    std::set<std::u16string> FoundDevices()
    {
        std::set<std::u16string> found;
        const CTfWin2kUninstallData& data = m_operation->Data();
        for (int i = 1; i <= data.m_Devices.GetCount(); ++i) {
            WCHAR id[512] = {};
            if (SetupDiGetDeviceInstanceIdW(data.m_hDevInfo, &data.m_Devices.GetAt(i)->m_DevInfoData, id, 512, nullptr))
                found.insert(id);
        }
        return found;
    }
    emu::Registry& Registry() { return machine().GetRegistry(); }

    std::unique_ptr<CTfWin2kUninstallOperation> m_operation = std::make_unique<CTfWin2kUninstallOperation>();
};

// Each device's INF is the one its own driver key names, not the first of its setup class (here a
// built-in port's msports.inf).
TEST_F(Win2kOperationGuardTest, ADevicesInfIsTheOneItsOwnDriverKeyNames)
{
    SetUpMachine({emu::WindowsVersion::Win7, u"C:\\WINDOWS", true});
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    for (size_t i = 0; i < 2; ++i) {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, Devices()[i].c_str(), nullptr, 0, &data));
        CCVUninstallRegInfo info(set, data);
        CString path;
        ASSERT_TRUE(info.GetInfPath(path));
        EXPECT_EQ(std::u16string(path.GetString()), WindowsFolder() + u"\\Inf\\" + Installation().OemInfNames()[i]);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// An adapter bound to another package's driver (a generic serial driver, the multifunction driver)
// is removed, but that driver's service and image stay for the other devices that use it.
TEST_F(Win2kOperationGuardTest, AMatchingDeviceOfAnotherDriverKeepsThatDriver)
{
    SetUpMachine({});
    struct Foreign {
        const char16_t* instancePath;
        const char16_t* className;
        const char16_t* service;
    } foreign[] = {{u"USB\\VID_0403&PID_6001\\FOREIGN1", u"Ports", u"usbser"},
                   {u"USB\\VID_0403&PID_6010\\FOREIGN2", u"USB", u"mf"}};
    for (const Foreign& device : foreign) {
        const std::u16string image = std::u16string(device.service) + u".sys";
        machine().GetDrivers().InstallImage(image, PORT_STAND_IN_IMAGE);
        machine().GetDrivers().CreateService(device.service, image);
        const std::u16string path(device.instancePath);
        AddPhantomDevice(machine(), path, path.substr(0, path.rfind(u'\\')), device.className, device.service);
    }
    Uninstall();
    for (const Foreign& device : foreign) {
        EXPECT_TRUE(ServiceExists(device.service)) << emu::setup::Narrow(device.service);
        EXPECT_TRUE(FileExists(WindowsFolder() + u"\\system32\\Drivers\\" + device.service + u".sys")) << emu::setup::Narrow(device.service);
    }
    EXPECT_FALSE(ServiceExists(u"Enumdrv39"));
}

// Registry data need not end with a terminator: values filling their buffers exactly are read
// within them (AddressSanitizer watches the reads).
TEST_F(Win2kOperationGuardTest, ValuesWithoutTerminatorsAreReadWithinTheirBuffers)
{
    SetUpMachine({});
    const std::u16string longId = u"USB\\VID_0403&PID_6001\\LONGID";
    AddPhantomDevice(machine(), longId, u"", u"USB", u"Enumdrv39");
    Registry().SetValue(emu::setup::DeviceKeyOf(longId), u"HardwareID", REG_MULTI_SZ,
                        Unterminated(u"USB\\VID_0403&PID_6001&X", u'X', 2048));
    const std::u16string driverKey = std::u16string(kUsbClassKey) + u"\\0099";
    Registry().CreateKey(driverKey);
    Registry().SetString(driverKey, u"DriverDesc", u"USB Serial Converter");
    Registry().SetValue(driverKey, u"MatchingDeviceId", REG_SZ, Unterminated(u"usb\\vid_0403&pid_6001", u'x', 520));
    const std::u16string longPort = u"PORTS\\PORTDRV23230\\LONGNAME";
    AddPhantomDevice(machine(), longPort, u"PORTS\\PORTDRV23230", u"Ports", u"Portdrv39");
    Registry().SetValue(emu::setup::HardwareKeyOf(longPort), u"PortName", REG_SZ, Unterminated(u"COM12", u' ', 520));
    Search();

    EXPECT_TRUE(FoundDevices().count(longId));
    std::set<std::u16string> keys;
    for (const CString& key : Operation().Data().m_RegistryKeys) keys.insert(key.GetString());
    EXPECT_TRUE(keys.count(u"SYSTEM\\CURRENTCONTROLSET\\CONTROL\\CLASS\\{36FC9E60-C465-11CF-8056-444553540000}\\0099"));
    const std::vector<DWORD>& ports = Operation().Data().m_ComPorts;
    EXPECT_EQ(std::set<DWORD>(ports.begin(), ports.end()), (std::set<DWORD>{ComNumber(), 12}));
}

// The SUBSYS rule reads at most the 8 digits that are there.
TEST_F(Win2kOperationGuardTest, TheSubsysRuleReadsOnlyTheDigitsThatAreThere)
{
    SetUpMachine({});
    struct Case {
        const char16_t* hardwareId;
        bool found;
    } cases[] = {{u"USB\\VID_0403&PID_6001&SUBSYS_12", true},
                 {u"USB\\VID_0403&PID_6001&SUBSYS_0800ABCD", false},
                 {u"USB\\VID_0403&PID_6001&SUBSYS_0BFFFFFF", false},
                 {u"USB\\VID_0403&PID_6001&SUBSYS_0C000000", true},
                 {u"USB\\VID_0403&PID_6001&SUBSYS_", true}};
    std::vector<std::u16string> paths;
    for (const Case& c : cases) {
        paths.push_back(u"USB\\VID_0403&PID_6001\\SUBSYS" + emu::setup::Widen(std::to_string(paths.size())));
        AddPhantomDevice(machine(), paths.back(), c.hardwareId, u"USB", u"Enumdrv39");
    }
    Search();
    const std::set<std::u16string> found = FoundDevices();
    for (size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(found.count(paths[i]) == 1, cases[i].found) << emu::setup::Narrow(cases[i].hardwareId);
}

// An access list with the given entries: {SID type, allowed or denied, rights}.
struct Entry {
    WELL_KNOWN_SID_TYPE sid;
    bool allowed;
    DWORD rights;
};

void SetKeyList(const std::u16string& key, std::initializer_list<Entry> entries)
{
    BYTE aclBytes[512];
    auto* acl = reinterpret_cast<PACL>(aclBytes);
    ASSERT_TRUE(InitializeAcl(acl, sizeof aclBytes, ACL_REVISION));
    for (const Entry& entry : entries) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof sid;
        ASSERT_TRUE(CreateWellKnownSid(entry.sid, nullptr, sid, &size));
        ASSERT_TRUE(entry.allowed ? AddAccessAllowedAce(acl, ACL_REVISION, entry.rights, sid)
                                  : AddAccessDeniedAce(acl, ACL_REVISION, entry.rights, sid));
    }
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
    HKEY hKey = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, WRITE_DAC, &hKey), ERROR_SUCCESS);
    EXPECT_EQ(RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION, &descriptor), ERROR_SUCCESS);
    RegCloseKey(hKey);
}

// A key whose deletion fails (a subkey refuses it) keeps the access list it had: the Remover
// widens it for Administrators only while it tries.
TEST_F(Win2kOperationGuardTest, AKeyThatCannotBeDeletedKeepsItsAccessList)
{
    SetUpMachine({});
    const std::u16string locked = std::u16string(kAddRemoveKey) + u"\\Locked";
    Registry().CreateKey(u"\\Registry\\Machine\\" + locked);
    SetKeyList(locked, {{WinBuiltinAdministratorsSid, false, DELETE}, {WinBuiltinAdministratorsSid, true, KEY_READ}});
    SetKeyList(kAddRemoveKey, {{WinBuiltinAdministratorsSid, true, KEY_READ | WRITE_DAC}, {WinLocalSystemSid, true, KEY_ALL_ACCESS}});
    const std::vector<uint8_t> before = KeyDescriptor(kAddRemoveKey);
    ASSERT_FALSE(before.empty());
    Uninstall();
    ASSERT_TRUE(KeyExists(kAddRemoveKey));
    EXPECT_EQ(KeyDescriptor(kAddRemoveKey), before);
}

// A Ports key that does not let Administrators change its values is widened for the port clean-up
// and gets its own list back afterwards.
TEST_F(Win2kOperationGuardTest, APortsKeyThatRefusesTheRemoverGetsItsListBack)
{
    SetUpMachine({});
    SetKeyList(kPortsKey, {{WinBuiltinAdministratorsSid, true, KEY_READ | WRITE_DAC}, {WinLocalSystemSid, true, KEY_ALL_ACCESS}});
    const std::vector<uint8_t> before = KeyDescriptor(kPortsKey);
    ASSERT_FALSE(before.empty());
    Uninstall();
    EXPECT_EQ(KeyDescriptor(kPortsKey), before);
    HKEY hPorts = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortsKey, 0, KEY_READ, &hPorts), ERROR_SUCCESS);
    const std::u16string value = u"COM" + emu::setup::Widen(std::to_string(ComNumber())) + u":";
    EXPECT_EQ(RegQueryValueExW(hPorts, value.c_str(), nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    RegCloseKey(hPorts);
}

// A machine that holds nothing of the package but an INF copy in the driver store: that copy alone
// is worth the file step, which then uninstalls it.
class Win2kOperationStoreOnlyTest : public emu::testing::MachineTest {};

TEST_F(Win2kOperationStoreOnlyTest, AnInfCopyAloneIsUninstalled)
{
    std::ifstream file(std::string(CV_PACKAGE_INF_DIR) + "/PORTDRV.INF", std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    emu::files::FileSystem::Current().WriteFile(u"C:\\Media\\PORTDRV.INF", bytes);
    WCHAR destination[260] = {};
    ASSERT_TRUE(SetupCopyOEMInfW(u"C:\\Media\\PORTDRV.INF", nullptr, SPOST_PATH, 0, destination, 260, nullptr, nullptr));
    ASSERT_TRUE(emu::files::FileSystem::Current().Exists(destination));
    auto operation = std::make_unique<CTfWin2kUninstallOperation>();
    operation->SearchProducts(nullptr);
    operation->SearchDriverFiles(nullptr);
    ASSERT_TRUE(operation->Data().m_InfFiles.empty() && operation->Data().m_FurtherFiles.empty());
    operation->UninstallProducts(nullptr);
    operation->UninstallDriverFiles(nullptr);
    EXPECT_EQ(operation->LastStep().Advances(), 1 + static_cast<int>(operation->Data().m_OtherFiles.size()));
    EXPECT_FALSE(emu::files::FileSystem::Current().Exists(destination));
    operation.reset();
}

}  // namespace
}  // namespace removertest
