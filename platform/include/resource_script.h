// A module's resources as C++ tables, in place of a compiled resource script: its dialog templates
// and its string table, attached to the module's instance handle. A module registers its tables
// once (from its entry point or a static initialiser); LoadStringW, CreateDialogParamW and the
// property sheets then find them by the instance and id.
#pragma once

#include <winuser.h>

typedef struct _RESOURCE_CONTROL {
    int id;
    LPCWSTR className;  // u"Button", u"Static", u"Edit", u"ComboBox", u"msctls_trackbar32", ...
    DWORD style;        // WS_CHILD and WS_VISIBLE are added
    LPCWSTR text;
} RESOURCE_CONTROL;

typedef struct _RESOURCE_DIALOG {
    WORD id;
    LPCWSTR caption;
    DWORD style;
    const RESOURCE_CONTROL* controls;
    UINT controlCount;
} RESOURCE_DIALOG;

typedef struct _RESOURCE_STRING {
    UINT id;
    LPCWSTR text;
} RESOURCE_STRING;

typedef struct _MODULE_RESOURCES {
    const RESOURCE_DIALOG* dialogs;
    UINT dialogCount;
    const RESOURCE_STRING* strings;
    UINT stringCount;
} MODULE_RESOURCES;

// Attaches (or, with null, detaches) a module's tables; the tables must outlive the attachment.
extern "C" void WINAPI RegisterModuleResources(HINSTANCE hInstance, const MODULE_RESOURCES* resources);

// A bitmap resource: only its presence and its form are kept (the wizards' watermarks and headers).
typedef struct _RESOURCE_BITMAP {
    WORD id;
    int width;
    int height;
    int bitsPerPixel;
} RESOURCE_BITMAP;

// Attaches (or, with null, detaches) a module's bitmap table.
extern "C" void WINAPI RegisterModuleBitmaps(HINSTANCE hInstance, const RESOURCE_BITMAP* bitmaps, UINT count);
