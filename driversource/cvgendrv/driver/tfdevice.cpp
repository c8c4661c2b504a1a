// Device base: device objects, their names and links, and the received-data entry.
#include "tfdevice.h"

#include "tfdebugmanager.h"
#include "tfstring.h"

// The device extension: one object holder, constructed in the extension memory IoCreateDevice
// hands out. It adds nothing to the holder, so the extension is exactly a CTfObjectHolder.
class CTfDeviceExtension : public CTfObjectHolder {
public:
    static void* operator new(size_t cbSize, void* pStorage) noexcept
    {
        (void)cbSize;
        return pStorage;
    }
    static void operator delete(void* p, void* pStorage) noexcept
    {
        (void)p;
        (void)pStorage;
    }
};

CTfDevice::CTfDevice()
    : m_ucDeviceKind(TF_DEVICE_KIND_NONE), m_pPhysicalDeviceObject(NULL), m_pAuxiliaryObject(NULL)
{
    CTfRoutineLog Log("CTfDevice::CTfDevice");
    Log.m_Success();
}

void CTfDevice::m_DeleteAuxiliaryObject()
{
    CTfRoutineLog Log("CTfDevice::m_DeleteAuxiliaryObject");
    CTfObject* pObject = m_pAuxiliaryObject;
    m_pAuxiliaryObject = NULL;
    if (pObject != NULL) {
        delete pObject;
    }
    Log.m_Success();
}

CTfObjectHolder* CTfDevice::sm_GetExtensionHolder(PDEVICE_OBJECT pDeviceObject)
{
    if (pDeviceObject == NULL) {
        return NULL;
    }
    return (CTfObjectHolder*)pDeviceObject->DeviceExtension;
}

BOOLEAN CTfDevice::sm_BuildLinkName(const WCHAR* pszLinkName, CTfString& LinkName)
{
    CTfRoutineLog Log("CTfDevice::sm_BuildLinkName");
    const WCHAR* pszPrefix = IoIsWdmVersionAvailable(1, 0x10) ? TF_LINK_PREFIX : TF_LINK_PREFIX_OLD;
    if (LinkName.m_AssignWide(pszPrefix) != STATUS_SUCCESS || LinkName.m_AppendWide(pszLinkName) != STATUS_SUCCESS) {
        Log.m_Fail("no memory");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

void CTfDevice::sm_ReleaseExtension(PDEVICE_OBJECT pDeviceObject)
{
    CTfRoutineLog Log("CTfDevice::sm_ReleaseExtension");
    CTfObjectHolder* pHolder = sm_GetExtensionHolder(pDeviceObject);
    if (pHolder == NULL) {
        Log.m_Fail("no extension");
        return;
    }
    // Closed and empty: a request that still reaches the device object finds no framework object.
    pHolder->m_Detach(FALSE);
    pHolder->m_GetGate()->m_ClearEvent();
    Log.m_Success();
}

BOOLEAN CTfDevice::m_CreateDevice(PDRIVER_OBJECT pDriverObject, const WCHAR* pszDeviceName, DEVICE_TYPE DeviceType,
                                  const WCHAR* pszLinkName, BOOLEAN bExclusive, CTfObject* pObject,
                                  PDEVICE_OBJECT* ppDeviceObject)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfDevice::m_CreateDevice");
    if (ppDeviceObject == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no out pointer");
        return FALSE;
    }
    *ppDeviceObject = NULL;

    CTfString DeviceName(NonPagedPool);
    if (pszDeviceName != NULL) {
        if (DeviceName.m_AssignWide(TF_DEVICE_NAME_PREFIX) != STATUS_SUCCESS ||
            DeviceName.m_AppendWide(pszDeviceName) != STATUS_SUCCESS) {
            Log.m_Fail("device name not built");
            return FALSE;
        }
    }

    PDEVICE_OBJECT pDeviceObject = NULL;
    NTSTATUS Status = IoCreateDevice(pDriverObject, sizeof(CTfObjectHolder),
                                     pszDeviceName != NULL ? DeviceName.m_GetUnicodeString() : NULL, DeviceType, 0,
                                     bExclusive, &pDeviceObject);
    if (!NT_SUCCESS(Status) || pDeviceObject == NULL) {
        Log.m_Fail("IoCreateDevice %08x", (ULONG)Status);
        return FALSE;
    }

    // The dispatch reaches the framework object through the extension; the gate is opened at once,
    // since DO_DEVICE_INITIALIZING keeps requests out until the owner has finished construction.
    CTfObjectHolder* pHolder = new (pDeviceObject->DeviceExtension) CTfDeviceExtension();
    pHolder->m_SetObject(pObject);
    pHolder->m_GetGate()->m_SetOpen(TRUE);

    if (pszLinkName == NULL || pszDeviceName == NULL) {
        *ppDeviceObject = pDeviceObject;
        Log.m_Success();
        return TRUE;
    }

    CTfString LinkName(NonPagedPool);
    if (!sm_BuildLinkName(pszLinkName, LinkName)) {
        sm_ReleaseExtension(pDeviceObject);
        IoDeleteDevice(pDeviceObject);
        Log.m_Fail("link name not built");
        return FALSE;
    }
    Status = IoCreateSymbolicLink(LinkName.m_GetUnicodeString(), DeviceName.m_GetUnicodeString());
    if (!NT_SUCCESS(Status)) {
        sm_ReleaseExtension(pDeviceObject);
        IoDeleteDevice(pDeviceObject);
        Log.m_Fail("IoCreateSymbolicLink %08x", (ULONG)Status);
        return FALSE;
    }

    *ppDeviceObject = pDeviceObject;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfDevice::m_DeleteDevice(PDEVICE_OBJECT pDeviceObject, const WCHAR* pszLinkName)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfDevice::m_DeleteDevice");
    BOOLEAN bResult = TRUE;

    if (pszLinkName != NULL) {
        CTfString LinkName(NonPagedPool);
        if (!sm_BuildLinkName(pszLinkName, LinkName)) {
            bResult = FALSE;
        } else {
            NTSTATUS Status = IoDeleteSymbolicLink(LinkName.m_GetUnicodeString());
            if (!NT_SUCCESS(Status)) {
                TfDebugLog(TF_LOG_FLOW, "CTfDevice::m_DeleteDevice - IoDeleteSymbolicLink %08x", (ULONG)Status);
            }
        }
    }

    // The caller's framework object is about to go: its device object must not outlive it, even
    // when the link is left behind.
    if (pDeviceObject != NULL) {
        sm_ReleaseExtension(pDeviceObject);
        IoDeleteDevice(pDeviceObject);
    }

    if (!bResult) {
        Log.m_Fail("link name not built");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfDevice::m_AddSymbolicLinkNameFor(const WCHAR* pszDeviceName, const WCHAR* pszLinkName)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfDevice::m_AddSymbolicLinkNameFor");
    if (pszDeviceName == NULL || pszLinkName == NULL) {
        Log.m_Fail("no name");
        return FALSE;
    }
    CTfString LinkName(NonPagedPool);
    if (!sm_BuildLinkName(pszLinkName, LinkName)) {
        Log.m_Fail("link name not built");
        return FALSE;
    }
    CTfString DeviceName(NonPagedPool);
    if (DeviceName.m_AssignWide(TF_DEVICE_NAME_PREFIX) != STATUS_SUCCESS ||
        DeviceName.m_AppendWide(pszDeviceName) != STATUS_SUCCESS) {
        Log.m_Fail("device name not built");
        return FALSE;
    }
    NTSTATUS Status = IoCreateSymbolicLink(LinkName.m_GetUnicodeString(), DeviceName.m_GetUnicodeString());
    if (!NT_SUCCESS(Status)) {
        Log.m_Fail("IoCreateSymbolicLink %08x", (ULONG)Status);
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

void CTfDevice::m_DataForPendingReadArrived(CTfBuffer* pChunk)
{
    CTfRoutineLog Log("CTfDevice::m_DataForPendingReadArrived");
    LARGE_INTEGER Stamp = KeQueryPerformanceCounter(NULL);

    // Taken first: the read queue may free the chunk.
    ULONG ulLength = pChunk != NULL ? pChunk->m_GetLength() : 0;
    m_ReadQueue.m_DataForPendingIrpArrived(pChunk);
    m_WriteQueue.m_XoffCounterBytesReceived(ulLength);

    TfDebugLog(TF_LOG_TIMING_RECEIVE, "CTfDevice::m_DataForPendingReadArrived TD=%dys", CTfDebugManager::sm_GetElapsedMicroseconds(&Stamp));
    Log.m_Success();
}

ULONG CTfDevice::m_GetReadDataAmount()
{
    CTfRoutineLog Log("CTfDevice::m_GetReadDataAmount");
    ULONG ulAmount = m_ReadQueue.m_GetDataAmount();
    Log.m_Success();
    return ulAmount;
}
