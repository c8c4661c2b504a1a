// The modules' resource tables, for the dialog and string calls.
#pragma once

#include <resource_script.h>

namespace emu::ui {

const RESOURCE_DIALOG* FindDialog(HINSTANCE instance, LPCWSTR templateName);
// The text of a string resource, or null.
LPCWSTR FindString(HINSTANCE instance, UINT id);
const RESOURCE_BITMAP* FindBitmap(HINSTANCE instance, LPCWSTR name);

}  // namespace emu::ui
