// The COM-name database: which COM numbers are reserved on this machine.
#pragma once

#include <windows.h>

typedef struct HCOMDB__* HCOMDB;
typedef HCOMDB* PHCOMDB;

#define HCOMDB_INVALID_HANDLE_VALUE ((HCOMDB)INVALID_HANDLE_VALUE)
#define COMDB_MIN_PORTS_ARBITRATED 256
#define COMDB_MAX_PORTS_ARBITRATED 4096
#define CDB_REPORT_BITS 0x0
#define CDB_REPORT_BYTES 0x1
#ifndef ERROR_NO_LOG_SPACE
#define ERROR_NO_LOG_SPACE 1019L
#endif

extern "C" LONG WINAPI ComDBOpen(PHCOMDB PHComDB);
extern "C" LONG WINAPI ComDBClose(HCOMDB HComDB);
extern "C" LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB HComDB, PBYTE Buffer, DWORD BufferSize, ULONG ReportType,
                                                LPDWORD MaxPortsReported);
extern "C" LONG WINAPI ComDBClaimNextFreePort(HCOMDB HComDB, LPDWORD ComNumber);
extern "C" LONG WINAPI ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced);
extern "C" LONG WINAPI ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber);
