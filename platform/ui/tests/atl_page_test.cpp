// The ATL/WTL subset: a page written with CPropertyPageImpl and a message map, its controls
// through the wrappers, a nested CPropertySheetImpl, a hyperlink, and CString.
#include <atlctrls.h>
#include <atlctrlx.h>
#include <atldlgs.h>

#include "property_sheet.h"
#include "ui_control.h"
#include "ui_test_module.h"

namespace emu::testing {
namespace {

class InnerPage : public CPropertyPageImpl<InnerPage> {
public:
    enum { IDD = kDialog };
    int applied = 0;
    int OnApply()
    {
        ++applied;
        return PSNRET_NOERROR;
    }
};

class OuterPage : public CPropertyPageImpl<OuterPage> {
public:
    enum { IDD = kDialog };
    std::vector<std::string> events;
    INT_PTR modal = -1;
    int refuseApplies = 0;
    CHyperLink link;

    BEGIN_MSG_MAP(OuterPage)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    COMMAND_HANDLER(kCheck, BN_CLICKED, OnCheck)
    COMMAND_ID_HANDLER(kPush, OnPush)
    CHAIN_MSG_MAP(CPropertyPageImpl<OuterPage>)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
    {
        CComboBox parity(GetDlgItem(kParity));
        for (LPCWSTR text : {u"Even", u"Odd", u"None"}) {
            const int index = parity.AddString(text);
            parity.SetItemData(index, (index + 1) * 10);
        }
        parity.SetCurSel(2);
        CTrackBarCtrl slider(GetDlgItem(kSlider));
        slider.SetRange(2, 16640);
        slider.SetPos(0);
        link.SubclassWindow(GetDlgItem(kLabel));
        link.SetHyperLink(u"http://www.example.com");
        events.push_back("init");
        return TRUE;
    }
    LRESULT OnCheck(WORD, WORD, HWND, BOOL&)
    {
        events.push_back(CButton(GetDlgItem(kCheck)).GetCheck() ? "checked" : "unchecked");
        SetModified();
        return 0;
    }
    LRESULT OnPush(WORD, WORD, HWND, BOOL&)
    {
        InnerPage inner;
        CPropertySheetImpl<CWindow> sheet;
        CString caption;
        caption.Format(u"Advanced Settings for %s", u"COM3");
        sheet.SetTitle(caption, PSH_PROPTITLE);
        sheet.m_psh.dwFlags |= PSH_NOAPPLYNOW;
        sheet.AddPage(inner);
        modal = sheet.DoModal();
        events.push_back("inner applied " + std::to_string(inner.applied));
        return 0;
    }
    BOOL OnSetActive()
    {
        events.push_back("active");
        return TRUE;
    }
    int OnApply()
    {
        events.push_back("apply");
        return refuseApplies-- > 0 ? PSNRET_INVALID : PSNRET_NOERROR;
    }
    void OnPageRelease() override { events.push_back("release"); }
};

TEST_F(UiTest, AnAtlPageRoutesItsMessagesAndNotifications)
{
    ATL::_AtlBaseModule.SetResourceInstance(TestModule());
    OuterPage page;
    page.refuseApplies = 1;
    {
        ui::PropertySheet sheet({page.Create()});
        ASSERT_TRUE(sheet.Activate(0));
        HWND window = sheet.PageWindow(0);
        EXPECT_EQ(CComboBox(GetDlgItem(window, kParity)).GetItemData(2), 30u);
        EXPECT_EQ(CTrackBarCtrl(GetDlgItem(window, kSlider)).GetPos(), 2);
        ui::Click(GetDlgItem(window, kCheck));
        EXPECT_TRUE(sheet.Changed());
        ui::Click(GetDlgItem(window, kLabel));
        EXPECT_EQ(ui::ShellCalls().at(0).file, u"http://www.example.com");

        ui::ScriptNextModalSheet([](ui::PropertySheet& inner) {
            EXPECT_EQ(inner.Caption(), u"Advanced Settings for COM3");
            EXPECT_EQ(inner.Flags() & (PSH_PROPTITLE | PSH_NOAPPLYNOW), static_cast<DWORD>(PSH_PROPTITLE | PSH_NOAPPLYNOW));
            inner.PressOk();
        });
        ui::Click(GetDlgItem(window, kPush));
        EXPECT_EQ(page.modal, IDOK);
        EXPECT_FALSE(sheet.PressOk());
        EXPECT_TRUE(sheet.PressOk());
    }
    const std::vector<std::string> expected = {"init", "active", "checked", "inner applied 1", "apply", "active",
                                               "apply", "release"};
    EXPECT_EQ(page.events, expected);
    ATL::_AtlBaseModule.SetResourceInstance(nullptr);
}

TEST(CStringTest, FormatsAndEditsAsTheProductExpects)
{
    CString text;
    text.Format(u"%d baud, %u, %05d, %x, %s, %S, %c, %%", -5, 4000000000u, 42, 255, u"wide", "narrow", u'Z');
    EXPECT_EQ(text, u"-5 baud, 4000000000, 00042, ff, wide, narrow, Z, %");
    CString port(u"COM4 (in use)");
    EXPECT_EQ(port.Replace(u" (in use)", u""), 1);
    EXPECT_EQ(port, u"COM4");
    EXPECT_EQ(port.Mid(3), u"4");
    EXPECT_EQ(port.Left(2), u"CO");
    EXPECT_EQ(CString(u"a\\b\\c").ReverseFind(u'\\'), 3);
    EXPECT_EQ(CString(u"a\\b\\c").Find(u'\\'), 1);
    CString key(u"{4D36E978}\\0005");
    EXPECT_EQ(key.Remove(u'\\'), 1);
    EXPECT_EQ(key.MakeLower(), u"{4d36e978}0005");
    EXPECT_EQ(CString(u"CvGenDrv").CompareNoCase(u"CVGENDRV"), 0);
    CString buffer;
    LPWSTR raw = buffer.GetBuffer(10);
    raw[0] = u'o';
    raw[1] = u'k';
    raw[2] = 0;
    buffer.ReleaseBuffer();
    EXPECT_EQ(buffer.GetLength(), 2);
    EXPECT_TRUE(CString().IsEmpty());
}

}  // namespace
}  // namespace emu::testing
