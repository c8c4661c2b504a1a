// Debug manager of a driver image: the single logging object. Log lines leave the image as
// software-tracing messages (message number = level + 10), each level tied to one flag of one of
// the image's eight trace control groups. Only "ASSERT at" reports go to the kernel debugger.
#pragma once

#include <wdm.h>

#include "tfdebug.h"
#include "tfeventlogsource.h"
#include "tfstring.h"

// Longest format accepted and size of the formatted line (terminator included).
#define TF_LOG_MAX_FORMAT 250
#define TF_LOG_LINE_SIZE 250
// Highest level with a trace flag of its own; 55 and 56 log as level 17.
#define TF_LOG_MAX_LEVEL 54
#define TF_LOG_TIMING_LEVEL 17
// Size of a hex dump line (terminator included); each line holds 33 bytes.
#define TF_HEXDUMP_LINE_SIZE 102

class CTfDebugManager : public CTfEventLogSource {
public:
    // Builds the event-log source (*pulLogLevel receives LogLevel), then reads DebugMask and
    // OperatorDebugMask under the service key (0 when missing). *pbOk is FALSE when the event-log
    // source or a name could not be built. PASSIVE_LEVEL.
    CTfDebugManager(PDRIVER_OBJECT pDriverObject, const CTfString& ServiceName,
                    const CTfString& RegistryPath, BOOLEAN* pbOk, PULONG pulLogLevel);
    // Frees the name and removes the event-log registration.
    virtual ~CTfDebugManager();

    // Logs one line at a level. pManager may be null (nothing is logged). Any IRQL up to
    // DISPATCH_LEVEL; no lock is taken.
    static void m_Log(CTfDebugManager* pManager, ULONG ulLevel, const char* pszFormat, ...);
    static void m_LogV(CTfDebugManager* pManager, ULONG ulLevel, const char* pszFormat,
                       va_list Arguments);
    // A second sink that keeps nothing; callers pass each line to it again with level 32.
    static void m_Flush(CTfDebugManager* pManager, ULONG ulLevel, const char* pszFormat, ...);
    static void m_LogBuffer(CTfDebugManager* pManager, ULONG ulLevel, const void* pBuffer,
                            ULONG ulLength);

    // Hex dump lines of the data through m_Log ("0x" on the first line, "XX " per byte).
    static void m_LogHexDump(CTfDebugManager* pManager, ULONG ulLevel, const void* pData,
                             ULONG ulLength);
    // Builds the title and the hex lines and sends only the time spent (message 65) when level
    // 17 is enabled.
    static void m_LogHexDumpWithTitle(CTfDebugManager* pManager, ULONG ulLevel, const void* pData,
                                      ULONG ulLength, const char* pszTitle);

    // TRUE when the trace flag of a level is enabled (levels 55 and 56 count as 17).
    static BOOLEAN m_IsLevelEnabled(ULONG ulLevel);

    // Names of codes, for log lines.
    static const char* m_GetPnpMinorName(ULONG ulMinor);
    static const char* m_GetPowerMinorName(ULONG ulMinor);
    static const char* m_GetUsbIoctlName(ULONG ulIoControlCode);
    static const char* m_GetStatusName(NTSTATUS Status);

    // Microseconds since *pStamp (clamped to 0 .. 0x7FFFFFFF, for "%d"); *pStamp becomes the
    // current performance counter.
    static LONG sm_GetElapsedMicroseconds(PLARGE_INTEGER pStamp);

    ULONG m_GetDebugMask() const { return m_ulDebugMask; }
    ULONG m_GetOperatorDebugMask() const { return m_ulOperatorDebugMask; }
    CTfString& m_GetName() { return m_Name; }

private:
    CTfString m_Name;
    ULONG m_ulDebugMask;
    ULONG m_ulOperatorDebugMask;
};
