// The co-installers on a machine whose installation engine installs a card (a bus with two port
// children) and its ports: the ports' COM names as the card's saved settings, the fixed-number
// models, the sort and the renames leave them in the COM-name database, the DOS namespace,
// SERIALCOMM, the ports' hardware keys and the Ports key.
#include <gtest/gtest.h>

#include <msports.h>
#include <synchapi.h>

#include <functional>
#include <string>
#include <vector>

#include "adaptermodels.h"
#include "cm/registry.h"
#include "coinstallerentries.h"
#include "comnumberassignment.h"
#include "comportutil.h"
#include "install_engine.h"
#include "kernel.h"
#include "machine_test.h"
#include "ob/object_manager.h"
#include "named_mutex.h"
#include "process_launcher.h"
#include "pnp/pnp_manager.h"
#include "root_device.h"
#include "setupapi_control.h"
#include "savedportsettings.h"
#include "system_profile.h"
#include "test_driver.h"
#include "ui_control.h"
#include "user_modules.h"

namespace {

using emu::setup::InstallEngine;

constexpr std::u16string_view kCardInstance = u"ROOT\\CVTESTCARD\\0000";
constexpr char16_t kPortsKey[] = u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
constexpr char16_t kSerialComm[] = u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

constexpr std::string_view kCardInf = R"([Version]
Class = MultiPortSerial
ClassGuid = {50906CB8-BA12-11D1-BF5D-0000F805F530}
[DestinationDirs]
DefaultDestDir = 12
[Manufacturer]
Maker = Models
[Models]
Card = Card, CVTEST\CARD
[Card]
CopyFiles = @pnptest.sys
[Card.HW]
AddReg = Children
[Children]
HKR,,ChildCount,0x00010001,2
[Card.CoInstallers]
AddReg = CardCoInstaller
[CardCoInstaller]
HKR,,CoInstallers32,0x00010000,"Portpanel39.dll,CvUCoInstallCard"
[Card.Services]
AddService = PnpTest, 0x00000002, CardService
[CardService]
ServiceType = 1
StartType = 3
ServiceBinary = %12%\pnptest.sys
)";

constexpr std::string_view kPortInf = R"([Version]
Class = Ports
ClassGuid = {4D36E978-E325-11CE-BFC1-08002BE10318}
[DestinationDirs]
DefaultDestDir = 12
[Manufacturer]
Maker = Models
[Models]
Port = Port, PNPTEST\CHILD
[Port]
CopyFiles = @pnptest2.sys
[Port.CoInstallers]
AddReg = PortCoInstaller
[PortCoInstaller]
HKR,,CoInstallers32,0x00010000,"Portpanel39.dll,CvUCoInstallPort"
[Port.Services]
AddService = PnpFun, 0x00000002, PortService
[PortService]
ServiceType = 1
StartType = 3
ServiceBinary = %12%\pnptest2.sys
)";

std::u16string ReadPortName(const std::u16string& instance);

// The Ports class installer, and in place of the port driver's start the DOS name and SERIALCOMM
// entry of the port's PortName ("\Device\CvTest<n>"), made before the co-installers' post-processing.
DWORD CALLBACK PortsWithLinks(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA element)
{
    const DWORD result = emu::setup::PortsClassInstaller(function, set, element);
    if (function != DIF_INSTALLDEVICE || result != NO_ERROR) return result;
    const std::u16string instance = emu::setup::InstancePathOf(set, element);
    const std::u16string name = ReadPortName(instance);
    const std::u16string target = u"\\Device\\CvTest" + instance.substr(instance.size() - 1);
    WCHAR existing[256] = {};
    if (!QueryDosDeviceW(name.c_str(), existing, 256)) DefineDosDeviceW(DDD_RAW_TARGET_PATH, name.c_str(), target.c_str());
    emu::Kernel::Current().GetRegistry().SetString(kSerialComm, target, name);
    return result;
}

std::u16string ReadPortName(const std::u16string& instance)
{
    std::optional<emu::RegistryValue> value =
        emu::Kernel::Current().GetRegistry().GetValue(emu::setup::HardwareKeyOf(instance), u"PortName");
    if (!value) return u"<none>";
    return std::u16string(reinterpret_cast<const char16_t*>(value->data.data()));
}

class CoInstallerTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        emu::ui::ClearMessageBoxes();
        m_engine = std::make_unique<InstallEngine>(machine());
        m_engine->SetClassInstaller(emu::setup::kPortsClassGuid, &PortsWithLinks);
        m_engine->AddInf(emu::setup::InfFile::Parse(u"CVCARD.INF", kCardInf), {{u"pnptest.sys", EMU_PNPTEST_IMAGE}});
        m_engine->AddInf(emu::setup::InfFile::Parse(u"CVPORT.INF", kPortInf), {{u"pnptest2.sys", EMU_PNPTEST2_IMAGE}});
        emu::setup::UserModules::Instance().InstallBuiltIn(
            u"Portpanel39.dll", {{"CvUCoInstallCard", reinterpret_cast<void*>(&CvUCoInstallCard)},
                                 {"CvUCoInstallGpio", reinterpret_cast<void*>(&CvUCoInstallGpio)},
                                 {"CvUCoInstallPort", reinterpret_cast<void*>(&CvUCoInstallPort)}});
        m_pdo = emu::testing::CreateRootPdo(m_root);
        ASSERT_NE(m_pdo, nullptr);
        machine().GetPnp().AddRootDevice(kCardInstance, {u"CVTEST\\CARD"}, m_pdo);
        m_engine->RunPendingInstalls();
        m_ports = ChildPorts();
        ASSERT_EQ(m_ports.size(), 2u);
        m_set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    }
    void TearDown() override
    {
        SetupDiDestroyDeviceInfoList(m_set);
        m_engine.reset();
        emu::setup::UserModules::Instance().Reset();
        MachineTest::TearDown();
    }

    std::vector<std::u16string> ChildPorts()
    {
        std::vector<std::u16string> ports;
        for (const emu::DeviceNodeInfo& node : machine().GetPnp().Nodes())
            if (node.instancePath.rfind(u"PNPTEST\\CHILD", 0) == 0) ports.push_back(node.instancePath);
        return ports;
    }
    SP_DEVINFO_DATA Element(std::u16string_view instance)
    {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        EXPECT_TRUE(SetupDiOpenDeviceInfoW(m_set, std::u16string(instance).c_str(), nullptr, 0, &data));
        return data;
    }
    std::vector<std::u16string> PortNames() { return {ReadPortName(m_ports[0]), ReadPortName(m_ports[1])}; }
    std::vector<DWORD> ClaimedNumbers()
    {
        HCOMDB database = HCOMDB_INVALID_HANDLE_VALUE;
        EXPECT_EQ(ComDBOpen(&database), ERROR_SUCCESS);
        BYTE usage[256] = {};
        DWORD max = 0;
        ComDBGetCurrentPortUsage(database, usage, 256, CDB_REPORT_BYTES, &max);
        ComDBClose(database);
        std::vector<DWORD> claimed;
        for (DWORD n = 1; n <= 256; ++n)
            if (usage[n - 1]) claimed.push_back(n);
        return claimed;
    }
    std::u16string DosTarget(const std::u16string& name)
    {
        WCHAR target[256] = {};
        return QueryDosDeviceW(name.c_str(), target, 256) ? std::u16string(target) : u"<none>";
    }
    std::u16string Text(std::u16string_view key, std::u16string_view name)
    {
        std::optional<emu::RegistryValue> value = machine().GetRegistry().GetValue(key, name);
        return value ? std::u16string(reinterpret_cast<const char16_t*>(value->data.data())) : u"<none>";
    }
    std::u16string HardwareKey(size_t port) { return emu::setup::HardwareKeyOf(m_ports[port]); }
    std::u16string CardKey() { return emu::setup::HardwareKeyOf(std::u16string(kCardInstance)); }
    // "PNPTEST\CHILD\<instance>" is saved as "PNPTEST_D_<instance>".
    std::u16string SavedKey(size_t port) { return CardKey() + u"\\PNPTEST_D_" + m_ports[port].substr(14); }
    int Rename(size_t port, std::u16string_view name, HWND owner = nullptr, BOOL checkOpen = FALSE)
    {
        SP_DEVINFO_DATA element = Element(m_ports[port]);
        return CCOMPortUtil(m_set, element).ChangePortName(CString(std::u16string(name)), owner, checkOpen, FALSE);
    }
    DWORD CallEntry(COINSTALLER_PROC entry, DI_FUNCTION function, std::u16string_view instance, BOOL post,
                    DWORD installResult = NO_ERROR)
    {
        SP_DEVINFO_DATA element = Element(instance);
        COINSTALLER_CONTEXT_DATA context{post, installResult, nullptr};
        return entry(function, m_set, &element, &context);
    }

    std::unique_ptr<InstallEngine> m_engine;
    emu::testing::TestDriver m_root{u"RootBus"};
    PDEVICE_OBJECT m_pdo = nullptr;
    std::vector<std::u16string> m_ports;
    HDEVINFO m_set = INVALID_HANDLE_VALUE;
};

// A new card's ports get the Ports class installer's numbers, a default Ports line each, and the
// last one the marker that the adapter's names are in order.
TEST_F(CoInstallerTest, ANewCardsPortsAreNamedClaimedAndGivenTheirPortsLines)
{
    EXPECT_EQ(PortNames(), (std::vector<std::u16string>{u"COM1", u"COM2"}));
    EXPECT_EQ(ClaimedNumbers(), (std::vector<DWORD>{1, 2}));
    EXPECT_EQ(Text(kPortsKey, u"COM1:"), u"9600,n,8,1");
    EXPECT_EQ(Text(kPortsKey, u"COM2:"), u"9600,n,8,1");
    EXPECT_EQ(machine().GetRegistry().GetDword(HardwareKey(1), u"ChildPortNameSorted"), std::optional<ULONG>(1));
    EXPECT_TRUE(emu::ui::MessageBoxes().empty());
}

// A rename moves every record of the name together; one that cannot be done changes nothing.
TEST_F(CoInstallerTest, ARenameMovesEveryRecordOrNone)
{
    struct Case {
        const char* what;
        std::u16string newName;
        std::optional<int> answer;  // the duplicate question's answer, when one is asked
        HWND owner;
        int result;
        std::u16string expectedName;
        std::vector<DWORD> claims;
    };
    const HWND window = reinterpret_cast<HWND>(0x1234);
    const Case cases[] = {
        {"same name", u"COM1", std::nullopt, nullptr, 1, u"COM1", {1, 2}},
        {"free name", u"COM7", std::nullopt, nullptr, 1, u"COM7", {2, 7}},
        {"held name, quiet caller", u"COM2", std::nullopt, nullptr, 0, u"COM1", {1, 2}},
        {"held name, user declines", u"COM2", IDNO, window, 1, u"COM1", {1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.answer) emu::ui::ExpectMessageBox({std::nullopt, u"Error", MB_YESNO | MB_ICONINFORMATION, *c.answer});
        EXPECT_EQ(Rename(0, c.newName, c.owner), c.result);
        EXPECT_EQ(ReadPortName(m_ports[0]), c.expectedName);
        EXPECT_EQ(ClaimedNumbers(), c.claims);
        EXPECT_EQ(DosTarget(c.expectedName), u"\\Device\\CvTest0");
        EXPECT_EQ(Text(kSerialComm, u"\\Device\\CvTest0"), c.expectedName);
        EXPECT_EQ(Text(emu::setup::DeviceKeyOf(m_ports[0]), u"FriendlyName"), u"Port (" + c.expectedName + u")");
        EXPECT_TRUE(emu::ui::UnexpectedMessageBoxes().empty());
        EXPECT_EQ(Rename(0, u"COM1"), 1);  // back for the next case
        emu::ui::ClearMessageBoxes();
    }
    EXPECT_EQ(Text(kPortsKey, u"COM7:"), u"9600,n,8,1");
}

// A rename that cannot finish leaves every record of the old name: the friendly name is missing,
// or cannot be written after the DOS name moved.
TEST_F(CoInstallerTest, ARenameThatCannotFinishLeavesTheOldName)
{
    struct Case {
        const char* what;
        std::function<void()> arrange;
    };
    const Case cases[] = {
        {"no friendly name", [&] { machine().GetRegistry().DeleteValue(emu::setup::DeviceKeyOf(m_ports[0]), u"FriendlyName"); }},
        {"friendly name not written",
         [] { emu::setupapi::FailNextCall(emu::setupapi::SetupCall::SetDeviceRegistryProperty, ERROR_ACCESS_DENIED); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        machine().GetRegistry().SetString(emu::setup::DeviceKeyOf(m_ports[0]), u"FriendlyName", u"Port (COM1)");
        c.arrange();
        EXPECT_EQ(Rename(0, u"COM7"), 0);
        EXPECT_EQ(ReadPortName(m_ports[0]), u"COM1");
        EXPECT_EQ(ClaimedNumbers(), (std::vector<DWORD>{1, 2}));
        EXPECT_EQ(DosTarget(u"COM1"), u"\\Device\\CvTest0");
        EXPECT_EQ(DosTarget(u"COM7"), u"<none>");
        EXPECT_EQ(Text(kSerialComm, u"\\Device\\CvTest0"), u"COM1");
    }
}

// The co-installer's steps close every key and handle they open, whatever path they take.
TEST_F(CoInstallerTest, TheEntriesLeaveNoHandleOpen)
{
    emu::ObjectManager& objects = emu::Kernel::Current().GetObjectManager();
    const size_t before = objects.OpenHandleCount();
    EXPECT_EQ(CallEntry(&CvUCoInstallPort, DIF_INSTALLDEVICE, m_ports[0], TRUE), DWORD(NO_ERROR));
    EXPECT_EQ(CallEntry(&CvUCoInstallPort, DIF_INSTALLDEVICE, m_ports[0], TRUE, 0xE0000219), 0xE0000219);
    EXPECT_EQ(CallEntry(&CvUCoInstallCard, DIF_INSTALLDEVICE, kCardInstance, FALSE), DWORD(ERROR_DI_POSTPROCESSING_REQUIRED));
    EXPECT_EQ(CallEntry(&CvUCoInstallPort, DIF_INSTALLDEVICE, m_ports[1], TRUE), DWORD(NO_ERROR));
    EXPECT_EQ(CallEntry(&CvUCoInstallGpio, DIF_REMOVE, kCardInstance, FALSE), DWORD(NO_ERROR));
    EXPECT_EQ(objects.OpenHandleCount(), before);
}

// A second function removes the present MultiPortSerial device at its own location with function
// 1, past a device whose location cannot be read; a location of function 1 removes nothing.
TEST_F(CoInstallerTest, ASecondFunctionIsRemovedWithTheFirst)
{
    const std::u16string noLocation = u"ROOT\\CVTESTCARD\\0001", sibling = u"ROOT\\CVTESTCARD\\0002";
    for (const std::u16string& instance : {noLocation, sibling})
        machine().GetPnp().AddRootDevice(instance, {u"CVTEST\\CARD"}, emu::testing::CreateRootPdo(m_root));
    m_engine->RunPendingInstalls();
    emu::Registry& registry = machine().GetRegistry();
    const std::u16string own = u"PCI bus 2, device 3, function 0";
    registry.SetString(emu::setup::DeviceKeyOf(std::u16string(kCardInstance)), u"LocationInformation", own);
    registry.SetString(emu::setup::DeviceKeyOf(sibling), u"LocationInformation", u"PCI bus 2, device 3, function 1");

    EXPECT_EQ(CallEntry(&CvUCoInstallGpio, DIF_REMOVE, sibling, FALSE), DWORD(NO_ERROR));
    EXPECT_TRUE(machine().GetPnp().FindNode(std::u16string(kCardInstance)));
    EXPECT_EQ(CallEntry(&CvUCoInstallGpio, DIF_REMOVE, kCardInstance, FALSE), DWORD(NO_ERROR));
    EXPECT_FALSE(machine().GetPnp().FindNode(sibling));
    EXPECT_TRUE(machine().GetPnp().FindNode(noLocation));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"{5344C664-B07C-4d2c-8E00-994195553746}");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    CloseHandle(mutex);
}

// While another removal holds the marker (or it is out of reach) nothing is removed.
TEST_F(CoInstallerTest, ASecondFunctionStaysWhileAnotherRemovalIsUnderWay)
{
    const std::u16string sibling = u"ROOT\\CVTESTCARD\\0001";
    machine().GetPnp().AddRootDevice(sibling, {u"CVTEST\\CARD"}, emu::testing::CreateRootPdo(m_root));
    m_engine->RunPendingInstalls();
    emu::Registry& registry = machine().GetRegistry();
    registry.SetString(emu::setup::DeviceKeyOf(std::u16string(kCardInstance)), u"LocationInformation", u"Bus 1, function 0");
    registry.SetString(emu::setup::DeviceKeyOf(sibling), u"LocationInformation", u"Bus 1, function 1");

    HANDLE held = CreateMutexW(nullptr, FALSE, u"{5344C664-B07C-4d2c-8E00-994195553746}");
    EXPECT_EQ(CallEntry(&CvUCoInstallGpio, DIF_REMOVE, kCardInstance, FALSE), DWORD(NO_ERROR));
    CloseHandle(held);
    emu::win32::FailNextMutexCreation(ERROR_ACCESS_DENIED);
    EXPECT_EQ(CallEntry(&CvUCoInstallGpio, DIF_REMOVE, kCardInstance, FALSE), DWORD(NO_ERROR));
    EXPECT_TRUE(machine().GetPnp().FindNode(sibling));
}

// A card removed starts the program its UnInstall value names in the system directory, once and
// without waiting; without the value, or when the start fails, the removal goes on all the same.
TEST_F(CoInstallerTest, ARemovedCardStartsItsUninstallProgram)
{
    struct Case {
        const char* what;
        const char16_t* program;  // null: no value
        DWORD startError;
        size_t started;
    };
    const Case cases[] = {{"no value", nullptr, 0, 0}, {"program named", u"cvuninst.exe", 0, 1},
                          {"start fails", u"cvuninst.exe", ERROR_FILE_NOT_FOUND, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        machine().GetRegistry().DeleteValue(CardKey(), u"UnInstall");
        if (c.program) machine().GetRegistry().SetString(CardKey(), u"UnInstall", c.program);
        if (c.startError) emu::files::FailNextProcessStart(c.startError);
        const size_t before = emu::files::StartedProcesses().size();
        EXPECT_EQ(CallEntry(&CvUCoInstallCard, DIF_REMOVE, kCardInstance, FALSE), DWORD(NO_ERROR));
        const std::vector<emu::files::StartedProcess> started = emu::files::StartedProcesses();
        ASSERT_EQ(started.size() - before, c.started);
        if (c.started) {
            WCHAR system[MAX_PATH] = {};
            GetSystemDirectoryW(system, MAX_PATH);
            EXPECT_EQ(started.back().commandLine, std::u16string(system) + u"\\cvuninst.exe");
            EXPECT_EQ(started.back().creationFlags, DWORD(0x20));
        }
    }
}

// A port removed through its co-installer gives its DOS name and its number back.
TEST_F(CoInstallerTest, RemovingAPortFreesItsNameAndNumber)
{
    EXPECT_EQ(CallEntry(&CvUCoInstallPort, DIF_REMOVE, m_ports[1], FALSE), DWORD(NO_ERROR));
    EXPECT_EQ(DosTarget(u"COM2"), u"<none>");
    EXPECT_EQ(ClaimedNumbers(), (std::vector<DWORD>{1}));
}

// What the card saves for its ports before it is reinstalled, and what a port gets back: the
// DWORDs but the capabilities, its UI1 set and its COM name with the number claimed. The record
// goes with its restore, UI1 subkey and all, and a large value before the others stops nothing.
TEST_F(CoInstallerTest, SavedPortSettingsComeBackOnceWithTheirComName)
{
    emu::Registry& registry = machine().GetRegistry();
    registry.SetValue(HardwareKey(0), u"ABigBlob", REG_BINARY, std::vector<uint8_t>(20000, 0xAB));
    registry.SetDword(HardwareKey(0), u"Baudrate", 115200);
    registry.SetDword(HardwareKey(0), u"SupportedBaudRates", 7);
    registry.SetValue(HardwareKey(0), u"Binary", REG_BINARY, {1, 2, 3});
    registry.SetDword(HardwareKey(0) + u"\\UI1", u"Latency", 16);
    registry.SetString(HardwareKey(0) + u"\\UI1", u"Mode", u"RS485");
    ASSERT_EQ(Rename(0, u"COM7"), 1);

    EXPECT_EQ(CallEntry(&CvUCoInstallCard, DIF_INSTALLDEVICE, kCardInstance, FALSE), DWORD(ERROR_DI_POSTPROCESSING_REQUIRED));
    const std::u16string saved0 = SavedKey(0);
    EXPECT_EQ(registry.GetDword(saved0, u"Baudrate"), std::optional<ULONG>(115200));
    EXPECT_EQ(Text(saved0, u"PortName"), u"COM7");
    EXPECT_FALSE(registry.GetValue(saved0, u"Binary"));
    EXPECT_EQ(Text(saved0 + u"\\UI1", u"Mode"), u"RS485");
    EXPECT_EQ(Text(SavedKey(1), u"PortName"), u"COM2");

    // The port as a reinstallation leaves it: new values, the capability rewritten.
    registry.SetDword(HardwareKey(0), u"Baudrate", 9600);
    registry.SetDword(HardwareKey(0), u"SupportedBaudRates", 9);
    registry.DeleteTree(HardwareKey(0) + u"\\UI1");
    EXPECT_EQ(CallEntry(&CvUCoInstallPort, DIF_INSTALLDEVICE, m_ports[0], TRUE), DWORD(NO_ERROR));
    EXPECT_EQ(registry.GetDword(HardwareKey(0), u"Baudrate"), std::optional<ULONG>(115200));
    EXPECT_EQ(registry.GetDword(HardwareKey(0), u"SupportedBaudRates"), std::optional<ULONG>(9));
    EXPECT_EQ(registry.GetDword(HardwareKey(0) + u"\\UI1", u"Latency"), std::optional<ULONG>(16));
    EXPECT_EQ(ReadPortName(m_ports[0]), u"COM7");
    EXPECT_EQ(ClaimedNumbers(), (std::vector<DWORD>{2, 7}));
    EXPECT_FALSE(registry.KeyExists(saved0));

    // Once only: a later installation restores nothing.
    registry.SetDword(HardwareKey(0), u"Baudrate", 4800);
    EXPECT_EQ(CallEntry(&CvUCoInstallPort, DIF_INSTALLDEVICE, m_ports[0], TRUE), DWORD(NO_ERROR));
    EXPECT_EQ(registry.GetDword(HardwareKey(0), u"Baudrate"), std::optional<ULONG>(4800));
}

// The restore of a port that kept its name leaves the name claimed.
TEST_F(CoInstallerTest, ARestoredNameThatIsTheCurrentOneStaysClaimed)
{
    EXPECT_EQ(CallEntry(&CvUCoInstallCard, DIF_INSTALLDEVICE, kCardInstance, FALSE), DWORD(ERROR_DI_POSTPROCESSING_REQUIRED));
    EXPECT_EQ(CallEntry(&CvUCoInstallPort, DIF_INSTALLDEVICE, m_ports[0], TRUE), DWORD(NO_ERROR));
    EXPECT_EQ(ReadPortName(m_ports[0]), u"COM1");
    EXPECT_EQ(ClaimedNumbers(), (std::vector<DWORD>{1, 2}));
}

// The port's post-processing passes the installation's result back, and leaves its mutex free.
TEST_F(CoInstallerTest, PortPostProcessingReturnsTheInstallResultAndFreesItsMutex)
{
    for (DWORD installResult : {DWORD(NO_ERROR), DWORD(0xE0000219)}) {
        EXPECT_EQ(CallEntry(&CvUCoInstallPort, DIF_INSTALLDEVICE, m_ports[1], TRUE, installResult), installResult);
        HANDLE mutex = CreateMutexW(nullptr, FALSE, u"{188EB960-6340-4936-9456-F597F5C34580}");
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS)) << "the mutex outlived its last handle";
        EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
}

// The requests every entry answers, by phase.
TEST_F(CoInstallerTest, EntriesAnswerEachRequestAsTheirTableSays)
{
    struct Case {
        COINSTALLER_PROC entry;
        DI_FUNCTION function;
        BOOL post;
        DWORD result;
    };
    const Case cases[] = {
        {&CvUCoInstallCard, DIF_INSTALLDEVICE, FALSE, ERROR_DI_POSTPROCESSING_REQUIRED},
        {&CvUCoInstallGpio, DIF_INSTALLDEVICE, FALSE, ERROR_DI_POSTPROCESSING_REQUIRED},
        {&CvUCoInstallCard, DIF_INSTALLDEVICE, TRUE, 0xE0000219},
        {&CvUCoInstallGpio, DIF_INSTALLDEVICE, TRUE, 0xE0000219},
        {&CvUCoInstallCard, DIF_ADDPROPERTYPAGE_ADVANCED, FALSE, NO_ERROR},
        {&CvUCoInstallGpio, DIF_PROPERTYCHANGE, FALSE, NO_ERROR},
        {&CvUCoInstallCard, DIF_UPDATEDRIVER_UI, FALSE, NO_ERROR},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CallEntry(c.entry, c.function, kCardInstance, c.post, 0xE0000219), c.result) << c.function;
    COINSTALLER_CONTEXT_DATA context{FALSE, NO_ERROR, nullptr};
    EXPECT_EQ(CvUCoInstallPort(DIF_INSTALLDEVICE, m_set, nullptr, &context), DWORD(NO_ERROR));
}

// NoUpgrade "1" refuses the update wizard with the message; other texts do not.
TEST_F(CoInstallerTest, TheUpgradeBlockTakesOnlyTheNumberOne)
{
    struct Case {
        std::u16string text;
        bool blocks;
    };
    const Case cases[] = {{u"1", true}, {u" 1", true}, {u"0", false}, {u"2", false}, {u"abc", false}, {u"11", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(emu::setup::Narrow(c.text));
        emu::ui::ClearMessageBoxes();
        machine().GetRegistry().SetString(CardKey(), u"NoUpgrade", c.text);
        const DWORD result = CallEntry(&CvUCoInstallCard, DIF_UPDATEDRIVER_UI, kCardInstance, FALSE);
        EXPECT_EQ(result, c.blocks ? DWORD(ERROR_DI_DONT_INSTALL) : DWORD(NO_ERROR));
        const std::vector<emu::ui::MessageBoxRecord> boxes = emu::ui::MessageBoxes();
        ASSERT_EQ(boxes.size(), c.blocks ? 1u : 0u);
        if (c.blocks) {
            EXPECT_EQ(boxes[0].caption, u"Vexil");
            EXPECT_EQ(boxes[0].type, UINT(MB_ICONERROR));
            EXPECT_EQ(boxes[0].owner, nullptr);
        }
    }
    emu::ui::ClearMessageBoxes();
}

// On Windows 7 and later a port's installation puts its adapter's numbers in ascending order.
TEST_F(CoInstallerTest, AnAdaptersPortsAreSortedOnWindows7AndLater)
{
    struct Case {
        emu::process::VersionAnswer version;
        std::vector<std::u16string> after;
    };
    const Case cases[] = {
        {emu::process::versions::kWindowsVista, {u"COM6", u"COM5"}},
        {emu::process::versions::kWindows7, {u"COM5", u"COM6"}},
        {emu::process::versions::kWindows10, {u"COM5", u"COM6"}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Rename(0, u"COM8"), 1);
        ASSERT_EQ(Rename(1, u"COM9"), 1);
        ASSERT_EQ(Rename(0, u"COM6"), 1);
        ASSERT_EQ(Rename(1, u"COM5"), 1);
        machine().GetRegistry().DeleteValue(HardwareKey(1), u"ChildPortNameSorted");
        emu::process::SystemProfile::Current().SetVersion(c.version);
        EXPECT_EQ(CallEntry(&CvUCoInstallPort, DIF_INSTALLDEVICE, m_ports[1], TRUE), DWORD(NO_ERROR));
        EXPECT_EQ(PortNames(), c.after);
        EXPECT_EQ(ClaimedNumbers(), (std::vector<DWORD>{5, 6}));
        EXPECT_EQ(DosTarget(c.after[0]), u"\\Device\\CvTest0");
        EXPECT_TRUE(emu::ui::MessageBoxes().empty());
    }
}

// A swap whose middle rename fails puts the moved port back and leaves the marker unwritten, so
// no two ports share a name and a later installation tries again.
TEST_F(CoInstallerTest, ASortWhoseRenameFailsLeavesNoDuplicateAndNoMarker)
{
    ASSERT_EQ(Rename(0, u"COM6"), 1);
    ASSERT_EQ(Rename(1, u"COM5"), 1);
    machine().GetRegistry().DeleteValue(HardwareKey(1), u"ChildPortNameSorted");
    // Port 0 has no DOS name now (its driver stopped): it cannot be renamed.
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, u"COM6",
                                 u"\\Device\\CvTest0"));
    EXPECT_EQ(CallEntry(&CvUCoInstallPort, DIF_INSTALLDEVICE, m_ports[1], TRUE), DWORD(NO_ERROR));
    EXPECT_EQ(PortNames(), (std::vector<std::u16string>{u"COM6", u"COM5"}));
    EXPECT_EQ(ClaimedNumbers(), (std::vector<DWORD>{5, 6}));
    EXPECT_EQ(DosTarget(u"COM5"), u"\\Device\\CvTest1");
    EXPECT_FALSE(machine().GetRegistry().GetDword(HardwareKey(1), u"ChildPortNameSorted"));
    EXPECT_TRUE(emu::ui::MessageBoxes().empty());
}

// A port of a fixed-number model takes its number from a running holder, which moves to the next
// free number from 5; with no number free the holder keeps it.
TEST_F(CoInstallerTest, AFixedNumberModelTakesItsNumberFromTheHolder)
{
    CAdapterModelTablesOverride models({{u"ROOT\\CVTESTCARD", 2}}, {});
    ASSERT_EQ(Rename(0, u"COM3"), 1);
    // Port 1 holds COM2: ask for the fixed number on port 0.
    SP_DEVINFO_DATA element = Element(m_ports[0]);
    EXPECT_TRUE(AssignFixedComNumber(m_set, &element));
    EXPECT_EQ(PortNames(), (std::vector<std::u16string>{u"COM2", u"COM5"}));
    EXPECT_EQ(ClaimedNumbers(), (std::vector<DWORD>{2, 5}));
    EXPECT_TRUE(emu::ui::MessageBoxes().empty());
}

// A fixed-number port that cannot move to its number (it has no DOS name) leaves the holder its
// claim.
TEST_F(CoInstallerTest, AFixedNumberRenameThatFailsLeavesTheHolderItsClaim)
{
    CAdapterModelTablesOverride models({{u"ROOT\\CVTESTCARD", 2}}, {});
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, u"COM1",
                                 u"\\Device\\CvTest0"));
    EXPECT_EQ(Rename(0, u"COM2"), 0);
    EXPECT_EQ(PortNames(), (std::vector<std::u16string>{u"COM1", u"COM2"}));
    EXPECT_EQ(ClaimedNumbers(), (std::vector<DWORD>{1, 2}));
}

TEST(ChildKeyNameTest, KeepsTheLastCharacterOfTheSecondPart)
{
    const std::pair<const char16_t*, const char16_t*> cases[] = {
        {u"A\\BCD\\E", u"A_D_E"},          {u"A\\\\E", u"A__E"},
        {u"USB\\VID_0403&PID_6001", u"USB_VID_0403&PID_6001"}, {u"ROOT", u"ROOT"},
        {u"PNPTEST\\CHILD\\6&1&0&1", u"PNPTEST_D_6&1&0&1"},
    };
    for (const auto& [id, name] : cases) EXPECT_EQ(ChildKeyName(CString(id)), CString(name)) << emu::setup::Narrow(id);
}

}  // namespace
