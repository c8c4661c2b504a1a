// The C runtime's wide file calls (Microsoft's <io.h> and the permission bits of <sys/stat.h>), on
// the machine's file system. They set errno as the runtime does: ENOENT, EACCES.
#pragma once

#include <windows.h>

#define _S_IREAD 0x0100
#define _S_IWRITE 0x0080

extern "C" int _waccess(const WCHAR* path, int mode);
extern "C" int _wchmod(const WCHAR* path, int mode);
extern "C" int _wremove(const WCHAR* path);
extern "C" int _wunlink(const WCHAR* path);
