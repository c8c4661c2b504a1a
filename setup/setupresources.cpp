#include "setupresources.h"

#include <resource_script.h>

namespace {

const RESOURCE_STRING SETUP_STRINGS[] = {
    {IDS_NO_RIGHTS, u"You do not have sufficient security permissions to uninstall  programs.\nPlease contact your "
                    u"administrator or log out and log back in as an administrator."},
    {IDS_SHEET_CAPTION, u"Installation for Vexil"},
    {104, u"Vexil Installation "},
    {105, u" "},
    {108, u" Installing"},
    {109, u" The installation process may take a while. Please wait..."},
    {110, u"Installation Finsihed"},
    {111, u" "},
    {IDS_PRODUCT_INSTALLATION, u"Castelvane Vexil Installation"},
    {IDS_INTRO_MESSAGE, u"This wizard will guide you through the installation process of Vexil Products."},
    {IDS_INTRO_HINT, u"PLEASE REMOVE ALL Vexil devices.\n\nTo Continue : Click 'Next'."},
    {IDS_FINISH_TITLE, u"Installation process completed."},
    {IDS_FINISH_RESULT, u"You have successfully installed your Castelvane Vexil products."},
    {IDS_FINISH_CLOSE, u"To close this wizard, Click 'Finish'."},
    {IDS_PAGE_TEXT, u"Castelvane Vexil Installation"},
};

const WCHAR DIALOG_CAPTION[] = u"Castelvane Vexil Installation";

const RESOURCE_CONTROL INTRO_CONTROLS[] = {
    {1000, u"Static", 0, u""}, {1001, u"Static", 0, u""}, {1002, u"Static", 0, u""},
    {1027, u"Static", 0x0000000E /* SS_BITMAP */, u""}, {1026, u"Static", 0, u""},
};
const RESOURCE_CONTROL INSTALL_CONTROLS[] = {
    {1025, u"SysAnimate32", 0, u""},
    {-1 /* IDC_STATIC */, u"Static", 0, u"Installing Vexil Driver Package......................."},
};
const RESOURCE_CONTROL FINISH_CONTROLS[] = {
    {1015, u"Static", 0, u""}, {1016, u"Static", 0, u""}, {1017, u"Static", 0, u""}, {1018, u"Static", 0, u""},
};
const RESOURCE_DIALOG SETUP_DIALOGS[] = {
    {104, DIALOG_CAPTION, 0, INTRO_CONTROLS, 5},
    {108, DIALOG_CAPTION, 0, INSTALL_CONTROLS, 2},
    {109, DIALOG_CAPTION, 0, FINISH_CONTROLS, 4},
};

const MODULE_RESOURCES SETUP_RESOURCES = {SETUP_DIALOGS, 3, SETUP_STRINGS, UINT(sizeof SETUP_STRINGS / sizeof SETUP_STRINGS[0])};

}  // namespace

void RegisterSetupResources(HINSTANCE hInstance) { RegisterModuleResources(hInstance, &SETUP_RESOURCES); }
