// Debug manager of a driver image, and the image-wide logging entry point.
#include "tfdebugmanager.h"

#include <ntstrsafe.h>

#include "tfregistry.h"
#include "tftrace.h"

CTfDebugManager* g_pTfDebugManager = nullptr;

void TfDebugLog(ULONG ulLevel, const char* pszFormat, ...)
{
    va_list Arguments;
    va_start(Arguments, pszFormat);
    CTfDebugManager::m_LogV(g_pTfDebugManager, ulLevel, pszFormat, Arguments);
    va_end(Arguments);
}

// Trace group and flag bit of a level (0 to 54).
static void TfMapLevel(ULONG ulLevel, PULONG pulGroup, PULONG pulBit)
{
    if (ulLevel == 0) {
        *pulGroup = 0;
        *pulBit = 0;
    } else if (ulLevel <= 2) {
        *pulGroup = 1;
        *pulBit = ulLevel - 1;
    } else if (ulLevel <= 4) {
        *pulGroup = 2;
        *pulBit = ulLevel - 3;
    } else if (ulLevel <= 6) {
        *pulGroup = 3;
        *pulBit = ulLevel - 5;
    } else if (ulLevel <= 30) {
        *pulGroup = 4;
        *pulBit = ulLevel - 7;
    } else if (ulLevel <= 34) {
        *pulGroup = 5;
        *pulBit = ulLevel - 31;
    } else if (ulLevel <= 38) {
        *pulGroup = 6;
        *pulBit = ulLevel - 35;
    } else {
        *pulGroup = 7;
        *pulBit = ulLevel - 39;
    }
}

static ULONG TfMapTimingLevel(ULONG ulLevel)
{
    return (ulLevel == 55 || ulLevel == 56) ? TF_LOG_TIMING_LEVEL : ulLevel;
}

// The flag test of the log calls: a level without a flag is reported and counts as disabled.
static BOOLEAN TfTestLevel(ULONG ulLevel, PULONG pulGroup)
{
    if (ulLevel > TF_LOG_MAX_LEVEL) {
        TF_ASSERT_AT();
        return FALSE;
    }
    ULONG ulBit;
    TfMapLevel(ulLevel, pulGroup, &ulBit);
    return TfTraceIsFlagEnabled(*pulGroup, ulBit);
}

CTfDebugManager::CTfDebugManager(PDRIVER_OBJECT pDriverObject, const CTfString& ServiceName,
                                 const CTfString& RegistryPath, BOOLEAN* pbOk, PULONG pulLogLevel)
    : CTfEventLogSource(pDriverObject, ServiceName, RegistryPath, pbOk), m_Name(PagedPool),
      m_ulDebugMask(0), m_ulOperatorDebugMask(0)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfDebugManager::CTfDebugManager");
    if (pulLogLevel != NULL) {
        *pulLogLevel = m_ulLogLevel;
    }
    if (!m_bRegistered) {
        Log.m_Fail("event log source");
        return;
    }

    BOOLEAN bOk = TRUE;
    CTfString DebugMaskName(PagedPool, u"DebugMask");
    CTfString OperatorDebugMaskName(PagedPool, u"OperatorDebugMask");
    if (DebugMaskName.m_GetStatus() != STATUS_SUCCESS ||
        OperatorDebugMaskName.m_GetStatus() != STATUS_SUCCESS) {
        bOk = FALSE;
    } else {
        // A missing or unreadable mask stays 0.
        CTfRegistry::m_QueryAbsoluteDword(RegistryPath, DebugMaskName, &m_ulDebugMask);
        CTfRegistry::m_QueryAbsoluteDword(RegistryPath, OperatorDebugMaskName, &m_ulOperatorDebugMask);
        if (m_Name.m_Assign(ServiceName) != STATUS_SUCCESS) {
            bOk = FALSE;
        }
    }

    if (pbOk != NULL) {
        *pbOk = bOk;
    }
    if (!bOk) {
        Log.m_Fail("no memory");
        return;
    }
    Log.m_Success();
}

CTfDebugManager::~CTfDebugManager()
{
    CTfRoutineLog Log("CTfDebugManager::~CTfDebugManager");
    m_Name.m_Free();
    m_RemoveRegistration();
    Log.m_Success();
}

void CTfDebugManager::m_Log(CTfDebugManager* pManager, ULONG ulLevel, const char* pszFormat, ...)
{
    va_list Arguments;
    va_start(Arguments, pszFormat);
    m_LogV(pManager, ulLevel, pszFormat, Arguments);
    va_end(Arguments);
}

void CTfDebugManager::m_LogV(CTfDebugManager* pManager, ULONG ulLevel, const char* pszFormat,
                             va_list Arguments)
{
    ulLevel = TfMapTimingLevel(ulLevel);
    if (pManager == NULL) {
        return;
    }
    ULONG ulGroup = 0;
    if (!TfTestLevel(ulLevel, &ulGroup)) {
        return;
    }

    // The format is measured without reading past its 251st byte.
    SIZE_T cbFormat = 0;
    if (pszFormat == NULL ||
        !NT_SUCCESS(RtlStringCbLengthA(pszFormat, TF_LOG_MAX_FORMAT + 1, &cbFormat))) {
        TF_ASSERT_AT();
        return;
    }

    // Longer output is cut; the line is still sent.
    CHAR szLine[TF_LOG_LINE_SIZE];
    NTSTATUS Status = RtlStringCbVPrintfA(szLine, sizeof(szLine), pszFormat, Arguments);
    if (!NT_SUCCESS(Status) && Status != STATUS_BUFFER_OVERFLOW) {
        return;
    }
    if (!TfTraceIsSetUp()) {
        return;
    }
    TfTraceSendText(ulGroup, (USHORT)(ulLevel + 10), szLine);
}

void CTfDebugManager::m_Flush(CTfDebugManager* pManager, ULONG ulLevel, const char* pszFormat, ...)
{
    (void)pManager;
    (void)ulLevel;
    (void)pszFormat;
}

void CTfDebugManager::m_LogBuffer(CTfDebugManager* pManager, ULONG ulLevel, const void* pBuffer,
                                  ULONG ulLength)
{
    (void)pManager;
    (void)ulLevel;
    (void)pBuffer;
    (void)ulLength;
}

BOOLEAN CTfDebugManager::m_IsLevelEnabled(ULONG ulLevel)
{
    ulLevel = TfMapTimingLevel(ulLevel);
    if (ulLevel > TF_LOG_MAX_LEVEL) {
        return FALSE;
    }
    ULONG ulGroup;
    ULONG ulBit;
    TfMapLevel(ulLevel, &ulGroup, &ulBit);
    return TfTraceIsFlagEnabled(ulGroup, ulBit);
}

// One line of a hex dump under construction.
typedef struct _TF_HEX_LINE {
    CHAR szText[TF_HEXDUMP_LINE_SIZE];
    ULONG ulUsed;
} TF_HEX_LINE, *PTF_HEX_LINE;

static ULONG TfLineRoom(PTF_HEX_LINE pLine)
{
    return TF_HEXDUMP_LINE_SIZE - pLine->ulUsed;
}

static void TfLineAppendText(PTF_HEX_LINE pLine, const char* pszText)
{
    while (*pszText != '\0' && TfLineRoom(pLine) > 0) {
        pLine->szText[pLine->ulUsed++] = *pszText++;
    }
}

// A byte is begun only while more than 3 characters of room remain.
static BOOLEAN TfLineAppendHex(PTF_HEX_LINE pLine, UCHAR ucByte)
{
    static const char s_szDigits[] = "0123456789ABCDEF";
    if (TfLineRoom(pLine) <= 3) {
        return FALSE;
    }
    pLine->szText[pLine->ulUsed++] = s_szDigits[ucByte >> 4];
    pLine->szText[pLine->ulUsed++] = s_szDigits[ucByte & 0x0F];
    pLine->szText[pLine->ulUsed++] = ' ';
    return TRUE;
}

static BOOLEAN TfLineEnd(PTF_HEX_LINE pLine, BOOLEAN bLineBreak)
{
    if (bLineBreak) {
        if (TfLineRoom(pLine) > 1) {
            pLine->szText[pLine->ulUsed++] = '\n';
            pLine->szText[pLine->ulUsed] = '\0';
            return TRUE;
        }
    } else if (TfLineRoom(pLine) > 0) {
        pLine->szText[pLine->ulUsed] = '\0';
        return TRUE;
    }
    TF_ASSERT_AT();
    return FALSE;
}

// Ends the line, logs it when asked (as an argument: a title may hold '%') and starts the next.
static void TfLineFlush(PTF_HEX_LINE pLine, CTfDebugManager* pManager, ULONG ulLevel, BOOLEAN bSend)
{
    if (TfLineEnd(pLine, FALSE) && bSend) {
        CTfDebugManager::m_Log(pManager, ulLevel, "%s", pLine->szText);
    }
    pLine->ulUsed = 0;
}

static void TfBuildHexLines(CTfDebugManager* pManager, ULONG ulLevel, const UCHAR* pData,
                            ULONG ulLength, const char* pszTitle, BOOLEAN bSend)
{
    TF_HEX_LINE Line;
    Line.ulUsed = 0;
    if (pszTitle != NULL) {
        TfLineAppendText(&Line, pszTitle);
        TfLineAppendText(&Line, " - 0x");
    } else {
        TfLineAppendText(&Line, "0x");
    }
    for (ULONG ulIndex = 0; ulIndex < ulLength; ulIndex++) {
        if (!TfLineAppendHex(&Line, pData[ulIndex])) {
            TfLineFlush(&Line, pManager, ulLevel, bSend);
            TfLineAppendHex(&Line, pData[ulIndex]);
        }
    }
    TfLineFlush(&Line, pManager, ulLevel, bSend);
}

void CTfDebugManager::m_LogHexDump(CTfDebugManager* pManager, ULONG ulLevel, const void* pData,
                                   ULONG ulLength)
{
    ulLevel = TfMapTimingLevel(ulLevel);
    if (pManager == NULL) {
        return;
    }
    ULONG ulGroup = 0;
    if (!TfTestLevel(ulLevel, &ulGroup) || pData == NULL || ulLength == 0) {
        return;
    }
    TfBuildHexLines(pManager, ulLevel, (const UCHAR*)pData, ulLength, NULL, TRUE);
}

void CTfDebugManager::m_LogHexDumpWithTitle(CTfDebugManager* pManager, ULONG ulLevel,
                                            const void* pData, ULONG ulLength, const char* pszTitle)
{
    LARGE_INTEGER Stamp = KeQueryPerformanceCounter(NULL);
    ulLevel = TfMapTimingLevel(ulLevel);
    if (pManager == NULL) {
        return;
    }
    ULONG ulGroup = 0;
    if (!TfTestLevel(ulLevel, &ulGroup) || pData == NULL) {
        return;
    }
    TfBuildHexLines(pManager, ulLevel, (const UCHAR*)pData, ulLength, pszTitle != NULL ? pszTitle : "",
                    FALSE);

    ULONG ulTimingGroup;
    ULONG ulTimingBit;
    TfMapLevel(TF_LOG_TIMING_LEVEL, &ulTimingGroup, &ulTimingBit);
    if (TfTraceIsFlagEnabled(ulTimingGroup, ulTimingBit) && TfTraceIsSetUp()) {
        TfTraceSendNumber(ulTimingGroup, TF_TRACE_MESSAGE_DUMP_TIMING, sm_GetElapsedMicroseconds(&Stamp));
    }
}

LONG CTfDebugManager::sm_GetElapsedMicroseconds(PLARGE_INTEGER pStamp)
{
    if (pStamp == NULL) {
        return 0;
    }
    LARGE_INTEGER Frequency;
    LARGE_INTEGER Counter = KeQueryPerformanceCounter(&Frequency);
    LONGLONG llDelta = Counter.QuadPart - pStamp->QuadPart;
    pStamp->QuadPart = Counter.QuadPart;
    if (Frequency.QuadPart <= 0 || llDelta <= 0) {
        return 0;
    }

    // Whole seconds and the rest apart, so the product cannot overflow; anything beyond the
    // 32-bit range of the "%d" callers is clamped.
    const LONGLONG llMicrosecondsPerSecond = 1000000;
    const LONGLONG llMaxResult = 0x7FFFFFFF;
    LONGLONG llSeconds = llDelta / Frequency.QuadPart;
    if (llSeconds > llMaxResult / llMicrosecondsPerSecond) {
        return (LONG)llMaxResult;
    }
    LONGLONG llRest = llDelta % Frequency.QuadPart;
    LONGLONG llFraction;
    if (Frequency.QuadPart <= 0x7FFFFFFFFFFFFFFFLL / llMicrosecondsPerSecond) {
        llFraction = llRest * llMicrosecondsPerSecond / Frequency.QuadPart;
    } else {
        llFraction = llRest / (Frequency.QuadPart / llMicrosecondsPerSecond);
    }
    LONGLONG llResult = llSeconds * llMicrosecondsPerSecond + llFraction;
    return (LONG)(llResult > llMaxResult ? llMaxResult : llResult);
}

const char* CTfDebugManager::m_GetPnpMinorName(ULONG ulMinor)
{
    static const char* const s_apszNames[] = {
        "IRP_MN_START_DEVICE",
        "IRP_MN_QUERY_REMOVE_DEVICE",
        "IRP_MN_REMOVE_DEVICE",
        "IRP_MN_CANCEL_REMOVE_DEVICE",
        "IRP_MN_STOP_DEVICE",
        "IRP_MN_QUERY_STOP_DEVICE",
        "IRP_MN_CANCEL_STOP_DEVICE",
        "IRP_MN_QUERY_DEVICE_RELATIONS",
        "IRP_MN_QUERY_INTERFACE",
        "IRP_MN_QUERY_CAPABILITIES",
        "IRP_MN_QUERY_RESOURCES",
        "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
        "IRP_MN_QUERY_DEVICE_TEXT",
        "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
        NULL,
        "IRP_MN_READ_CONFIG",
        "IRP_MN_WRITE_CONFIG",
        "IRP_MN_EJECT",
        "IRP_MN_SET_LOCK",
        "IRP_MN_QUERY_ID",
        "IRP_MN_QUERY_PNP_DEVICE_STATE",
        "IRP_MN_QUERY_BUS_INFORMATION",
        "IRP_MN_DEVICE_USAGE_NOTIFICATION",
        "IRP_MN_SURPRISE_REMOVAL",
    };
    ULONG ulCode = ulMinor & 0xFF;
    if (ulCode >= sizeof(s_apszNames) / sizeof(s_apszNames[0]) || s_apszNames[ulCode] == NULL) {
        return "IRP_MN_?????";
    }
    return s_apszNames[ulCode];
}

const char* CTfDebugManager::m_GetPowerMinorName(ULONG ulMinor)
{
    static const char* const s_apszNames[] = {
        "IRP_MN_WAIT_WAKE",
        "IRP_MN_POWER_SEQUENCE",
        "IRP_MN_SET_POWER",
        "IRP_MN_QUERY_POWER",
    };
    ULONG ulCode = ulMinor & 0xFF;
    if (ulCode >= sizeof(s_apszNames) / sizeof(s_apszNames[0])) {
        return "IRP_MN_?????";
    }
    return s_apszNames[ulCode];
}

const char* CTfDebugManager::m_GetUsbIoctlName(ULONG ulIoControlCode)
{
    switch (ulIoControlCode) {
    case 0x220003:
        return "IOCTL_INTERNAL_USB_SUBMIT_URB";
    case 0x220007:
        return "IOCTL_INTERNAL_USB_RESET_PORT";
    case 0x22000F:
        return "IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO";
    case 0x220013:
        return "IOCTL_INTERNAL_USB_GET_PORT_STATUS";
    case 0x220017:
        return "IOCTL_INTERNAL_USB_ENABLE_PORT (obsolete)";
    case 0x22001B:
        return "IOCTL_INTERNAL_USB_GET_HUB_COUNT";
    case 0x22001F:
        return "IOCTL_INTERNAL_USB_CYCLE_PORT";
    case 0x220020:
        return "IOCTL_INTERNAL_USB_GET_HUB_NAME";
    case 0x220420:
        return "IOCTL_INTERNAL_USB_GET_BUS_INFO (obsolete)";
    case 0x220424:
        return "IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME";
    case 0x220428:
        return "IOCTL_INTERNAL_USB_GET_BUSGUID_INFO";
    case 0x22042C:
        return "IOCTL_INTERNAL_USB_GET_PARENT_HUB_INFO";
    default:
        return "IOCTL_?????";
    }
}

const char* CTfDebugManager::m_GetStatusName(NTSTATUS Status)
{
    switch ((ULONG)Status) {
    case 0x00000000:
        return "STATUS_SUCCESS";
    case 0x00000001:
        return "STATUS_WAIT_1";
    case 0x00000002:
        return "STATUS_WAIT_2";
    case 0x00000003:
        return "STATUS_WAIT_3";
    case 0x00000101:
        return "STATUS_ALERTED";
    case 0x00000102:
        return "STATUS_TIMEOUT";
    case 0x00000103:
        return "STATUS_PENDING";
    case 0xC0000001:
        return "STATUS_UNSUCCESSFUL";
    default:
        return "STATUS_?????";
    }
}
