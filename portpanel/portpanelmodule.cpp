// Portpanel's instance and resource tables.
#include "portpanelmodule.h"

#include <resource_script.h>

#include "resource.h"

namespace {

int g_nModuleAnchor;

const RESOURCE_STRING PORTPANEL_STRINGS[] = {
    {IDS_PARITY_LIST, u"Even,Odd,None,Mark,Space"},
    {IDS_STOPBITS_LIST, u"1,1.5,2"},
    {IDS_FLOWCONTROL_LIST, u"Xon / Xoff,Hardware,None"},
    {IDS_DUPLEXMODE_LIST, u"RS-422/485 Full-Duplex Mode,RS-485 Half-Duplex Autogating Mode,Transmit Only,Receive Only,"
                          u"Transmitter and Receiver Disabled"},
};

const MODULE_RESOURCES PORTPANEL_RESOURCES = {
    nullptr, 0, PORTPANEL_STRINGS, sizeof(PORTPANEL_STRINGS) / sizeof(PORTPANEL_STRINGS[0])};

}  // namespace

HINSTANCE PortpanelInstance()
{
    static HINSTANCE hInstance = [] {
        HINSTANCE hModule = reinterpret_cast<HINSTANCE>(&g_nModuleAnchor);
        RegisterModuleResources(hModule, &PORTPANEL_RESOURCES);
        ATL::_AtlBaseModule.SetModuleInstance(hModule);
        ATL::_AtlBaseModule.SetResourceInstance(hModule);
        return hModule;
    }();
    return hInstance;
}
