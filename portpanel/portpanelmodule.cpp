// Portpanel's instance and resource tables.
#include "portpanelmodule.h"

#include <resource_script.h>

#include "advancedresource.h"
#include "resource.h"

namespace {

int g_nModuleAnchor;

const RESOURCE_STRING PORTPANEL_STRINGS[] = {
    {IDS_PARITY_LIST, u"Even,Odd,None,Mark,Space"},
    {IDS_STOPBITS_LIST, u"1,1.5,2"},
    {IDS_FLOWCONTROL_LIST, u"Xon / Xoff,Hardware,None"},
    {IDS_TIP_BAUD, u"The default baud rate of the port. Type a rate or choose one from the list."},
    {IDS_TIP_DATA_BITS, u"The default number of data bits."},
    {IDS_TIP_PARITY, u"The default parity."},
    {IDS_TIP_STOP_BITS, u"The default number of stop bits."},
    {IDS_TIP_FLOW_CONTROL, u"The default flow control."},
    {5012, u"Always use this baud rate, whatever the application asks for."},
    {5013, u"Always use these data bits, whatever the application asks for."},
    {5014, u"Always use this parity, whatever the application asks for."},
    {5015, u"Always use these stop bits, whatever the application asks for."},
    {5016, u"Always use this flow control, whatever the application asks for."},
    {IDS_TIP_CTS, u"Report CTS as always on, whatever the line says."},
    {IDS_TIP_DSR, u"Report DSR as always on, whatever the line says."},
    {IDS_OVERRIDE, u"Override"},
    {IDS_LABEL_CTS, u"&CTS Always True - hardware state ignored:"},
    {IDS_LABEL_DSR, u"&DSR Always True - hardware state ignored:"},
    {IDS_NOTE, u"Settings selected for overriding will always be used, regardless of what the application specifies."},
    {IDS_LABEL_HELP, u"Need More &Help? Click:"},
    {IDS_GROUP_SETTINGS, u"Default / Override Settings"},
    {IDS_ADVANCED, u"&Advanced..."},
    {IDS_RESTORE_DEFAULTS, u"Restore &Default"},
    {IDS_TIP_RESTORE_DEFAULTS, u"Put back the settings the port was installed with."},
    {IDS_TIP_ADVANCED, u"More settings of the port and its adapter."},
    {IDS_PORT_OPEN_QUESTION, u"The port has been opened by another application. Changing the port settings may have an "
                             u"unpredictable effect on the other application.  Do you wish to continue?"},
    {IDS_LABEL_BAUD, u"Baud Rate:"},
    {IDS_LABEL_DATA_BITS, u"Data Bits:"},
    {IDS_LABEL_PARITY, u"Parity:"},
    {IDS_LABEL_FLOW_CONTROL, u"Flow Control:"},
    {IDS_LABEL_STOP_BITS, u"Stop Bits:"},
    {IDS_PORT_SETTINGS_TITLE, u"Port Settings"},
    {IDS_DUPLEXMODE_LIST, u"RS-422/485 Full-Duplex Mode,RS-485 Half-Duplex Autogating Mode,Transmit Only,Receive Only,"
                          u"Transmitter and Receiver Disabled"},
    {IDS_COM_NAME_IN_USE, u"This COM name is being used by another device (such as another com port or modem).  Using "
                          u"duplicate names can lead to inaccessible devices and changed settings.  Do you want to continue?"},
    {IDS_RENAME_OPEN_PORT, u"The port has been opened by another application.  Changing the port setting while the port is "
                           u"open can cause unpredictable effects.  Do you wish to continue?"},
    {IDS_UPDATE_THE_BUS_DRIVER, u"Please update the Castelvane driver found under Universal Serial Bus Controllers in Device "
                                u"Manager.\r\nThis will automatically initiate the port driver update.\r\n\r\nPlease see "
                                u"Product Manual for further details."},
};

const DWORD LABEL = 0;
const DWORD CHECK = BS_AUTOCHECKBOX | WS_TABSTOP;

const RESOURCE_CONTROL PORT_SETTINGS_CONTROLS[] = {
    {IDC_GROUP_SETTINGS, u"Button", BS_GROUPBOX, u""},
    {IDC_LABEL_BAUD, u"Static", LABEL, u""},
    {IDC_BAUD_RATE, u"ComboBox", CBS_DROPDOWN | WS_TABSTOP | WS_GROUP, u""},
    {IDC_OVERRIDE_BAUD, u"Button", CHECK, u""},
    {IDC_LABEL_DATA_BITS, u"Static", LABEL, u""},
    {IDC_DATA_BITS, u"ComboBox", CBS_DROPDOWNLIST | WS_TABSTOP, u""},
    {IDC_OVERRIDE_DATA_BITS, u"Button", CHECK, u""},
    {IDC_LABEL_PARITY, u"Static", LABEL, u""},
    {IDC_PARITY, u"ComboBox", CBS_DROPDOWNLIST | WS_TABSTOP, u""},
    {IDC_OVERRIDE_PARITY, u"Button", CHECK, u""},
    {IDC_LABEL_STOP_BITS, u"Static", LABEL, u""},
    {IDC_STOP_BITS, u"ComboBox", CBS_DROPDOWNLIST | WS_TABSTOP, u""},
    {IDC_OVERRIDE_STOP_BITS, u"Button", CHECK, u""},
    {IDC_LABEL_FLOW_CONTROL, u"Static", LABEL, u""},
    {IDC_FLOW_CONTROL, u"ComboBox", CBS_DROPDOWNLIST | WS_TABSTOP, u""},
    {IDC_OVERRIDE_FLOW_CONTROL, u"Button", CHECK, u""},
    {IDC_LABEL_CTS, u"Static", LABEL, u""},
    {IDC_CTS_TRUE, u"Button", CHECK, u""},
    {IDC_LABEL_DSR, u"Static", LABEL, u""},
    {IDC_DSR_TRUE, u"Button", CHECK, u""},
    {IDC_NOTE_FRAME, u"Static", LABEL, u""},
    {IDC_NOTE_IMAGE, u"Static", LABEL, u""},
    {IDC_NOTE_TEXT, u"Static", LABEL, u""},
    {IDC_LABEL_HELP, u"Static", LABEL, u""},
    {IDC_HELP_BUTTON, u"Button", BS_PUSHBUTTON | BS_BITMAP | WS_TABSTOP, u""},
    {IDC_ADVANCED, u"Button", BS_PUSHBUTTON | WS_TABSTOP, u""},
    {IDC_RESTORE_DEFAULTS, u"Button", BS_PUSHBUTTON | WS_TABSTOP, u""},
};

const RESOURCE_DIALOG PORTPANEL_DIALOGS[] = {
    {IDD_PORT_SETTINGS, u"Port Settings", WS_CHILD, PORT_SETTINGS_CONTROLS,
     sizeof(PORT_SETTINGS_CONTROLS) / sizeof(PORT_SETTINGS_CONTROLS[0])},
};

const MODULE_RESOURCES PORTPANEL_RESOURCES = {
    PORTPANEL_DIALOGS, sizeof(PORTPANEL_DIALOGS) / sizeof(PORTPANEL_DIALOGS[0]), PORTPANEL_STRINGS, sizeof(PORTPANEL_STRINGS) / sizeof(PORTPANEL_STRINGS[0])};

}  // namespace

HINSTANCE PortpanelInstance()
{
    static HINSTANCE hInstance = [] {
        HINSTANCE hModule = reinterpret_cast<HINSTANCE>(&g_nModuleAnchor);
        RegisterModuleResources(hModule, &PORTPANEL_RESOURCES);
        RegisterAdvancedSheetResources(hModule);
        ATL::_AtlBaseModule.SetModuleInstance(hModule);
        ATL::_AtlBaseModule.SetResourceInstance(hModule);
        return hModule;
    }();
    return hInstance;
}
