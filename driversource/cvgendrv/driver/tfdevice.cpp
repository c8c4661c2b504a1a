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
    TfDebugLog(7, "CTfDevice::CTfDevice - IN");
    TfDebugLog(7, "CTfDevice::CTfDevice - OUT (Success)");
}

void CTfDevice::m_DeleteAuxiliaryObject()
{
    TfDebugLog(7, "CTfDevice::m_DeleteAuxiliaryObject - IN");
    CTfObject* pObject = m_pAuxiliaryObject;
    m_pAuxiliaryObject = NULL;
    if (pObject != NULL) {
        delete pObject;
    }
    TfDebugLog(7, "CTfDevice::m_DeleteAuxiliaryObject - OUT (Success)");
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
    TfDebugLog(7, "CTfDevice::sm_BuildLinkName - IN");
    const WCHAR* pszPrefix = IoIsWdmVersionAvailable(1, 0x10) ? TF_LINK_PREFIX : TF_LINK_PREFIX_OLD;
    if (LinkName.m_AssignWide(pszPrefix) != STATUS_SUCCESS || LinkName.m_AppendWide(pszLinkName) != STATUS_SUCCESS) {
        TfDebugLog(7, "CTfDevice::sm_BuildLinkName - OUT - Fail-> no memory");
        return FALSE;
    }
    TfDebugLog(7, "CTfDevice::sm_BuildLinkName - OUT (Success)");
    return TRUE;
}

void CTfDevice::sm_ReleaseExtension(PDEVICE_OBJECT pDeviceObject)
{
    TfDebugLog(7, "CTfDevice::sm_ReleaseExtension - IN");
    CTfObjectHolder* pHolder = sm_GetExtensionHolder(pDeviceObject);
    if (pHolder == NULL) {
        TfDebugLog(7, "CTfDevice::sm_ReleaseExtension - OUT - Fail-> no extension");
        return;
    }
    // Closed and empty: a request that still reaches the device object finds no framework object.
    pHolder->m_Detach(FALSE);
    pHolder->m_GetGate()->m_ClearEvent();
    TfDebugLog(7, "CTfDevice::sm_ReleaseExtension - OUT (Success)");
}

BOOLEAN CTfDevice::m_CreateDevice(PDRIVER_OBJECT pDriverObject, const WCHAR* pszDeviceName, DEVICE_TYPE DeviceType,
                                  const WCHAR* pszLinkName, BOOLEAN bExclusive, CTfObject* pObject,
                                  PDEVICE_OBJECT* ppDeviceObject)
{
    TfDebugLog(7, "CTfDevice::m_CreateDevice - IN");
    if (ppDeviceObject == NULL) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfDevice::m_CreateDevice - OUT - Fail-> no out pointer");
        return FALSE;
    }
    *ppDeviceObject = NULL;

    CTfString DeviceName(NonPagedPool);
    if (pszDeviceName != NULL) {
        if (DeviceName.m_AssignWide(TF_DEVICE_NAME_PREFIX) != STATUS_SUCCESS ||
            DeviceName.m_AppendWide(pszDeviceName) != STATUS_SUCCESS) {
            TfDebugLog(7, "CTfDevice::m_CreateDevice - OUT - Fail-> device name not built");
            return FALSE;
        }
    }

    PDEVICE_OBJECT pDeviceObject = NULL;
    NTSTATUS Status = IoCreateDevice(pDriverObject, sizeof(CTfObjectHolder),
                                     pszDeviceName != NULL ? DeviceName.m_GetUnicodeString() : NULL, DeviceType, 0,
                                     bExclusive, &pDeviceObject);
    if (!NT_SUCCESS(Status) || pDeviceObject == NULL) {
        TfDebugLog(7, "CTfDevice::m_CreateDevice - OUT - Fail-> IoCreateDevice %08x", (ULONG)Status);
        return FALSE;
    }

    // The dispatch reaches the framework object through the extension; the gate is opened at once,
    // since DO_DEVICE_INITIALIZING keeps requests out until the owner has finished construction.
    CTfObjectHolder* pHolder = new (pDeviceObject->DeviceExtension) CTfDeviceExtension();
    pHolder->m_SetObject(pObject);
    pHolder->m_GetGate()->m_SetOpen(TRUE);

    if (pszLinkName == NULL || pszDeviceName == NULL) {
        *ppDeviceObject = pDeviceObject;
        TfDebugLog(7, "CTfDevice::m_CreateDevice - OUT (Success)");
        return TRUE;
    }

    CTfString LinkName(NonPagedPool);
    if (!sm_BuildLinkName(pszLinkName, LinkName)) {
        sm_ReleaseExtension(pDeviceObject);
        IoDeleteDevice(pDeviceObject);
        TfDebugLog(7, "CTfDevice::m_CreateDevice - OUT - Fail-> link name not built");
        return FALSE;
    }
    Status = IoCreateSymbolicLink(LinkName.m_GetUnicodeString(), DeviceName.m_GetUnicodeString());
    if (!NT_SUCCESS(Status)) {
        sm_ReleaseExtension(pDeviceObject);
        IoDeleteDevice(pDeviceObject);
        TfDebugLog(7, "CTfDevice::m_CreateDevice - OUT - Fail-> IoCreateSymbolicLink %08x", (ULONG)Status);
        return FALSE;
    }

    *ppDeviceObject = pDeviceObject;
    TfDebugLog(7, "CTfDevice::m_CreateDevice - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfDevice::m_DeleteDevice(PDEVICE_OBJECT pDeviceObject, const WCHAR* pszLinkName)
{
    TfDebugLog(7, "CTfDevice::m_DeleteDevice - IN");
    BOOLEAN bResult = TRUE;

    if (pszLinkName != NULL) {
        CTfString LinkName(NonPagedPool);
        if (!sm_BuildLinkName(pszLinkName, LinkName)) {
            bResult = FALSE;
        } else {
            NTSTATUS Status = IoDeleteSymbolicLink(LinkName.m_GetUnicodeString());
            if (!NT_SUCCESS(Status)) {
                TfDebugLog(7, "CTfDevice::m_DeleteDevice - IoDeleteSymbolicLink %08x", (ULONG)Status);
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
        TfDebugLog(7, "CTfDevice::m_DeleteDevice - OUT - Fail-> link name not built");
        return FALSE;
    }
    TfDebugLog(7, "CTfDevice::m_DeleteDevice - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfDevice::m_AddSymbolicLinkNameFor(const WCHAR* pszDeviceName, const WCHAR* pszLinkName)
{
    TfDebugLog(7, "CTfDevice::m_AddSymbolicLinkNameFor - IN");
    if (pszDeviceName == NULL || pszLinkName == NULL) {
        TfDebugLog(7, "CTfDevice::m_AddSymbolicLinkNameFor - OUT - Fail-> no name");
        return FALSE;
    }
    CTfString LinkName(NonPagedPool);
    if (!sm_BuildLinkName(pszLinkName, LinkName)) {
        TfDebugLog(7, "CTfDevice::m_AddSymbolicLinkNameFor - OUT - Fail-> link name not built");
        return FALSE;
    }
    CTfString DeviceName(NonPagedPool);
    if (DeviceName.m_AssignWide(TF_DEVICE_NAME_PREFIX) != STATUS_SUCCESS ||
        DeviceName.m_AppendWide(pszDeviceName) != STATUS_SUCCESS) {
        TfDebugLog(7, "CTfDevice::m_AddSymbolicLinkNameFor - OUT - Fail-> device name not built");
        return FALSE;
    }
    NTSTATUS Status = IoCreateSymbolicLink(LinkName.m_GetUnicodeString(), DeviceName.m_GetUnicodeString());
    if (!NT_SUCCESS(Status)) {
        TfDebugLog(7, "CTfDevice::m_AddSymbolicLinkNameFor - OUT - Fail-> IoCreateSymbolicLink %08x", (ULONG)Status);
        return FALSE;
    }
    TfDebugLog(7, "CTfDevice::m_AddSymbolicLinkNameFor - OUT (Success)");
    return TRUE;
}

void CTfDevice::m_DataForPendingReadArrived(CTfBuffer* pChunk)
{
    TfDebugLog(7, "CTfDevice::m_DataForPendingReadArrived - IN");
    LARGE_INTEGER Stamp = KeQueryPerformanceCounter(NULL);

    // Taken first: the read queue may free the chunk.
    ULONG ulLength = pChunk != NULL ? pChunk->m_GetLength() : 0;
    m_ReadQueue.m_DataForPendingIrpArrived(pChunk);
    m_WriteQueue.m_XoffCounterBytesReceived(ulLength);

    TfDebugLog(55, "CTfDevice::m_DataForPendingReadArrived TD=%dys", CTfDebugManager::sm_GetElapsedMicroseconds(&Stamp));
    TfDebugLog(7, "CTfDevice::m_DataForPendingReadArrived - OUT (Success)");
}

ULONG CTfDevice::m_GetReadDataAmount()
{
    TfDebugLog(7, "CTfDevice::m_GetReadDataAmount - IN");
    ULONG ulAmount = m_ReadQueue.m_GetDataAmount();
    TfDebugLog(7, "CTfDevice::m_GetReadDataAmount - OUT (Success)");
    return ulAmount;
}
