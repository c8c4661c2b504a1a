#include "ui_test_module.h"

#include "ui_control.h"

namespace emu::testing {

namespace {

int g_moduleAnchor;

const RESOURCE_CONTROL kControls[] = {
    {kCheck, u"Button", BS_AUTOCHECKBOX | WS_TABSTOP, u"Check"},
    {kRadioA, u"Button", BS_AUTORADIOBUTTON | WS_GROUP, u"A"},
    {kRadioB, u"Button", BS_AUTORADIOBUTTON, u"B"},
    {kBaud, u"ComboBox", CBS_DROPDOWN | WS_GROUP, u""},
    {kParity, u"ComboBox", CBS_DROPDOWNLIST, u""},
    {kSlider, u"msctls_trackbar32", 0, u""},
    {kLabel, u"Static", 0, u"Label"},
    {kPush, u"Button", BS_PUSHBUTTON, u"Push"},
};
const RESOURCE_DIALOG kDialogs[] = {{kDialog, u"Test Page", WS_CHILD, kControls, sizeof kControls / sizeof kControls[0]}};
const RESOURCE_STRING kStrings[] = {{kTitleString, u"Page Title"}, {301, u"Even,Odd,None"}};
const MODULE_RESOURCES kResources = {kDialogs, 1, kStrings, 2};

}  // namespace

HINSTANCE TestModule()
{
    static HINSTANCE instance = [] {
        auto module = reinterpret_cast<HINSTANCE>(&g_moduleAnchor);
        RegisterModuleResources(module, &kResources);
        return module;
    }();
    return instance;
}

std::string NotificationName(UINT code)
{
    switch (code) {
    case PSN_SETACTIVE: return "SETACTIVE";
    case PSN_KILLACTIVE: return "KILLACTIVE";
    case PSN_APPLY: return "APPLY";
    case PSN_RESET: return "RESET";
    case PSN_QUERYCANCEL: return "QUERYCANCEL";
    default: return std::to_string(static_cast<int>(code));
    }
}

INT_PTR CALLBACK ScriptedPageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* script = reinterpret_cast<PageScript*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (message == WM_INITDIALOG) {
        script = reinterpret_cast<PageScript*>(reinterpret_cast<PROPSHEETPAGEW*>(lParam)->lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(script));
    }
    if (!script) return FALSE;
    switch (message) {
    case WM_INITDIALOG: script->log->push_back(script->name + ":INIT"); return TRUE;
    case WM_DESTROY: script->log->push_back(script->name + ":DESTROY"); return TRUE;
    case WM_COMMAND:
        if (script->onCommand) script->onCommand(hwnd, wParam);
        return TRUE;
    case WM_NOTIFY: {
        const auto* notify = reinterpret_cast<const PSHNOTIFY*>(lParam);
        std::string entry = script->name + ":" + NotificationName(notify->hdr.code);
        if (notify->hdr.code == PSN_APPLY) entry += notify->lParam ? "(ok)" : "(apply)";
        script->log->push_back(entry);
        auto answer = script->notifyAnswers.find(notify->hdr.code);
        SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, answer == script->notifyAnswers.end() ? 0 : answer->second);
        return TRUE;
    }
    default: return FALSE;
    }
}

void UiTest::TearDown()
{
    EXPECT_TRUE(ui::UnexpectedMessageBoxes().empty());
    EXPECT_EQ(ui::PendingMessageBoxAnswers(), 0u);
    MachineTest::TearDown();
}

}  // namespace emu::testing
