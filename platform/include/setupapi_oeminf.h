// SetupAPI's copies of third-party INF files in the system's INF folder (the driver store):
// part of <setupapi.h>.
#pragma once

#include <windows.h>

#define SPOST_NONE 0
#define SPOST_PATH 1
#define SPOST_URL 2
#define SP_COPY_DELETESOURCE 0x0000001
#define SP_COPY_REPLACEONLY 0x0000002
#define SP_COPY_NOOVERWRITE 0x0000008
#define SP_COPY_OEMINF_CATALOG_ONLY 0x0040000
#define SUOI_FORCEDELETE 0x00000001

#define ERROR_INF_IN_USE_BY_DEVICES 0xE000023DL
#define ERROR_GENERAL_SYNTAX 0xE0000003L
#define ERROR_WRONG_INF_STYLE 0xE0000100L

extern "C" BOOL WINAPI SetupCopyOEMInfW(PCWSTR SourceInfFileName, PCWSTR OEMSourceMediaLocation, DWORD OEMSourceMediaType,
                                        DWORD CopyStyle, PWSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                                        PDWORD RequiredSize, PWSTR* DestinationInfFileNameComponent);
extern "C" BOOL WINAPI SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved);

#ifdef UNICODE
#define SetupCopyOEMInf SetupCopyOEMInfW
#define SetupUninstallOEMInf SetupUninstallOEMInfW
#endif
