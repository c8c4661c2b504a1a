// The Windows 9x operation on a Windows 98 machine: the maker's older products are found in the 9x
// Enum tree and class keys by their tags and removed with everything below them; the waits run on
// the machine clock; a restart is asked for exactly when re-enumeration needs one.
#include <gtest/gtest.h>

#include <cfgmgr32.h>

#include "cm/registry.h"
#include "ke/clock.h"
#include "inf_file.h"
#include "machine_test.h"
#include "setupapi_control.h"
#include "win9xuninstalloperation.h"

namespace removertest {
namespace {

class Win9xOperationTest : public emu::testing::MachineTest {
protected:
    emu::MachineOptions Options() const override
    {
        emu::MachineOptions options;
        options.windows = emu::WindowsVersion::Win98;
        options.clockScale = 1000;
        return options;
    }
    std::u16string Key(const char16_t* subKey) { return u"\\Registry\\Machine\\" + std::u16string(subKey); }
    void AddKey(const char16_t* subKey, std::initializer_list<std::pair<const char16_t*, const char16_t*>> values = {})
    {
        machine().GetRegistry().CreateKey(Key(subKey));
        for (const auto& [name, text] : values) machine().GetRegistry().SetString(Key(subKey), name, text);
    }
    bool Exists(const char16_t* subKey) { return machine().GetRegistry().KeyExists(Key(subKey)); }

    CTfWin9xUninstallOperation m_operation;
};

TEST_F(Win9xOperationTest, TheTaggedKeysGoWithEverythingBelowThemAndTheOthersStay)
{
    struct Case {
        const char16_t* key;
        std::initializer_list<std::pair<const char16_t*, const char16_t*>> values;
        bool removed;
    } cases[] = {
        // A multifunction child whose instance carries the maker's tag, and the driver key it names.
        {u"Enum\\MF\\CHILD0000\\CASTEL_VANE&PORT1", {{u"Driver", u"Ports\\0003"}}, true},
        {u"System\\CurrentControlSet\\Services\\Class\\Ports\\0003", {{u"DriverDesc", u"Port"}}, true},
        {u"Enum\\MF\\CHILD0001\\ACME&PORT1", {{u"Driver", u"Ports\\0004"}}, false},
        {u"System\\CurrentControlSet\\Services\\Class\\Ports\\0004", {{u"DriverDesc", u"Port"}}, false},
        // A PCI card of the maker's vendor ID, chosen by name alone, with its instance and driver key.
        {u"Enum\\PCI\\VEN_1A5C&DEV_0002\\BUS_00&DEV_0E&FUNC_00", {{u"Driver", u"MultiFunction\\0000"}}, true},
        {u"System\\CurrentControlSet\\Services\\Class\\MultiFunction\\0000", {{u"DriverDesc", u"Card"}}, true},
        {u"Enum\\PCI\\VEN_8086&DEV_1234\\BUS_00", {{u"Mfg", u"Tidal Forge"}}, false},
        // Elsewhere the manufacturer decides.
        {u"Enum\\Root\\MultiFunction\\0000", {{u"Mfg", u"TIDAL FORGE Ltd."}, {u"Driver", u"MultiPortSerial\\0001"}}, true},
        {u"System\\CurrentControlSet\\Services\\Class\\MultiPortSerial\\0001", {{u"DriverDesc", u"Card"}}, true},
        {u"Enum\\PCMCIA\\OTHER\\1", {{u"Mfg", u"Other maker"}}, false},
        // Class keys of the provider.
        {u"System\\CurrentControlSet\\Services\\Class\\Ports\\0007", {{u"ProviderName", u"Tidal Forge"}}, true},
        {u"System\\CurrentControlSet\\Services\\Class\\Ports\\0000", {{u"ProviderName", u"Microsoft"}}, false},
        // The Add/Remove Programs entries.
        {u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TidalForge", {}, true},
        {u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexil.USB", {}, true},
    };
    for (const Case& c : cases) AddKey(c.key, c.values);
    AddKey(u"Enum\\PCI\\VEN_1A5C&DEV_0002\\BUS_00&DEV_0E&FUNC_00\\Deeper\\Still");

    m_operation.SearchProducts(nullptr);
    m_operation.SearchDriverFiles(nullptr);
    m_operation.SearchRegistryEntries(nullptr);
    EXPECT_EQ(m_operation.LastStep().Advances(), 2);
    EXPECT_TRUE(m_operation.UninstallProducts(nullptr));
    EXPECT_TRUE(m_operation.UninstallDriverFiles(nullptr));
    EXPECT_TRUE(m_operation.UninstallRegistryEntries(nullptr));
    EXPECT_EQ(m_operation.LastStep().Advances(), static_cast<int>(m_operation.Data().m_RegistryKeys.size()));

    for (const Case& c : cases) EXPECT_EQ(Exists(c.key), !c.removed) << emu::setup::Narrow(c.key);
    EXPECT_FALSE(Exists(u"Enum\\PCI\\VEN_1A5C&DEV_0002"));
    EXPECT_TRUE(Exists(u"Enum\\MF\\CHILD0000"));
}

TEST_F(Win9xOperationTest, TheWaitsRunOnTheMachineClock)
{
    const LONGLONG start = machine().GetClock().InterruptTime();
    m_operation.SearchProducts(nullptr);
    const LONGLONG searched = machine().GetClock().InterruptTime();
    EXPECT_GE(searched - start, 2000 * 10000LL);
    m_operation.UninstallProducts(nullptr);
    EXPECT_GE(machine().GetClock().InterruptTime() - searched, 1000 * 10000LL);
}

TEST_F(Win9xOperationTest, ARestartIsNeededExactlyWhenReenumerationSaysSo)
{
    struct Case {
        DWORD result;
        int restart;
    } cases[] = {{CR_SUCCESS, 0}, {0x22 /* CR_NEED_RESTART */, 1}, {CR_FAILURE, 0}};
    for (const Case& c : cases) {
        if (c.result != CR_SUCCESS) emu::setupapi::FailNextCall(emu::setupapi::SetupCall::ReenumerateDevNode, c.result);
        EXPECT_EQ(m_operation.IsRestartNeeded(), c.restart) << c.result;
    }
}

}  // namespace
}  // namespace removertest
