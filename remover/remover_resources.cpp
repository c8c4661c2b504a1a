// The uninstallation wizard's resources: its dialog templates, string table and bitmaps, attached
// to the program's module.
#include "remover_resources.h"

#include <commctrl.h>

#include "resource.h"

namespace {

constexpr DWORD kPage = WS_CHILD;
constexpr LPCWSTR kCaption = u"Castelvane Vexil Uninstallation";

const RESOURCE_CONTROL kIntro[] = {
    {IDC_INTRO_TITLE, u"Static", 0, u""},
    {IDC_INTRO_TEXT, u"Static", 0, u""},
    {IDC_INTRO_HINT, u"Static", 0, u""},
};
const RESOURCE_CONTROL kSearch[] = {
    {IDC_SEARCH_STATUS, u"Static", 0, u"Searching Tidal Forge products......."},
    {IDC_SEARCH_STEP, PROGRESS_CLASSW, 0, u""},
    {IDC_OVERALL_LABEL, u"Static", 0, u""},
    {IDC_OVERALL, PROGRESS_CLASSW, 0, u""},
};
const RESOURCE_CONTROL kConfirm[] = {
    {IDC_CONFIRM_TEXT, u"Static", 0, u""},
    {IDC_CONFIRM_HINT, u"Static", 0, u""},
};
const RESOURCE_CONTROL kUninstall[] = {
    {IDC_UNINSTALL_STATUS, u"Static", 0, u"Uninstalling..."},
    {IDC_UNINSTALL_STEP, PROGRESS_CLASSW, 0, u""},
    {IDC_OVERALL_LABEL, u"Static", 0, u""},
    {IDC_OVERALL, PROGRESS_CLASSW, 0, u""},
};
const RESOURCE_CONTROL kFinish[] = {
    {IDC_FINISH_TITLE, u"Static", 0, u""},
    {IDC_FINISH_TEXT, u"Static", 0, u""},
    {IDC_FINISH_HINT, u"Static", 0, u""},
    {IDC_FINISH_SPARE, u"Static", 0, u""},
};
const RESOURCE_CONTROL kWin95[] = {
    {IDC_WIN95_MESSAGE, u"Static", 0, u""},
    {IDC_WIN95_STEP, PROGRESS_CLASSW, 0, u""},
    {IDC_WIN95_OVERALL, PROGRESS_CLASSW, 0, u""},
    {IDC_WIN95_STATUS, u"Static", 0, u"Step"},
    {IDC_WIN95_UNINSTALL, u"Button", BS_PUSHBUTTON | WS_TABSTOP, u"&Uninstall"},
    {IDC_OVERALL_LABEL, u"Static", 0, u"Overall Progress:"},
    {IDC_WIN95_CONTINUE, u"Static", WS_DISABLED, u"To continue, click Finish."},
    {IDC_WIN95_FINISH, u"Button", BS_PUSHBUTTON, u"&Finish"},
};

template <size_t N>
constexpr UINT Count(const RESOURCE_CONTROL (&)[N])
{
    return N;
}

const RESOURCE_DIALOG kDialogs[] = {
    {IDD_INTRO, kCaption, kPage, kIntro, Count(kIntro)},
    {IDD_SEARCH, kCaption, kPage, kSearch, Count(kSearch)},
    {IDD_CONFIRM, kCaption, kPage, kConfirm, Count(kConfirm)},
    {IDD_UNINSTALL, kCaption, kPage, kUninstall, Count(kUninstall)},
    {IDD_FINISH, kCaption, kPage, kFinish, Count(kFinish)},
    {IDD_WIN95, kCaption, WS_POPUP | WS_CAPTION | WS_SYSMENU, kWin95, Count(kWin95)},
};

const RESOURCE_STRING kStrings[] = {
    {IDS_NO_RIGHTS, u"You do not have sufficient security permissions to uninstall  programs.\nPlease contact your "
                    u"administrator or log out and log back in as an administrator."},
    {IDS_CAPTION, u"Uninstallation for Vexil"},
    {IDS_INTRO_HEADER, u"Vexil Uninstallation "},
    {IDS_INTRO_SUBHEADER, u" "},
    {IDS_CONFIRM_HEADER, u" Confimation.."},
    {IDS_CONFIRM_SUBHEADER, u" Do you really want to continue?"},
    {IDS_UNINSTALL_HEADER, u" Uninstalling"},
    {IDS_UNINSTALL_SUBHEADER, u" Please wait during the uninstallation process."},
    {IDS_FINISH_HEADER, u"Uninstallation Finsihed"},
    {IDS_FINISH_SUBHEADER, u" "},
    {IDS_SEARCH_HEADER, u" Searching Vexil products"},
    {IDS_SEARCH_SUBHEADER, u" Please wait while searching for products."},
    {IDS_INTRO_TITLE, u"Castelvane Vexil Uninstallation"},
    {IDS_INTRO_TEXT, u"This wizard will guide you through the uninstallation process of Vexil Product."},
    {IDS_INTRO_HINT, u"To Continue : Click 'Next'."},
    {IDS_CONFIRM_TEXT, u"Please confirm that you wish to start the uninstallation process for Castelvane Vexil products."},
    {IDS_CONFIRM_HINT, u"To start Uninstallation:  Click 'Next'\nTo exit: Click 'Cancel'"},
    {IDS_SEARCHING_PRODUCTS, u"Searching Vexil products....."},
    {IDS_SEARCHING_FILES, u"Searching driver files........."},
    {IDS_SEARCH_FINISHED, u"Finished searching."},
    {IDS_SEARCHING_REGISTRY, u"Searching registry entries........."},
    {IDS_UNINSTALL_LABEL, u"Overall Progress:"},
    {IDS_UNINSTALLING_PRODUCTS, u"Uninstalling Vexil product ........."},
    {IDS_UNINSTALLING_FILES, u"Uninstalling Vexil driver files ........."},
    {IDS_UNINSTALLING_REGISTRY, u"Uninstalling Vexil registry entries ........."},
    {IDS_COMPLETED, u"Uninstallation process completed."},
    {IDS_FINISH_TEXT, u"You have successfully uninstalled your Castelvane Vexil products."},
    {IDS_FINISH_HINT, u"To close this wizard, Click 'Finish'."},
    {IDS_SHEET_TITLE, u"Castelvane Vexil Uninstallation"},
    {IDS_SEARCH_LABEL, u"Overall Progress:"},
    {IDS_WIN95_MESSAGE, u"Pleace click <Uninstall> to remove all Castelvane Devices from your machine. Otherwise click "
                        u"<Finish> to exit."},
    {IDS_RESTART_QUESTION, u"You need to restart your system to complete uninstallation.\nDo you want to restart your "
                           u"system NOW?"},
};

const RESOURCE_BITMAP kBitmaps[] = {
    {IDB_HEADER_24, 49, 49, 24},
    {IDB_WATERMARK_8, 164, 314, 8},
    {IDB_HEADER_8, 49, 49, 8},
    {IDB_WATERMARK_24, 164, 314, 24},
};

const MODULE_RESOURCES kResources = {kDialogs, sizeof kDialogs / sizeof kDialogs[0], kStrings,
                                     sizeof kStrings / sizeof kStrings[0]};

}  // namespace

void RegisterRemoverResources(HINSTANCE instance)
{
    RegisterModuleResources(instance, &kResources);
    RegisterModuleBitmaps(instance, kBitmaps, sizeof kBitmaps / sizeof kBitmaps[0]);
}
