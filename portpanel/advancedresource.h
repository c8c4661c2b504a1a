// Resource ids of the advanced settings sheet: its four page templates, their controls and texts.
#pragma once

#include "resource.h"

#define IDD_ADV_DEVICE 115
#define IDD_ADV_USB_SETTINGS 119
#define IDD_ADV_ABOUT 146
#define IDD_ADV_RS422485 147
#define IDD_ADV_LATENCY 148

// The COM-number page (115).
#define IDC_COM_NUMBER 200
#define IDC_LABEL_COM_NUMBER 220
#define IDC_GROUP_COM_NUMBER 249
#define IDC_GROUP_INFORMATION 250
#define IDC_LABEL_INTERFACE_TYPE 251
#define IDC_LABEL_RX_FIFO 252
#define IDC_LABEL_TX_FIFO 253
#define IDC_LABEL_MAX_BAUD 254
#define IDC_MAX_BAUD 255
#define IDC_TX_FIFO 256
#define IDC_RX_FIFO 257
#define IDC_INTERFACE_TYPE 258

// The RS-422/485 page (147).
#define IDC_DUPLEX_MODE 259
#define IDC_DUPLEX_TEXT 271

// The USB latency page (148).
#define IDC_POLICY_LATENCY 260
#define IDC_POLICY_CPU 261
#define IDC_LATENCY_SLIDER 262
#define IDC_FINE_TUNING_SLIDER 263
#define IDC_CPU_SLIDER 264
#define IDC_LATENCY_VALUE 267
#define IDC_LABEL_FINE_TUNING 269
#define IDC_LABEL_LOWEST 270
#define IDC_LABEL_HIGHEST 271
#define IDC_LATENCY_TEXT 272

// The About page (146).
#define IDC_ABOUT_LINK 1035

#define IDS_LABEL_COM_NUMBER 8017
#define IDS_USB_SETTINGS_TITLE 8038
#define IDS_RS422485_TITLE 8039
#define IDS_GROUP_COM_NUMBER 5025
#define IDS_GROUP_INFORMATION 5026
#define IDS_LABEL_INTERFACE_TYPE 5027
#define IDS_LABEL_RX_FIFO 5028
#define IDS_LABEL_TX_FIFO 5029
#define IDS_LABEL_MAX_BAUD 5030
#define IDS_TIP_COM_NUMBER 5043
#define IDS_PORT_OPEN_WARNING 5048
#define IDS_RENAME_FAILED 5049
#define IDS_TIP_DUPLEX_MODE 5051
#define IDS_DUPLEX_TEXT 5052
#define IDS_LATENCY_TEXT 5053
#define IDS_TIP_POLICY_LATENCY 5054
#define IDS_TIP_POLICY_CPU 5055
#define IDS_TIP_LATENCY 5056
#define IDS_TIP_FINE_TUNING 5057
#define IDS_TIP_CPU 5058

#include <windows.h>

// Attaches the sheet's dialog templates and strings to Portpanel's instance.
void RegisterAdvancedSheetResources(HINSTANCE hModule);
