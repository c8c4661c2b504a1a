// The little of GDI that dialogs use: solid brushes and the background mode of text.
#pragma once

#include <windef.h>

#define TRANSPARENT 1
#define OPAQUE 2

extern "C" HBRUSH WINAPI CreateSolidBrush(COLORREF color);
extern "C" BOOL WINAPI DeleteObject(HGDIOBJ ho);
extern "C" int WINAPI SetBkMode(HDC hdc, int mode);
