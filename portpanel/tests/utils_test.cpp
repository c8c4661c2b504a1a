// The value lists and the filling of combo boxes from them.
#include <gtest/gtest.h>

#include "machine_test.h"
#include "portpanelmodule.h"
#include "resource.h"
#include "utils.h"

namespace emu::testing {
namespace {

class ValueListTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        PortpanelInstance();
        m_box = CreateWindowExW(0, u"ComboBox", nullptr, CBS_DROPDOWNLIST, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    }
    void TearDown() override
    {
        m_box.DestroyWindow();
        MachineTest::TearDown();
    }
    static std::vector<DWORD> Values(const CValueList& list)
    {
        std::vector<DWORD> values;
        for (const CListEntry& entry : list) values.push_back(entry.dwValue);
        return values;
    }
    std::vector<std::u16string> Texts()
    {
        std::vector<std::u16string> texts;
        for (int i = 0; i < m_box.GetCount(); ++i) {
            CString text;
            m_box.GetLBText(i, text);
            texts.push_back(text.Text());
        }
        return texts;
    }
    CString Selected()
    {
        CString text;
        m_box.GetWindowText(text);
        return text;
    }

    CUtils m_utils;
    CComboBox m_box;
};

TEST_F(ValueListTest, BaudRatesFollowTheMaskAndTheMaximum)
{
    CValueList all, capped;
    m_utils.BuildBaudRateList(0x1007FFFF, 1000000, all);
    ASSERT_EQ(all.size(), 21u);
    EXPECT_EQ(Values(all)[16], 115200u);
    EXPECT_EQ(Values(all)[17], 128000u);
    EXPECT_EQ(all[20].strText, u"921600");
    m_utils.BuildBaudRateList(0x1007FFFF, 115200, capped);
    EXPECT_EQ(capped.size(), 17u);
    EXPECT_EQ(capped.back().dwValue, 115200u);

    m_utils.FillComboBox(m_box, all, 500000, FALSE);
    EXPECT_EQ(m_box.GetCount(), 22);
    EXPECT_EQ(Selected(), u"500000");
    EXPECT_EQ(m_utils.GetSelectedItemData(m_box), 500000u);
    m_utils.FillComboBox(m_box, all, 9600, FALSE);
    EXPECT_EQ(m_box.GetCount(), 21);
    EXPECT_EQ(m_utils.GetSelectedItemData(m_box), 9600u);
}

TEST_F(ValueListTest, StringListsTakeTheirPositionsMasksAndValues)
{
    struct Case {
        const char* what;
        std::function<void(CValueList&)> build;
        std::vector<DWORD> values;
    } cases[] = {
        {"all parities", [&](CValueList& l) { m_utils.BuildParityList(IDS_PARITY_LIST, 0x1F00, l); }, {2, 1, 0, 3, 4}},
        {"parity None only", [&](CValueList& l) { m_utils.BuildParityList(IDS_PARITY_LIST, 0x100, l); }, {0}},
        {"stop bits 1 and 2", [&](CValueList& l) { m_utils.BuildStopBitsList(IDS_STOPBITS_LIST, 5, l); }, {0, 2}},
        {"flow, all", [&](CValueList& l) { m_utils.BuildFlowControlList(IDS_FLOWCONTROL_LIST, 15, l); }, {4, 1, 0}},
        {"flow, half duplex", [&](CValueList& l) { m_utils.BuildFlowControlList(IDS_FLOWCONTROL_LIST, 8, l); }, {0}},
        {"duplex modes", [&](CValueList& l) { m_utils.BuildDuplexModeList(IDS_DUPLEXMODE_LIST, 0x12, l); }, {2, 5}},
        {"duplex none", [&](CValueList& l) { m_utils.BuildDuplexModeList(IDS_DUPLEXMODE_LIST, 0, l); }, {}},
        {"data bits 7 and 8", [&](CValueList& l) { m_utils.BuildDataBitsList(0xC, l); }, {2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CValueList list;
        c.build(list);
        EXPECT_EQ(Values(list), c.values);
    }
    CValueList parity;
    m_utils.BuildParityList(IDS_PARITY_LIST, 0x1F00, parity);
    EXPECT_EQ(parity[2].strText, u"None");
    CValueList duplex;
    m_utils.BuildDuplexModeList(IDS_DUPLEXMODE_LIST, 0x10, duplex);
    EXPECT_EQ(duplex.at(0).strText, u"Transmitter and Receiver Disabled");
    CValueList sizes, latencies;
    m_utils.BuildTransferSizeList(sizes);
    m_utils.BuildLatencyTimerList(latencies);
    EXPECT_EQ(sizes.size(), 64u);
    EXPECT_EQ(sizes.back().dwValue, 4096u);
    EXPECT_EQ(latencies.size(), 255u);
}

TEST_F(ValueListTest, MaskMatchingSelectsTheLastCoveringEntry)
{
    CValueList flow;
    m_utils.BuildFlowControlList(IDS_FLOWCONTROL_LIST, 15, flow);
    m_utils.FillComboBox(m_box, flow, 0, TRUE);
    EXPECT_EQ(Selected(), u"None");
    m_utils.FillComboBox(m_box, flow, 1, TRUE);
    EXPECT_EQ(Selected(), u"Hardware");
    m_utils.FillComboBox(m_box, flow, 3, TRUE);  // no entry covers it: added as its number
    EXPECT_EQ(Texts().back(), u"3");
    EXPECT_EQ(m_utils.GetSelectedItemData(m_box), 3u);
    CValueList none;
    m_utils.FillComboBox(m_box, none, 0xFFFFFFFF, FALSE);
    EXPECT_EQ(Texts(), std::vector<std::u16string>{u"4294967295"});

    CStringList names = {u"COM1", u"COM3", u"COM4 (in use)"};
    m_utils.FillComboBoxStrings(m_box, names, u"COM3");
    EXPECT_EQ(Selected(), u"COM3");
    m_utils.FillComboBoxStrings(m_box, names, u"com3");
    EXPECT_EQ(m_box.GetCurSel(), CB_ERR);
    EXPECT_EQ(m_utils.GetSelectedItemData(m_box), 0xFFFFFFFFu);
    CComboBox noBox;
    EXPECT_EQ(m_utils.GetSelectedItemData(noBox), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace emu::testing
