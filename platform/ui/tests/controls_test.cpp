// Dialogs from templates and the standard controls, driven as a user would.
#include <htmlhelp.h>
#include <shellapi.h>
#include <wingdi.h>

#include "ui_control.h"
#include "ui_test_module.h"

namespace emu::testing {
namespace {

// A dialog of the test module whose procedure records WM_COMMAND and WM_HSCROLL.
struct Recorded {
    std::vector<std::pair<int, int>> commands;  // (id, code)
    std::vector<int> scrolls;                   // positions of TB_THUMBPOSITION
};
Recorded* g_recorded = nullptr;

INT_PTR CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND) g_recorded->commands.emplace_back(LOWORD(wParam), HIWORD(wParam));
    if (message == WM_HSCROLL && LOWORD(wParam) == TB_THUMBPOSITION) g_recorded->scrolls.push_back(HIWORD(wParam));
    if (message == WM_CTLCOLORDLG) return 1234;
    return message == WM_INITDIALOG;
}

class ControlsTest : public UiTest {
protected:
    void SetUp() override
    {
        UiTest::SetUp();
        g_recorded = &m_recorded;
        m_dialog = CreateDialogParamW(TestModule(), MAKEINTRESOURCEW(kDialog), nullptr, RecordingProc, 0);
        ASSERT_NE(m_dialog, nullptr);
    }
    void TearDown() override
    {
        DestroyWindow(m_dialog);
        EXPECT_EQ(ui::LiveWindows(), 0u);
        UiTest::TearDown();
    }
    HWND Item(int id) { return GetDlgItem(m_dialog, id); }

    Recorded m_recorded;
    HWND m_dialog = nullptr;
};

TEST_F(ControlsTest, ButtonsToggleSelectTheirGroupAndIgnoreClicksWhileDisabled)
{
    ui::Click(Item(kCheck));
    EXPECT_EQ(IsDlgButtonChecked(m_dialog, kCheck), static_cast<UINT>(BST_CHECKED));
    ui::Click(Item(kRadioA));
    ui::Click(Item(kRadioB));
    EXPECT_EQ(IsDlgButtonChecked(m_dialog, kRadioA), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(IsDlgButtonChecked(m_dialog, kRadioB), static_cast<UINT>(BST_CHECKED));
    // The check box is in another group: radio clicks leave it alone.
    EXPECT_EQ(IsDlgButtonChecked(m_dialog, kCheck), static_cast<UINT>(BST_CHECKED));
    EnableWindow(Item(kCheck), FALSE);
    ui::Click(Item(kCheck));
    EXPECT_EQ(IsDlgButtonChecked(m_dialog, kCheck), static_cast<UINT>(BST_CHECKED));
    ui::Click(Item(kPush));
    const std::vector<std::pair<int, int>> expected = {
        {kCheck, BN_CLICKED}, {kRadioA, BN_CLICKED}, {kRadioB, BN_CLICKED}, {kPush, BN_CLICKED}};
    EXPECT_EQ(m_recorded.commands, expected);
}

TEST_F(ControlsTest, DropDownComboKeepsItsTextInADigitsOnlyEdit)
{
    HWND baud = Item(kBaud);
    COMBOBOXINFO info{};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetComboBoxInfo(baud, &info));
    ASSERT_NE(info.hwndItem, nullptr);
    EXPECT_EQ(GetWindow(baud, GW_CHILD), info.hwndItem);
    SetWindowLongW(info.hwndItem, GWL_STYLE, GetWindowLongW(info.hwndItem, GWL_STYLE) | ES_NUMBER);

    for (const char16_t* rate : {u"9600", u"19200"}) {
        LRESULT index = SendMessageW(baud, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(rate));
        SendMessageW(baud, CB_SETITEMDATA, index, std::u16string_view(rate).size());
    }
    EXPECT_EQ(SendMessageW(baud, CB_GETCURSEL, 0, 0), CB_ERR);
    SendMessageW(baud, CB_SETCURSEL, 1, 0);
    BOOL ok = FALSE;
    EXPECT_EQ(GetDlgItemInt(m_dialog, kBaud, &ok, FALSE), 19200u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(SendMessageW(baud, CB_GETITEMDATA, 1, 0), 5);

    ui::TypeText(baud, u"5x40-000");
    WCHAR text[32];
    GetWindowTextW(baud, text, 32);
    EXPECT_EQ(std::u16string(text), u"540000");
    EXPECT_EQ(SendMessageW(baud, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(m_recorded.commands.back(), std::make_pair(static_cast<int>(kBaud), static_cast<int>(CBN_EDITCHANGE)));

    ui::SelectComboItem(baud, 0);
    EXPECT_EQ(GetDlgItemInt(m_dialog, kBaud, &ok, FALSE), 9600u);
    EXPECT_EQ(m_recorded.commands.back(), std::make_pair(static_cast<int>(kBaud), static_cast<int>(CBN_SELCHANGE)));
    SendMessageW(baud, CB_RESETCONTENT, 0, 0);
    EXPECT_EQ(GetWindowTextLengthW(baud), 0);
    EXPECT_EQ(SendMessageW(baud, CB_GETCOUNT, 0, 0), 0);
}

TEST_F(ControlsTest, DropDownListTextIsItsSelection)
{
    HWND parity = Item(kParity);
    EXPECT_EQ(GetWindow(parity, GW_CHILD), nullptr);
    SendMessageW(parity, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(u"Even"));
    SendMessageW(parity, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(u"None"));
    EXPECT_EQ(SendMessageW(parity, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(u"none")), 1);
    EXPECT_EQ(SendMessageW(parity, CB_SETCURSEL, 5, 0), CB_ERR);
    SendMessageW(parity, CB_SETCURSEL, 1, 0);
    WCHAR text[16];
    EXPECT_EQ(GetWindowTextW(parity, text, 16), 4);
    EXPECT_EQ(std::u16string(text), u"None");
    EXPECT_EQ(SendMessageW(parity, CB_GETLBTEXTLEN, 0, 0), 4);
    SendMessageW(parity, CB_DELETESTRING, 0, 0);
    EXPECT_EQ(SendMessageW(parity, CB_GETCURSEL, 0, 0), 0);
}

TEST_F(ControlsTest, GetDlgItemIntReadsNumbersAsWindowsDoes)
{
    struct Case {
        const char16_t* text;
        BOOL isSigned;
        BOOL ok;
        UINT value;
    } cases[] = {
        {u"9600", FALSE, TRUE, 9600},     {u"  42  ", FALSE, TRUE, 42},   {u"", FALSE, FALSE, 0},
        {u"-5", FALSE, FALSE, 0},         {u"-5", TRUE, TRUE, 0u - 5u},   {u"12a", FALSE, FALSE, 0},
        {u"4294967295", FALSE, TRUE, 0xFFFFFFFFu}, {u"4294967296", FALSE, FALSE, 0}, {u"1 2", FALSE, FALSE, 0},
        {u"2147483648", TRUE, FALSE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text, c.text + std::u16string_view(c.text).size()));
        SetDlgItemTextW(m_dialog, kLabel, c.text);
        BOOL ok = !c.ok;
        EXPECT_EQ(GetDlgItemInt(m_dialog, kLabel, &ok, c.isSigned), c.value);
        EXPECT_EQ(ok, c.ok);
    }
    SetDlgItemInt(m_dialog, kLabel, 115200, FALSE);
    WCHAR text[16];
    GetDlgItemTextW(m_dialog, kLabel, text, 16);
    EXPECT_EQ(std::u16string(text), u"115200");
}

TEST_F(ControlsTest, TrackBarKeepsItsPositionInRangeAndTellsItsParent)
{
    HWND slider = Item(kSlider);
    SendMessageW(slider, TBM_SETRANGEMIN, FALSE, 1);
    SendMessageW(slider, TBM_SETRANGEMAX, FALSE, 256);
    SendMessageW(slider, TBM_SETPOS, TRUE, 0);
    EXPECT_EQ(SendMessageW(slider, TBM_GETPOS, 0, 0), 1);
    SendMessageW(slider, TBM_SETRANGE, TRUE, MAKELPARAM(2, 16640));
    EXPECT_EQ(SendMessageW(slider, TBM_GETPOS, 0, 0), 2);
    ui::MoveTrackBar(slider, 20000);
    ui::MoveTrackBar(slider, 1000);
    EXPECT_EQ(m_recorded.scrolls, (std::vector<int>{16640, 1000}));
    EnableWindow(slider, FALSE);
    ui::MoveTrackBar(slider, 3000);
    EXPECT_EQ(SendMessageW(slider, TBM_GETPOS, 0, 0), 1000);
}

TEST_F(ControlsTest, DialogResultsFollowTheDialogProcedureRules)
{
    // WM_CTLCOLOR* answers the procedure's own value; others answer DWLP_MSGRESULT.
    EXPECT_EQ(SendMessageW(m_dialog, WM_CTLCOLORDLG, 0, 0), 1234);
    EXPECT_EQ(GetDlgItem(m_dialog, 999), nullptr);
    EXPECT_EQ(GetDlgCtrlID(Item(kParity)), kParity);
    EXPECT_FALSE(IsWindowVisible(Item(kLabel)));  // its dialog is not shown yet
    ShowWindow(m_dialog, SW_SHOW);
    EXPECT_TRUE(IsWindowVisible(Item(kLabel)));
    ShowWindow(Item(kLabel), SW_HIDE);
    EXPECT_FALSE(IsWindowVisible(Item(kLabel)));
    WCHAR text[32];
    EXPECT_EQ(LoadStringW(TestModule(), kTitleString, text, 32), 10);
    EXPECT_EQ(std::u16string(text), u"Page Title");
    EXPECT_EQ(LoadStringW(TestModule(), 999, text, 32), 0);
    EXPECT_EQ(LoadStringW(TestModule(), kTitleString, text, 5), 4);
    EXPECT_EQ(std::u16string(text), u"Page");
    // Posted messages wait for the dispatch.
    PostMessageW(Item(kPush), BM_CLICK, 0, 0);
    EXPECT_TRUE(m_recorded.commands.empty());
    EXPECT_EQ(ui::DispatchPostedMessages(), 1u);
    EXPECT_EQ(m_recorded.commands.size(), 1u);
}

TEST_F(ControlsTest, MessageBoxesAreAnsweredInOrderAndStrangersAreRecorded)
{
    ui::ExpectMessageBox({u"Port open. Continue?", u"Warning!", MB_YESNO | MB_ICONINFORMATION, IDYES});
    ui::ExpectMessageBox({std::nullopt, u"Error", std::nullopt, IDOK});
    EXPECT_EQ(MessageBoxW(m_dialog, u"Port open. Continue?", u"Warning!", MB_YESNO | MB_ICONINFORMATION), IDYES);
    EXPECT_EQ(MessageBoxW(m_dialog, u"anything", nullptr, MB_OK | MB_ICONERROR), IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, u"surprise", u"Oops", MB_YESNO), IDNO);
    const auto boxes = ui::MessageBoxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].owner, m_dialog);
    EXPECT_EQ(boxes[1].caption, u"Error");
    ASSERT_EQ(ui::UnexpectedMessageBoxes().size(), 1u);
    EXPECT_EQ(ui::UnexpectedMessageBoxes()[0].text, u"surprise");
    ui::ClearMessageBoxes();  // the fixture fails a test that leaves a stranger
}

TEST_F(ControlsTest, HelpShellSoundAndBrushesAreRecorded)
{
    const DWORD pairs[] = {841, 0x806B0349, 222, 0x806B0349, 0, 0};
    HtmlHelpW(Item(kBaud), u"Portpanel39.chm::/Portpanel.txt", HH_TP_HELP_WM_HELP, reinterpret_cast<DWORD_PTR>(pairs));
    HtmlHelpW(m_dialog, u"Portpanel39.chm::/StdPage.htm>mainwin", HH_DISPLAY_TOPIC, 0);
    ShellExecuteW(nullptr, u"open", u"http://example.com", nullptr, nullptr, SW_SHOWNORMAL);
    MessageBeep(MB_ICONHAND);
    const auto help = ui::HtmlHelpCalls();
    ASSERT_EQ(help.size(), 2u);
    EXPECT_EQ(help[0].idPairs, (std::vector<DWORD>{841, 0x806B0349, 222, 0x806B0349}));
    EXPECT_EQ(help[1].file, u"Portpanel39.chm::/StdPage.htm>mainwin");
    EXPECT_EQ(ui::ShellCalls().at(0).file, u"http://example.com");
    EXPECT_EQ(ui::MessageBeeps(), std::vector<UINT>{MB_ICONHAND});
    HBRUSH brush = CreateSolidBrush(RGB(248, 247, 246));
    EXPECT_EQ(ui::LiveBrushes(), 1u);
    EXPECT_TRUE(DeleteObject(brush));
    EXPECT_FALSE(DeleteObject(brush));
    EXPECT_EQ(ui::LiveBrushes(), 0u);
}

}  // namespace
}  // namespace emu::testing
