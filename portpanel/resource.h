// Resource ids of Portpanel's string table and dialog templates.
#pragma once

#define IDS_PARITY_LIST 8001
#define IDS_STOPBITS_LIST 8002
#define IDS_FLOWCONTROL_LIST 8006
#define IDS_DUPLEXMODE_LIST 5050
