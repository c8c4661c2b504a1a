// Tffunc: the function personality of the framework's test driver, loaded on Tfbus's children.
// It records its callbacks, keeps its read, write and wait-on-mask queues in use the way a serial
// port does (reads wait for data the test puts in; writes are handed to entry 10 and completed by
// the credit the test confirms; WAIT_ON_MASK waits for events the test sets) and serves a set of
// a few numbers through the configuration interface.
#include <wdm.h>
#include <ntddser.h>

#include "tfcontrolqueue.h"
#include "tfdebug.h"
#include "tfreadqueue.h"
#include "tfregistryinformationset.h"
#include "tftestdriver.h"
#include "tfusermodeinterface.h"
#include "tfwritequeue.h"

class CTfFuncSet : public CTfRegistryInformationSet {
public:
    CTfFuncSet() : m_ulBaudrate(0), m_ulDataBits(0), m_ulFlags(0) {}
    virtual ~CTfFuncSet() {}

    BOOLEAN m_Init()
    {
        return m_AddDwordEntry(TFTEST_FUNC_SET_BAUD, &m_ulBaudrate, TFTEST_FUNC_SET_BAUD_DEFAULT, NULL) &&
               m_AddDwordEntry(TFTEST_FUNC_SET_DATA_BITS, &m_ulDataBits, TFTEST_FUNC_SET_DATA_BITS_DEFAULT, NULL) &&
               m_AddDwordEntry(TFTEST_FUNC_SET_FLAGS, &m_ulFlags, TFTEST_FUNC_SET_FLAGS_DEFAULT, NULL);
    }

private:
    ULONG m_ulBaudrate;
    ULONG m_ulDataBits;
    ULONG m_ulFlags;
};

static ULONG TfFuncSerial(CTfObject* pObject)
{
    return static_cast<CTfTestDevice*>(pObject)->m_GetSerial();
}

// TFTEST_IOCTL_HOLD_NEXT_BLOCK: armed by the request, released by the removal once it has purged.
static volatile LONG g_lTfFuncHoldArmed = 0;
static KEVENT g_TfFuncHoldReleased;

// Write-queue hook: holds the request the block builder is about to put back into a queue.
static void TfFuncHoldBlock(PVOID pContext, ULONG ulPoint, PIRP pIrp)
{
    if (ulPoint != TF_WQ_OUTSIDE_CHECKED || InterlockedExchange(&g_lTfFuncHoldArmed, 0) == 0) {
        return;
    }
    TfTestRecord("hold dev%u len=%u", TfFuncSerial((CTfObject*)pContext),
                 IoGetCurrentIrpStackLocation(pIrp)->Parameters.Write.Length);
    LARGE_INTEGER Limit;
    Limit.QuadPart = -(LONGLONG)TFTEST_FUNC_HOLD_LIMIT_MS * 10000;
    KeWaitForSingleObject(&g_TfFuncHoldReleased, Executive, KernelMode, FALSE, &Limit);
}

static CTfFunctionalDevice* TfFuncDevice(CTfObject* pObject)
{
    return static_cast<CTfTestDevice*>(pObject)->m_GetDevice();
}

static BOOLEAN TfFuncCreate(CTfObject* pObject)
{
    TfDebugLog(7, "TfFuncCreate - IN");
    TfTestCreate(pObject);
    CTfFunctionalDevice* pDevice = TfFuncDevice(pObject);
    if (pDevice != NULL) {
        pDevice->m_GetReadQueue()->m_SetAccept(TRUE);
        // The open's first report is the transmit credit.
        pDevice->m_GetWriteQueue()->m_DataWritten(TFTEST_FUNC_INITIAL_CREDIT);
    }
    TfDebugLog(7, "TfFuncCreate - OUT (Success)");
    return TRUE;
}

static BOOLEAN TfFuncCleanup(CTfObject* pObject)
{
    TfDebugLog(7, "TfFuncCleanup - IN");
    TfTestRecord("4 dev%u", TfFuncSerial(pObject));
    CTfFunctionalDevice* pDevice = TfFuncDevice(pObject);
    if (pDevice != NULL) {
        // As a serial port does at the last handle's cleanup: nothing of the handle stays queued.
        pDevice->m_GetReadQueue()->m_SetAccept(FALSE);
        pDevice->m_GetReadQueue()->m_CancelAllIrps();
        pDevice->m_GetControlQueue()->m_CancelMaskIrps();
        pDevice->m_GetWriteQueue()->m_CancelAllIrps(TRUE);
    }
    TfDebugLog(7, "TfFuncCleanup - OUT (Success)");
    return TRUE;
}

// Removal (surprise or orderly): the device is gone, so nothing may stay queued waiting for it.
static void TfFuncPnpRemove(CTfObject* pObject)
{
    TfDebugLog(7, "TfFuncPnpRemove - IN");
    TfTestPnpRemove(pObject);
    CTfFunctionalDevice* pDevice = TfFuncDevice(pObject);
    if (pDevice != NULL) {
        pDevice->m_GetReadQueue()->m_SetAccept(FALSE, STATUS_DELETE_PENDING);
        pDevice->m_GetWriteQueue()->m_SetAccept(FALSE, STATUS_DELETE_PENDING);
        pDevice->m_GetReadQueue()->m_CancelAllIrps();
        pDevice->m_GetControlQueue()->m_CancelMaskIrps();
        pDevice->m_GetWriteQueue()->m_CancelAllIrps(TRUE);
        // A write held out of the queue goes on only now, after the purge.
        pDevice->m_GetWriteQueue()->m_SetOutsideHook(NULL, NULL);
        KeSetEvent(&g_TfFuncHoldReleased, IO_NO_INCREMENT, FALSE);
    }
    TfDebugLog(7, "TfFuncPnpRemove - OUT (Success)");
}

static BOOLEAN TfFuncWrite(CTfObject* pObject, CTfBuffer* pBuffer)
{
    TfTestRecord("10 dev%u len=%u", TfFuncSerial(pObject), pBuffer != NULL ? pBuffer->m_GetLength() : 0);
    if (pBuffer != NULL) {
        pBuffer->m_Delete();
    }
    return TRUE;
}

static NTSTATUS TfFuncDeviceControl(CTfObject* pObject, ULONG ulIoControlCode, PVOID pInputBuffer,
                                    ULONG ulInputLength, PVOID pOutputBuffer, ULONG ulOutputLength,
                                    PULONG_PTR pulInformation, CTfControlQueue** ppQueue)
{
    TfDebugLog(7, "TfFuncDeviceControl - IN");
    TfTestRecord("14 dev%u code=0x%08x in=%u out=%u", TfFuncSerial(pObject), ulIoControlCode, ulInputLength,
                 ulOutputLength);
    *pulInformation = 0;
    CTfFunctionalDevice* pDevice = TfFuncDevice(pObject);
    if (pDevice == NULL) {
        TfDebugLog(7, "TfFuncDeviceControl - OUT - Fail-> no device");
        return STATUS_DEVICE_REMOVED;
    }
    ULONG ulValue = 0;
    BOOLEAN bHasValue = pInputBuffer != NULL && ulInputLength >= sizeof(ULONG);
    if (bHasValue) {
        RtlCopyMemory(&ulValue, pInputBuffer, sizeof(ULONG));
    }
    NTSTATUS Status = STATUS_SUCCESS;
    switch (ulIoControlCode) {
    case IOCTL_SERIAL_SET_WAIT_MASK:
        if (!bHasValue) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        pDevice->m_GetControlQueue()->m_SetWaitMask(ulValue);
        break;
    case IOCTL_SERIAL_WAIT_ON_MASK:
        *ppQueue = pDevice->m_GetControlQueue();
        break;
    case TFTEST_IOCTL_SET_EVENTS:
        if (!bHasValue) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        pDevice->m_GetControlQueue()->m_SetCommEventsReceived(ulValue);
        pDevice->m_GetControlQueue()->m_ResolveCurrentEventMask(NULL);
        break;
    case TFTEST_IOCTL_PUT_READ_DATA: {
        if (pInputBuffer == NULL || ulInputLength == 0) {
            Status = STATUS_INVALID_PARAMETER;
            break;
        }
        CTfBuffer* pData = new (NonPagedPool) CTfBuffer();
        if (pData == NULL || !pData->m_Assign(pInputBuffer, ulInputLength)) {
            if (pData != NULL) {
                pData->m_Delete();
            }
            Status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        pDevice->m_GetReadQueue()->m_DataForPendingIrpArrived(pData);
        break;
    }
    case TFTEST_IOCTL_CONFIRM_WRITTEN:
        if (!bHasValue) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        pDevice->m_GetWriteQueue()->m_DataWritten(ulValue);
        break;
    case TFTEST_IOCTL_HOLD_NEXT_BLOCK:
        KeClearEvent(&g_TfFuncHoldReleased);
        InterlockedExchange(&g_lTfFuncHoldArmed, 1);
        pDevice->m_GetWriteQueue()->m_SetOutsideHook(TfFuncHoldBlock, pObject);
        break;
    case TFTEST_IOCTL_GET_LIVE_SET: {
        CTfRegistryInformationSet* pSet = pDevice->m_GetUserModeInterface()->m_GetInformationSet();
        ULONG ulSize = pSet != NULL ? pSet->GetSerialisedSize(0) : 0;
        if (pSet == NULL || pOutputBuffer == NULL || ulOutputLength < ulSize) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        if (!pSet->Serialise((PUCHAR)pOutputBuffer, ulSize, 0)) {
            Status = STATUS_UNSUCCESSFUL;
            break;
        }
        *pulInformation = ulSize;
        break;
    }
    default:
        Status = TfTestCommonControl(ulIoControlCode, pInputBuffer, ulInputLength, pOutputBuffer, ulOutputLength,
                                     pulInformation);
        break;
    }
    TfDebugLog(7, NT_SUCCESS(Status) ? "TfFuncDeviceControl - OUT (Success)" : "TfFuncDeviceControl - OUT - Fail-> status");
    return Status;
}

static BOOLEAN TfFuncCreateObject(CTfDeviceCallbacks* pCallbacks, PTF_ADD_DEVICE_FUNCTION* ppAddDeviceFunction,
                                  CTfObject** ppObject)
{
    TfDebugLog(7, "TfFuncCreateObject - IN");
    CTfTestDevice* pDevice = new (NonPagedPool) CTfTestDevice();
    if (pDevice == NULL) {
        TfDebugLog(7, "TfFuncCreateObject - OUT - Fail-> no memory");
        return FALSE;
    }
    TfTestRecord("object dev%u", pDevice->m_GetSerial());
    *ppAddDeviceFunction = TfTestAddDevice;
    pCallbacks->m_CreateCallback = TfFuncCreate;
    pCallbacks->m_CloseCallback = TfTestClose;
    pCallbacks->m_CleanupCallback = TfFuncCleanup;
    pCallbacks->m_PnpStartDeviceCallback = TfTestPnpStart;
    pCallbacks->m_PnpRemoveDevice = TfFuncPnpRemove;
    pCallbacks->m_WriteCallback = TfFuncWrite;
    pCallbacks->m_DeviceControlQueueingCallback = TfFuncDeviceControl;
    pCallbacks->m_PowerDownResetDeviceFunction = TfTestPowerDown;
    pCallbacks->m_PowerUpInitDeviceFunction = TfTestPowerUp;
    pCallbacks->m_UserModeInterface = TfTestUserModeInterface;
    CTfTestDevice::sm_pNewest = pDevice;
    *ppObject = pDevice;
    TfDebugLog(7, "TfFuncCreateObject - OUT (Success)");
    return TRUE;
}

static BOOLEAN TfFuncDeviceAdded(TfUserModeInterface* pInterface)
{
    TfDebugLog(7, "TfFuncDeviceAdded - IN");
    CTfFuncSet* pSet = new (NonPagedPool) CTfFuncSet();
    if (pSet == NULL || !pSet->m_IsValid() || !pSet->m_Init()) {
        delete pSet;
        TfDebugLog(7, "TfFuncDeviceAdded - OUT - Fail-> set");
        return FALSE;
    }
    pInterface->m_SetInformationSet(pSet);
    pInterface->m_SetInterfaceGuid(TF_PORT_INTERFACE_GUID_WORDS);
    TfTestRecord("added dev%u", CTfTestDevice::sm_pNewest != NULL ? CTfTestDevice::sm_pNewest->m_GetSerial() : 0);
    TfDebugLog(7, "TfFuncDeviceAdded - OUT (Success)");
    return TRUE;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    CTfDriverDescription Description;
    RtlZeroMemory(&Description, sizeof(Description));
    Description.pszServiceName = u"Tffunc";
    Description.pszImageName = u"Tffunc.sys";
    Description.pCreateCallback = TfFuncCreateObject;
    Description.pDeleteCallback = TfTestDeleteObject;
    Description.pDeviceAddedCallback = TfFuncDeviceAdded;
    KeInitializeEvent(&g_TfFuncHoldReleased, NotificationEvent, FALSE);
    return TfTestDriverEntry(pDriverObject, pRegistryPath, &Description);
}
