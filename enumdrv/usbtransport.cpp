// The transport a port object holds (see usbtransport.h).
#include "usbtransport.h"

#include "tfdebug.h"
#include "tfdebugmanager.h"

CUSBTransport::CUSBTransport(PDEVICE_OBJECT pPhysicalDeviceObject, UCHAR ucReadHandle, UCHAR ucWriteHandle,
                             USHORT usPortIndex)
    : m_pPhysicalDeviceObject(pPhysicalDeviceObject),
      m_ucReadHandle(ucReadHandle),
      m_ucWriteHandle(ucWriteHandle),
      m_usPortIndex(usPortIndex),
      m_bBulkInSeen(FALSE),
      m_ulBulkInInterval(0),
      m_ulCallbackTime(0),
      m_bSpareIrpAllocated(FALSE)
{
    KeInitializeMutex(&m_TransportMutex, 0);
    m_BulkInStamp.QuadPart = 0;
}

CUSBTransport::~CUSBTransport()
{
    m_DeInit();
}

BOOLEAN CUSBTransport::m_Init()
{
    TfDebugLog(7, "CUSBTransport::m_Init - IN");
    if (m_pPhysicalDeviceObject == NULL) {
        TfDebugLog(7, "CUSBTransport::m_Init - OUT - Fail-> no physical device object");
        return FALSE;
    }
    if (m_DeviceHolder.m_PeekObject() != NULL) {
        TfDebugLog(7, "CUSBTransport::m_Init - OUT - Fail-> initialised already");
        return FALSE;
    }
    CUsbDevice* pDevice = new (NonPagedPool) CUsbDevice();
    if (pDevice == NULL) {
        TfDebugLog(7, "CUSBTransport::m_Init - OUT - Fail-> no memory");
        return FALSE;
    }
    if (!pDevice->m_Init(m_pPhysicalDeviceObject) || !pDevice->m_CreateReadTransfer(sm_OnBulkIn, this)) {
        delete pDevice;
        TfDebugLog(7, "CUSBTransport::m_Init - OUT - Fail-> USB device");
        return FALSE;
    }
    m_DeviceHolder.m_SetObject(pDevice);
    m_DeviceHolder.m_GetGate()->m_SetOpen(TRUE);
    TfDebugLog(7, "CUSBTransport::m_Init - OUT (Success)");
    return TRUE;
}

BOOLEAN CUSBTransport::m_DeInit()
{
    if (m_DeviceHolder.m_PeekObject() == NULL) {
        return TRUE;
    }
    TfDebugLog(7, "CUSBTransport::m_DeInit - IN");
    // Waits until no call uses the device; its destructor stops the receive.
    m_DeviceHolder.m_Detach(TRUE);
    m_bSpareIrpAllocated = FALSE;
    TfDebugLog(7, "CUSBTransport::m_DeInit - OUT (Success)");
    return TRUE;
}

BOOLEAN CUSBTransport::m_Connect()
{
    TfDebugLog(7, "CUSBTransport::m_Connect - IN");
    CUsbDevice* pDevice = m_AcquireDevice();
    if (pDevice == NULL) {
        TfDebugLog(7, "CUSBTransport::m_Connect - OUT - Fail-> no device");
        return FALSE;
    }
    m_bSpareIrpAllocated = pDevice->m_GetTransport()->m_AllocateBulkIrp();
    m_ReleaseDevice();
    TfDebugLog(7, m_bSpareIrpAllocated ? "CUSBTransport::m_Connect - OUT (Success)"
                                       : "CUSBTransport::m_Connect - OUT - Fail-> spare IRP");
    return m_bSpareIrpAllocated;
}

BOOLEAN CUSBTransport::m_Disconnect()
{
    TfDebugLog(7, "CUSBTransport::m_Disconnect - IN");
    CUsbDevice* pDevice = m_AcquireDevice();
    if (pDevice != NULL) {
        pDevice->m_StopRead();
        pDevice->m_GetTransport()->m_FreeBulkIrp();
        m_ReleaseDevice();
    }
    m_bSpareIrpAllocated = FALSE;
    m_ulBulkInInterval = 0;
    m_ulCallbackTime = 0;
    m_bBulkInSeen = FALSE;
    TfDebugLog(7, "m_Disconnect....\n");
    TfDebugLog(7, "CUSBTransport::m_Disconnect - OUT (Success)");
    return TRUE;
}

// ---- Writes and settings ------------------------------------------------------------------------------

BOOLEAN CUSBTransport::m_Write(CTfBuffer* pBuffer, PULONG pulWritten, UCHAR ucEndpoint)
{
    TfDebugLog(7, "CUSBTransport::m_Write - IN");
    *pulWritten = 0;
    if (pBuffer == NULL || pBuffer->m_IsEmpty()) {
        TfDebugLog(7, "CUSBTransport::m_Write - OUT - Fail-> no data");
        return FALSE;
    }
    CUsbDevice* pDevice = m_AcquireDevice();
    if (pDevice == NULL) {
        TfDebugLog(7, "CUSBTransport::m_Write - OUT - Fail-> no device");
        return FALSE;
    }
    UCHAR ucHandle = ucEndpoint == CV_TRANSPORT_DEFAULT_ENDPOINT ? m_ucWriteHandle : ucEndpoint;
    KeWaitForSingleObject(&m_TransportMutex, Executive, KernelMode, FALSE, NULL);
    BOOLEAN bResult = pDevice->m_Write(pBuffer, ucHandle, pulWritten);
    KeReleaseMutex(&m_TransportMutex, FALSE);
    m_ReleaseDevice();
    bResult = bResult && *pulWritten == pBuffer->m_GetLength();
    TfDebugLog(7, bResult ? "CUSBTransport::m_Write - OUT (Success)" : "CUSBTransport::m_Write - OUT - Fail-> %u of %u",
               *pulWritten, pBuffer->m_GetLength());
    return bResult;
}

void CUSBTransport::m_CancelWrite()
{
    CUsbDevice* pDevice = m_AcquireDevice();
    if (pDevice != NULL) {
        pDevice->m_GetTransport()->m_CancelSendData();
        m_ReleaseDevice();
    }
}

void CUSBTransport::m_StopWrites(BOOLEAN bStop)
{
    CUsbDevice* pDevice = m_AcquireDevice();
    if (pDevice != NULL) {
        pDevice->m_GetTransport()->m_StopSendData(bStop);
        m_ReleaseDevice();
    }
}

ULONG CUSBTransport::m_GetPortResetCount()
{
    CUsbDevice* pDevice = m_AcquireDevice();
    if (pDevice == NULL) {
        return 0;
    }
    ULONG ulResets = pDevice->m_GetTransport()->m_GetPortResetCount();
    m_ReleaseDevice();
    return ulResets;
}

BOOLEAN CUSBTransport::m_WriteSettings(UCHAR ucRequest, USHORT usValue, USHORT usIndex)
{
    TfDebugLog(7, "Write VendorRequestOUT - Interface:0x%X, Request:0x%X, wValue:0x%X, uIndex:0x%X", m_usPortIndex,
               ucRequest, usValue, usIndex);
    CUsbDevice* pDevice = m_AcquireDevice();
    if (pDevice == NULL) {
        TfDebugLog(7, "CUSBTransport::m_WriteSettings - OUT - Fail-> no device");
        return FALSE;
    }
    BOOLEAN bResult = pDevice->m_VendorInterfaceRequestOUT(ucRequest, usValue, usIndex, NULL);
    m_ReleaseDevice();
    return bResult;
}

BOOLEAN CUSBTransport::m_ReadSettings(UCHAR ucRequest, CTfBuffer* pBuffer)
{
    TfDebugLog(7, "Read VendorRequestIN - Interface:0x%X, Request:0x%X, wValue:0x00, uIndex:0x00", m_usPortIndex,
               ucRequest);
    CUsbDevice* pDevice = m_AcquireDevice();
    if (pDevice == NULL) {
        TfDebugLog(7, "CUSBTransport::m_ReadSettings - OUT - Fail-> no device");
        return FALSE;
    }
    BOOLEAN bResult = pDevice->m_VendorInterfaceRequestIN(ucRequest, 0, m_usPortIndex, pBuffer);
    m_ReleaseDevice();
    return bResult;
}

// ---- Receive ------------------------------------------------------------------------------------------

BOOLEAN CUSBTransport::m_ReadStart(ULONG ulSize)
{
    CUsbDevice* pDevice = m_AcquireDevice();
    if (pDevice == NULL) {
        return FALSE;
    }
    BOOLEAN bResult = pDevice->m_StartRead(m_ucReadHandle, ulSize);
    m_ReleaseDevice();
    return bResult;
}

BOOLEAN CUSBTransport::m_ReadStop()
{
    return m_CallDevice(&CUsbDevice::m_StopRead);
}

BOOLEAN CUSBTransport::m_ReadEnable()
{
    return m_CallDevice(&CUsbDevice::m_EnableRead);
}

BOOLEAN CUSBTransport::m_ReadDisable()
{
    return m_CallDevice(&CUsbDevice::m_DisableRead);
}

BOOLEAN CUSBTransport::m_CallDevice(BOOLEAN (CUsbDevice::*pfnCall)())
{
    CUsbDevice* pDevice = m_AcquireDevice();
    if (pDevice == NULL) {
        return FALSE;
    }
    BOOLEAN bResult = (pDevice->*pfnCall)();
    m_ReleaseDevice();
    return bResult;
}

BOOLEAN CUSBTransport::m_SetInterruptPipeBufferSize(ULONG ulSize)
{
    CUsbDevice* pDevice = m_AcquireDevice();
    if (pDevice == NULL) {
        return FALSE;
    }
    pDevice->m_SetReadSize(ulSize);
    m_ReleaseDevice();
    return TRUE;
}

void CUSBTransport::sm_OnBulkIn(PVOID pContext, PVOID pData, ULONG ulLength)
{
    ((CUSBTransport*)pContext)->m_ReadInterruptPipeCallback(pData, ulLength);
}

void CUSBTransport::m_ReadInterruptPipeCallback(PVOID pData, ULONG ulLength)
{
    LONG lInterval = CTfDebugManager::sm_GetElapsedMicroseconds(&m_BulkInStamp);
    m_ulBulkInInterval = m_bBulkInSeen ? (ULONG)lInterval / 1000 : 0;
    m_bBulkInSeen = TRUE;
    if (m_pClient == NULL) {
        TF_ASSERT_AT();
        return;
    }
    if (m_pReceiveCallback == NULL) {
        TF_ASSERT_AT();
        return;
    }
    if (ulLength < 2) {
        // Not even the two status bytes: nothing for the port.
        return;
    }
    CTfBuffer* pBuffer = new (NonPagedPool) CTfBuffer();
    if (pBuffer == NULL || !pBuffer->m_Assign(pData, ulLength)) {
        if (pBuffer != NULL) {
            pBuffer->m_Delete();
        }
        TfDebugLog(7, "CUSBTransport::m_ReadInterruptPipeCallback - no memory for %u bytes", ulLength);
        return;
    }
    LARGE_INTEGER Stamp;
    Stamp.QuadPart = 0;
    CTfDebugManager::sm_GetElapsedMicroseconds(&Stamp);
    m_pReceiveCallback(m_pClient, pBuffer);
    m_ulCallbackTime = (ULONG)CTfDebugManager::sm_GetElapsedMicroseconds(&Stamp);
}
