// Configuration interface of a functional device.
#include "tfusermodeinterface.h"

#include "tfdebug.h"
#include "tfdevice.h"
#include "tffunctionaldevice.h"
#include "tfphysicaldevice.h"
#include "tfregistry.h"
#include "tfrequest.h"

// Reports of impossible requests, with the source's own name and line.
#define TF_UMI_SOURCE "tfusermodeinterface.cpp"
#define TF_UMI_LINE_NO_PDO 203
#define TF_UMI_LINE_BAD_INDEX 691

TfUserModeInterface::TfUserModeInterface()
    : m_bRegistered(FALSE),
      m_ReferenceString(NonPagedPool),
      m_pInformationSet(NULL),
      m_ulOwnIndex(TF_USERMODE_DEFAULT_SET_INDEX),
      m_ulSetCount(1),
      m_pPhysicalDeviceObject(NULL),
      m_pfnSetChanged(NULL),
      m_pfnForward(NULL),
      m_pHookContext(NULL)
{
    CTfRoutineLog Log("TfUserModeInterface::TfUserModeInterface");
    RtlZeroMemory(&m_SymbolicLinkName, sizeof(m_SymbolicLinkName));
    RtlZeroMemory(&m_InterfaceGuid, sizeof(m_InterfaceGuid));
    KeInitializeMutex(&m_Mutex, 0);
    Log.m_Success();
}

TfUserModeInterface::~TfUserModeInterface()
{
    CTfRoutineLog Log("TfUserModeInterface::~TfUserModeInterface");
    if (m_bRegistered) {
        IoSetDeviceInterfaceState(&m_SymbolicLinkName, FALSE);
        RtlFreeUnicodeString(&m_SymbolicLinkName);
        m_bRegistered = FALSE;
    }
    delete m_pInformationSet;
    m_pInformationSet = NULL;
    Log.m_Success();
}

void TfUserModeInterface::m_SetInformationSet(CTfRegistryInformationSet* pInformationSet)
{
    CTfRoutineLog Log("TfUserModeInterface::m_SetInformationSet");
    if (m_pInformationSet != pInformationSet) {
        delete m_pInformationSet;
        m_pInformationSet = pInformationSet;
    }
    Log.m_Success();
}

void TfUserModeInterface::m_SetInterfaceGuid(ULONG ulWord1, ULONG ulWord2, ULONG ulWord3, ULONG ulWord4)
{
    CTfRoutineLog Log("TfUserModeInterface::m_SetInterfaceGuid");
    m_InterfaceGuid.Data1 = ulWord1;
    m_InterfaceGuid.Data2 = (USHORT)(ulWord2 & 0xFFFF);
    m_InterfaceGuid.Data3 = (USHORT)(ulWord2 >> 16);
    for (ULONG ulByte = 0; ulByte < 4; ulByte++) {
        m_InterfaceGuid.Data4[ulByte] = (UCHAR)(ulWord3 >> (8 * ulByte));
        m_InterfaceGuid.Data4[4 + ulByte] = (UCHAR)(ulWord4 >> (8 * ulByte));
    }
    Log.m_Success();
}

void TfUserModeInterface::m_SetPhysicalDeviceObject(PDEVICE_OBJECT pPhysicalDeviceObject)
{
    CTfRoutineLog Log("TfUserModeInterface::m_SetPhysicalDeviceObject");
    m_pPhysicalDeviceObject = pPhysicalDeviceObject;
    m_DeviceProperty.m_SetPhysicalDeviceObject(pPhysicalDeviceObject);
    Log.m_Success();
}

void TfUserModeInterface::m_SetHooks(PTF_UMI_SET_CHANGED_ROUTINE pfnSetChanged, PTF_UMI_FORWARD_ROUTINE pfnForward,
                                     PVOID pContext)
{
    CTfRoutineLog Log("TfUserModeInterface::m_SetHooks");
    m_pfnSetChanged = pfnSetChanged;
    m_pfnForward = pfnForward;
    m_pHookContext = pContext;
    Log.m_Success();
}

// Requests and loads run at PASSIVE_LEVEL and may send synchronous requests of their own (the
// driver's apply step), so the lock is a dispatcher mutex, not a fast mutex.
void TfUserModeInterface::m_Lock()
{
    KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, NULL);
}

void TfUserModeInterface::m_Unlock()
{
    KeReleaseMutex(&m_Mutex, FALSE);
}

// ---------------------------------------------------------------------------------------------
// Registration and handle recognition
// ---------------------------------------------------------------------------------------------

BOOLEAN TfUserModeInterface::m_Init()
{
    CTfRoutineLog Log("TfUserModeInterface::m_Init");
    if (m_pInformationSet == NULL) {
        Log.m_Success();
        return TRUE;
    }
    if (m_pPhysicalDeviceObject == NULL) {
        DbgPrint("ASSERT at - %s %d\n", TF_UMI_SOURCE, TF_UMI_LINE_NO_PDO);
        Log.m_Fail("no PDO");
        return FALSE;
    }
    if (m_bRegistered) {
        Log.m_Success();
        return TRUE;
    }

    // "CVGENDRV_" + driver key without its first backslash, upper-cased: the pages find the
    // instance by this last path component.
    CTfString KeyName(NonPagedPool);
    if (!m_DeviceProperty.m_GetDriverKeyName(&KeyName) || KeyName.m_IsEmpty()) {
        Log.m_Fail("no driver key name");
        return FALSE;
    }
    ULONG ulPosition = 1;
    if (KeyName.m_FindChar(&ulPosition, '\\')) {
        KeyName.m_DeleteChar(ulPosition);
    }
    if (m_ReferenceString.m_AssignAnsi(TF_UMI_REFERENCE_PREFIX) != STATUS_SUCCESS ||
        m_ReferenceString.m_Append(KeyName) != STATUS_SUCCESS || m_ReferenceString.m_ToUpper() != STATUS_SUCCESS) {
        Log.m_Fail("reference string");
        return FALSE;
    }

    NTSTATUS Status = IoRegisterDeviceInterface(m_pPhysicalDeviceObject, &m_InterfaceGuid,
                                                m_ReferenceString.m_GetUnicodeString(), &m_SymbolicLinkName);
    if (!NT_SUCCESS(Status)) {
        RtlZeroMemory(&m_SymbolicLinkName, sizeof(m_SymbolicLinkName));
        Log.m_Fail("IoRegisterDeviceInterface 0x%X", (ULONG)Status);
        return FALSE;
    }
    m_bRegistered = TRUE;
    Status = IoSetDeviceInterfaceState(&m_SymbolicLinkName, TRUE);
    if (!NT_SUCCESS(Status)) {
        // The interface stays registered; the pages cannot see it until it is enabled.
        TfDebugLog(TF_LOG_FLOW, "TfUserModeInterface::m_Init - IoSetDeviceInterfaceState 0x%X", (ULONG)Status);
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN TfUserModeInterface::m_IsInterfaceFile(PCUNICODE_STRING pFileName, PBOOLEAN pbIsInterface)
{
    CTfRoutineLog Log("TfUserModeInterface::m_IsInterfaceFile");
    if (pFileName == NULL || pbIsInterface == NULL) {
        Log.m_Fail("no name");
        return FALSE;
    }
    *pbIsInterface = FALSE;
    ULONG ulChars = pFileName->Length / sizeof(WCHAR);
    if (ulChars > TF_UMI_MAX_FILE_NAME_CHARS || ulChars == 0 || pFileName->Buffer == NULL) {
        Log.m_Success();
        return TRUE;
    }

    CTfString Name(PagedPool);
    if (Name.m_AssignUnicodeString(pFileName) != STATUS_SUCCESS || Name.m_ToUpper() != STATUS_SUCCESS) {
        Log.m_Fail("name not copied");
        return FALSE;
    }
    // Any name that begins with the prefix is the interface's: a forwarded request carries the
    // upper device's file object, whose name ends in another driver key.
    static const CHAR szPrefix[] = TF_UMI_FILE_PREFIX;
    const ULONG ulPrefixChars = sizeof(szPrefix) - 1;
    PWSTR pszName = Name.m_GetWideBuffer();
    BOOLEAN bMatch = pszName != NULL && Name.m_GetLength() / sizeof(WCHAR) >= ulPrefixChars;
    for (ULONG ulChar = 0; bMatch && ulChar < ulPrefixChars; ulChar++) {
        bMatch = pszName[ulChar] == (WCHAR)szPrefix[ulChar];
    }
    *pbIsInterface = bMatch;
    Log.m_Success();
    return TRUE;
}

BOOLEAN TfUserModeInterface::m_OpenSetKey(PHANDLE phKey, ULONG ulIndex)
{
    CTfRoutineLog Log("TfUserModeInterface::m_OpenSetKey");
    if (phKey == NULL) {
        Log.m_Fail("no handle");
        return FALSE;
    }
    *phKey = NULL;
    // The index comes from user mode: only existing set indexes may name a key ("UI0" or
    // "UI4294967295" would be created otherwise).
    if (!m_IsSetIndex(ulIndex)) {
        DbgPrint("ASSERT at - %s %d\n", TF_UMI_SOURCE, TF_UMI_LINE_BAD_INDEX);
        Log.m_Fail("index %u of %u", ulIndex, m_ulSetCount);
        return FALSE;
    }
    if (m_pPhysicalDeviceObject == NULL) {
        Log.m_Fail("no PDO");
        return FALSE;
    }
    CTfString SubKey(PagedPool, TF_UMI_SET_KEY_PREFIX);
    if (SubKey.m_GetStatus() != STATUS_SUCCESS || SubKey.m_AppendNumber(ulIndex, 10) != STATUS_SUCCESS) {
        Log.m_Fail("key name");
        return FALSE;
    }
    HANDLE hDeviceKey = NULL;
    NTSTATUS Status = IoOpenDeviceRegistryKey(m_pPhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL, &hDeviceKey);
    if (!NT_SUCCESS(Status) || hDeviceKey == NULL) {
        Log.m_Fail("hardware key 0x%X", (ULONG)Status);
        return FALSE;
    }
    HANDLE hSetKey = NULL;
    BOOLEAN bOpened = CTfRegistry::m_OpenSubKey(hDeviceKey, SubKey, &hSetKey, KEY_WRITE, TRUE);
    ZwClose(hDeviceKey);
    if (!bOpened) {
        Log.m_Fail("set key");
        return FALSE;
    }
    *phKey = hSetKey;
    Log.m_Success();
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Set access
// ---------------------------------------------------------------------------------------------

BOOLEAN TfUserModeInterface::m_LoadSet(ULONG ulIndex, BOOLEAN bDefaults)
{
    CTfRoutineLog Log("TfUserModeInterface::m_LoadSet");
    HANDLE hKey = NULL;
    if (!m_OpenSetKey(&hKey, ulIndex)) {
        Log.m_Fail("no set key");
        return FALSE;
    }
    BOOLEAN bLoaded = m_pInformationSet->m_ReadFromKey(hKey, bDefaults);
    ZwClose(hKey);
    if (!bLoaded) {
        Log.m_Fail("not read");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN TfUserModeInterface::m_StoreSet(ULONG ulIndex, BOOLEAN bDefaults)
{
    CTfRoutineLog Log("TfUserModeInterface::m_StoreSet");
    HANDLE hKey = NULL;
    if (!m_OpenSetKey(&hKey, ulIndex)) {
        Log.m_Fail("no set key");
        return FALSE;
    }
    BOOLEAN bStored = m_pInformationSet->m_WriteToKey(hKey, bDefaults);
    ZwClose(hKey);
    if (!bStored) {
        Log.m_Fail("not written");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN TfUserModeInterface::m_CallSetChanged(ULONG ulIndex, ULONG ulPhase, PUCHAR pucStoreAgain)
{
    CTfRoutineLog Log("TfUserModeInterface::m_CallSetChanged");
    *pucStoreAgain = 0;
    if (m_pfnSetChanged == NULL) {
        Log.m_Success();
        return TRUE;
    }
    if (!m_pfnSetChanged(m_pHookContext, m_pInformationSet, ulIndex, ulPhase, pucStoreAgain)) {
        Log.m_Fail("set %u refused in phase %u", ulIndex, ulPhase);
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------------------------

NTSTATUS TfUserModeInterface::m_Dispatch_Device_Control(PIRP pIrp)
{
    CTfRoutineLog Log("TfUserModeInterface::m_Dispatch_Device_Control");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    const ULONG ulIoControlCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG ulInputLength = pStack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG ulOutputLength = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR pucBuffer = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    ULONG_PTR ulInformation = 0;
    NTSTATUS Status;

    if (m_pInformationSet == NULL || pucBuffer == NULL) {
        Status = STATUS_UNSUCCESSFUL;
    } else if (ulInputLength < TF_USERMODE_REQUEST_HEADER_SIZE) {
        Status = STATUS_INVALID_PARAMETER;
    } else {
        TF_USERMODE_REQUEST_HEADER Header;
        RtlCopyMemory(&Header, pucBuffer, sizeof(Header));
        if (Header.ulForwardCount > TF_USERMODE_MAX_FORWARD_COUNT) {
            Status = STATUS_INVALID_PARAMETER;
        } else if (Header.ulForwardCount == TF_USERMODE_ANSWER_HERE) {
            ULONG ulIndex = Header.ulSetIndex == TF_USERMODE_DEFAULT_SET_INDEX ? 1 : Header.ulSetIndex;
            m_Lock();
            Status = m_AnswerRequest(ulIoControlCode, pucBuffer, ulInputLength, ulOutputLength, ulIndex,
                                     &ulInformation);
            m_Unlock();
        } else {
            // The set below is the other driver's: no lock of ours is needed, or held, while it answers.
            Status = m_ForwardRequest(pIrp, ulIoControlCode, pucBuffer, ulInputLength, ulOutputLength, &ulInformation);
        }
    }

    // The I/O manager copies Information bytes to the caller: never more than it gave room for.
    if (NT_SUCCESS(Status) && ulInformation > ulOutputLength) {
        TF_ASSERT_AT();
        Status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(Status)) {
        ulInformation = 0;
    }
    TfCompleteRequestWithInformation(pIrp, Status, ulInformation);
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("code 0x%X status 0x%X", ulIoControlCode, (ULONG)Status);
        return Status;
    }
    Log.m_Success();
    return Status;
}

NTSTATUS TfUserModeInterface::m_AnswerRequest(ULONG ulIoControlCode, PUCHAR pucBuffer, ULONG ulInputLength,
                                              ULONG ulOutputLength, ULONG ulIndex, PULONG_PTR pulInformation)
{
    CTfRoutineLog Log("TfUserModeInterface::m_AnswerRequest");
    PUCHAR pucPayload = pucBuffer + TF_USERMODE_REQUEST_HEADER_SIZE;
    const ULONG ulPayloadLength = ulInputLength - TF_USERMODE_REQUEST_HEADER_SIZE;
    NTSTATUS Status;
    switch (ulIoControlCode) {
    case IOCTL_TF_USERMODE_GET_SIZE:
        Status = m_GetSize(pucBuffer, ulOutputLength, ulIndex, pulInformation);
        break;
    case IOCTL_TF_USERMODE_GET_SET:
        Status = m_GetSet(pucBuffer, ulOutputLength, ulIndex, FALSE, pulInformation);
        break;
    case IOCTL_TF_USERMODE_SET_SET:
        Status = m_ChangeSet(pucPayload, ulPayloadLength, ulIndex, FALSE);
        break;
    case IOCTL_TF_USERMODE_RESET_TO_DEFAULTS:
        Status = m_ChangeSet(NULL, 0, ulIndex, TRUE);
        break;
    case IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE:
        Status = m_GetDefaultsSize(pucBuffer, ulOutputLength, ulIndex, pulInformation);
        break;
    case IOCTL_TF_USERMODE_GET_DEFAULTS:
        Status = m_GetSet(pucBuffer, ulOutputLength, ulIndex, TRUE, pulInformation);
        break;
    default:
        Status = STATUS_INVALID_PARAMETER;
        break;
    }
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("status 0x%X", (ULONG)Status);
        return Status;
    }
    Log.m_Success();
    return Status;
}

NTSTATUS TfUserModeInterface::m_GetSize(PUCHAR pucBuffer, ULONG ulOutputLength, ULONG ulIndex,
                                        PULONG_PTR pulInformation)
{
    CTfRoutineLog Log("TfUserModeInterface::m_GetSize");
    if (ulOutputLength < sizeof(ULONG)) {
        Log.m_Fail("output %u", ulOutputLength);
        return STATUS_INVALID_PARAMETER;
    }
    // One set object may serve several indexes: size the values of the index asked for, so that
    // the next GET_SET of that index finds the same size. An unknown index is answered from memory.
    if (m_IsSetIndex(ulIndex)) {
        CTfInformationSetSnapshot Snapshot(PagedPool);
        if (!m_pInformationSet->m_SaveValues(&Snapshot)) {
            Log.m_Fail("no snapshot");
            return STATUS_UNSUCCESSFUL;
        }
        if (!m_LoadSet(ulIndex, FALSE)) {
            m_pInformationSet->m_RestoreValues(&Snapshot);
            Log.m_Fail("set %u not loaded", ulIndex);
            return STATUS_UNSUCCESSFUL;
        }
    }
    ULONG ulSize = m_pInformationSet->GetSerialisedSize(0);
    RtlCopyMemory(pucBuffer, &ulSize, sizeof(ulSize));
    *pulInformation = sizeof(ULONG);
    Log.m_Success();
    return STATUS_SUCCESS;
}

// GET_SET and GET_DEFAULTS: the values are loaded first and sized as loaded, so the answer is
// never shorter than what it claims. The defaults only pass through: the live set keeps the
// values the driver works with.
NTSTATUS TfUserModeInterface::m_GetSet(PUCHAR pucBuffer, ULONG ulOutputLength, ULONG ulIndex, BOOLEAN bDefaults,
                                       PULONG_PTR pulInformation)
{
    CTfRoutineLog Log("TfUserModeInterface::m_GetSet");
    CTfInformationSetSnapshot Snapshot(PagedPool);
    if (!m_pInformationSet->m_SaveValues(&Snapshot)) {
        Log.m_Fail("no snapshot");
        return STATUS_UNSUCCESSFUL;
    }
    if (!m_LoadSet(ulIndex, bDefaults)) {
        m_pInformationSet->m_RestoreValues(&Snapshot);
        Log.m_Fail("set %u not loaded", ulIndex);
        return STATUS_UNSUCCESSFUL;
    }

    NTSTATUS Status = STATUS_SUCCESS;
    ULONG ulSize = m_pInformationSet->GetSerialisedSize(0);
    if (ulOutputLength != ulSize) {
        Status = STATUS_INVALID_PARAMETER;
    } else if (!m_pInformationSet->Serialise(pucBuffer, ulSize, 0)) {
        Status = STATUS_UNSUCCESSFUL;
    }
    if (bDefaults && !m_pInformationSet->m_RestoreValues(&Snapshot) && !m_LoadSet(ulIndex, FALSE)) {
        Status = STATUS_UNSUCCESSFUL;
    }
    if (Status != STATUS_SUCCESS) {
        Log.m_Fail("size %u, output %u", ulSize, ulOutputLength);
        return Status;
    }
    *pulInformation = ulSize;
    Log.m_Success();
    return STATUS_SUCCESS;
}

NTSTATUS TfUserModeInterface::m_GetDefaultsSize(PUCHAR pucBuffer, ULONG ulOutputLength, ULONG ulIndex,
                                                PULONG_PTR pulInformation)
{
    CTfRoutineLog Log("TfUserModeInterface::m_GetDefaultsSize");
    if (ulOutputLength < sizeof(ULONG)) {
        Log.m_Fail("output %u", ulOutputLength);
        return STATUS_INVALID_PARAMETER;
    }
    CTfInformationSetSnapshot Snapshot(PagedPool);
    if (!m_pInformationSet->m_SaveValues(&Snapshot)) {
        Log.m_Fail("no snapshot");
        return STATUS_UNSUCCESSFUL;
    }
    BOOLEAN bLoaded = m_LoadSet(ulIndex, TRUE);
    ULONG ulSize = bLoaded ? m_pInformationSet->GetSerialisedSize(0) : 0;
    BOOLEAN bRestored = m_pInformationSet->m_RestoreValues(&Snapshot) || m_LoadSet(ulIndex, FALSE);
    if (!bLoaded || !bRestored) {
        Log.m_Fail("defaults of set %u", ulIndex);
        return STATUS_UNSUCCESSFUL;
    }
    RtlCopyMemory(pucBuffer, &ulSize, sizeof(ulSize));
    *pulInformation = sizeof(ULONG);
    Log.m_Success();
    return STATUS_SUCCESS;
}

// SET_SET (the payload) and RESET_TO_DEFAULTS (the "Default" values). A malformed payload changes
// nothing; a set the driver refuses is taken back, in memory and in the set key, so a refused
// value is never stored to be refused again at every later open.
NTSTATUS TfUserModeInterface::m_ChangeSet(PUCHAR pucPayload, ULONG ulPayloadLength, ULONG ulIndex, BOOLEAN bReset)
{
    CTfRoutineLog Log("TfUserModeInterface::m_ChangeSet");
    CTfInformationSetSnapshot Snapshot(PagedPool);
    if (!m_pInformationSet->m_SaveValues(&Snapshot)) {
        Log.m_Fail("no snapshot");
        return STATUS_UNSUCCESSFUL;
    }

    if (bReset) {
        if (!m_LoadSet(ulIndex, TRUE)) {
            m_pInformationSet->m_RestoreValues(&Snapshot);
            Log.m_Fail("no defaults for set %u", ulIndex);
            return STATUS_UNSUCCESSFUL;
        }
    } else if (!m_pInformationSet->Deserialise(pucPayload, ulPayloadLength, 0)) {
        m_pInformationSet->m_RestoreValues(&Snapshot);
        Log.m_Fail("malformed set of %u bytes", ulPayloadLength);
        return STATUS_INVALID_PARAMETER;
    }

    if (!m_StoreSet(ulIndex, FALSE)) {
        // Whatever part was written is put back as it was.
        m_pInformationSet->m_RestoreValues(&Snapshot);
        if (m_IsSetIndex(ulIndex)) m_StoreSet(ulIndex, FALSE);
        Log.m_Fail("set %u not written", ulIndex);
        return STATUS_UNSUCCESSFUL;
    }

    UCHAR ucStoreAgain = 0;
    if (!m_CallSetChanged(ulIndex, TF_UMI_PHASE_APPLY, &ucStoreAgain)) {
        m_pInformationSet->m_RestoreValues(&Snapshot);
        m_StoreSet(ulIndex, FALSE);
        Log.m_Fail("set %u refused", ulIndex);
        return STATUS_UNSUCCESSFUL;
    }
    if (ucStoreAgain == 1 && !m_StoreSet(ulIndex, FALSE)) {
        Log.m_Fail("set %u not written again", ulIndex);
        return STATUS_UNSUCCESSFUL;
    }
    Log.m_Success();
    return STATUS_SUCCESS;
}

NTSTATUS TfUserModeInterface::m_ForwardRequest(PIRP pIrp, ULONG ulIoControlCode, PUCHAR pucBuffer,
                                               ULONG ulInputLength, ULONG ulOutputLength, PULONG_PTR pulInformation)
{
    CTfRoutineLog Log("TfUserModeInterface::m_ForwardRequest");
    if (m_pfnForward == NULL) {
        Log.m_Fail("nowhere to forward");
        return STATUS_UNSUCCESSFUL;
    }
    switch (ulIoControlCode) {
    case IOCTL_TF_USERMODE_GET_SIZE:
    case IOCTL_TF_USERMODE_GET_SET:
    case IOCTL_TF_USERMODE_SET_SET:
    case IOCTL_TF_USERMODE_RESET_TO_DEFAULTS:
    case IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE:
    case IOCTL_TF_USERMODE_GET_DEFAULTS:
        break;
    default:
        Log.m_Fail("code 0x%X", ulIoControlCode);
        return STATUS_INVALID_PARAMETER;
    }

    TF_USERMODE_REQUEST_HEADER Header;
    RtlCopyMemory(&Header, pucBuffer, sizeof(Header));
    Header.ulForwardCount = TF_USERMODE_ANSWER_HERE;
    if (Header.ulSetIndex == TF_USERMODE_DEFAULT_SET_INDEX && m_ulOwnIndex != TF_USERMODE_DEFAULT_SET_INDEX) {
        Header.ulSetIndex = m_ulOwnIndex;
    }
    RtlCopyMemory(pucBuffer, &Header, sizeof(Header));

    // The original lengths go down: the driver below checks the caller's real output room. The
    // file object goes too, so the driver below recognises a configuration request.
    ULONG_PTR ulInformation = 0;
    if (!m_pfnForward(m_pHookContext, ulIoControlCode, pucBuffer, ulInputLength, ulOutputLength,
                      IoGetCurrentIrpStackLocation(pIrp)->FileObject, &ulInformation)) {
        Log.m_Fail("refused below");
        return STATUS_UNSUCCESSFUL;
    }
    *pulInformation = ulInformation;
    Log.m_Success();
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Loading at start and create
// ---------------------------------------------------------------------------------------------

BOOLEAN TfUserModeInterface::m_LoadAllSets()
{
    CTfRoutineLog Log("TfUserModeInterface::m_LoadAllSets");
    if (m_pInformationSet == NULL) {
        Log.m_Success();
        return TRUE;
    }
    m_Lock();
    for (ULONG ulIndex = 1; ulIndex <= m_ulSetCount; ulIndex++) {
        if (!m_LoadOneSet(ulIndex)) {
            m_Unlock();
            Log.m_Fail("set %u", ulIndex);
            return FALSE;
        }
    }
    m_Unlock();
    Log.m_Success();
    return TRUE;
}

BOOLEAN TfUserModeInterface::m_LoadOneSet(ULONG ulIndex)
{
    CTfRoutineLog Log("TfUserModeInterface::m_LoadOneSet");
    HANDLE hKey = NULL;
    if (!m_OpenSetKey(&hKey, ulIndex)) {
        Log.m_Fail("no set key");
        return FALSE;
    }
    if (!m_pInformationSet->m_ReadFromKey(hKey, FALSE)) {
        ZwClose(hKey);
        Log.m_Fail("set not read");
        return FALSE;
    }

    UCHAR ucStoreAgain = 0;
    CTfString DefaultsName(PagedPool, TF_REGISTRY_DEFAULTS_SUBKEY);
    const BOOLEAN bCreateDefaults = !CTfRegistry::m_KeyExists(hKey, DefaultsName);
    if (bCreateDefaults) {
        if (!m_CallSetChanged(ulIndex, TF_UMI_PHASE_DEFAULTS, &ucStoreAgain)) {
            ZwClose(hKey);
            Log.m_Fail("defaults refused");
            return FALSE;
        }
        // Unless the driver asked for its changes to stay, the defaults are the stored values.
        if (ucStoreAgain != 1 && !m_pInformationSet->m_ReadFromKey(hKey, FALSE)) {
            ZwClose(hKey);
            Log.m_Fail("set not read again");
            return FALSE;
        }
        if (!m_pInformationSet->m_WriteToKey(hKey, TRUE)) {
            ZwClose(hKey);
            Log.m_Fail("defaults not written");
            return FALSE;
        }
    }
    ZwClose(hKey);

    UCHAR ucApplyStoreAgain = 0;
    if (!m_CallSetChanged(ulIndex, TF_UMI_PHASE_APPLY, &ucApplyStoreAgain)) {
        Log.m_Fail("set %u refused", ulIndex);
        return FALSE;
    }

    if (ucApplyStoreAgain == 1 || bCreateDefaults) {
        if (!m_StoreSet(ulIndex, FALSE)) {
            Log.m_Fail("set not written");
            return FALSE;
        }
    }
    Log.m_Success();
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// The functional device's hooks
// ---------------------------------------------------------------------------------------------

BOOLEAN TfUserModeInterface::sm_SetChangedCallback(PVOID pContext, CTfRegistryInformationSet* pSet, ULONG ulIndex,
                                                   ULONG ulPhase, PUCHAR pucStoreAgain)
{
    CTfRoutineLog Log("TfUserModeInterface::sm_SetChangedCallback");
    CTfFunctionalDevice* pDevice = (CTfFunctionalDevice*)pContext;
    if (pDevice == NULL) {
        Log.m_Fail("no device");
        return FALSE;
    }
    PTF_USERMODE_INTERFACE_CALLBACK pfnCallback = pDevice->m_GetCallbacks()->m_UserModeInterface;
    if (pfnCallback == NULL) {
        Log.m_Success();
        return TRUE;
    }
    CTfObject* pObject = pDevice->m_AcquireSpecificObject();
    if (pObject == NULL) {
        Log.m_Fail("driver object gone");
        return FALSE;
    }
    BOOLEAN bResult = pfnCallback(pObject, pSet, ulIndex, ulPhase, pucStoreAgain);
    pDevice->m_ReleaseSpecificObject();
    if (!bResult) {
        Log.m_Fail("refused");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN TfUserModeInterface::sm_ForwardRequest(PVOID pContext, ULONG ulIoControlCode, PVOID pBuffer,
                                               ULONG ulInputLength, ULONG ulOutputLength, PFILE_OBJECT pFileObject,
                                               PULONG_PTR pulInformation)
{
    CTfRoutineLog Log("TfUserModeInterface::sm_ForwardRequest");
    CTfFunctionalDevice* pDevice = (CTfFunctionalDevice*)pContext;
    if (pDevice == NULL || pulInformation == NULL) {
        Log.m_Fail("no device");
        return FALSE;
    }

    PDEVICE_OBJECT pTarget = NULL;
    CTfObjectHolder* pChildHolder = NULL;
    if (pDevice->m_IsLowestStackLayer()) {
        pTarget = pDevice->m_GetLowerDeviceObject();
    } else {
        // The child below belongs to the bus driver's framework: its holder keeps it (and with it
        // the parent it names) while the request is under way.
        PDEVICE_OBJECT pChild = pDevice->m_GetPhysicalDeviceObject();
        pChildHolder = pChild != NULL && pChild->DeviceExtension != NULL ? CTfDevice::sm_GetExtensionHolder(pChild)
                                                                          : NULL;
        CTfObject* pObject = pChildHolder != NULL ? pChildHolder->m_Acquire() : NULL;
        if (pObject == NULL) {
            Log.m_Fail("no child below");
            return FALSE;
        }
        CTfDevice* pChildDevice = static_cast<CTfDevice*>(pObject);
        if (pChildDevice->m_GetDeviceKind() == TF_DEVICE_KIND_PHYSICAL) {
            pTarget = static_cast<CTfPhysicalDevice*>(pChildDevice)->m_GetParentDeviceObject();
        }
    }

    BOOLEAN bResult = FALSE;
    ULONG ulLength = ulOutputLength;
    if (pTarget != NULL) {
        bResult = TfSendSynchronousDeviceControlWithOutput(pTarget, ulIoControlCode, pBuffer, ulInputLength, pBuffer,
                                                           &ulLength, FALSE, pFileObject);
    }
    if (pChildHolder != NULL) {
        pChildHolder->m_Release();
    }
    if (!bResult) {
        Log.m_Fail("%s", pTarget == NULL ? "no target" : "request failed");
        return FALSE;
    }
    *pulInformation = ulLength;
    Log.m_Success();
    return TRUE;
}
