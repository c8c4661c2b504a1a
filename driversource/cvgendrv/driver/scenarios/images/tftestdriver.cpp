#include "tftestdriver.h"

#include <ntstrsafe.h>

#include "tfdebug.h"
#include "tfdebugmanager.h"
#include "tfinformationset.h"
#include "tfmemorytracker.h"
#include "tfstring.h"

// The record lives in the image's own data, not in pool: it must outlast the framework's tracker
// (the unload line) and may grow at raised IRQL.
#define TFTEST_RECORD_LINES 512
#define TFTEST_RECORD_LINE_CHARS 160
#define TFTEST_RECORD_KEY_CHARS 320

static CHAR g_aszRecordLines[TFTEST_RECORD_LINES][TFTEST_RECORD_LINE_CHARS];
static ULONG g_ulRecordedLines;  // lines recorded in this load (guarded by g_RecordLock)
static ULONG g_ulWrittenLines;   // of those, written to the registry (guarded by g_FlushMutex)
static ULONG g_ulFirstNumber;    // registry number of line 0 (lines of earlier loads come first)
static KSPIN_LOCK g_RecordLock;
static KMUTEX g_FlushMutex;
static WCHAR g_szRecordKey[TFTEST_RECORD_KEY_CHARS];
static BOOLEAN g_bRecordReady;
static ULONG g_ulRefuseValue = MAXULONG;
static ULONG g_ulNextSerial;
static PDRIVER_UNLOAD g_pfnFrameworkUnload;

CTfTestDevice* CTfTestDevice::sm_pNewest = NULL;

static HANDLE TfTestOpenKey(const WCHAR* pszPath, BOOLEAN bCreate)
{
    UNICODE_STRING Path;
    RtlInitUnicodeString(&Path, pszPath);
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &Path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE hKey = NULL;
    NTSTATUS Status = bCreate ? ZwCreateKey(&hKey, KEY_ALL_ACCESS, &Attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL)
                              : ZwOpenKey(&hKey, KEY_READ, &Attributes);
    return NT_SUCCESS(Status) ? hKey : NULL;
}

static BOOLEAN TfTestReadDword(HANDLE hKey, const WCHAR* pszName, PULONG pulValue)
{
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, pszName);
    UCHAR aucBuffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    ULONG ulLength = 0;
    NTSTATUS Status =
        ZwQueryValueKey(hKey, &Name, KeyValuePartialInformation, aucBuffer, sizeof(aucBuffer), &ulLength);
    PKEY_VALUE_PARTIAL_INFORMATION pInfo = (PKEY_VALUE_PARTIAL_INFORMATION)aucBuffer;
    if (!NT_SUCCESS(Status) || pInfo->Type != REG_DWORD || pInfo->DataLength != sizeof(ULONG)) {
        return FALSE;
    }
    RtlCopyMemory(pulValue, pInfo->Data, sizeof(ULONG));
    return TRUE;
}

static void TfTestWriteDword(HANDLE hKey, const WCHAR* pszName, ULONG ulValue)
{
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, pszName);
    ZwSetValueKey(hKey, &Name, 0, REG_DWORD, &ulValue, sizeof(ulValue));
}

// "0001" .. "9999": the value name of a record line.
static void TfTestLineName(ULONG ulNumber, WCHAR* pszName)
{
    for (int i = 3; i >= 0; --i) {
        pszName[i] = (WCHAR)(u'0' + ulNumber % 10);
        ulNumber /= 10;
    }
    pszName[4] = 0;
}

// Prepares the record: the key path under the service key and the number of lines earlier
// loads of the image wrote there.
static void TfTestInitRecord(PUNICODE_STRING pRegistryPath)
{
    TfDebugLog(7, "TfTestInitRecord - IN");
    KeInitializeSpinLock(&g_RecordLock);
    KeInitializeMutex(&g_FlushMutex, 0);
    g_ulRecordedLines = 0;
    g_ulWrittenLines = 0;
    g_ulFirstNumber = 0;
    g_ulNextSerial = 0;
    g_bRecordReady = FALSE;
    g_szRecordKey[0] = 0;
    if (pRegistryPath == NULL || pRegistryPath->Buffer == NULL ||
        !NT_SUCCESS(RtlStringCchCopyW(g_szRecordKey, TFTEST_RECORD_KEY_CHARS, pRegistryPath->Buffer))) {
        TfDebugLog(7, "TfTestInitRecord - OUT - Fail-> registry path");
        return;
    }
    // The path is counted, not terminated.
    ULONG ulChars = pRegistryPath->Length / sizeof(WCHAR);
    if (ulChars >= TFTEST_RECORD_KEY_CHARS) {
        TfDebugLog(7, "TfTestInitRecord - OUT - Fail-> registry path too long");
        return;
    }
    g_szRecordKey[ulChars] = 0;

    HANDLE hService = TfTestOpenKey(g_szRecordKey, FALSE);
    if (hService != NULL) {
        ULONG ulValue = 0;
        g_ulRefuseValue = TfTestReadDword(hService, TFTEST_REFUSE_VALUE, &ulValue) ? ulValue : MAXULONG;
        ZwClose(hService);
    }
    if (!NT_SUCCESS(RtlStringCchCatW(g_szRecordKey, TFTEST_RECORD_KEY_CHARS, u"\\")) ||
        !NT_SUCCESS(RtlStringCchCatW(g_szRecordKey, TFTEST_RECORD_KEY_CHARS, TFTEST_RECORD_SUBKEY))) {
        TfDebugLog(7, "TfTestInitRecord - OUT - Fail-> record key");
        return;
    }
    HANDLE hRecord = TfTestOpenKey(g_szRecordKey, FALSE);
    if (hRecord != NULL) {
        ULONG ulCount = 0;
        if (TfTestReadDword(hRecord, TFTEST_RECORD_COUNT, &ulCount)) {
            g_ulFirstNumber = ulCount;
        }
        ZwClose(hRecord);
    }
    g_bRecordReady = TRUE;
    TfDebugLog(7, "TfTestInitRecord - OUT (Success)");
}

ULONG TfTestGetRefuseValue(void)
{
    return g_ulRefuseValue;
}

ULONG TfTestFlushRecord(void)
{
    if (!g_bRecordReady || KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return g_ulFirstNumber + g_ulWrittenLines;
    }
    KeWaitForSingleObject(&g_FlushMutex, Executive, KernelMode, FALSE, NULL);
    HANDLE hRecord = TfTestOpenKey(g_szRecordKey, TRUE);
    if (hRecord == NULL) {
        KeReleaseMutex(&g_FlushMutex, FALSE);
        return g_ulFirstNumber + g_ulWrittenLines;
    }
    for (;;) {
        KIRQL OldIrql;
        KeAcquireSpinLock(&g_RecordLock, &OldIrql);
        ULONG ulRecorded = g_ulRecordedLines;
        KeReleaseSpinLock(&g_RecordLock, OldIrql);
        if (g_ulWrittenLines >= ulRecorded) {
            break;
        }
        // A line is complete once it is counted; it is never changed afterwards.
        const CHAR* pszLine = g_aszRecordLines[g_ulWrittenLines];
        WCHAR szWide[TFTEST_RECORD_LINE_CHARS];
        ULONG ulChars = 0;
        while (pszLine[ulChars] != 0 && ulChars < TFTEST_RECORD_LINE_CHARS - 1) {
            szWide[ulChars] = (WCHAR)(UCHAR)pszLine[ulChars];
            ++ulChars;
        }
        szWide[ulChars] = 0;
        WCHAR szName[5];
        TfTestLineName(g_ulFirstNumber + g_ulWrittenLines + 1, szName);
        UNICODE_STRING Name;
        RtlInitUnicodeString(&Name, szName);
        ZwSetValueKey(hRecord, &Name, 0, REG_SZ, szWide, (ulChars + 1) * sizeof(WCHAR));
        ++g_ulWrittenLines;
        TfTestWriteDword(hRecord, TFTEST_RECORD_COUNT, g_ulFirstNumber + g_ulWrittenLines);
    }
    ZwClose(hRecord);
    ULONG ulWritten = g_ulFirstNumber + g_ulWrittenLines;
    KeReleaseMutex(&g_FlushMutex, FALSE);
    return ulWritten;
}

void TfTestRecord(const char* pszFormat, ...)
{
    CHAR szLine[TFTEST_RECORD_LINE_CHARS];
    va_list Arguments;
    va_start(Arguments, pszFormat);
    RtlStringCbVPrintfA(szLine, sizeof(szLine), pszFormat, Arguments);
    va_end(Arguments);

    KIRQL OldIrql;
    KeAcquireSpinLock(&g_RecordLock, &OldIrql);
    // Lines beyond the capacity are dropped: a scenario never comes near it.
    if (g_ulRecordedLines < TFTEST_RECORD_LINES) {
        RtlCopyMemory(g_aszRecordLines[g_ulRecordedLines], szLine, sizeof(szLine));
        ++g_ulRecordedLines;
    } else {
        TF_ASSERT_AT();
    }
    KeReleaseSpinLock(&g_RecordLock, OldIrql);
    TfTestFlushRecord();
}

// ---- Per-device object ----

CTfTestDevice::CTfTestDevice() : m_ulSerial((ULONG)InterlockedIncrement((volatile LONG*)&g_ulNextSerial)), m_pDevice(NULL)
{
}

CTfTestDevice::~CTfTestDevice()
{
}

static ULONG TfTestSerial(CTfObject* pObject)
{
    return pObject != NULL ? static_cast<CTfTestDevice*>(pObject)->m_GetSerial() : 0;
}

BOOLEAN TfTestAddDevice(CTfObject* pObject, CTfDriver* pDriver, CTfFunctionalDevice* pDevice)
{
    TfDebugLog(7, "TfTestAddDevice - IN");
    (void)pDriver;
    CTfTestDevice* pTestDevice = static_cast<CTfTestDevice*>(pObject);
    if (pTestDevice == NULL || pDevice == NULL) {
        TfDebugLog(7, "TfTestAddDevice - OUT - Fail-> no object");
        return FALSE;
    }
    pTestDevice->m_SetDevice(pDevice);
    CTfString& Name = pDevice->m_GetDeviceName();
    const CHAR* pszName = Name.m_IsEmpty() ? "" : Name.m_GetAnsiBuffer();
    TfTestRecord("0 dev%u name=%s", pTestDevice->m_GetSerial(), pszName != NULL ? pszName : "");
    TfDebugLog(7, "TfTestAddDevice - OUT (Success)");
    return TRUE;
}

void TfTestDeleteObject(CTfObject* pObject)
{
    TfDebugLog(7, "TfTestDeleteObject - IN");
    TfTestRecord("delete dev%u", TfTestSerial(pObject));
    if (CTfTestDevice::sm_pNewest == pObject) {
        CTfTestDevice::sm_pNewest = NULL;
    }
    delete pObject;
    TfDebugLog(7, "TfTestDeleteObject - OUT (Success)");
}

BOOLEAN TfTestCreate(CTfObject* pObject)
{
    TfTestRecord("2 dev%u", TfTestSerial(pObject));
    return TRUE;
}

BOOLEAN TfTestClose(CTfObject* pObject)
{
    TfTestRecord("3 dev%u", TfTestSerial(pObject));
    return TRUE;
}

BOOLEAN TfTestPnpStart(CTfObject* pObject)
{
    TfTestRecord("5 dev%u", TfTestSerial(pObject));
    return TRUE;
}

void TfTestPnpRemove(CTfObject* pObject)
{
    TfTestRecord("6 dev%u", TfTestSerial(pObject));
}

BOOLEAN TfTestRebalance(CTfObject* pObject, ULONG ulPhase)
{
    TfTestRecord("7 dev%u phase=%u", TfTestSerial(pObject), ulPhase);
    return TRUE;
}

void TfTestPowerDown(CTfObject* pObject)
{
    TfTestRecord("15 dev%u", TfTestSerial(pObject));
}

void TfTestPowerUp(CTfObject* pObject)
{
    TfTestRecord("16 dev%u", TfTestSerial(pObject));
}

NTSTATUS TfTestCommonControl(ULONG ulIoControlCode, PVOID pInputBuffer, ULONG ulInputLength, PVOID pOutputBuffer,
                             ULONG ulOutputLength, PULONG_PTR pulInformation)
{
    TfDebugLog(7, "TfTestCommonControl - IN");
    *pulInformation = 0;
    switch (ulIoControlCode) {
    case TFTEST_IOCTL_FLUSH_RECORD: {
        if (ulOutputLength < sizeof(ULONG) || pOutputBuffer == NULL) {
            TfDebugLog(7, "TfTestCommonControl - OUT - Fail-> output too small");
            return STATUS_BUFFER_TOO_SMALL;
        }
        ULONG ulWritten = TfTestFlushRecord();
        RtlCopyMemory(pOutputBuffer, &ulWritten, sizeof(ULONG));
        *pulInformation = sizeof(ULONG);
        break;
    }
    case TFTEST_IOCTL_ECHO: {
        ULONG ulCopy = ulInputLength < ulOutputLength ? ulInputLength : ulOutputLength;
        // Input and output share the system buffer: nothing to move.
        if (ulCopy != 0 && pOutputBuffer != pInputBuffer) {
            RtlMoveMemory(pOutputBuffer, pInputBuffer, ulCopy);
        }
        *pulInformation = ulCopy;
        break;
    }
    default:
        TfDebugLog(7, "TfTestCommonControl - OUT - Fail-> code %08x", ulIoControlCode);
        return STATUS_NOT_SUPPORTED;
    }
    TfDebugLog(7, "TfTestCommonControl - OUT (Success)");
    return STATUS_SUCCESS;
}

BOOLEAN TfTestUserModeInterface(CTfObject* pObject, CTfInformationSet* pSet, ULONG ulSetIndex, ULONG ulPhase,
                                PUCHAR pucStoreAgain)
{
    TfDebugLog(7, "TfTestUserModeInterface - IN");
    (void)pucStoreAgain;
    CHAR szValues[TFTEST_RECORD_LINE_CHARS];
    szValues[0] = 0;
    ULONG ulFirstNumber = MAXULONG;
    BOOLEAN bHaveNumber = FALSE;
    if (pSet != NULL) {
        for (CTfInformationSetItem* pItem = pSet->m_GetFirstItem(); pItem != NULL; pItem = pSet->m_GetNextItem()) {
            CHAR szItem[64];
            const CHAR* pszName = pItem->m_Name.m_IsEmpty() ? "" : pItem->m_Name.m_GetAnsiBuffer();
            if (pszName == NULL) {
                pszName = "";
            }
            if (pItem->m_ulKind == TF_ITEM_KIND_DWORD && pItem->m_pTarget != NULL) {
                ULONG ulValue = *(PULONG)pItem->m_pTarget;
                if (!bHaveNumber) {
                    ulFirstNumber = ulValue;
                    bHaveNumber = TRUE;
                }
                RtlStringCbPrintfA(szItem, sizeof(szItem), " %s=%u", pszName, ulValue);
            } else if (pItem->m_ulKind == TF_ITEM_KIND_STRING && pItem->m_pTarget != NULL) {
                CTfString* pValue = (CTfString*)pItem->m_pTarget;
                const CHAR* pszValue = pValue->m_IsEmpty() ? "" : pValue->m_GetAnsiBuffer();
                RtlStringCbPrintfA(szItem, sizeof(szItem), " %s=%s", pszName, pszValue != NULL ? pszValue : "");
            } else {
                continue;
            }
            RtlStringCbCatA(szValues, sizeof(szValues), szItem);
        }
    }
    BOOLEAN bAccept = !(ulPhase == 0 && bHaveNumber && ulFirstNumber == g_ulRefuseValue);
    TfTestRecord("18 dev%u index=%u phase=%u%s%s", TfTestSerial(pObject), ulSetIndex, ulPhase, szValues,
                 bAccept ? "" : " refused");
    TfDebugLog(7, bAccept ? "TfTestUserModeInterface - OUT (Success)" : "TfTestUserModeInterface - OUT - Fail-> refused");
    return bAccept;
}

// ---- Driver entry and unload ----

static void TfTestDriverUnload(PDRIVER_OBJECT pDriverObject)
{
    TfDebugLog(7, "TfTestDriverUnload - IN");
    TfTestRecord("unload");
    PDRIVER_UNLOAD pfnFrameworkUnload = g_pfnFrameworkUnload;
    g_pfnFrameworkUnload = NULL;
    if (pfnFrameworkUnload != NULL) {
        pfnFrameworkUnload(pDriverObject);
    }
}

NTSTATUS TfTestDriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath,
                           CTfDriverDescription* pDescription)
{
    if (!TfLibraryAddReference()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!TfFrameworkAddReference()) {
        TfLibraryRelease();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS Status = STATUS_INSUFFICIENT_RESOURCES;
    {
        CTfString ServiceName(NonPagedPool, pDescription->pszServiceName);
        CTfString RegistryPath(NonPagedPool);
        if (RegistryPath.m_AssignUnicodeString(pRegistryPath) == STATUS_SUCCESS) {
            BOOLEAN bOk = FALSE;
            ULONG ulLogLevel = 0;
            CTfDebugManager* pManager =
                new (NonPagedPool) CTfDebugManager(pDriverObject, ServiceName, RegistryPath, &bOk, &ulLogLevel);
            if (pManager != NULL && !bOk) {
                delete pManager;
                pManager = NULL;
            }
            if (pManager != NULL) {
                g_pTfDebugManager = pManager;
                Status = STATUS_SUCCESS;
            }
        }
    }
    TfDebugLog(7, "TfTestDriverEntry - IN");
    if (Status == STATUS_SUCCESS) {
        TfTestInitRecord(pRegistryPath);
        pDescription->pDriverObject = pDriverObject;
        pDescription->pRegistryPath = pRegistryPath;
        Status = CTfDriver::sm_CreateDriver(pDescription);
    }
    if (!NT_SUCCESS(Status)) {
        // No unload follows a failed entry: give back what was taken.
        CTfDebugManager* pManager = g_pTfDebugManager;
        g_pTfDebugManager = NULL;
        if (pManager != NULL) {
            delete pManager;
        }
        TfFrameworkRelease();
        TfLibraryRelease();
        return Status;
    }
    // The framework's unload frees the tracker; the record's last line goes first.
    g_pfnFrameworkUnload = pDriverObject->DriverUnload;
    pDriverObject->DriverUnload = TfTestDriverUnload;
    TfTestRecord("entry");
    TfDebugLog(7, "TfTestDriverEntry - OUT (Success)");
    return STATUS_SUCCESS;
}
