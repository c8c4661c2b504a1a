// Device registry sets: the values a functional device and a child device read from their keys,
// in registration order, with their defaults, the required values and the checks that make a set
// invalid (and with it the device's construction).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ex/pool.h"
#include "cm/registry.h"
#include "ob/object_manager.h"
#include "machine_test.h"
#include "tfdeviceregistrysets.h"
#include "tfmemorytracker.h"
#include "tfregistry.h"
#include "tfstring.h"

namespace {

constexpr ULONG kTracked = emu::PoolTag("TfKi");
constexpr char16_t kKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\Bus\\Device Parameters";
constexpr char16_t kChildKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\Bus\\Device Parameters\\Child1";

std::u16string Text(CTfString* pString)
{
    if (pString->m_IsEmpty()) return {};
    return std::u16string(pString->m_GetWideBuffer(), pString->m_GetLength() / sizeof(WCHAR));
}

std::vector<std::u16string> EntryNames(CTfInformationSet& set)
{
    std::vector<std::u16string> names;
    for (CTfInformationSetItem* pItem = set.m_GetFirstItem(); pItem != nullptr; pItem = set.m_GetNextItem())
        names.push_back(Text(&pItem->m_Name));
    return names;
}

class DeviceRegistrySetTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_pPrevious = TfSwapLibraryState(&m_State);
        ASSERT_TRUE(TfLibraryAddReference());
        ASSERT_TRUE(registry().CreateKey(kChildKey));
    }
    void TearDown() override
    {
        for (HANDLE hKey : m_keys) ZwClose(hKey);
        TfLibraryRelease();
        EXPECT_EQ(machine().GetPool().LiveCount(kTracked), 0u);
        TfSwapLibraryState(m_pPrevious);
        MachineTest::TearDown();
    }

    emu::Registry& registry() { return machine().GetRegistry(); }

    HANDLE Open(const char16_t* path)
    {
        CTfString Path(PagedPool, (const WCHAR*)path);
        HANDLE hKey = nullptr;
        EXPECT_TRUE(CTfRegistry::m_OpenKey(Path, &hKey, KEY_READ, FALSE));
        m_keys.push_back(hKey);
        return hKey;
    }

    void WriteFunctionalRequired()
    {
        registry().SetDword(kKey, u"TypeOfDevice", 0x22);
        registry().SetString(kKey, u"DeviceName", u"CvBus");
        registry().SetDword(kKey, u"DeviceIndexingPolicyType", 0x101);
    }

    void WriteChildRequired()
    {
        registry().SetDword(kChildKey, u"ContextID", 3);
        registry().SetDword(kChildKey, u"TypeOfDevice", 0x1B);
        registry().SetString(kChildKey, u"DeviceName", u"CvPort");
        registry().SetString(kChildKey, u"DeviceTextDescription", u"USB Serial Port");
        registry().SetString(kChildKey, u"BusQueryDeviceID", u"CVBUS\\PORT");
        registry().SetString(kChildKey, u"BusQueryHardwareIDs", u"CVBUS\\PORT");
        registry().SetString(kChildKey, u"BusTypeGuid", u"{862AB446-2AA7-4B60-8945-F579C09F36CB}");
        registry().SetDword(kChildKey, u"LegacyBusType", 15);
    }

    TF_LIBRARY_STATE m_State = {0, nullptr};
    PTF_LIBRARY_STATE m_pPrevious = nullptr;
    std::vector<HANDLE> m_keys;
};

TEST_F(DeviceRegistrySetTest, FunctionalSetReadsItsValuesAndDefaultsTheOptionalOnes)
{
    WriteFunctionalRequired();
    registry().SetDword(kKey, u"NumberChildDevices", 4);
    registry().SetDword(kKey, u"IoType", DO_DIRECT_IO);
    registry().SetDword(kKey, u"LowestStackLayer", 1);

    auto* pSet = new (NonPagedPool) CTfFunctionalDeviceRegistryInformationSet(Open(kKey), TRUE);
    ASSERT_NE(pSet, nullptr);
    EXPECT_FALSE(pSet->m_IsInvalid());
    EXPECT_EQ(pSet->m_GetTypeOfDevice(), 0x22u);
    EXPECT_EQ(Text(pSet->m_GetDeviceName()), u"CvBus");
    EXPECT_EQ(pSet->m_GetIndexingPolicy(), (ULONG)TF_INDEXING_POLICY_COUNT);
    EXPECT_TRUE(pSet->m_ChildrenGetIndex());
    EXPECT_EQ(pSet->m_GetNumberChildDevices(), 4u);
    EXPECT_EQ(pSet->m_GetIoType(), (ULONG)DO_DIRECT_IO);
    EXPECT_EQ(pSet->m_GetLowestStackLayer(), 1u);
    // Defaults of the values the key does not hold.
    EXPECT_TRUE(pSet->m_GetSymbolicLinkName()->m_IsEmpty());
    EXPECT_EQ(pSet->m_GetDeviceIsExclusive(), 1u);
    EXPECT_EQ(pSet->m_GetDisplayInUi(), 1u);
    EXPECT_EQ(pSet->m_GetReadClientType(), 0u);
    EXPECT_EQ(pSet->m_GetOutgoingWriteType(), 0u);
    // Loaded at construction: the caller's key is not kept.
    EXPECT_EQ(pSet->m_GetBoundKey(), nullptr);

    EXPECT_EQ(EntryNames(*pSet),
              (std::vector<std::u16string>{u"TypeOfDevice", u"DeviceName", u"DeviceIndexingPolicyType",
                                           u"NumberChildDevices", u"SymbolicLinkName", u"DeviceIsExclusive",
                                           u"IoType", u"DisplayInUi", u"ReadClientType", u"OutgoingWriteType",
                                           u"LowestStackLayer"}));
    delete pSet;
}

TEST_F(DeviceRegistrySetTest, FunctionalSetIsInvalidWithoutARequiredValueOrWithABadIoType)
{
    {
        registry().SetDword(kKey, u"TypeOfDevice", 0x22);
        registry().SetString(kKey, u"DeviceName", u"CvBus");  // no DeviceIndexingPolicyType
        CTfFunctionalDeviceRegistryInformationSet Set(Open(kKey), TRUE);
        EXPECT_TRUE(Set.m_IsInvalid());
    }
    WriteFunctionalRequired();
    for (ULONG ulIoType : {1u, 8u, 20u, 0xFFFFFFFFu}) {
        registry().SetDword(kKey, u"IoType", ulIoType);
        CTfFunctionalDeviceRegistryInformationSet Set(Open(kKey), TRUE);
        EXPECT_TRUE(Set.m_IsInvalid()) << ulIoType;
    }
    for (ULONG ulIoType : {0u, 4u, 16u}) {
        registry().SetDword(kKey, u"IoType", ulIoType);
        CTfFunctionalDeviceRegistryInformationSet Set(Open(kKey), TRUE);
        EXPECT_FALSE(Set.m_IsInvalid()) << ulIoType;
        EXPECT_EQ(Set.m_GetIoType(), ulIoType);
    }
}

TEST_F(DeviceRegistrySetTest, FunctionalSetWithoutLoadNowStaysBoundAndLoadsLater)
{
    HANDLE hKey = Open(kKey);
    CTfFunctionalDeviceRegistryInformationSet Set(hKey, FALSE);
    EXPECT_FALSE(Set.m_IsInvalid());
    EXPECT_EQ(Set.m_GetBoundKey(), hKey);
    EXPECT_FALSE(Set.m_Read(FALSE));  // the required values are not there yet

    WriteFunctionalRequired();
    EXPECT_TRUE(Set.m_Read(FALSE));
    EXPECT_EQ(Text(Set.m_GetDeviceName()), u"CvBus");
    EXPECT_TRUE(Set.m_Load(hKey));
    EXPECT_FALSE(Set.m_IsInvalid());
}

TEST_F(DeviceRegistrySetTest, ChildSetTakesEveryDefaultAndParsesTheBusTypeGuid)
{
    WriteChildRequired();
    CTfPhysicalDeviceRegistryInformationSet Set(Open(kChildKey), TRUE);
    ASSERT_FALSE(Set.m_IsInvalid());

    EXPECT_EQ(Set.m_GetContextID(), 3u);
    EXPECT_EQ(Set.m_GetTypeOfDevice(), 0x1Bu);
    EXPECT_EQ(Text(Set.m_GetDeviceTextDescription()), u"USB Serial Port");
    EXPECT_EQ(Set.m_GetLegacyBusType(), 15u);
    const GUID& Guid = Set.m_GetBusTypeGuid();
    EXPECT_EQ(Guid.Data1, 0x862AB446u);
    EXPECT_EQ(Guid.Data2, 0x2AA7);
    EXPECT_EQ(Guid.Data3, 0x4B60);
    EXPECT_EQ(Guid.Data4[0], 0x89);
    EXPECT_EQ(Guid.Data4[7], 0xCB);

    EXPECT_EQ(Set.m_GetDeviceIsExclusive(), 1u);
    EXPECT_EQ(Set.m_GetIoType(), (ULONG)DO_BUFFERED_IO);
    EXPECT_EQ(Set.m_GetAddress(), 0xFFFFFFFFu);
    EXPECT_EQ(Set.m_GetUINumber(), 0xFFFFFFFFu);
    EXPECT_EQ(Set.m_GetDeviceState(PowerSystemWorking), 1u);
    for (ULONG ulState = PowerSystemSleeping1; ulState <= PowerSystemShutdown; ulState++)
        EXPECT_EQ(Set.m_GetDeviceState(ulState), 4u) << ulState;
    EXPECT_EQ(Set.m_GetDeviceState(PowerSystemUnspecified), 0u);
    EXPECT_EQ(Set.m_GetDeviceState(PowerSystemMaximum), 0u);
    EXPECT_EQ(Set.m_GetHandleBusQueryHardwareIDs(), 1u);
    EXPECT_EQ(Set.m_GetHandleBusQueryCompatibleIDs(), 0u);
    EXPECT_EQ(Set.m_GetHandleBusQueryInstanceID(), 1u);
    EXPECT_EQ(Text(Set.m_GetBusQueryInstanceID()), u"0000");
    EXPECT_TRUE(Set.m_GetBusQueryCompatibleIDs()->m_IsEmpty());
    EXPECT_TRUE(Set.m_GetDeviceTextLocationInformation()->m_IsEmpty());
    EXPECT_EQ(Set.m_GetBusNumber(), 1u);
    EXPECT_EQ(Set.m_GetReadServerType(), 0u);
    EXPECT_EQ(Set.m_GetIncomingWriteType(), 0u);
    EXPECT_EQ(Set.m_GetSurpriseRemovalOK(), 0u);

    std::vector<std::u16string> names = EntryNames(Set);
    ASSERT_EQ(names.size(), 49u);
    EXPECT_EQ(names[6], u"BusTypeGuid");
    EXPECT_EQ(names[7], u"LegacyBusType");
    EXPECT_EQ(names[28], u"DeviceState_PowerSystemWorking");
    EXPECT_EQ(names[33], u"DeviceState_PowerSystemShutdown");
    EXPECT_EQ(names[45], u"BusQueryInstanceID");
    EXPECT_EQ(names[48], u"BusNumber");
}

TEST_F(DeviceRegistrySetTest, ChildSetIsInvalidForValuesOutsideTheirRanges)
{
    WriteChildRequired();
    struct Case {
        const char16_t* name;
        ULONG value;
    };
    const Case cases[] = {{u"LegacyBusType", 16},
                          {u"LegacyBusType", 0xFFFFFFFF},
                          {u"IoType", 2},
                          {u"DeviceState_PowerSystemWorking", 5},
                          {u"DeviceState_PowerSystemHibernate", 0xFFFFFFFF},
                          {u"SystemWake", 7},
                          {u"DeviceWake", 5}};
    for (const Case& c : cases) {
        std::optional<emu::RegistryValue> saved = registry().GetValue(kChildKey, c.name);
        registry().SetDword(kChildKey, c.name, c.value);
        {
            CTfPhysicalDeviceRegistryInformationSet Set(Open(kChildKey), TRUE);
            EXPECT_TRUE(Set.m_IsInvalid()) << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name))
                                           << " " << c.value;
        }
        if (saved)
            registry().SetValue(kChildKey, c.name, saved->type, saved->data);
        else
            registry().DeleteValue(kChildKey, c.name);
    }
    registry().SetDword(kChildKey, u"SystemWake", 6);
    registry().SetDword(kChildKey, u"DeviceState_PowerSystemSleeping3", 3);
    CTfPhysicalDeviceRegistryInformationSet Set(Open(kChildKey), TRUE);
    EXPECT_FALSE(Set.m_IsInvalid());
    EXPECT_EQ(Set.m_GetSystemWake(), 6u);
    EXPECT_EQ(Set.m_GetDeviceState(PowerSystemSleeping3), 3u);
}

TEST_F(DeviceRegistrySetTest, ChildSetRefusesABusTypeGuidThatIsNotABracedGuid)
{
    WriteChildRequired();
    for (const char16_t* text : {u"862AB446-2AA7-4B60-8945-F579C09F36CB", u"{862AB446-2AA7-4B60-8945-F579C09F36C}",
                                 u"{not a guid at all, but the same length as one..}", u""}) {
        registry().SetString(kChildKey, u"BusTypeGuid", text);
        CTfPhysicalDeviceRegistryInformationSet Set(Open(kChildKey), TRUE);
        EXPECT_TRUE(Set.m_IsInvalid());
    }
    registry().DeleteValue(kChildKey, u"BusTypeGuid");
    CTfPhysicalDeviceRegistryInformationSet Missing(Open(kChildKey), TRUE);
    EXPECT_TRUE(Missing.m_IsInvalid());
}

TEST_F(DeviceRegistrySetTest, ChildSetIsInvalidWhenAnyRequiredValueIsMissing)
{
    const char16_t* required[] = {u"ContextID",          u"TypeOfDevice",        u"DeviceName",
                                  u"DeviceTextDescription", u"BusQueryDeviceID", u"BusQueryHardwareIDs",
                                  u"BusTypeGuid",        u"LegacyBusType"};
    for (const char16_t* name : required) {
        WriteChildRequired();
        registry().DeleteValue(kChildKey, name);
        CTfPhysicalDeviceRegistryInformationSet Set(Open(kChildKey), TRUE);
        EXPECT_TRUE(Set.m_IsInvalid());
    }
}

}  // namespace
