// Device naming through the framework: the bus FDO named by the per-driver counter and passing
// its index on to the children it creates, and function FDOs named by the index of the child
// below them. Names are checked in the machine's object namespace.
#include "framework_scenario.h"

#include "ob/object_namespace.h"

namespace tfscenario {
namespace {

class NamingScenario : public FrameworkScenario {
protected:
    emu::ObjectNamespace& Names() { return machine().GetNamespace(); }
    PDEVICE_OBJECT Named(const std::u16string& name) { return Names().DeviceByName(u"\\Device\\" + name); }

    // The bus INF's values with the bus FDO counted and its index passed to the children.
    void WriteCountingBus(std::optional<ULONG> deviceCount)
    {
        WriteBusRegistry({{1}, {2}});
        Reg().SetDword(HardwareKey(kBusInstancePath), u"DeviceIndexingPolicyType", 0x101);
        if (deviceCount) Reg().SetDword(ServiceKey(kBusService), u"DeviceCount", *deviceCount);
    }
};

TEST_F(NamingScenario, FirstCountedBusKeepsItsPlainNameAndTheChildrenTheirs)
{
    WriteCountingBus(std::nullopt);
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    // Index 0 adds no suffix, to the bus or to the children it is passed to.
    EXPECT_EQ(Named(u"TfBus"), BusFdo());
    EXPECT_EQ(Named(u"TfBus0"), nullptr);
    EXPECT_EQ(Named(u"TfPort1"), ChildPdo(1));
    EXPECT_EQ(Named(u"TfPort2"), ChildPdo(2));
    EXPECT_EQ(Reg().GetDword(ServiceKey(kBusService), u"DeviceCount"), 1u);
    EXPECT_EQ(Reg().GetDword(HardwareKey(kBusInstancePath), u"DeviceNameIndex"), 1u);
}

TEST_F(NamingScenario, CountedBusIndexIsAppendedToItsNameAndToTheChildrenNames)
{
    WriteCountingBus(1);
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    ASSERT_NE(BusFdo(), nullptr);
    EXPECT_EQ(Named(u"TfBus1"), BusFdo());
    EXPECT_EQ(Named(u"TfBus"), nullptr);
    ASSERT_NE(ChildPdo(1), nullptr);
    ASSERT_NE(ChildPdo(2), nullptr);
    EXPECT_EQ(Named(u"TfPort11"), ChildPdo(1));
    EXPECT_EQ(Named(u"TfPort21"), ChildPdo(2));
    EXPECT_EQ(Named(u"TfPort1"), nullptr);
    EXPECT_EQ(Reg().GetDword(ServiceKey(kBusService), u"DeviceCount"), 2u);
    EXPECT_EQ(Reg().GetDword(HardwareKey(kBusInstancePath), u"DeviceNameIndex"), 2u);
}

TEST_F(NamingScenario, ReplugKeepsTheStoredIndexAndDoesNotCountAgain)
{
    WriteCountingBus(1);
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    ASSERT_EQ(Unplug(), STATUS_SUCCESS);
    EXPECT_EQ(Named(u"TfBus1"), nullptr);
    EXPECT_EQ(Named(u"TfPort11"), nullptr);

    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(Named(u"TfBus1"), BusFdo());
    EXPECT_EQ(Named(u"TfPort11"), ChildPdo(1));
    EXPECT_EQ(Named(u"TfPort21"), ChildPdo(2));
    EXPECT_EQ(Reg().GetDword(ServiceKey(kBusService), u"DeviceCount"), 2u);
}

TEST_F(NamingScenario, FunctionDevicesTakeTheIndexOfTheChildBelow)
{
    WriteCountingBus(1);
    for (ULONG id : {1u, 2u}) {
        std::u16string key = HardwareKey(ChildInstancePath(id));
        Reg().SetDword(key, u"DeviceIndexingPolicyType", 2);
        Reg().SetString(key, u"DeviceName", id == 1 ? u"TfFuncA" : u"TfFuncB");
    }
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    ASSERT_NE(FunctionFdo(1), nullptr);
    ASSERT_NE(FunctionFdo(2), nullptr);
    EXPECT_EQ(Named(u"TfFuncA1"), FunctionFdo(1));
    EXPECT_EQ(Named(u"TfFuncB1"), FunctionFdo(2));
    // The per-driver counter is not touched by this policy.
    EXPECT_FALSE(Reg().GetDword(ServiceKey(kFuncService), u"DeviceCount").has_value());
    EXPECT_FALSE(Reg().GetDword(HardwareKey(ChildInstancePath(1)), u"DeviceNameIndex").has_value());
}

TEST_F(NamingScenario, ChildIndexPolicyWithoutAnIndexPassedOnAddsNoSuffix)
{
    // Policy 1 on the bus: the children get no index, so neither do the functions above them.
    WriteBusRegistry({{1}, {2}});
    Reg().SetDword(ServiceKey(kBusService), u"DeviceCount", 1);
    for (ULONG id : {1u, 2u}) {
        std::u16string key = HardwareKey(ChildInstancePath(id));
        Reg().SetDword(key, u"DeviceIndexingPolicyType", 2);
        Reg().SetString(key, u"DeviceName", id == 1 ? u"TfFuncA" : u"TfFuncB");
    }
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(Named(u"TfBus1"), BusFdo());
    EXPECT_EQ(Named(u"TfPort1"), ChildPdo(1));
    EXPECT_EQ(Named(u"TfPort2"), ChildPdo(2));
    EXPECT_EQ(Named(u"TfFuncA"), FunctionFdo(1));
    EXPECT_EQ(Named(u"TfFuncB"), FunctionFdo(2));
}

}  // namespace
}  // namespace tfscenario
