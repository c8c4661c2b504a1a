// Attaches the uninstallation wizard's resource tables (dialogs, strings, bitmaps) to a module.
#pragma once

#include <resource_script.h>

void RegisterRemoverResources(HINSTANCE instance);
