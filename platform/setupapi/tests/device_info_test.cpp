// SetupAPI's device information sets over the PnP manager's tree: enumeration, interfaces,
// registry properties, device keys and property-change requests.
#include <cfgmgr32.h>

#include <cstring>
#include <vector>

#include "rtl/rtl_text.h"
#include "setupapi_control.h"
#include "setupapi_fixture.h"

namespace emu::testing {
namespace {

GUID PortsClass()
{
    GUID guid{};
    std::u16string text(kTestPortsClass);
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text.c_str());
    RtlGUIDFromString(&string, &guid);
    return guid;
}

std::vector<std::u16string> Instances(HDEVINFO set)
{
    std::vector<std::u16string> instances;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &data); ++index) {
        WCHAR id[200];
        EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(set, &data, id, 200, nullptr));
        instances.emplace_back(id);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    return instances;
}

TEST_F(SetupApiTest, ClassDevsListPresentDevicesOfAClassOrOfAll)
{
    const GUID ports = PortsClass();
    HDEVINFO all = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(all, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Instances(all).size(), 3u);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(all));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(all));

    HDEVINFO portsOnly = SetupDiGetClassDevsW(&ports, nullptr, nullptr, DIGCF_PRESENT);
    std::vector<std::u16string> expected;
    for (const DeviceNodeInfo& child : Children()) expected.push_back(child.instancePath);
    EXPECT_EQ(Instances(portsOnly), expected);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(portsOnly, 0, &data));
    EXPECT_TRUE(IsEqualGUID(data.ClassGuid, ports));
    data.cbSize = 4;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(portsOnly, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    SetupDiDestroyDeviceInfoList(portsOnly);

    // A device the registry remembers but that is gone shows only without DIGCF_PRESENT.
    Reg().CreateKey(std::u16string(kEnumKeyPath) + u"\\PNPTEST\\CHILD\\OLD");
    HDEVINFO remembered = SetupDiGetClassDevsW(nullptr, u"PNPTEST", nullptr, DIGCF_ALLCLASSES);
    EXPECT_EQ(Instances(remembered).size(), 3u);
    SetupDiDestroyDeviceInfoList(remembered);

    setupapi::FailNextCall(setupapi::SetupCall::GetClassDevs, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(SetupDiGetClassDevsW(&ports, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

TEST_F(SetupApiTest, InterfaceDetailGivesTheOpenablePathInTwoCalls)
{
    const std::u16string child = Children()[0].instancePath;
    RegisterInterface(Children()[0].pdo, kTestInterfaceClass, u"CVGENDRV_Ref");
    HDEVINFO set = SetupDiGetClassDevsW(&kTestInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA entry{};
    entry.cbSize = sizeof entry;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kTestInterfaceClass, 0, &entry));
    EXPECT_EQ(entry.Flags, static_cast<DWORD>(SPINT_ACTIVE));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kTestInterfaceClass, 1, &entry));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &entry, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<uint8_t> buffer(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
    detail->cbSize = 1;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &entry, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &entry, detail, required, nullptr, &device));
    std::u16string path(detail->DevicePath);
    EXPECT_EQ(path.substr(0, 4), u"\\\\?\\");
    EXPECT_EQ(path.substr(path.rfind(u'\\') + 1), u"CVGENDRV_Ref");
    WCHAR id[200];
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(set, &device, id, 200, nullptr));
    EXPECT_TRUE(EqualNoCase(id, child));
    // The path opens the device.
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, RegistryPropertiesAreRawValuesOfTheDeviceKey)
{
    const DeviceNodeInfo child = Children()[0];
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data;
    ASSERT_TRUE(FindElement(set, child.instancePath, data));

    DWORD type = 0, required = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, &type, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    const char16_t name[] = u"Test Port (COM3)";
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, reinterpret_cast<const BYTE*>(name),
                                                  sizeof name));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, &type, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, sizeof name);
    std::vector<BYTE> buffer(required);
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, &type, buffer.data(), required, nullptr));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(0, std::memcmp(buffer.data(), name, sizeof name));

    // The PnP manager's own values read back with their types.
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_DRIVER, &type, buffer.data(), 0, &required) ||
                GetLastError() == ERROR_INSUFFICIENT_BUFFER);
    buffer.resize(required);
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_DRIVER, &type, buffer.data(), required, nullptr));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer.data())), child.driverKey);
    ASSERT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, 3, &type, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, TheDeviceKeyIsTheOneTheDriverOpens)
{
    const DeviceNodeInfo child = Children()[0];
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data;
    ASSERT_TRUE(FindElement(set, child.instancePath, data));
    HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_WRITE);
    ASSERT_NE(key, static_cast<HKEY>(INVALID_HANDLE_VALUE));
    const char16_t port[] = u"COM9";
    ASSERT_EQ(RegSetValueExW(key, u"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port), sizeof port), ERROR_SUCCESS);
    RegCloseKey(key);

    HANDLE kernelKey = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(child.pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &kernelKey), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"PortName");
    std::vector<uint8_t> info(64);
    ULONG length = 0;
    EXPECT_EQ(ZwQueryValueKey(kernelKey, &name, KeyValuePartialInformation, info.data(), 64, &length), STATUS_SUCCESS);
    ZwClose(kernelKey);
    EXPECT_EQ(0, std::memcmp(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(info.data())->Data, port, sizeof port));

    setupapi::FailNextCall(setupapi::SetupCall::OpenDevRegKey, ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ), static_cast<HKEY>(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    EXPECT_NE(key, static_cast<HKEY>(INVALID_HANDLE_VALUE));
    RegCloseKey(key);
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, PropertyChangeDisablesEnablesAndRestartsTheDevice)
{
    const DeviceNodeInfo child = Children()[1];
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data;
    ASSERT_TRUE(FindElement(set, child.instancePath, data));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_CLASSINSTALL_PARAMS));

    auto request = [&](DWORD change) {
        SP_PROPCHANGE_PARAMS params{};
        params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        params.StateChange = change;
        params.Scope = DICS_FLAG_GLOBAL;
        EXPECT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params));
        EXPECT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
        return Pnp().FindNode(child.instancePath)->state;
    };
    EXPECT_EQ(request(DICS_DISABLE), DeviceNodeState::Removed);
    DEVINST number = 0;
    std::u16string id = child.instancePath;
    ASSERT_EQ(CM_Locate_DevNodeW(&number, id.data(), 0), static_cast<CONFIGRET>(CR_SUCCESS));
    ULONG status = 0, problem = 0;
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, number, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_DISABLED));
    EXPECT_EQ(request(DICS_ENABLE), DeviceNodeState::Started);
    EXPECT_EQ(request(DICS_PROPCHANGE), DeviceNodeState::Started);

    // A stack that refuses to go keeps running, and the request asks for a restart.
    Reg().SetDword(std::u16string(kEnumKeyPath) + u"\\" + child.instancePath + u"\\Device Parameters",
                   u"RefuseQueryRemove", 1);
    EXPECT_EQ(request(DICS_DISABLE), DeviceNodeState::Started);
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &data, &params));
    EXPECT_TRUE(params.Flags & DI_NEEDRESTART);
    const auto changes = setupapi::PropertyChanges();
    ASSERT_EQ(changes.size(), 4u);
    EXPECT_EQ(changes[0].stateChange, static_cast<DWORD>(DICS_DISABLE));
    EXPECT_FALSE(changes[3].succeeded);
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, InstallParametersAreKeptPerElementAndChecked)
{
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA first, second;
    ASSERT_TRUE(FindElement(set, Children()[0].instancePath, first));
    ASSERT_TRUE(FindElement(set, Children()[1].instancePath, second));
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &first, &params));
    params.FlagsEx |= DI_FLAGSEX_PROPCHANGE_PENDING;
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsW(set, &first, &params));
    SP_DEVINSTALL_PARAMS_W other{};
    other.cbSize = sizeof other;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &second, &other));
    EXPECT_EQ(other.FlagsEx, 0u);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &first, &other));
    EXPECT_EQ(other.FlagsEx, static_cast<DWORD>(DI_FLAGSEX_PROPCHANGE_PENDING));
    other.cbSize = 8;
    EXPECT_FALSE(SetupDiSetDeviceInstallParamsW(set, &first, &other));

    SP_PROPCHANGE_PARAMS change{};
    change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    change.StateChange = DICS_ENABLE;
    change.Scope = DICS_FLAG_GLOBAL;
    setupapi::FailNextCall(setupapi::SetupCall::SetClassInstallParams, ERROR_INVALID_FLAGS);
    EXPECT_FALSE(SetupDiSetClassInstallParamsW(set, &first, &change.ClassInstallHeader, sizeof change));
    change.Scope = DICS_FLAG_CONFIGSPECIFIC;
    EXPECT_TRUE(SetupDiSetClassInstallParamsW(set, &first, &change.ClassInstallHeader, sizeof change));
    EXPECT_FALSE(SetupDiSetClassInstallParamsW(set, &first, &change.ClassInstallHeader, sizeof change - 1));
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace
}  // namespace emu::testing
