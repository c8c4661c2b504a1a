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

// Low-level reads of a whole file: a descriptor from _wopen, its length, its bytes.
#define _O_RDONLY 0x0000
#define _O_BINARY 0x8000
extern "C" int _wopen(const WCHAR* path, int flags, ...);
extern "C" long _filelength(int fd);
extern "C" int _read(int fd, void* buffer, unsigned int count);
extern "C" int _close(int fd);
