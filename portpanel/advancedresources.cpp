// The advanced sheet's dialog templates and strings.
#include <commctrl.h>
#include <resource_script.h>

#include "advancedresource.h"

namespace {

const RESOURCE_STRING ADVANCED_STRINGS[] = {
    {IDS_LABEL_COM_NUMBER, u"COM Port Number:"},
    {IDS_USB_SETTINGS_TITLE, u"USB Settings"},
    {IDS_RS422485_TITLE, u"RS-422/485 Settings"},
    {IDS_GROUP_COM_NUMBER, u"COM Number"},
    {IDS_GROUP_INFORMATION, u"Information"},
    {IDS_LABEL_INTERFACE_TYPE, u"Interface Type:"},
    {IDS_LABEL_RX_FIFO, u"Receive FIFO Size:"},
    {IDS_LABEL_TX_FIFO, u"Transmit FIFO Size:"},
    {IDS_LABEL_MAX_BAUD, u"Maximum Baud Rate:"},
    {IDS_TIP_COM_NUMBER, u"The COM name applications open the port by. Names other devices use are marked."},
    {5047, u"This COM name is being used by another device (such as another com port or modem).  Using duplicate names "
           u"can lead to inaccessible devices and changed settings.  Do you want to continue?"},
    {IDS_PORT_OPEN_WARNING, u"The port has been opened by another application.  Changing the port setting while the port "
                            u"is open can cause unpredictable effects.  Do you wish to continue?"},
    {IDS_RENAME_FAILED, u"There was an error renaming the COM port."},
    {IDS_TIP_DUPLEX_MODE, u"How the port drives its RS-422/485 transmitter and receiver."},
    {IDS_DUPLEX_TEXT, u"Choose the duplex mode of the RS-422/485 port."},
    {IDS_LATENCY_TEXT, u"Choose how the adapter trades latency against CPU usage."},
    {IDS_TIP_POLICY_LATENCY, u"Keep the time a received character waits below a maximum."},
    {IDS_TIP_POLICY_CPU, u"Keep the CPU usage of the port low."},
    {IDS_TIP_LATENCY, u"The longest time a received character waits before it is passed on."},
    {IDS_TIP_FINE_TUNING, u"Fine tuning of the maximum latency."},
    {IDS_TIP_CPU, u"From the lowest CPU usage to the highest."},
};

const DWORD LABEL = 0;
const DWORD LIST = CBS_DROPDOWNLIST | WS_TABSTOP;
const DWORD PUSH = BS_PUSHBUTTON | WS_TABSTOP;
const DWORD SLIDER = TBS_HORZ | WS_TABSTOP;

#define HELP_CONTROLS {IDC_LABEL_HELP, u"Static", LABEL, u""}, {IDC_HELP_BUTTON, u"Button", PUSH | BS_BITMAP, u""}

const RESOURCE_CONTROL DEVICE_CONTROLS[] = {
    {IDC_GROUP_COM_NUMBER, u"Button", BS_GROUPBOX, u""},
    {IDC_LABEL_COM_NUMBER, u"Static", LABEL, u""},
    {IDC_COM_NUMBER, u"ComboBox", LIST | WS_VSCROLL, u""},
    {IDC_GROUP_INFORMATION, u"Button", BS_GROUPBOX, u""},
    {IDC_LABEL_INTERFACE_TYPE, u"Static", LABEL, u""},
    {IDC_INTERFACE_TYPE, u"Static", LABEL, u""},
    {IDC_LABEL_RX_FIFO, u"Static", LABEL, u""},
    {IDC_RX_FIFO, u"Static", LABEL, u""},
    {IDC_LABEL_TX_FIFO, u"Static", LABEL, u""},
    {IDC_TX_FIFO, u"Static", LABEL, u""},
    {IDC_LABEL_MAX_BAUD, u"Static", LABEL, u""},
    {IDC_MAX_BAUD, u"Static", LABEL, u""},
    HELP_CONTROLS,
};

const RESOURCE_CONTROL RS422485_CONTROLS[] = {
    {IDC_DUPLEX_TEXT, u"Static", LABEL, u""},
    {IDC_DUPLEX_MODE, u"ComboBox", LIST, u""},
    {IDC_RESTORE_DEFAULTS, u"Button", PUSH, u""},
    HELP_CONTROLS,
};

const RESOURCE_CONTROL LATENCY_CONTROLS[] = {
    {IDC_LATENCY_TEXT, u"Static", LABEL, u""},
    {IDC_POLICY_LATENCY, u"Button", BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, u"Maximum Latency"},
    {IDC_LATENCY_SLIDER, TRACKBAR_CLASSW, SLIDER, u""},
    {IDC_LATENCY_VALUE, u"Static", LABEL, u""},
    {IDC_LABEL_FINE_TUNING, u"Static", LABEL, u"Fine Tuning:"},
    {IDC_FINE_TUNING_SLIDER, TRACKBAR_CLASSW, SLIDER, u""},
    {IDC_POLICY_CPU, u"Button", BS_AUTORADIOBUTTON | WS_TABSTOP, u"CPU usage"},
    {IDC_LABEL_LOWEST, u"Static", LABEL, u"Lowest"},
    {IDC_CPU_SLIDER, TRACKBAR_CLASSW, SLIDER, u""},
    {IDC_LABEL_HIGHEST, u"Static", LABEL, u"Highest"},
    {IDC_RESTORE_DEFAULTS, u"Button", PUSH | WS_GROUP, u""},
    HELP_CONTROLS,
};

const RESOURCE_CONTROL ABOUT_CONTROLS[] = {
    {100, u"Static", LABEL, u""},
    {101, u"Static", LABEL, u"USB Serial Port driver package"},
    {IDC_ABOUT_LINK, u"Static", SS_NOTIFY, u"www.vexil.example"},
};

#define COUNT(a) (sizeof(a) / sizeof((a)[0]))

const RESOURCE_DIALOG ADVANCED_DIALOGS[] = {
    {IDD_ADV_DEVICE, u"Port Settings", WS_CHILD, DEVICE_CONTROLS, COUNT(DEVICE_CONTROLS)},
    {IDD_ADV_RS422485, u"RS-422/485 Settings", WS_CHILD, RS422485_CONTROLS, COUNT(RS422485_CONTROLS)},
    {IDD_ADV_LATENCY, u"USB Settings", WS_CHILD, LATENCY_CONTROLS, COUNT(LATENCY_CONTROLS)},
    {IDD_ADV_ABOUT, u"About", WS_CHILD, ABOUT_CONTROLS, COUNT(ABOUT_CONTROLS)},
};

const MODULE_RESOURCES ADVANCED_RESOURCES = {ADVANCED_DIALOGS, COUNT(ADVANCED_DIALOGS), ADVANCED_STRINGS,
                                             COUNT(ADVANCED_STRINGS)};

}  // namespace

void RegisterAdvancedSheetResources(HINSTANCE hModule) { AttachModuleResources(hModule, &ADVANCED_RESOURCES); }
