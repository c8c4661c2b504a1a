// The forwarding co-installer as the installation engine loads it from the system directory: the
// request forwarded to the co-installer the hardware key names, and every way that can fail.
#include <gtest/gtest.h>

#include <stdexcept>

#include "cm/registry.h"
#include "install_engine.h"
#include "machine_test.h"
#include "pnp/pnp_manager.h"
#include "root_device.h"
#include "test_driver.h"
#include "ui_control.h"
#include "user_modules.h"

namespace {

using emu::setup::DifPhase;
using emu::setup::DifRecord;
using emu::setup::InstallEngine;
using emu::setup::UserModules;
using emu::testing::TestDriver;

constexpr std::u16string_view kPortInstance = u"ROOT\\CVTESTPORT\\0000";
constexpr char16_t kCfgdll[] = u"Cfgdll39.dll,CvUCoInstall";

constexpr std::string_view kPortInf = R"([Version]
Class = Ports
ClassGuid = {4D36E978-E325-11CE-BFC1-08002BE10318}
[DestinationDirs]
DefaultDestDir = 12
[Manufacturer]
Maker = Models
[Models]
Port = Port, CVTEST\PORT
[Port]
CopyFiles = @pnptest2.sys
[Port.HW]
AddReg = Chained
[Chained]
HKR,,CoInstallerDLL,,"Chained.dll"
HKR,,CoInstallerEntryPoint,,"ChainedEntry"
[Port.CoInstallers]
AddReg = Forwarding
[Forwarding]
HKR,,CoInstallers32,0x00010000,"Cfgdll39.dll,CvUCoInstall"
[Port.Services]
AddService = PnpFun, 0x00000002, PortService
[PortService]
ServiceType = 1
StartType = 3
ServiceBinary = %12%\pnptest2.sys
)";

struct ChainedCall {
    DI_FUNCTION function;
    BOOL post;
    DWORD installResult;
};
std::vector<ChainedCall> g_chained;
DWORD g_chainedAnswer = NO_ERROR;
bool g_chainedThrows = false;

DWORD CALLBACK ChainedEntry(DI_FUNCTION function, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA context)
{
    g_chained.push_back({function, context->PostProcessing, context->InstallResult});
    if (g_chainedThrows) throw std::runtime_error("fault in the chained co-installer");
    return context->PostProcessing ? context->InstallResult : g_chainedAnswer;
}

class CfgdllTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        g_chained.clear();
        g_chainedAnswer = NO_ERROR;
        g_chainedThrows = false;
        m_engine = std::make_unique<InstallEngine>(machine());
        m_engine->AddInf(emu::setup::InfFile::Parse(u"CVTEST.INF", kPortInf), {{u"pnptest2.sys", EMU_PNPTEST2_IMAGE}});
        UserModules::Instance().InstallFile(u"Cfgdll39.dll", CFGDLL_MODULE);
        UserModules::Instance().InstallBuiltIn(u"Chained.dll", {{"ChainedEntry", reinterpret_cast<void*>(&ChainedEntry)}});
        m_pdo = emu::testing::CreateRootPdo(m_root);
        ASSERT_NE(m_pdo, nullptr);
        machine().GetPnp().AddRootDevice(kPortInstance, {u"CVTEST\\PORT"}, m_pdo);
        m_engine->RunPendingInstalls();
    }

    void TearDown() override
    {
        m_engine.reset();
        MachineTest::TearDown();
    }

    std::u16string HardwareKey() { return emu::setup::HardwareKeyOf(std::u16string(kPortInstance)); }
    // Cfgdll's answers to a request, as the engine recorded them.
    std::vector<DifRecord> CfgdllRecords(DI_FUNCTION function)
    {
        std::vector<DifRecord> records;
        for (const DifRecord& r : m_engine->Trace())
            if (r.function == function && r.who == kCfgdll) records.push_back(r);
        return records;
    }

    std::unique_ptr<InstallEngine> m_engine;
    TestDriver m_root{u"RootBus"};
    PDEVICE_OBJECT m_pdo = nullptr;
};

// A new device has no CoInstallerDLL until DIF_INSTALLDEVICE's default installation writes it:
// before that Cfgdll answers 0 (and 0xE0000226 for DIF_INSTALLDEVICE's pre-processing), and the
// post-processing is forwarded with the engine's result. No library stays loaded.
TEST_F(CfgdllTest, ANewDevicesInstallationIsForwardedInPostProcessing)
{
    ASSERT_EQ(machine().GetPnp().FindNode(kPortInstance)->state, emu::DeviceNodeState::Started);
    const std::vector<DifRecord> interfaces = CfgdllRecords(DIF_INSTALLINTERFACES);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].result, DWORD(NO_ERROR));
    const std::vector<DifRecord> install = CfgdllRecords(DIF_INSTALLDEVICE);
    ASSERT_EQ(install.size(), 2u);
    EXPECT_EQ(install[0].phase, DifPhase::PreProcessing);
    EXPECT_EQ(install[0].result, DWORD(ERROR_DI_POSTPROCESSING_REQUIRED));
    EXPECT_EQ(install[1].phase, DifPhase::PostProcessing);
    EXPECT_EQ(install[1].result, DWORD(NO_ERROR));
    // The chained entry saw DIF_INSTALLDEVICE once, in post-processing, then the later request.
    ASSERT_EQ(g_chained.size(), 2u);
    EXPECT_EQ(g_chained[0].function, DIF_INSTALLDEVICE);
    EXPECT_TRUE(g_chained[0].post);
    EXPECT_EQ(g_chained[0].installResult, DWORD(NO_ERROR));
    EXPECT_EQ(g_chained[1].function, DIF_DESTROYPRIVATEDATA);
    EXPECT_EQ(UserModules::Instance().LoadCount(u"Cfgdll39.dll"), 0u);
    EXPECT_EQ(UserModules::Instance().LoadCount(u"Chained.dll"), 0u);
}

// Every failure answers 0 and leaves no library loaded; the chained entry's own answers pass
// through unchanged.
TEST_F(CfgdllTest, FailuresAnswerZeroAndTheChainedAnswerPassesUnchanged)
{
    const std::u16string long149 = std::u16string(145, u'L') + u".dll";
    const std::u16string long150 = std::u16string(146, u'L') + u".dll";
    UserModules::Instance().InstallBuiltIn(long149, {{"ChainedEntry", reinterpret_cast<void*>(&ChainedEntry)}});
    UserModules::Instance().InstallBuiltIn(long150, {{"ChainedEntry", reinterpret_cast<void*>(&ChainedEntry)}});
    struct Case {
        const char* what;
        const char16_t* dll;  // null: no value
        const char16_t* entry;
        std::u16string dllText;
        DWORD chainedAnswer;
        bool throws, failLoad;
        DWORD expected;
        bool chainedCalled;
    } cases[] = {
        {"forwarded", u"Chained.dll", u"ChainedEntry", {}, ERROR_DI_DONT_INSTALL, false, false, DWORD(ERROR_DI_DONT_INSTALL), true},
        {"post-processing asked", u"Chained.dll", u"ChainedEntry", {}, ERROR_DI_POSTPROCESSING_REQUIRED, false, false,
         DWORD(ERROR_DI_POSTPROCESSING_REQUIRED), true},
        {"no library value", nullptr, u"ChainedEntry", {}, 0, false, false, 0, false},
        {"empty library", u"", u"ChainedEntry", {}, 0, false, false, 0, false},
        {"empty entry", u"Chained.dll", u"", {}, 0, false, false, 0, false},
        {"entry not exported", u"Chained.dll", u"Missing", {}, 0, false, false, 0, false},
        {"library does not load", u"Chained.dll", u"ChainedEntry", {}, 0, false, true, 0, false},
        {"chained entry throws", u"Chained.dll", u"ChainedEntry", {}, 0, true, false, 0, true},
        {"149 characters read", u"", u"ChainedEntry", long149, ERROR_DI_DONT_INSTALL, false, false, DWORD(ERROR_DI_DONT_INSTALL), true},
        {"150 characters missing", u"", u"ChainedEntry", long150, ERROR_DI_DONT_INSTALL, false, false, 0, false},
    };
    emu::Registry& registry = machine().GetRegistry();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        registry.DeleteValue(HardwareKey(), u"CoInstallerDLL");
        if (c.dll) registry.SetString(HardwareKey(), u"CoInstallerDLL", c.dllText.empty() ? std::u16string(c.dll) : c.dllText);
        registry.SetString(HardwareKey(), u"CoInstallerEntryPoint", c.entry);
        if (c.failLoad) UserModules::Instance().FailNextLoad(u"Chained.dll");
        g_chainedAnswer = c.chainedAnswer;
        g_chainedThrows = c.throws;
        g_chained.clear();
        m_engine->ClearTrace();
        m_engine->CallOnDevice(DIF_ADDPROPERTYPAGE_ADVANCED, std::u16string(kPortInstance));
        const std::vector<DifRecord> records = CfgdllRecords(DIF_ADDPROPERTYPAGE_ADVANCED);
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records[0].phase, DifPhase::PreProcessing);
        EXPECT_EQ(records[0].result, c.expected);
        EXPECT_EQ(!g_chained.empty(), c.chainedCalled);
        for (const char16_t* module : {u"Cfgdll39.dll", u"Chained.dll"}) EXPECT_EQ(UserModules::Instance().LoadCount(module), 0u);
        EXPECT_EQ(UserModules::Instance().LoadCount(long149), 0u);
    }
}

// Portpanel's port co-installer reached through Cfgdll from the system directory: a device that
// carries NoUpgrade 1 refuses the update wizard with the message from Portpanel's string table,
// and neither library stays loaded.
TEST_F(CfgdllTest, PortpanelsCoInstallerRefusesTheUpdateWizardThroughCfgdll)
{
    UserModules::Instance().InstallFile(u"Portpanel39.dll", PORTPANEL_MODULE);
    emu::Registry& registry = machine().GetRegistry();
    registry.SetString(HardwareKey(), u"CoInstallerDLL", u"Portpanel39.dll");
    registry.SetString(HardwareKey(), u"CoInstallerEntryPoint", u"CvUCoInstallPort");
    registry.SetString(HardwareKey(), u"NoUpgrade", u"1");
    emu::ui::ClearMessageBoxes();
    EXPECT_EQ(m_engine->UpdateDriver(std::u16string(kPortInstance)), DWORD(ERROR_DI_DONT_INSTALL));
    const std::vector<emu::ui::MessageBoxRecord> boxes = emu::ui::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, u"Vexil");
    EXPECT_EQ(boxes[0].text.rfind(u"Please update the Castelvane driver", 0), 0u);
    for (const char16_t* module : {u"Cfgdll39.dll", u"Portpanel39.dll"}) EXPECT_EQ(UserModules::Instance().LoadCount(module), 0u);
    emu::ui::ClearMessageBoxes();
}

}  // namespace
