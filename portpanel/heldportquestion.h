// The question a page asks before it changes the settings of a port an application holds open.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <atlstr.h>

#include "cvdevicereginfo.h"

// FALSE when an application holds the port (it cannot be opened by its PortName) and the user
// answers No to the question (a string id), asked over the page with caption "Warning!".
BOOL UserAllowsChange(HWND hPage, CCVDeviceRegInfo& RegInfo, UINT nQuestion);
