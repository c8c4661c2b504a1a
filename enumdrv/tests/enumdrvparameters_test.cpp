// The bus parameter set: its fourteen values in wire order, their kinds and defaults, and the
// serialised form the property pages read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cm/registry.h"
#include "enumdrvparameters.h"
#include "ex/pool.h"
#include "machine_test.h"
#include "tfmemorytracker.h"
#include "tfregistry.h"

namespace {

struct Expected {
    std::string name;
    ULONG kind;
    ULONG value;  // numbers only
};

const std::vector<Expected> kDefaults = {
    {"USB_TxTransferSize", TF_ITEM_KIND_DWORD, 4096},  {"USB_RxTransferSize", TF_ITEM_KIND_DWORD, 4096},
    {"USB_LatencyTimer", TF_ITEM_KIND_DWORD, 16},      {"RxFifoSize", TF_ITEM_KIND_DWORD, 256},
    {"TxFifoSize", TF_ITEM_KIND_DWORD, 128},           {"MaximumBaudRate", TF_ITEM_KIND_DWORD, 1000000},
    {"InterfaceType", TF_ITEM_KIND_STRING, 0},         {"PolicyType", TF_ITEM_KIND_DWORD, 0},
    {"MaximumLatency", TF_ITEM_KIND_DWORD, 1040},      {"MaximumLatencySliderPos", TF_ITEM_KIND_DWORD, 6111},
    {"MaximumLatencyFineTuning", TF_ITEM_KIND_DWORD, 0}, {"LowCpuUsageFineTuning", TF_ITEM_KIND_DWORD, 192},
    {"PortType", TF_ITEM_KIND_DWORD, 0},               {"SoftTxLimit", TF_ITEM_KIND_DWORD, 13},
};

class ParameterSetTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(TfLibraryAddReference());
        m_baseline = machine().GetPool().LiveCount(TF_TAG_TRACKED);
        m_pSet = new (NonPagedPool) CEnumdrvParameterInformationSet();
        ASSERT_NE(m_pSet, nullptr);
        ASSERT_TRUE(m_pSet->m_IsConstructed());
    }
    void TearDown() override
    {
        delete m_pSet;
        EXPECT_EQ(m_baseline, machine().GetPool().LiveCount(TF_TAG_TRACKED));
        TfLibraryRelease();
        MachineTest::TearDown();
    }
    void ReadFrom(const std::u16string& path)
    {
        ASSERT_TRUE(machine().GetRegistry().CreateKey(path));
        HANDLE key = nullptr;
        CTfString keyPath(NonPagedPool, path.c_str());
        ASSERT_TRUE(CTfRegistry::m_OpenKey(keyPath, &key, KEY_READ, FALSE));
        EXPECT_TRUE(m_pSet->m_ReadFromKey(key, FALSE));
        CTfRegistry::m_CloseKey(key);
    }
    std::vector<ULONG> Numbers()
    {
        std::vector<ULONG> numbers;
        for (CTfInformationSetItem* pItem = m_pSet->m_GetFirstItem(); pItem; pItem = m_pSet->m_GetNextItem())
            if (pItem->m_ulKind == TF_ITEM_KIND_DWORD) numbers.push_back(*static_cast<PULONG>(pItem->m_pTarget));
        return numbers;
    }

    size_t m_baseline = 0;
    CEnumdrvParameterInformationSet* m_pSet = nullptr;
};

TEST_F(ParameterSetTest, FourteenValuesInWireOrderEachNumberUnsetUntilRead)
{
    std::vector<Expected> seen;
    for (CTfInformationSetItem* pItem = m_pSet->m_GetFirstItem(); pItem; pItem = m_pSet->m_GetNextItem()) {
        EXPECT_EQ(pItem->m_ulRequired, 0u);
        seen.push_back({pItem->m_Name.m_GetAnsiBuffer(), pItem->m_ulKind, 0});
        if (pItem->m_ulKind == TF_ITEM_KIND_DWORD) {
            EXPECT_EQ(*static_cast<PULONG>(pItem->m_pTarget), 0xFFFFFFFFu);
        }
    }
    ASSERT_EQ(seen.size(), kDefaults.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].name, kDefaults[i].name) << i;
        EXPECT_EQ(seen[i].kind, kDefaults[i].kind) << i;
    }
}

TEST_F(ParameterSetTest, AMissingValueTakesItsDefault)
{
    ReadFrom(u"\\Registry\\Machine\\Software\\EnumdrvTest\\Empty");
    std::vector<ULONG> expected;
    for (const Expected& e : kDefaults)
        if (e.kind == TF_ITEM_KIND_DWORD) expected.push_back(e.value);
    EXPECT_EQ(Numbers(), expected);
    EXPECT_STREQ(m_pSet->m_GetInterfaceType().m_GetAnsiBuffer(), "USB");

    ENUMDRV_PARAMETERS values;
    m_pSet->m_GetValues(&values);
    EXPECT_EQ(values.ulTxTransferSize, 4096u);
    EXPECT_EQ(values.ulMaximumLatencySliderPos, 6111u);
    EXPECT_EQ(values.ulSoftTxLimit, 13u);
}

TEST_F(ParameterSetTest, SerialisedAsTheBusInformationSetThePagesRead)
{
    std::u16string path = u"\\Registry\\Machine\\Software\\EnumdrvTest\\Values";
    ASSERT_TRUE(machine().GetRegistry().CreateKey(path));
    machine().GetRegistry().SetDword(path, u"PolicyType", 1);
    machine().GetRegistry().SetDword(path, u"PortType", 2);
    ReadFrom(path);
    // Flags 3: each number as 4 bytes, a string as its length, its text and a zero, in order.
    std::vector<uint8_t> expected;
    auto number = [&](ULONG v) {
        for (int s = 0; s < 32; s += 8) expected.push_back(static_cast<uint8_t>(v >> s));
    };
    for (const Expected& e : kDefaults) {
        if (e.kind == TF_ITEM_KIND_STRING) {
            number(3);
            expected.insert(expected.end(), {'U', 'S', 'B', 0});
        } else {
            number(e.name == "PolicyType" ? 1 : e.name == "PortType" ? 2 : e.value);
        }
    }
    ULONG size = m_pSet->GetSerialisedSize(3);
    ASSERT_EQ(size, expected.size());
    std::vector<uint8_t> wire(size);
    ASSERT_TRUE(m_pSet->Serialise(wire.data(), size, 3));
    EXPECT_EQ(wire, expected);
}

}  // namespace
