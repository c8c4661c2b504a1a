// The Portpanel module: its instance handle, with its resource tables attached and made ATL's
// resource instance on first use.
#pragma once

#include <atlbase.h>

HINSTANCE PortpanelInstance();
