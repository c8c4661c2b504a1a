// Property sheets: pages made on first activation, the notifications in Windows' order, refusal,
// release, nested modal sheets, and tool tips asking their owner for text.
#include "property_sheet.h"
#include "ui_control.h"
#include "ui_test_module.h"

namespace emu::testing {
namespace {

std::vector<std::string>* g_callbacks = nullptr;

UINT CALLBACK PageCallback(HWND, UINT message, PROPSHEETPAGEW* page)
{
    auto* script = reinterpret_cast<PageScript*>(page->lParam);
    const char* names[] = {"ADDREF", "RELEASE", "CREATE"};
    g_callbacks->push_back(script->name + ":" + names[message]);
    return 1;
}

class PropertySheetTest : public UiTest {
protected:
    void SetUp() override
    {
        UiTest::SetUp();
        g_callbacks = &m_log;
        for (const char* name : {"p0", "p1", "p2"}) m_scripts.push_back(PageScript{name, &m_log, {}, {}});
    }
    HPROPSHEETPAGE MakePage(PageScript& script)
    {
        PROPSHEETPAGEW page{};
        page.dwSize = sizeof page;
        page.dwFlags = PSP_USETITLE | PSP_USECALLBACK;
        page.hInstance = TestModule();
        page.pszTemplate = MAKEINTRESOURCEW(kDialog);
        page.pszTitle = MAKEINTRESOURCEW(kTitleString);
        page.pfnDlgProc = ScriptedPageProc;
        page.lParam = reinterpret_cast<LPARAM>(&script);
        page.pfnCallback = PageCallback;
        return CreatePropertySheetPageW(&page);
    }
    std::vector<HPROPSHEETPAGE> Pages()
    {
        std::vector<HPROPSHEETPAGE> pages;
        for (PageScript& script : m_scripts) pages.push_back(MakePage(script));
        m_log.clear();
        return pages;
    }

    std::vector<std::string> m_log;
    std::vector<PageScript> m_scripts;
};

TEST_F(PropertySheetTest, PagesAreMadeOnFirstActivationAndOkAppliesOnlyThose)
{
    ui::PropertySheet sheet(Pages());
    EXPECT_EQ(sheet.PageTitle(1), u"Page Title");
    ASSERT_TRUE(sheet.Activate(0));
    EXPECT_EQ(sheet.PageWindow(1), nullptr);
    ASSERT_TRUE(sheet.Activate(2));
    EXPECT_TRUE(sheet.PressOk());
    const std::vector<std::string> expected = {
        "p0:CREATE", "p0:INIT", "p0:SETACTIVE", "p0:KILLACTIVE", "p2:CREATE", "p2:INIT", "p2:SETACTIVE",
        "p2:KILLACTIVE", "p0:APPLY(ok)", "p2:APPLY(ok)", "p0:DESTROY", "p2:DESTROY", "p0:RELEASE", "p1:RELEASE",
        "p2:RELEASE"};
    EXPECT_EQ(m_log, expected);
    EXPECT_EQ(sheet.Result(), IDOK);
    EXPECT_EQ(ui::LiveWindows(), 0u);
}

TEST_F(PropertySheetTest, ARefusingPageKeepsTheSheetOpenAndComesToTheFront)
{
    ui::PropertySheet sheet(Pages());
    sheet.Activate(0);
    sheet.Activate(1);
    m_scripts[0].notifyAnswers[PSN_APPLY] = PSNRET_INVALID;
    m_log.clear();
    EXPECT_FALSE(sheet.PressOk());
    EXPECT_EQ(m_log, (std::vector<std::string>{"p1:KILLACTIVE", "p0:APPLY(ok)", "p1:KILLACTIVE", "p0:SETACTIVE"}));
    EXPECT_EQ(sheet.ActivePage(), 0);
    EXPECT_FALSE(IsWindowVisible(sheet.PageWindow(1)));

    // A page that will not be left stops the OK before any apply.
    m_scripts[0].notifyAnswers[PSN_KILLACTIVE] = TRUE;
    m_log.clear();
    EXPECT_FALSE(sheet.PressOk());
    EXPECT_EQ(m_log, std::vector<std::string>{"p0:KILLACTIVE"});
    EXPECT_FALSE(sheet.Activate(2));

    m_scripts[0].notifyAnswers.clear();
    m_log.clear();
    EXPECT_TRUE(sheet.PressApply());
    EXPECT_TRUE(sheet.IsOpen());
    EXPECT_EQ(m_log, (std::vector<std::string>{"p0:KILLACTIVE", "p0:APPLY(apply)", "p1:APPLY(apply)"}));
    m_log.clear();
    EXPECT_TRUE(sheet.PressCancel());
    EXPECT_EQ(m_log, (std::vector<std::string>{"p0:QUERYCANCEL", "p0:RESET", "p1:RESET", "p0:DESTROY", "p1:DESTROY",
                                               "p0:RELEASE", "p1:RELEASE", "p2:RELEASE"}));
    EXPECT_EQ(sheet.Result(), 0);
}

TEST_F(PropertySheetTest, ARefusedPageIsReleasedByDestroyingIt)
{
    HPROPSHEETPAGE page = MakePage(m_scripts[0]);
    EXPECT_EQ(m_log, std::vector<std::string>{"p0:ADDREF"});
    EXPECT_TRUE(DestroyPropertySheetPage(page));
    EXPECT_EQ(m_log, (std::vector<std::string>{"p0:ADDREF", "p0:RELEASE"}));
}

TEST_F(PropertySheetTest, AModalSheetRunsNestedInsideAPageAndReturnsItsResult)
{
    PageScript inner{"inner", &m_log, {}, {}};
    PROPSHEETPAGEW innerPage{};
    innerPage.dwSize = sizeof innerPage;
    innerPage.hInstance = TestModule();
    innerPage.pszTemplate = MAKEINTRESOURCEW(kDialog);
    innerPage.pfnDlgProc = ScriptedPageProc;
    innerPage.lParam = reinterpret_cast<LPARAM>(&inner);
    INT_PTR modalResult = -1;
    HWND activeDuringModal = nullptr;
    m_scripts[0].onCommand = [&](HWND page, WPARAM wParam) {
        if (LOWORD(wParam) != kPush) return;
        PROPSHEETHEADERW header{};
        header.dwSize = sizeof header;
        header.dwFlags = PSH_PROPSHEETPAGE | PSH_NOAPPLYNOW | PSH_PROPTITLE;
        header.hwndParent = GetActiveWindow();
        header.pszCaption = u"Advanced Settings for COM3";
        header.nPages = 1;
        header.ppsp = &innerPage;
        modalResult = PropertySheetW(&header);
    };
    ui::PropertySheet outer(Pages());
    outer.Activate(0);
    ui::ScriptNextModalSheet([&](ui::PropertySheet& sheet) {
        activeDuringModal = GetActiveWindow();
        EXPECT_EQ(sheet.Caption(), u"Advanced Settings for COM3");
        EXPECT_EQ(GetParent(sheet.Window()), outer.Window());
        EXPECT_TRUE(sheet.PressOk());
    });
    ui::Click(GetDlgItem(outer.PageWindow(0), kPush));
    EXPECT_EQ(modalResult, IDOK);
    EXPECT_NE(activeDuringModal, outer.Window());
    EXPECT_EQ(GetActiveWindow(), outer.Window());
    // Without a script the sheet is cancelled at once.
    ui::Click(GetDlgItem(outer.PageWindow(0), kPush));
    EXPECT_EQ(modalResult, 0);
    EXPECT_EQ(ui::UnscriptedModalSheets(), 1u);
}

// A dialog that gives its tool tip texts by callback and switches the tip's title while answering.
INT_PTR CALLBACK TipOwnerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_NOTIFY) return message == WM_INITDIALOG;
    auto* info = reinterpret_cast<NMTTDISPINFOW*>(lParam);
    if (info->hdr.code != TTN_GETDISPINFOW) return FALSE;
    if (reinterpret_cast<HWND>(info->hdr.idFrom) == GetDlgItem(hwnd, kBaud)) {
        SendMessageW(info->hdr.hwndFrom, TTM_SETTITLEW, TTI_ERROR, reinterpret_cast<LPARAM>(u"Error:"));
        info->lpszText = const_cast<LPWSTR>(u"Out of range");
    } else {
        info->hinst = TestModule();
        info->lpszText = MAKEINTRESOURCEW(kTitleString);
    }
    return TRUE;
}

TEST_F(PropertySheetTest, ToolTipsAskTheirOwnerAndShowItsTitle)
{
    HWND dialog = CreateDialogParamW(TestModule(), MAKEINTRESOURCEW(kDialog), nullptr, TipOwnerProc, 0);
    HWND tip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, TTS_ALWAYSTIP, 0, 0, 0, 0, dialog, nullptr, nullptr, nullptr);
    for (int id : {kBaud, kParity}) {
        TOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = dialog;
        tool.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(dialog, id));
        tool.lpszText = LPSTR_TEXTCALLBACKW;
        SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    SendMessageW(tip, TTM_SETTITLEW, TTI_INFO, reinterpret_cast<LPARAM>(u"Information:"));
    ui::ToolTipShown shown = ui::Hover(GetDlgItem(dialog, kParity));
    EXPECT_TRUE(shown.shown);
    EXPECT_EQ(shown.text, u"Page Title");
    EXPECT_EQ(shown.title, u"Information:");
    shown = ui::Hover(GetDlgItem(dialog, kBaud));
    EXPECT_EQ(shown.text, u"Out of range");
    EXPECT_EQ(shown.icon, TTI_ERROR);
    EXPECT_FALSE(ui::Hover(GetDlgItem(dialog, kLabel)).shown);
    SendMessageW(tip, TTM_ACTIVATE, FALSE, 0);
    EXPECT_FALSE(ui::Hover(GetDlgItem(dialog, kParity)).shown);
    DestroyWindow(tip);
    DestroyWindow(dialog);
}

}  // namespace
}  // namespace emu::testing
