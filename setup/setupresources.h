// Setup's string table and its attachment to the program's module.
#pragma once

#include <windows.h>

#define IDS_NO_RIGHTS 102
#define IDS_SHEET_CAPTION 103
#define IDS_PRODUCT_INSTALLATION 114
#define IDS_INTRO_MESSAGE 115
#define IDS_INTRO_HINT 116
#define IDS_FINISH_TITLE 129
#define IDS_FINISH_RESULT 130
#define IDS_FINISH_CLOSE 131
#define IDS_PAGE_TEXT 132

// Attaches Setup's tables to the program's module (once per module).
void RegisterSetupResources(HINSTANCE hInstance);
