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

const MODULE_RESOURCES SETUP_RESOURCES = {nullptr, 0, SETUP_STRINGS, UINT(sizeof SETUP_STRINGS / sizeof SETUP_STRINGS[0])};

}  // namespace

void RegisterSetupResources(HINSTANCE hInstance) { RegisterModuleResources(hInstance, &SETUP_RESOURCES); }
