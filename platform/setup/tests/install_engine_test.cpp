// The installation engine on a machine: a bus device and its two children installed from INF
// files through the whole request sequence, with a device co-installer in the chain.
#include <gtest/gtest.h>

#include <libloaderapi.h>
#include <msports.h>
#include <newdev.h>

#include "cm/registry.h"
#include "file_system.h"
#include "install_engine.h"
#include "io/driver_loader.h"
#include "machine_test.h"
#include "pnp/pnp_manager.h"
#include "root_device.h"
#include "test_driver.h"
#include "user_modules.h"

namespace emu::setup {
namespace {

using emu::testing::TestDriver;

constexpr std::u16string_view kBusInstance = u"ROOT\\PNPTESTBUS\\0000";

constexpr std::string_view kBusInf = R"([Version]
Signature = "$Windows NT$"
Class = System
ClassGuid = {4D36E97D-E325-11CE-BFC1-08002BE10318}
Provider = %Maker%
[DestinationDirs]
DefaultDestDir = 12
[Manufacturer]
%Maker% = Models, NTamd64
[Models.NTamd64]
%BusDesc% = Bus, ROOT\PNPTESTBUS
[Bus.NTamd64]
CopyFiles = @pnptest.sys
[Bus.NTamd64.HW]
AddReg = BusValues
[BusValues]
HKR,,ChildCount,0x00010001,2
HKR,Child1,Name,,"first"
HKR,,Ids,0x00010000,"A","B"
HKR,,Blob,0x00000001,01,ff
[Bus.NTamd64.Services]
AddService = PnpBus, 0x00000002, BusService
[BusService]
ServiceType = 1
StartType = 3
ErrorControl = 1
ServiceBinary = %12%\pnptest.sys
[Strings]
Maker = "Test Maker"
BusDesc = "Test Bus"
)";

constexpr std::string_view kPortInf = R"([Version]
Class = Ports
ClassGuid = {4D36E978-E325-11CE-BFC1-08002BE10318}
Provider = %Maker%
[DestinationDirs]
DefaultDestDir = 12
[Manufacturer]
%Maker% = Models
[Models]
%PortDesc% = Port, PNPTEST\CHILD
[Port]
CopyFiles = @pnptest2.sys
AddReg = PortDriverKey
[PortDriverKey]
HKR,,EnumPropPages32,,"Panel.dll,PropPage"
[Port.HW]
AddReg = PortValues
[PortValues]
HKR,,TypeOfDevice,0x00010001,27
[Port.CoInstallers]
AddReg = PortCoInstallers
[PortCoInstallers]
HKR,,CoInstallers32,0x00010000,"TestCo.dll,TestCoInstall"
[Port.Services]
AddService = PnpFun, 0x00000002, PortService
[PortService]
ServiceType = 1
StartType = 3
ServiceBinary = %12%\pnptest2.sys
[Strings]
Maker = "Test Maker"
PortDesc = "Test Port"
)";

// What the test co-installer saw, and what it answers.
struct CoCall {
    DI_FUNCTION function;
    std::u16string device;
    BOOL post;
    DWORD installResult;
    PVOID privateData;
    bool keysWritten;  // TypeOfDevice in the hardware key
};
std::vector<CoCall> g_coCalls;
int g_privateMarker = 0;
DWORD g_installPreAnswer = ERROR_DI_POSTPROCESSING_REQUIRED;
DWORD g_updateUiAnswer = NO_ERROR;

DWORD CALLBACK TestCoInstall(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA element, PCOINSTALLER_CONTEXT_DATA context)
{
    const std::u16string device = InstancePathOf(set, element);
    const bool written = Kernel::Current().GetRegistry().GetDword(HardwareKeyOf(device), u"TypeOfDevice").has_value();
    g_coCalls.push_back({function, device, context->PostProcessing, context->InstallResult, context->PrivateData, written});
    if (function == DIF_UPDATEDRIVER_UI) return g_updateUiAnswer;
    if (function != DIF_INSTALLDEVICE) return NO_ERROR;
    if (context->PostProcessing) return context->InstallResult;
    context->PrivateData = &g_privateMarker;
    return g_installPreAnswer;
}

class InstallEngineTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        g_coCalls.clear();
        g_installPreAnswer = ERROR_DI_POSTPROCESSING_REQUIRED;
        g_updateUiAnswer = NO_ERROR;
        m_engine = std::make_unique<InstallEngine>(machine());
        m_engine->AddInf(InfFile::Parse(u"TESTBUS.INF", kBusInf), {{u"pnptest.sys", EMU_PNPTEST_IMAGE}});
        m_engine->AddInf(InfFile::Parse(u"TESTPORT.INF", kPortInf), {{u"pnptest2.sys", EMU_PNPTEST2_IMAGE}});
        UserModules::Instance().InstallBuiltIn(u"TestCo.dll", {{"TestCoInstall", reinterpret_cast<void*>(&TestCoInstall)}});
        m_pdo = emu::testing::CreateRootPdo(m_root);
        ASSERT_NE(m_pdo, nullptr);
    }

    void TearDown() override
    {
        m_engine.reset();
        MachineTest::TearDown();
    }

    void PlugBus() { Pnp().AddRootDevice(kBusInstance, {u"ROOT\\PNPTESTBUS"}, m_pdo); }
    PnpManager& Pnp() { return machine().GetPnp(); }
    Registry& Reg() { return machine().GetRegistry(); }
    std::u16string String(const std::u16string& key, const char16_t* name)
    {
        std::optional<RegistryValue> value = Reg().GetValue(key, name);
        if (!value) return u"<none>";
        std::u16string text(reinterpret_cast<const char16_t*>(value->data.data()), value->data.size() / 2);
        while (!text.empty() && text.back() == 0) text.pop_back();
        return text;
    }

    std::unique_ptr<InstallEngine> m_engine;
    TestDriver m_root{u"RootBus"};
    PDEVICE_OBJECT m_pdo = nullptr;
};

// A new device waits without a driver until the queue runs; its installation writes the INF's
// values before the driver loads (the bus reads ChildCount at its start), and the children its start
// brings are queued, installed after their parent's requests have all finished.
TEST_F(InstallEngineTest, NewDevicesWaitForTheQueueAndTheirChildrenAreInstalledAfterThem)
{
    PlugBus();
    std::optional<DeviceNodeInfo> bus = Pnp().FindNode(kBusInstance);
    ASSERT_TRUE(bus);
    EXPECT_NE(bus->state, DeviceNodeState::Started);
    EXPECT_FALSE(machine().GetDrivers().IsLoaded(u"PnpBus"));
    EXPECT_EQ(m_engine->PendingInstalls(), 1u);

    EXPECT_EQ(m_engine->RunPendingInstalls(), 3u);
    EXPECT_TRUE(m_engine->Failures().empty());
    EXPECT_EQ(Pnp().FindNode(kBusInstance)->state, DeviceNodeState::Started);
    const std::vector<DeviceNodeInfo> children = Pnp().Children(m_pdo);
    ASSERT_EQ(children.size(), 2u);
    for (const DeviceNodeInfo& child : children) EXPECT_EQ(child.state, DeviceNodeState::Started);

    // The trace has every request of the bus before any of a child.
    const std::vector<DifRecord> trace = m_engine->Trace();
    size_t lastBus = 0, firstChild = trace.size();
    for (size_t i = 0; i < trace.size(); ++i) {
        if (trace[i].instancePath == kBusInstance) lastBus = i;
        else firstChild = std::min(firstChild, i);
    }
    EXPECT_LT(lastBus, firstChild);

    // The bus's keys as its INF describes them.
    const std::u16string hw = HardwareKeyOf(std::u16string(kBusInstance));
    EXPECT_EQ(Reg().GetDword(hw, u"ChildCount"), 2u);
    EXPECT_EQ(String(hw + u"\\Child1", u"Name"), u"first");
    EXPECT_EQ(Reg().GetValue(hw, u"Ids")->type, ULONG(REG_MULTI_SZ));
    EXPECT_EQ(Reg().GetValue(hw, u"Blob")->data, (std::vector<uint8_t>{0x01, 0xff}));
    const std::u16string device = DeviceKeyOf(std::u16string(kBusInstance));
    EXPECT_EQ(String(device, u"DeviceDesc"), u"Test Bus");
    EXPECT_EQ(String(device, u"Mfg"), u"Test Maker");
    EXPECT_EQ(String(device, u"Service"), u"PnpBus");
    EXPECT_EQ(String(DriverLoader::ServiceKeyPath(u"PnpBus"), u"ImagePath"), u"\\SystemRoot\\System32\\Drivers\\pnptest.sys");
    const std::u16string driverKey = std::u16string(kClassKeyPath) + u"\\" + String(device, u"Driver");
    EXPECT_EQ(String(driverKey, u"InfPath"), u"TESTBUS.INF");
    EXPECT_EQ(String(driverKey, u"InfSection"), u"Bus.NTamd64");
    EXPECT_EQ(String(driverKey, u"MatchingDeviceId"), u"ROOT\\PNPTESTBUS");
}

// The requests come in Windows' order; the device co-installer is called from
// DIF_INSTALLINTERFACES on (once registered), keeps its PrivateData into post-processing, and is
// given the default installation's result there, after the values are written.
TEST_F(InstallEngineTest, RequestsRunInWindowsOrderWithTheCoInstallerAroundTheClassInstaller)
{
    PlugBus();
    m_engine->RunPendingInstalls();
    const std::u16string port = Pnp().Children(m_pdo)[0].instancePath;
    std::vector<std::pair<DI_FUNCTION, DifPhase>> seen;
    for (const DifRecord& r : m_engine->Trace())
        if (r.instancePath == port) seen.emplace_back(r.function, r.phase);
    using P = DifPhase;
    const std::vector<std::pair<DI_FUNCTION, DifPhase>> expected = {
        {DIF_SELECTBESTCOMPATDRV, P::DefaultHandler},  // the class is known once a driver is
        {DIF_ALLOW_INSTALL, P::ClassInstaller},         {DIF_ALLOW_INSTALL, P::DefaultHandler},
        {DIF_INSTALLDEVICEFILES, P::ClassInstaller},    {DIF_INSTALLDEVICEFILES, P::DefaultHandler},
        {DIF_REGISTER_COINSTALLERS, P::ClassInstaller}, {DIF_REGISTER_COINSTALLERS, P::DefaultHandler},
        {DIF_INSTALLINTERFACES, P::PreProcessing},      {DIF_INSTALLINTERFACES, P::ClassInstaller},
        {DIF_INSTALLINTERFACES, P::DefaultHandler},     {DIF_INSTALLDEVICE, P::PreProcessing},
        {DIF_INSTALLDEVICE, P::ClassInstaller},         {DIF_INSTALLDEVICE, P::PostProcessing},
        {DIF_DESTROYPRIVATEDATA, P::PreProcessing},     {DIF_DESTROYPRIVATEDATA, P::ClassInstaller},
        {DIF_DESTROYPRIVATEDATA, P::DefaultHandler},
    };
    EXPECT_EQ(seen, expected);

    std::vector<CoCall> calls;
    for (const CoCall& c : g_coCalls)
        if (c.device == port) calls.push_back(c);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[1].function, DIF_INSTALLDEVICE);
    EXPECT_FALSE(calls[1].post);
    EXPECT_FALSE(calls[1].keysWritten);
    EXPECT_EQ(calls[1].privateData, nullptr);
    EXPECT_EQ(calls[2].function, DIF_INSTALLDEVICE);
    EXPECT_TRUE(calls[2].post);
    EXPECT_TRUE(calls[2].keysWritten);
    EXPECT_EQ(calls[2].installResult, DWORD(NO_ERROR));
    EXPECT_EQ(calls[2].privateData, &g_privateMarker);
    // Every module the chain loaded is freed again.
    EXPECT_EQ(UserModules::Instance().LoadCount(u"TestCo.dll"), 0u);
}

// A co-installer's refusal in pre-processing stops the request: the class installer and the
// default handler do not run, the installation ends with that error and the device has no driver.
TEST_F(InstallEngineTest, ACoInstallerRefusalStopsTheInstallation)
{
    g_installPreAnswer = ERROR_DI_DONT_INSTALL;
    PlugBus();
    m_engine->RunPendingInstalls();
    const std::vector<std::pair<std::u16string, DWORD>> failures = m_engine->Failures();
    ASSERT_EQ(failures.size(), 2u);
    for (const auto& [device, error] : failures) {
        EXPECT_EQ(error, DWORD(ERROR_DI_DONT_INSTALL));
        EXPECT_NE(Pnp().FindNode(device)->state, DeviceNodeState::Started);
        EXPECT_EQ(String(HardwareKeyOf(device), u"PortName"), u"<none>");
    }
    for (const DifRecord& r : m_engine->Trace()) {
        if (r.function == DIF_INSTALLDEVICE && r.instancePath != kBusInstance) {
            EXPECT_EQ(r.phase, DifPhase::PreProcessing);
        }
    }
}

// The Ports class installer gives each new port the next free COM number, claimed in the database,
// and a friendly name with it; uninstalling the port gives the number back.
TEST_F(InstallEngineTest, PortsGetTheNextFreeComNamesAndGiveThemBackOnRemoval)
{
    HCOMDB database;
    ASSERT_EQ(ComDBOpen(&database), ERROR_SUCCESS);
    ASSERT_EQ(ComDBClaimPort(database, 1, FALSE, nullptr), ERROR_SUCCESS);
    ComDBClose(database);

    PlugBus();
    m_engine->RunPendingInstalls();
    const std::vector<DeviceNodeInfo> children = Pnp().Children(m_pdo);
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(String(HardwareKeyOf(children[0].instancePath), u"PortName"), u"COM2");
    EXPECT_EQ(String(HardwareKeyOf(children[1].instancePath), u"PortName"), u"COM3");
    EXPECT_EQ(String(DeviceKeyOf(children[0].instancePath), u"FriendlyName"), u"Test Port (COM2)");

    EXPECT_EQ(m_engine->RemoveDevice(children[0].instancePath), DWORD(NO_ERROR));
    EXPECT_FALSE(Reg().KeyExists(DeviceKeyOf(children[0].instancePath)));
    BYTE usage[256] = {};
    DWORD max = 0;
    ASSERT_EQ(ComDBOpen(&database), ERROR_SUCCESS);
    ComDBGetCurrentPortUsage(database, usage, sizeof usage, CDB_REPORT_BYTES, &max);
    ComDBClose(database);
    EXPECT_TRUE(usage[0]);
    EXPECT_FALSE(usage[1]);
    EXPECT_TRUE(usage[2]);
}

// A driver update asks DIF_UPDATEDRIVER_UI first: a co-installer's refusal ends it there; else
// the device is installed again on its devnode, restarted, and keeps the COM name it had.
TEST_F(InstallEngineTest, ADriverUpdateStopsAtARefusalAndOtherwiseReinstallsTheRunningDevice)
{
    PlugBus();
    m_engine->RunPendingInstalls();
    const std::u16string port = Pnp().Children(m_pdo)[0].instancePath;
    const std::u16string portName = String(HardwareKeyOf(port), u"PortName");

    g_updateUiAnswer = ERROR_DI_DONT_INSTALL;
    m_engine->ClearTrace();
    EXPECT_EQ(m_engine->UpdateDriver(port), DWORD(ERROR_DI_DONT_INSTALL));
    for (const DifRecord& r : m_engine->Trace()) {
        EXPECT_EQ(r.function, DIF_UPDATEDRIVER_UI);
        EXPECT_EQ(r.phase, DifPhase::PreProcessing);
    }

    g_updateUiAnswer = NO_ERROR;
    g_coCalls.clear();
    EXPECT_EQ(m_engine->UpdateDriver(port), DWORD(NO_ERROR));
    EXPECT_EQ(m_engine->PendingInstalls(), 0u);
    EXPECT_EQ(Pnp().FindNode(port)->state, DeviceNodeState::Started);
    EXPECT_EQ(String(HardwareKeyOf(port), u"PortName"), portName);
    // The hardware key's values were there already when the co-installer's pre-processing ran.
    bool sawInstallPre = false;
    for (const CoCall& c : g_coCalls)
        if (c.function == DIF_INSTALLDEVICE && !c.post) {
            sawInstallPre = true;
            EXPECT_TRUE(c.keysWritten);
        }
    EXPECT_TRUE(sawInstallPre);
}

// newdev's driver update reaches the machine's engine: the co-installer is asked for
// DIF_UPDATEDRIVER_UI on the device, and its refusal is the call's error.
TEST_F(InstallEngineTest, NewdevsDriverUpdateRunsOnTheEngine)
{
    PlugBus();
    m_engine->RunPendingInstalls();
    files::FileSystem::Current().WriteText(u"C:\\Media\\TESTPORT.INF", u"port");
    g_updateUiAnswer = ERROR_DI_DONT_INSTALL;
    m_engine->ClearTrace();
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"PNPTEST\\CHILD", u"C:\\Media\\TESTPORT.INF", 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DI_DONT_INSTALL));
    ASSERT_FALSE(m_engine->Trace().empty());
    EXPECT_EQ(m_engine->Trace()[0].function, DIF_UPDATEDRIVER_UI);

    g_updateUiAnswer = NO_ERROR;
    EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"PNPTEST\\CHILD", u"C:\\Media\\TESTPORT.INF", 0, nullptr));
    for (const emu::DeviceNodeInfo& child : Pnp().Children(m_pdo)) EXPECT_EQ(child.state, DeviceNodeState::Started);
}

// A class co-installer runs before the device's in pre-processing and after it in
// post-processing; each post-processor is given the result the one before it returned.
DWORD g_devicePostAnswer = NO_ERROR;
std::vector<std::string> g_order;

DWORD CALLBACK ClassCoInstall(DI_FUNCTION function, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA context)
{
    if (function != DIF_ADDPROPERTYPAGE_ADVANCED) return NO_ERROR;
    g_order.push_back(context->PostProcessing ? "class post " + std::to_string(context->InstallResult) : "class pre");
    return context->PostProcessing ? context->InstallResult : ERROR_DI_POSTPROCESSING_REQUIRED;
}

DWORD CALLBACK DeviceCoInstall(DI_FUNCTION function, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA context)
{
    if (function != DIF_ADDPROPERTYPAGE_ADVANCED) return NO_ERROR;
    g_order.push_back(context->PostProcessing ? "device post " + std::to_string(context->InstallResult) : "device pre");
    return context->PostProcessing ? g_devicePostAnswer : ERROR_DI_POSTPROCESSING_REQUIRED;
}

TEST_F(InstallEngineTest, ClassCoInstallersWrapTheDevicesAndPostProcessingPassesTheResultOn)
{
    PlugBus();
    m_engine->RunPendingInstalls();
    const std::u16string port = Pnp().Children(m_pdo)[0].instancePath;
    UserModules::Instance().InstallBuiltIn(u"ClassCo.dll", {{"Entry", reinterpret_cast<void*>(&ClassCoInstall)}});
    UserModules::Instance().InstallBuiltIn(u"TestCo.dll", {{"TestCoInstall", reinterpret_cast<void*>(&DeviceCoInstall)}});
    m_engine->AddClassCoInstaller(kPortsClassGuid, u"ClassCo.dll,Entry");

    struct Case {
        DWORD devicePost;
        std::vector<std::string> order;
        DWORD result;
    } cases[] = {
        // Nobody handles the property-page request: it stays "do the default".
        {ERROR_DI_DO_DEFAULT,
         {"class pre", "device pre", "device post 3758096910", "class post 3758096910"},
         DWORD(ERROR_DI_DO_DEFAULT)},
        {NO_ERROR, {"class pre", "device pre", "device post 3758096910", "class post 0"}, DWORD(NO_ERROR)},
    };
    for (const Case& c : cases) {
        g_order.clear();
        g_devicePostAnswer = c.devicePost;
        EXPECT_EQ(m_engine->CallOnDevice(DIF_ADDPROPERTYPAGE_ADVANCED, port), c.result);
        EXPECT_EQ(g_order, c.order);
    }
    EXPECT_EQ(UserModules::Instance().LoadCount(u"ClassCo.dll"), 0u);
}

// A co-installer whose library does not load, or does not export its entry, is left out of the
// chain (and recorded); the request goes on without it.
TEST_F(InstallEngineTest, ACoInstallerThatCannotBeLoadedIsLeftOut)
{
    PlugBus();
    m_engine->RunPendingInstalls();
    const std::u16string port = Pnp().Children(m_pdo)[0].instancePath;
    for (bool missingExport : {false, true}) {
        m_engine->ClearTrace();
        g_coCalls.clear();
        if (missingExport)
            UserModules::Instance().InstallBuiltIn(u"TestCo.dll", {{"Other", reinterpret_cast<void*>(&TestCoInstall)}});
        else
            UserModules::Instance().FailNextLoad(u"TestCo.dll");
        EXPECT_EQ(m_engine->CallOnDevice(DIF_INSTALLINTERFACES, port), DWORD(NO_ERROR));
        EXPECT_TRUE(g_coCalls.empty());
        const std::vector<DifRecord> trace = m_engine->Trace();
        ASSERT_FALSE(trace.empty());
        EXPECT_EQ(trace[0].who, u"TestCo.dll,TestCoInstall");
        EXPECT_EQ(trace[0].result, DWORD(ERROR_INVALID_COINSTALLER));
        EXPECT_EQ(UserModules::Instance().LoadCount(u"TestCo.dll"), 0u);
    }
}

// The module table counts references: nested loads of one module need as many frees.
class UserModulesTest : public emu::testing::MachineTest {};

TEST_F(UserModulesTest, LoadsAreCountedAndExportsFoundByName)
{
    UserModules& modules = UserModules::Instance();
    modules.Reset();
    modules.InstallBuiltIn(u"Counted.dll", {{"Entry", reinterpret_cast<void*>(&TestCoInstall)}});
    HMODULE first = LoadLibraryW(u"C:\\WINDOWS\\System32\\counted.DLL");
    HMODULE second = LoadLibraryW(u"Counted.dll");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(modules.LoadCount(u"Counted.dll"), 2u);
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(first, "Entry")), reinterpret_cast<void*>(&TestCoInstall));
    EXPECT_EQ(GetProcAddress(first, "entry"), nullptr);  // export names keep their case
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(LoadLibraryW(u"C:\\Other\\Counted.dll"), nullptr);  // only the system directory
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(GetModuleHandleW(u"Counted.dll"), first);
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(GetModuleHandleW(u"Counted.dll"), nullptr);
    EXPECT_FALSE(FreeLibrary(first));
    modules.Reset();
}

// An INF the driver store gives up (SetupUninstallOEMInfW) leaves the engine's store with it: a
// device that arrives afterwards waits without a driver.
TEST_F(InstallEngineTest, AnInfRemovedFromTheDriverStoreNoLongerInstallsDevices)
{
    auto copiedOnly = std::make_unique<InstallEngine>(machine());
    m_engine.reset();  // the older engine goes while the newer one is the machine's
    m_engine = std::move(copiedOnly);
    files::FileSystem::Current().WriteFile(u"C:\\Media\\TESTBUS.INF", std::vector<uint8_t>(kBusInf.begin(), kBusInf.end()));
    ASSERT_TRUE(SetupCopyOEMInfW(u"C:\\Media\\TESTBUS.INF", nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(m_engine->Store().Names(), std::vector<std::u16string>{u"oem0.inf"});
    ASSERT_TRUE(SetupUninstallOEMInfW(u"oem0.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_TRUE(m_engine->Store().Names().empty());
    PlugBus();
    EXPECT_EQ(m_engine->PendingInstalls(), 0u);
    EXPECT_NE(Pnp().FindNode(kBusInstance)->state, DeviceNodeState::Started);
}

// An automatic engine installs what arrives on its own thread; waiting for it covers the devices
// the first installations bring. The engine it replaced leaves SetupAPI's chain to it.
class AutomaticInstallEngineTest : public InstallEngineTest {};

TEST_F(AutomaticInstallEngineTest, InstallsArrivalsOnItsOwnThread)
{
    InstallEngineOptions options;
    options.automatic = true;
    auto automatic = std::make_unique<InstallEngine>(machine(), options);
    m_engine.reset();  // the older engine goes while the newer one is the machine's
    m_engine = std::move(automatic);
    m_engine->AddInf(InfFile::Parse(u"TESTBUS.INF", kBusInf), {{u"pnptest.sys", EMU_PNPTEST_IMAGE}});
    m_engine->AddInf(InfFile::Parse(u"TESTPORT.INF", kPortInf), {{u"pnptest2.sys", EMU_PNPTEST2_IMAGE}});
    UserModules::Instance().InstallBuiltIn(u"TestCo.dll", {{"TestCoInstall", reinterpret_cast<void*>(&TestCoInstall)}});
    PlugBus();
    m_engine->WaitIdle();
    EXPECT_EQ(m_engine->PendingInstalls(), 0u);
    EXPECT_EQ(Pnp().FindNode(kBusInstance)->state, DeviceNodeState::Started);
    const std::vector<DeviceNodeInfo> children = Pnp().Children(m_pdo);
    ASSERT_EQ(children.size(), 2u);
    for (const DeviceNodeInfo& child : children) EXPECT_EQ(child.state, DeviceNodeState::Started);
}

}  // namespace
}  // namespace emu::setup
