// Functional device: construction, destruction, naming, pairing and the non-PnP dispatch.
#include "tffunctionaldevice.h"

#include "tfdebugmanager.h"
#include "tfioclient.h"
#include "tfmemorytracker.h"
#include "tfphysicaldevice.h"
#include "tfregistry.h"
#include "tfrequest.h"
#include "tftrace.h"
#include "tfwmi.h"

const GUID g_TfCallbackObjectGuid = {0xB7D1E087, 0xF16B, 0x40C1, {0xB5, 0x5E, 0xA9, 0xB4, 0x12, 0xD7, 0x1B, 0xE3}};

// Hardware-ID size read first; a longer list is read again with the size the system reports.
#define TF_HARDWARE_ID_BUFFER_SIZE 255

// A direct write on its way to the executor: a tracked copy of the data.
typedef struct _TF_DIRECT_WRITE {
    PVOID pData;
    ULONG ulLength;
} TF_DIRECT_WRITE, *PTF_DIRECT_WRITE;

CTfFunctionalDevice::CTfFunctionalDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject,
                                         const CTfString& RegistryPath, BOOLEAN* pbSuccess)
    : m_pDriverObject(pDriverObject),
      m_pWmi(NULL),
      m_ucFirstPartner(0),
      m_pPartnerDeviceObject(NULL),
      m_pPairedDeviceObject(NULL),
      m_bListed(FALSE),
      m_ulPnpState(TF_PNP_STATE_NONE),
      m_DevicePowerState(PowerDeviceUnspecified),
      m_ucPowerPageable(0),
      m_pIoClient(NULL),
      m_pRegistrySet(NULL),
      m_DeviceName(NonPagedPool),
      m_SymbolicLinkName(NonPagedPool),
      m_RegistryPath(NonPagedPool),
      m_ulNameIndex(0),
      m_pDeviceObject(NULL),
      m_pLowerDeviceObject(NULL),
      m_bLinkCreated(FALSE),
      m_ulChildCount(0),
      m_bLowestStackLayer(FALSE),
      m_OpenGate(1)
{
    // 1. Everything cleared; the open gate admits one holder.
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::CTfFunctionalDevice IN");
    *pbSuccess = FALSE;
    for (ULONG i = 0; i < TF_POWER_TABLE_SIZE; i++) {
        m_PowerTable[i] = PowerDeviceUnspecified;
    }
    for (ULONG i = 0; i < TF_PNP_DEVICE_STATE_COUNT; i++) {
        m_PnpDeviceState[i].ucPending = 0;
        m_PnpDeviceState[i].ucValue = 0;
    }
    m_ChildList.m_Init(NonPagedPool);
    m_OpenGate.m_Init(TRUE);
    m_pPhysicalDeviceObject = pPhysicalDeviceObject;

    CTfDriver* pDriver = m_GetDriver();
    CTfObject* pObject = NULL;
    HANDLE hDeviceKey = NULL;  // open only while its settings are read, or when reading them failed
    BOOLEAN bOk = m_RegistryPath.m_Assign(RegistryPath) == STATUS_SUCCESS && pDriver != NULL &&
                  pDriver->m_GetCreateCallback() != NULL && pPhysicalDeviceObject != NULL;
    bOk = bOk && m_CreateDriverObject(pDriver, &pObject);
    bOk = bOk && m_ReadDeviceSettings(&hDeviceKey);
    bOk = bOk && m_CreateDeviceObject(pDriverObject);
    bOk = bOk && m_InitConfigurationInterface(pDriver);
    bOk = bOk && m_CallAddDevice(pDriver, pObject);
    bOk = bOk && m_CreateHelpers(pObject);
    // 11. Pairing, then the object is open for the dispatch.
    bOk = bOk && m_PairDevices();
    if (!bOk) {
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::CTfFunctionalDevice ERROR");
        if (hDeviceKey != NULL) {
            CTfRegistry::m_CloseKey(hDeviceKey);
        }
        m_TearDown();
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::CTfFunctionalDevice OUT - ERROR");
        return;
    }
    m_SpecificObjectHolder.m_GetGate()->m_SetOpen(TRUE);
    *pbSuccess = TRUE;
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::CTfFunctionalDevice OUT - SUCCESS");
}

// 2. The driver's own object. Closed until construction succeeds; construction itself uses the
// object directly.
BOOLEAN CTfFunctionalDevice::m_CreateDriverObject(CTfDriver* pDriver, CTfObject** ppObject)
{
    if (!pDriver->m_GetCreateCallback()(&m_Callbacks, &m_Callbacks.m_AddDeviceFunction, ppObject) ||
        *ppObject == NULL) {
        if (*ppObject != NULL && pDriver->m_GetDeleteCallback() != NULL) {
            pDriver->m_GetDeleteCallback()(*ppObject);
        }
        return FALSE;
    }
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::CTfFunctionalDevice - SpecificDriverCreation SUCCESS");
    m_SpecificObjectHolder.m_SetObject(*ppObject);
    return TRUE;
}

// 3. to 5.: what the device's registry key says. The key is closed when they were read; after a
// failure it is left open in *phDeviceKey for the constructor to close.
BOOLEAN CTfFunctionalDevice::m_ReadDeviceSettings(PHANDLE phDeviceKey)
{
    *phDeviceKey = m_OpenDeviceRegistryKey();
    if (*phDeviceKey == NULL || !m_ReadDeviceSettingsFrom(*phDeviceKey)) {
        return FALSE;
    }
    CTfRegistry::m_CloseKey(*phDeviceKey);
    *phDeviceKey = NULL;
    return TRUE;
}

BOOLEAN CTfFunctionalDevice::m_ReadDeviceSettingsFrom(HANDLE hDeviceKey)
{
    // 3. Registry set.
    m_pRegistrySet = new (NonPagedPool) CTfFunctionalDeviceRegistryInformationSet(hDeviceKey, TRUE);
    if (m_pRegistrySet == NULL || m_pRegistrySet->m_IsInvalid()) {
        return FALSE;
    }
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::CTfFunctionalDevice - FunctionalDeviceRegistryInformationSet SUCCESS");

    // 4. PnP device state and the named callback object.
    m_PnpDeviceState[TF_PNP_DEVICE_STATE_DONT_DISPLAY_IN_UI].ucPending = 1;
    m_PnpDeviceState[TF_PNP_DEVICE_STATE_DONT_DISPLAY_IN_UI].ucValue = m_pRegistrySet->m_GetDisplayInUi() == 0;
    m_bLowestStackLayer = m_pRegistrySet->m_GetLowestStackLayer() != 0;
    if (m_bLowestStackLayer && !m_CallbackObject.m_Create(g_TfCallbackObjectGuid, sm_CallbackObjectRoutine, this)) {
        return FALSE;
    }

    // 5. Names.
    return m_NameDevice(hDeviceKey);
}

// 6. and 7.: the device object with its link, its flags, and the stack.
BOOLEAN CTfFunctionalDevice::m_CreateDeviceObject(PDRIVER_OBJECT pDriverObject)
{
    m_bLinkCreated = !m_SymbolicLinkName.m_IsEmpty();
    if (!CTfDevice::m_CreateDevice(pDriverObject, m_DeviceName.m_GetWideBuffer(), m_pRegistrySet->m_GetTypeOfDevice(),
                                   m_bLinkCreated ? m_SymbolicLinkName.m_GetWideBuffer() : NULL,
                                   m_pRegistrySet->m_GetDeviceIsExclusive() != 0, this, &m_pDeviceObject)) {
        m_bLinkCreated = FALSE;
        return FALSE;
    }
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::CTfFunctionalDevice - m_CreateDeviceObjectAndSymbolicLink SUCCESS");

    m_pDeviceObject->Flags |= m_pRegistrySet->m_GetIoType();
    m_pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    if (m_pPhysicalDeviceObject->Flags & DO_POWER_PAGABLE) {
        m_pDeviceObject->Flags |= DO_POWER_PAGABLE;
        m_ucPowerPageable = 1;
    }
    m_ucDeviceKind = TF_DEVICE_KIND_FUNCTIONAL;
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::CTfFunctionalDevice - PDO = %08x, FDO = %08x",
               (ULONG)(ULONG_PTR)m_pPhysicalDeviceObject, (ULONG)(ULONG_PTR)m_pDeviceObject);
    m_pLowerDeviceObject = IoAttachDeviceToDeviceStack(m_pDeviceObject, m_pPhysicalDeviceObject);
    return m_pLowerDeviceObject != NULL;
}

// 8. Configuration interface.
BOOLEAN CTfFunctionalDevice::m_InitConfigurationInterface(CTfDriver* pDriver)
{
    if (pDriver->m_GetDeviceAddedCallback() != NULL && !pDriver->m_GetDeviceAddedCallback()(&m_UserModeInterface)) {
        return FALSE;
    }
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::CTfFunctionalDevice - m_pDeviceAdded SUCCESS");
    m_UserModeInterface.m_SetSetCount(m_pRegistrySet->m_GetNumberChildDevices());
    if (!m_bLowestStackLayer) {
        CTfPhysicalDevice* pChild = m_AcquireChildBelow();
        if (pChild == NULL) {
            return FALSE;
        }
        m_UserModeInterface.m_SetOwnIndex(pChild->m_GetContextID());
        m_ReleaseChildBelow();
    }
    m_UserModeInterface.m_SetPhysicalDeviceObject(m_pPhysicalDeviceObject);
    return m_UserModeInterface.m_Init();
}

// 9. Entry 0.
BOOLEAN CTfFunctionalDevice::m_CallAddDevice(CTfDriver* pDriver, CTfObject* pObject)
{
    if (m_Callbacks.m_AddDeviceFunction == NULL) {
        return TRUE;
    }
    if (!m_Callbacks.m_AddDeviceFunction(pObject, pDriver, this)) {
        return FALSE;
    }
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::CTfFunctionalDevice - m_AddDeviceFunction SUCCESS");
    return TRUE;
}

// 10. WMI, executor, write queue and the interface's hooks.
BOOLEAN CTfFunctionalDevice::m_CreateHelpers(CTfObject* pObject)
{
    BOOLEAN bWmiOk = FALSE;
    m_pWmi = new (NonPagedPool)
        CWmi(m_pDeviceObject, m_pLowerDeviceObject, m_pPhysicalDeviceObject, m_RegistryPath.m_GetUnicodeString(),
             m_Callbacks.m_pWmiGuidList, (ULONG)m_Callbacks.m_ulWmiGuidCount, &m_Callbacks, pObject, &bWmiOk);
    if (m_pWmi == NULL || !bWmiOk) {
        return FALSE;
    }
    // A thread-mode executor: direct writes must reach the driver in the order they arrived.
    m_Callbacks.m_pExecutor = new (NonPagedPool) CTfPassiveLevelExecutor(NULL);
    if (m_Callbacks.m_pExecutor == NULL || !m_Callbacks.m_pExecutor->m_Init()) {
        return FALSE;
    }
    if (!m_WriteQueue.m_Init(m_pDeviceObject)) {
        return FALSE;
    }
    m_WriteQueue.m_SetWriteCallback(sm_WriteQueueCallback, this);
    m_UserModeInterface.m_SetHooks(TfUserModeInterface::sm_SetChangedCallback, TfUserModeInterface::sm_ForwardRequest,
                                   this);
    return TRUE;
}

void CTfFunctionalDevice::m_TearDown()
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_TearDown");
    m_UnpairDevices();
    if (m_pWmi != NULL) {
        delete m_pWmi;
        m_pWmi = NULL;
    }
    // Nothing may call into the driver or queue work on the executor from here on.
    m_WriteQueue.m_ClearOwnerCallbacks();
    m_WriteQueue.m_SetExecutor(NULL);
    if (m_Callbacks.m_pExecutor != NULL) {
        m_Callbacks.m_pExecutor->m_DeInit();
        delete m_Callbacks.m_pExecutor;
        m_Callbacks.m_pExecutor = NULL;
    }
    if (m_pIoClient != NULL) {
        delete m_pIoClient;
        m_pIoClient = NULL;
    }
    if (m_CallbackObject.m_IsRegistered()) {
        m_CallbackObject.m_Delete();
    }
    // Detached only when attached, and always before the device object goes.
    if (m_pLowerDeviceObject != NULL) {
        IoDetachDevice(m_pLowerDeviceObject);
        m_pLowerDeviceObject = NULL;
    }
    if (m_pDeviceObject != NULL) {
        PDEVICE_OBJECT pDeviceObject = m_pDeviceObject;
        m_pDeviceObject = NULL;
        CTfDevice::m_DeleteDevice(pDeviceObject, m_bLinkCreated ? m_SymbolicLinkName.m_GetWideBuffer() : NULL);
        m_bLinkCreated = FALSE;
    }
    if (m_pRegistrySet != NULL) {
        delete m_pRegistrySet;
        m_pRegistrySet = NULL;
    }
    Log.m_Success();
}

CTfFunctionalDevice::~CTfFunctionalDevice()
{
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::~CTfFunctionalDevice IN");
    CTfObject* pObject = m_SpecificObjectHolder.m_Detach(FALSE);
    CTfDriver* pDriver = m_GetDriver();
    if (pObject != NULL) {
        if (pDriver != NULL && pDriver->m_GetDeleteCallback() != NULL) {
            pDriver->m_GetDeleteCallback()(pObject);
        } else {
            delete pObject;
        }
    }
    m_EmptyResourceLists();
    if (m_pDeviceObject != NULL && !IoIsWdmVersionAvailable(1, 0x20)) {
        TfTraceCleanup(m_pDeviceObject);
    }
    m_TearDown();
    m_ChildList.m_RemoveAll();
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::~CTfFunctionalDevice OUT");
}

HANDLE CTfFunctionalDevice::m_OpenDeviceRegistryKey()
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_OpenDeviceRegistryKey");
    HANDLE hKey = NULL;
    NTSTATUS Status = IoOpenDeviceRegistryKey(m_pPhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL, &hKey);
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("%08x", (ULONG)Status);
        return NULL;
    }
    Log.m_Success();
    return hKey;
}

PDEVICE_OBJECT CTfFunctionalDevice::m_GetDeviceObject()
{
    return m_pDeviceObject;
}

// ---------------------------------------------------------------------------------------------
// Naming

BOOLEAN CTfFunctionalDevice::m_NameDevice(HANDLE hDeviceKey)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_NameDevice");
    if (m_DeviceName.m_Assign(*m_pRegistrySet->m_GetDeviceName()) != STATUS_SUCCESS ||
        m_SymbolicLinkName.m_Assign(*m_pRegistrySet->m_GetSymbolicLinkName()) != STATUS_SUCCESS) {
        Log.m_Fail("names not copied");
        return FALSE;
    }

    if (m_Callbacks.m_DeviceCreation != NULL) {
        if (!m_Callbacks.m_DeviceCreation(m_SpecificObjectHolder.m_PeekObject(), hDeviceKey,
                                          m_DeviceName.m_IsEmpty() ? NULL : &m_DeviceName,
                                          m_SymbolicLinkName.m_IsEmpty() ? NULL : &m_SymbolicLinkName)) {
            TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::CTfFunctionalDevice - m_DeviceCreation ERROR");
            Log.m_Fail("m_DeviceCreation");
            return FALSE;
        }
        Log.m_Success();
        return TRUE;
    }

    BOOLEAN bResult;
    switch (m_pRegistrySet->m_GetIndexingPolicy()) {
    case TF_INDEXING_POLICY_COUNT:
        bResult = m_NameByCountPolicy(hDeviceKey);
        break;
    case TF_INDEXING_POLICY_CHILD_INDEX:
        bResult = m_NameByChildPolicy();
        break;
    default:
        bResult = FALSE;
        break;
    }
    if (!bResult || !m_AppendIndexToNames()) {
        Log.m_Fail("naming policy");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfFunctionalDevice::m_NameByCountPolicy(HANDLE hDeviceKey)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_NameByCountPolicy");
    CTfDriver* pDriver = m_GetDriver();
    PULONG pulCounter = pDriver->m_GetDeviceCounter();
    CTfString DeviceCountName(NonPagedPool, TF_FDO_NAME_DEVICE_COUNT);
    CTfString NameIndexName(NonPagedPool, TF_FDO_NAME_DEVICE_NAME_INDEX);

    if (*pulCounter == 0) {
        ULONG ulCount = 0;
        if (!CTfRegistry::m_QueryAbsoluteDword(m_RegistryPath, DeviceCountName, &ulCount)) {
            ulCount = 0;
        }
        *pulCounter = ulCount;
    }

    // A device named before keeps its index; 0 would mean index -1 and counts as absent.
    ULONG ulStored = 0;
    if (CTfRegistry::m_QueryDword(hDeviceKey, NameIndexName, &ulStored) && ulStored != 0) {
        m_ulNameIndex = ulStored - 1;
        Log.m_Success();
        return TRUE;
    }

    ULONG ulIndex = *pulCounter;
    ULONG ulNext = ulIndex + 1;
    if (!CTfRegistry::m_SetDword(hDeviceKey, NameIndexName, ulNext) ||
        !CTfRegistry::m_WriteAbsoluteDword(m_RegistryPath, DeviceCountName, ulNext)) {
        Log.m_Fail("registry write");
        return FALSE;
    }
    *pulCounter = ulNext;
    m_ulNameIndex = ulIndex;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfFunctionalDevice::m_NameByChildPolicy()
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_NameByChildPolicy");
    CTfPhysicalDevice* pChild = m_AcquireChildBelow();
    if (pChild == NULL) {
        Log.m_Fail("no framework child below");
        return FALSE;
    }
    m_ulNameIndex = pChild->m_GetParentIndex();
    m_ReleaseChildBelow();
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfFunctionalDevice::m_AppendIndexToNames()
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_AppendIndexToNames");
    if (m_ulNameIndex == 0) {
        Log.m_Success();
        return TRUE;
    }
    if (m_DeviceName.m_AppendNumber(m_ulNameIndex, 10) != STATUS_SUCCESS) {
        Log.m_Fail("device name");
        return FALSE;
    }
    if (!m_SymbolicLinkName.m_IsEmpty() && m_SymbolicLinkName.m_AppendNumber(m_ulNameIndex, 10) != STATUS_SUCCESS) {
        Log.m_Fail("link name");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

CTfPhysicalDevice* CTfFunctionalDevice::m_AcquireChildBelow()
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_AcquireChildBelow");
    PDEVICE_OBJECT pPdo = m_pPhysicalDeviceObject;
    // Only a framework driver's device object carries a holder in its extension.
    if (pPdo == NULL || pPdo->DriverObject == NULL || pPdo->DriverObject->DriverStartIo == NULL ||
        pPdo->DeviceExtension == NULL) {
        Log.m_Fail("not a framework device");
        return NULL;
    }
    CTfObjectHolder* pHolder = CTfDevice::sm_GetExtensionHolder(pPdo);
    CTfObject* pObject = pHolder->m_Acquire();
    if (pObject == NULL) {
        Log.m_Fail("child gone");
        return NULL;
    }
    CTfDevice* pDevice = static_cast<CTfDevice*>(pObject);
    if (pDevice->m_GetDeviceKind() != TF_DEVICE_KIND_PHYSICAL) {
        pHolder->m_Release();
        Log.m_Fail("not a child device");
        return NULL;
    }
    Log.m_Success();
    return static_cast<CTfPhysicalDevice*>(pDevice);
}

void CTfFunctionalDevice::m_ReleaseChildBelow()
{
    CTfDevice::sm_GetExtensionHolder(m_pPhysicalDeviceObject)->m_Release();
}

// ---------------------------------------------------------------------------------------------
// Pairing

BOOLEAN CTfFunctionalDevice::m_PairDevices()
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_PairDevices");
    CTfDriver* pDriver = m_GetDriver();
    if (pDriver == NULL) {
        Log.m_Fail("no driver");
        return FALSE;
    }

    ULONG ulLength = TF_HARDWARE_ID_BUFFER_SIZE;
    PWCHAR pszIds = (PWCHAR)AllocateTrackedPool(NonPagedPool, ulLength);
    if (pszIds == NULL) {
        Log.m_Fail("no memory");
        return FALSE;
    }
    ULONG ulResult = 0;
    NTSTATUS Status =
        IoGetDeviceProperty(m_pPhysicalDeviceObject, DevicePropertyHardwareID, ulLength, pszIds, &ulResult);
    if (Status == STATUS_BUFFER_TOO_SMALL && ulResult > ulLength) {
        FreeTrackedPool(pszIds);
        ulLength = ulResult;
        pszIds = (PWCHAR)AllocateTrackedPool(NonPagedPool, ulLength);
        if (pszIds == NULL) {
            Log.m_Fail("no memory");
            return FALSE;
        }
        Status = IoGetDeviceProperty(m_pPhysicalDeviceObject, DevicePropertyHardwareID, ulLength, pszIds, &ulResult);
    }
    if (!NT_SUCCESS(Status)) {
        FreeTrackedPool(pszIds);
        Log.m_Fail("hardware ID %08x", (ULONG)Status);
        return FALSE;
    }

    // The first hardware ID, bounded by what was read (the value need not be terminated).
    ULONG cchMax = (ulResult < ulLength ? ulResult : ulLength) / sizeof(WCHAR);
    ULONG cch = 0;
    while (cch < cchMax && pszIds[cch] != 0) {
        cch++;
    }
    CTfString FirstId(NonPagedPool);
    if (cch != 0 && !FirstId.m_AssignLeft(pszIds, cch * sizeof(WCHAR))) {
        FreeTrackedPool(pszIds);
        Log.m_Fail("no memory");
        return FALSE;
    }
    FreeTrackedPool(pszIds);

    BOOLEAN bSecondPartner = FALSE;
    CTfString PartnerName(NonPagedPool);
    if (cch > 4) {
        CTfString First(NonPagedPool, "__OB");
        CTfString Second(NonPagedPool, "__YB");
        ULONG ulPosition = 1;
        if (FirstId.m_Find(&ulPosition, First, 0)) {
            m_ucFirstPartner = 1;
        } else {
            ulPosition = 1;
            if (FirstId.m_Find(&ulPosition, Second, 0)) {
                CTfPhysicalDevice* pChild = m_AcquireChildBelow();
                if (pChild != NULL) {
                    if (!pChild->m_GetPartnerName()->m_IsEmpty() &&
                        PartnerName.m_Assign(*pChild->m_GetPartnerName()) == STATUS_SUCCESS) {
                        bSecondPartner = TRUE;
                    }
                    m_ReleaseChildBelow();
                }
            }
        }
    }

    PDEVICE_OBJECT pPartner = NULL;
    CTfSpinLock* pLock = pDriver->m_GetDriverLock();
    CTfPointerList* pList = pDriver->m_GetDeviceList();
    pLock->m_Acquire();
    if (!pList->m_AddTail(m_pDeviceObject)) {
        pLock->m_Release();
        Log.m_Fail("list");
        return FALSE;
    }
    m_bListed = TRUE;
    if (bSecondPartner) {
        for (PVOID pItem = pList->m_GetFirst(); pItem != NULL; pItem = pList->m_GetNext()) {
            PDEVICE_OBJECT pOther = (PDEVICE_OBJECT)pItem;
            CTfDevice* pOtherDevice = CTfDriver::sm_PeekDevice(pOther);
            if (pOther == m_pDeviceObject || pOtherDevice == NULL ||
                pOtherDevice->m_GetDeviceKind() != TF_DEVICE_KIND_FUNCTIONAL) {
                continue;
            }
            CTfFunctionalDevice* pOtherFdo = static_cast<CTfFunctionalDevice*>(pOtherDevice);
            if (pOtherFdo->m_SymbolicLinkName.m_IsEqual(PartnerName)) {
                ObReferenceObject(pOther);
                m_pPartnerDeviceObject = pOther;
                pOtherFdo->m_pPairedDeviceObject = m_pDeviceObject;
                pPartner = pOther;
                break;
            }
        }
    }
    pLock->m_Release();
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_PairDevices - partner %08x", (ULONG)(ULONG_PTR)pPartner);
    Log.m_Success();
    return TRUE;
}

void CTfFunctionalDevice::m_UnpairDevices()
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_UnpairDevices");
    CTfDriver* pDriver = m_GetDriver();
    if (pDriver == NULL || !m_bListed) {
        Log.m_Success();
        return;
    }
    // References dropped once the lock is released; at most our partner and one device that took
    // us as its partner per listed device, so they are collected on a small local array.
    PDEVICE_OBJECT apRelease[8];
    ULONG ulRelease = 0;
    PDEVICE_OBJECT pOwnPartner = NULL;

    CTfSpinLock* pLock = pDriver->m_GetDriverLock();
    CTfPointerList* pList = pDriver->m_GetDeviceList();
    pLock->m_Acquire();
    for (PVOID pItem = pList->m_GetFirst(); pItem != NULL; pItem = pList->m_GetNext()) {
        PDEVICE_OBJECT pOther = (PDEVICE_OBJECT)pItem;
        CTfDevice* pOtherDevice = CTfDriver::sm_PeekDevice(pOther);
        if (pOther == m_pDeviceObject || pOtherDevice == NULL ||
            pOtherDevice->m_GetDeviceKind() != TF_DEVICE_KIND_FUNCTIONAL) {
            continue;
        }
        CTfFunctionalDevice* pOtherFdo = static_cast<CTfFunctionalDevice*>(pOtherDevice);
        // Our partner stops redirecting to us.
        if (pOtherFdo->m_pPairedDeviceObject == m_pDeviceObject) {
            pOtherFdo->m_pPairedDeviceObject = NULL;
        }
        // A device that took us as its partner must not reach us after we are gone.
        if (pOtherFdo->m_pPartnerDeviceObject == m_pDeviceObject) {
            pOtherFdo->m_pPartnerDeviceObject = NULL;
            if (ulRelease < sizeof(apRelease) / sizeof(apRelease[0])) {
                apRelease[ulRelease++] = m_pDeviceObject;
            }
        }
    }
    pOwnPartner = m_pPartnerDeviceObject;
    m_pPartnerDeviceObject = NULL;
    m_pPairedDeviceObject = NULL;
    pList->m_Remove(m_pDeviceObject);
    m_bListed = FALSE;
    pLock->m_Release();

    for (ULONG i = 0; i < ulRelease; i++) {
        ObDereferenceObject(apRelease[i]);
    }
    if (pOwnPartner != NULL) {
        ObDereferenceObject(pOwnPartner);
    }
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// Hooks

BOOLEAN CTfFunctionalDevice::sm_WriteQueueCallback(PVOID pContext, CTfBuffer* pBuffer)
{
    CTfRoutineLog Log("CTfFunctionalDevice::sm_WriteQueueCallback");
    CTfFunctionalDevice* pDevice = (CTfFunctionalDevice*)pContext;
    if (pDevice->m_Callbacks.m_WriteCallback == NULL) {
        DbgPrint("ASSERT at - %s %d\n", "tffunctionaldevice", 4396);
        if (pBuffer != NULL) {
            pBuffer->m_Delete();
        }
        Log.m_Fail("no write callback");
        return FALSE;
    }
    CTfObject* pObject = pDevice->m_AcquireSpecificObject();
    if (pObject == NULL) {
        if (pBuffer != NULL) {
            pBuffer->m_Delete();
        }
        Log.m_Fail("object gone");
        return FALSE;
    }
    BOOLEAN bResult = pDevice->m_Callbacks.m_WriteCallback(pObject, pBuffer);
    pDevice->m_ReleaseSpecificObject();
    Log.m_Success();
    return bResult;
}

void CTfFunctionalDevice::sm_CallbackObjectRoutine(PVOID pContext, PVOID pArgument1, PVOID pArgument2)
{
    CTfRoutineLog Log("CTfFunctionalDevice::sm_CallbackObjectRoutine");
    (void)pArgument2;
    CTfFunctionalDevice* pDevice = (CTfFunctionalDevice*)pContext;
    if (pDevice != NULL && pArgument1 != NULL) {
        *(PDEVICE_OBJECT*)pArgument1 = pDevice->m_pPhysicalDeviceObject;
    }
    Log.m_Success();
}

BOOLEAN CTfFunctionalDevice::m_CallChildWrite(ULONG ulLeadingValue, CTfBuffer* pBuffer)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_CallChildWrite");
    if (m_Callbacks.m_ChildWriteCallback == NULL) {
        Log.m_Fail("no entry 9");
        return FALSE;
    }
    CTfObject* pObject = m_AcquireSpecificObject();
    if (pObject == NULL) {
        Log.m_Fail("object gone");
        return FALSE;
    }
    m_Callbacks.m_ChildWriteCallback(pObject, ulLeadingValue, pBuffer);
    m_ReleaseSpecificObject();
    Log.m_Success();
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Resource getters

static PVOID TfNthItem(CTfPointerList* pList, ULONG ulIndex)
{
    if (ulIndex == 0) {
        return NULL;
    }
    ULONG ulCurrent = 1;
    for (PVOID pItem = pList->m_GetFirst(); pItem != NULL; pItem = pList->m_GetNext()) {
        if (ulCurrent == ulIndex) {
            return pItem;
        }
        ulCurrent++;
    }
    return NULL;
}

PTF_PORT_RESOURCE CTfFunctionalDevice::m_GetPortResource(ULONG ulIndex)
{
    return (PTF_PORT_RESOURCE)TfNthItem(&m_PortList, ulIndex);
}

PTF_MEMORY_RESOURCE CTfFunctionalDevice::m_GetMemoryResource(ULONG ulIndex)
{
    return (PTF_MEMORY_RESOURCE)TfNthItem(&m_MemoryList, ulIndex);
}

PTF_INTERRUPT_RESOURCE CTfFunctionalDevice::m_GetInterruptResource(ULONG ulIndex)
{
    return (PTF_INTERRUPT_RESOURCE)TfNthItem(&m_InterruptList, ulIndex);
}

PTF_DMA_RESOURCE CTfFunctionalDevice::m_GetDmaResource(ULONG ulIndex)
{
    return (PTF_DMA_RESOURCE)TfNthItem(&m_DmaList, ulIndex);
}

PTF_MESSAGE_INTERRUPT_RESOURCE CTfFunctionalDevice::m_GetMessageInterruptResource(ULONG ulIndex)
{
    return (PTF_MESSAGE_INTERRUPT_RESOURCE)TfNthItem(&m_MessageInterruptList, ulIndex);
}

// ---------------------------------------------------------------------------------------------
// Dispatch

BOOLEAN CTfFunctionalDevice::m_IsConfigurationHandle(PIRP pIrp, NTSTATUS* pStatus)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_IsConfigurationHandle");
    *pStatus = STATUS_SUCCESS;
    PFILE_OBJECT pFileObject = IoGetCurrentIrpStackLocation(pIrp)->FileObject;
    if (pFileObject == NULL || pFileObject->FileName.Length == 0 || pFileObject->FileName.Buffer == NULL) {
        Log.m_Success();
        return FALSE;
    }
    CTfString Name(NonPagedPool);
    if (Name.m_AssignUnicodeString(&pFileObject->FileName) != STATUS_SUCCESS) {
        *pStatus = STATUS_INSUFFICIENT_RESOURCES;
        Log.m_Fail("no memory");
        return FALSE;
    }
    BOOLEAN bIsInterface = FALSE;
    if (!m_UserModeInterface.m_IsInterfaceFile(Name.m_GetUnicodeString(), &bIsInterface)) {
        *pStatus = STATUS_ACCESS_DENIED;
        Log.m_Fail("name test");
        return FALSE;
    }
    Log.m_Success();
    return bIsInterface;
}

NTSTATUS CTfFunctionalDevice::sm_CompleteControl(PIRP pIrp, NTSTATUS Status, ULONG_PTR ulInformation,
                                                 ULONG ulOutputLength)
{
    // The I/O manager copies Information bytes back to the caller: never more than it gave.
    if (ulInformation > ulOutputLength) {
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::sm_CompleteControl - information %u above output length %u",
                   (ULONG)ulInformation, ulOutputLength);
        ulInformation = 0;
        if (NT_SUCCESS(Status)) {
            Status = STATUS_UNSUCCESSFUL;
        }
    }
    if (Status == STATUS_PENDING) {
        // Nobody holds the request: it cannot stay pending.
        Status = STATUS_UNSUCCESSFUL;
        ulInformation = 0;
    }
    return TfCompleteRequestWithInformation(pIrp, Status, ulInformation);
}

// Requests on a configuration-interface handle never reach the driver's callbacks: they complete here
// with the given status (as does a request whose file name could not be examined). TRUE when completed.
BOOLEAN CTfFunctionalDevice::m_CompleteIfConfigurationHandle(PIRP pIrp, NTSTATUS ConfigurationStatus,
                                                             PNTSTATUS pCompletedStatus)
{
    NTSTATUS Status;
    BOOLEAN bConfiguration = m_IsConfigurationHandle(pIrp, &Status);
    if (!bConfiguration && NT_SUCCESS(Status)) {
        return FALSE;
    }
    *pCompletedStatus = TfCompleteRequest(pIrp, bConfiguration ? ConfigurationStatus : Status);
    return TRUE;
}

NTSTATUS CTfFunctionalDevice::m_Dispatch_Create(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_Dispatch_Create");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    if ((pStack->Parameters.Create.Options & 0x00FFFFFF) & FILE_DIRECTORY_FILE) {
        Log.m_Fail("directory open");
        return TfCompleteRequest(pIrp, STATUS_NOT_A_DIRECTORY);
    }
    NTSTATUS Status;
    if (m_CompleteIfConfigurationHandle(pIrp, STATUS_SUCCESS, &Status)) {
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_Dispatch_Create - OUT - configuration handle %08x", (ULONG)Status);
        return Status;
    }

    if (!m_OpenGate.m_Acquire()) {
        Log.m_Fail("already open");
        return TfCompleteRequest(pIrp, STATUS_ACCESS_DENIED);
    }
    m_WriteQueue.m_ResetForOpen();

    CTfObject* pObject = m_AcquireSpecificObject();
    if (pObject == NULL) {
        m_OpenGate.m_Release();
        Log.m_Fail("object gone");
        return TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
    }
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_Dispatch_Create - before m_CreateCallback");
    if (m_Callbacks.m_CreateCallback != NULL && !m_Callbacks.m_CreateCallback(pObject)) {
        m_ReleaseSpecificObject();
        m_OpenGate.m_Release();
        Log.m_Fail("m_CreateCallback");
        return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
    }
    if (m_Callbacks.m_UserModeInterface != NULL && !m_UserModeInterface.m_LoadAllSets()) {
        // The driver has opened: undo it, or it stays open with no handle to close it.
        if (m_Callbacks.m_CleanupCallback != NULL) {
            m_Callbacks.m_CleanupCallback(pObject);
        }
        if (m_Callbacks.m_CloseCallback != NULL) {
            m_Callbacks.m_CloseCallback(pObject);
        }
        m_ReleaseSpecificObject();
        m_OpenGate.m_Release();
        Log.m_Fail("m_LoadAllSets");
        return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
    }
    m_ReleaseSpecificObject();
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_Dispatch_Create OUT");
    return TfCompleteRequest(pIrp, STATUS_SUCCESS);
}

NTSTATUS CTfFunctionalDevice::m_Dispatch_Cleanup(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_Dispatch_Cleanup");
    NTSTATUS Status;
    if (m_CompleteIfConfigurationHandle(pIrp, STATUS_SUCCESS, &Status)) {
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_Dispatch_Cleanup - OUT - configuration handle %08x", (ULONG)Status);
        return Status;
    }
    CTfObject* pObject = m_AcquireSpecificObject();
    if (pObject == NULL) {
        Log.m_Fail("object gone");
        return TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
    }
    TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_Dispatch_Cleanup - before m_CleanupCallback");
    BOOLEAN bResult = m_Callbacks.m_CleanupCallback == NULL || m_Callbacks.m_CleanupCallback(pObject);
    m_ReleaseSpecificObject();
    Log.m_Success();
    return TfCompleteRequest(pIrp, bResult ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
}

NTSTATUS CTfFunctionalDevice::m_Dispatch_Close(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_Dispatch_Close");
    NTSTATUS Status;
    if (m_CompleteIfConfigurationHandle(pIrp, STATUS_SUCCESS, &Status)) {
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_Dispatch_Close - OUT - configuration handle %08x", (ULONG)Status);
        return Status;
    }
    CTfObject* pObject = m_AcquireSpecificObject();
    if (pObject == NULL) {
        Status = STATUS_DEVICE_REMOVED;
    } else {
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_Dispatch_Close - before m_CloseCallback");
        BOOLEAN bResult = m_Callbacks.m_CloseCallback == NULL || m_Callbacks.m_CloseCallback(pObject);
        m_ReleaseSpecificObject();
        Status = bResult ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    // The handle is gone whatever the driver answered.
    if (m_OpenGate.m_GetCount() > 0) {
        m_OpenGate.m_Release();
    }
    Log.m_Success();
    return TfCompleteRequest(pIrp, Status);
}

NTSTATUS CTfFunctionalDevice::m_Dispatch_Read(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_Dispatch_Read");
    NTSTATUS Status;
    if (m_CompleteIfConfigurationHandle(pIrp, STATUS_ACCESS_DENIED, &Status)) {
        Log.m_Fail("%08x", (ULONG)Status);
        return Status;
    }
    if (IoGetCurrentIrpStackLocation(pIrp)->Parameters.Read.Length == 0) {
        Log.m_Success();
        return TfCompleteRequestWithInformation(pIrp, STATUS_SUCCESS, 0);
    }
    Status = m_ReadQueue.m_QueueIrp(pIrp);
    Log.m_Success();
    return Status;
}

NTSTATUS CTfFunctionalDevice::m_Dispatch_Write(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_Dispatch_Write");
    NTSTATUS Status;
    if (m_CompleteIfConfigurationHandle(pIrp, STATUS_ACCESS_DENIED, &Status)) {
        Log.m_Fail("%08x", (ULONG)Status);
        return Status;
    }
    if (IoGetCurrentIrpStackLocation(pIrp)->Parameters.Write.Length == 0) {
        Log.m_Success();
        return TfCompleteRequestWithInformation(pIrp, STATUS_SUCCESS, 0);
    }
    if (m_Callbacks.m_ChildWriteCallback != NULL) {
        Status = m_QueueDirectWrite(pIrp);
    } else if (m_Callbacks.m_WriteCallback != NULL) {
        Status = m_WriteQueue.m_QueueIrp(pIrp);
    } else {
        Status = TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
    }
    Log.m_Success();
    return Status;
}

NTSTATUS CTfFunctionalDevice::m_QueueDirectWrite(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_QueueDirectWrite");
    ULONG ulLength = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Write.Length;
    PVOID pSource = pIrp->AssociatedIrp.SystemBuffer;
    if (pSource == NULL) {
        Log.m_Fail("no buffer");
        return TfCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
    }
    PTF_DIRECT_WRITE pRecord = (PTF_DIRECT_WRITE)AllocateTrackedPool(NonPagedPool, sizeof(TF_DIRECT_WRITE));
    PVOID pData = AllocateTrackedPool(NonPagedPool, ulLength);
    if (pRecord == NULL || pData == NULL || m_GetExecutor() == NULL) {
        FreeTrackedPool(pRecord);
        FreeTrackedPool(pData);
        Log.m_Fail("no memory");
        return TfCompleteRequest(pIrp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlCopyMemory(pData, pSource, ulLength);
    pRecord->pData = pData;
    pRecord->ulLength = ulLength;
    if (!m_GetExecutor()->m_QueueFunction(sm_DirectWriteRoutine, this, pRecord, sm_DirectWriteDiscard)) {
        Log.m_Fail("not queued");
        return TfCompleteRequest(pIrp, STATUS_INSUFFICIENT_RESOURCES);
    }
    Log.m_Success();
    return TfCompleteRequestWithInformation(pIrp, STATUS_SUCCESS, ulLength);
}

void CTfFunctionalDevice::sm_DirectWriteRoutine(PVOID pContext, PVOID pArgument)
{
    CTfRoutineLog Log("CTfFunctionalDevice::sm_DirectWriteRoutine");
    CTfFunctionalDevice* pDevice = (CTfFunctionalDevice*)pContext;
    PTF_DIRECT_WRITE pRecord = (PTF_DIRECT_WRITE)pArgument;
    CTfBuffer* pBuffer = new (NonPagedPool) CTfBuffer(pRecord->pData, pRecord->ulLength);
    if (pBuffer == NULL) {
        FreeTrackedPool(pRecord->pData);
    } else if (!pDevice->m_CallChildWrite(0, pBuffer)) {
        pBuffer->m_Delete();
    }
    FreeTrackedPool(pRecord);
    Log.m_Success();
}

void CTfFunctionalDevice::sm_DirectWriteDiscard(PVOID pContext, PVOID pArgument)
{
    (void)pContext;
    PTF_DIRECT_WRITE pRecord = (PTF_DIRECT_WRITE)pArgument;
    if (pRecord != NULL) {
        FreeTrackedPool(pRecord->pData);
        FreeTrackedPool(pRecord);
    }
}

NTSTATUS CTfFunctionalDevice::m_Dispatch_Device_Control(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_Dispatch_Device_Control");
    if (m_ulPnpState != TF_PNP_STATE_STARTED) {
        Log.m_Fail("not started");
        return TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
    }
    NTSTATUS Status;
    if (m_IsConfigurationHandle(pIrp, &Status)) {
        Status = m_UserModeInterface.m_Dispatch_Device_Control(pIrp);
        Log.m_Success();
        return Status;
    }
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("name %08x", (ULONG)Status);
        return TfCompleteRequest(pIrp, Status);
    }

    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG ulInputLength = pStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOutputLength = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID pBuffer = pIrp->AssociatedIrp.SystemBuffer;
    if (METHOD_FROM_CTL_CODE(ulCode) != METHOD_BUFFERED ||
        (m_Callbacks.m_DeviceControlCallback == NULL && m_Callbacks.m_DeviceControlQueueingCallback == NULL)) {
        Log.m_Fail("not supported");
        return TfCompleteRequest(pIrp, STATUS_NOT_SUPPORTED);
    }
    CTfObject* pObject = m_AcquireSpecificObject();
    if (pObject == NULL) {
        Log.m_Fail("object gone");
        return TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
    }

    ULONG_PTR ulInformation = 0;
    if (m_Callbacks.m_DeviceControlCallback != NULL) {
        Status = m_Callbacks.m_DeviceControlCallback(pObject, ulCode, pBuffer, ulInputLength, pBuffer, ulOutputLength,
                                                     &ulInformation);
        m_ReleaseSpecificObject();
        Log.m_Success();
        return sm_CompleteControl(pIrp, Status, ulInformation, ulOutputLength);
    }

    CTfControlQueue* pQueue = NULL;
    Status = m_Callbacks.m_DeviceControlQueueingCallback(pObject, ulCode, pBuffer, ulInputLength, pBuffer,
                                                         ulOutputLength, &ulInformation, &pQueue);
    m_ReleaseSpecificObject();
    if (ulCode == TF_IOCTL_SERIAL_XOFF_COUNTER) {
        // Held only when the driver accepted a real counter; anything else completes as answered.
        if (Status == STATUS_SUCCESS && pBuffer != NULL && ulInputLength >= TF_XOFF_COUNTER_INPUT_LENGTH &&
            ((PLONG)pBuffer)[1] >= 1) {
            Log.m_Success();
            return m_WriteQueue.m_QueueXoffCounterIrp(pIrp);
        }
        TfDebugLog(TF_LOG_FLOW, "CTfFunctionalDevice::m_Dispatch_Device_Control - OUT - XOFF counter not held %08x", (ULONG)Status);
        return sm_CompleteControl(pIrp, Status, ulInformation, ulOutputLength);
    }
    if (pQueue != NULL) {
        Log.m_Success();
        return pQueue->m_QueueIrp(pIrp);
    }
    Log.m_Success();
    return sm_CompleteControl(pIrp, Status, ulInformation, ulOutputLength);
}

NTSTATUS CTfFunctionalDevice::m_Dispatch_InternalDeviceControl(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_Dispatch_InternalDeviceControl");
    NTSTATUS Status;
    if (m_CompleteIfConfigurationHandle(pIrp, STATUS_ACCESS_DENIED, &Status)) {
        Log.m_Fail("%08x", (ULONG)Status);
        return Status;
    }

    if (m_Callbacks.m_InternalDeviceControlRequestCallback != NULL) {
        CTfObject* pObject = m_AcquireSpecificObject();
        if (pObject == NULL) {
            Log.m_Fail("object gone");
            return TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
        }
        Status = m_Callbacks.m_InternalDeviceControlRequestCallback(pObject, pIrp);
        m_ReleaseSpecificObject();
        Log.m_Success();
        return Status;
    }
    if (m_Callbacks.m_InternalDeviceControlCallback == NULL) {
        Log.m_Fail("not supported");
        return TfCompleteRequest(pIrp, STATUS_NOT_SUPPORTED);
    }

    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG ulInputLength = pStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOutputLength = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID pBuffer = pIrp->AssociatedIrp.SystemBuffer;
    if (METHOD_FROM_CTL_CODE(ulCode) != METHOD_BUFFERED) {
        Log.m_Fail("not supported");
        return TfCompleteRequest(pIrp, STATUS_NOT_SUPPORTED);
    }
    if (pBuffer == NULL) {
        Log.m_Fail("no buffer");
        return TfCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
    }
    CTfObject* pObject = m_AcquireSpecificObject();
    if (pObject == NULL) {
        Log.m_Fail("object gone");
        return TfCompleteRequest(pIrp, STATUS_DEVICE_REMOVED);
    }
    ULONG_PTR ulInformation = 0;
    Status = m_Callbacks.m_InternalDeviceControlCallback(pObject, ulCode, pBuffer, ulInputLength, pBuffer,
                                                         ulOutputLength, &ulInformation);
    m_ReleaseSpecificObject();
    Log.m_Success();
    return sm_CompleteControl(pIrp, Status, ulInformation, ulOutputLength);
}

NTSTATUS CTfFunctionalDevice::m_Dispatch_FlushBuffers(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_Dispatch_FlushBuffers");
    NTSTATUS Status = m_WriteQueue.m_QueueFlushIrp(pIrp);
    Log.m_Success();
    return Status;
}

NTSTATUS CTfFunctionalDevice::m_Dispatch_Shutdown(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_Dispatch_Shutdown");
    Log.m_Success();
    return TfCompleteRequest(pIrp, STATUS_SUCCESS);
}

NTSTATUS CTfFunctionalDevice::m_Dispatch_SystemControl(PIRP pIrp)
{
    CTfRoutineLog Log("CTfFunctionalDevice::m_Dispatch_SystemControl");
    NTSTATUS Status = CWmi::sm_DispatchSystemControl(m_pWmi, m_pDeviceObject, m_pLowerDeviceObject, pIrp);
    Log.m_Success();
    return Status;
}
