// Tfbus: the bus personality of the framework's test driver. The framework builds the children
// from the hardware key ("Child<i>" subkeys); this driver records its callbacks, answers its
// private control codes and serves a small bus-side set through the configuration interface.
#include <wdm.h>

#include "tfdebug.h"
#include "tfregistryinformationset.h"
#include "tftestdriver.h"
#include "tfusermodeinterface.h"

class CTfBusSet : public CTfRegistryInformationSet {
public:
    CTfBusSet() : m_ulSpeed(0), m_Name(NonPagedPool) {}
    virtual ~CTfBusSet() {}

    BOOLEAN m_Init()
    {
        return m_AddDwordEntry(TFTEST_BUS_SET_NUMBER, &m_ulSpeed, TFTEST_BUS_SET_NUMBER_DEFAULT, NULL) &&
               m_AddStringEntry(TFTEST_BUS_SET_STRING, &m_Name, TFTEST_BUS_SET_STRING_DEFAULT, NULL);
    }

private:
    ULONG m_ulSpeed;
    CTfString m_Name;
};

static void TfBusCleanupRecord(CTfObject* pObject)
{
    TfTestRecord("4 dev%u", pObject != NULL ? static_cast<CTfTestDevice*>(pObject)->m_GetSerial() : 0);
}

static BOOLEAN TfBusCleanup(CTfObject* pObject)
{
    TfBusCleanupRecord(pObject);
    return TRUE;
}

static void TfBusChildWrite(CTfObject* pObject, ULONG ulLeadingValue, CTfBuffer* pBuffer)
{
    TfTestRecord("9 dev%u lead=%u len=%u", static_cast<CTfTestDevice*>(pObject)->m_GetSerial(), ulLeadingValue,
                 pBuffer != NULL ? pBuffer->m_GetLength() : 0);
    if (pBuffer != NULL) {
        pBuffer->m_Delete();
    }
}

static NTSTATUS TfBusInternalControl(CTfObject* pObject, ULONG ulIoControlCode, PVOID pInputBuffer,
                                     ULONG ulInputLength, PVOID pOutputBuffer, ULONG ulOutputLength,
                                     PULONG_PTR pulInformation)
{
    TfDebugLog(7, "TfBusInternalControl - IN");
    TfTestRecord("11 dev%u code=0x%08x in=%u out=%u", static_cast<CTfTestDevice*>(pObject)->m_GetSerial(),
                 ulIoControlCode, ulInputLength, ulOutputLength);
    (void)pInputBuffer;
    *pulInformation = 0;
    if (ulIoControlCode != TFTEST_IOCTL_INTERNAL_QUERY) {
        TfDebugLog(7, "TfBusInternalControl - OUT - Fail-> code %08x", ulIoControlCode);
        return STATUS_NOT_SUPPORTED;
    }
    if (pOutputBuffer == NULL || ulOutputLength < sizeof(ULONG)) {
        TfDebugLog(7, "TfBusInternalControl - OUT - Fail-> output too small");
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG ulAnswer = TFTEST_INTERNAL_ANSWER;
    RtlCopyMemory(pOutputBuffer, &ulAnswer, sizeof(ULONG));
    *pulInformation = sizeof(ULONG);
    TfDebugLog(7, "TfBusInternalControl - OUT (Success)");
    return STATUS_SUCCESS;
}

static NTSTATUS TfBusDeviceControl(CTfObject* pObject, ULONG ulIoControlCode, PVOID pInputBuffer,
                                   ULONG ulInputLength, PVOID pOutputBuffer, ULONG ulOutputLength,
                                   PULONG_PTR pulInformation)
{
    TfTestRecord("13 dev%u code=0x%08x in=%u out=%u", static_cast<CTfTestDevice*>(pObject)->m_GetSerial(),
                 ulIoControlCode, ulInputLength, ulOutputLength);
    return TfTestCommonControl(ulIoControlCode, pInputBuffer, ulInputLength, pOutputBuffer, ulOutputLength,
                               pulInformation);
}

static BOOLEAN TfBusCreateObject(CTfDeviceCallbacks* pCallbacks, PTF_ADD_DEVICE_FUNCTION* ppAddDeviceFunction,
                                 CTfObject** ppObject)
{
    TfDebugLog(7, "TfBusCreateObject - IN");
    CTfTestDevice* pDevice = new (NonPagedPool) CTfTestDevice();
    if (pDevice == NULL) {
        TfDebugLog(7, "TfBusCreateObject - OUT - Fail-> no memory");
        return FALSE;
    }
    TfTestRecord("object dev%u", pDevice->m_GetSerial());
    *ppAddDeviceFunction = TfTestAddDevice;
    pCallbacks->m_CreateCallback = TfTestCreate;
    pCallbacks->m_CloseCallback = TfTestClose;
    pCallbacks->m_CleanupCallback = TfBusCleanup;
    pCallbacks->m_PnpStartDeviceCallback = TfTestPnpStart;
    pCallbacks->m_PnpRemoveDevice = TfTestPnpRemove;
    pCallbacks->m_RebalanceDeviceCallback = TfTestRebalance;
    pCallbacks->m_ChildWriteCallback = TfBusChildWrite;
    pCallbacks->m_InternalDeviceControlCallback = TfBusInternalControl;
    pCallbacks->m_DeviceControlCallback = TfBusDeviceControl;
    pCallbacks->m_PowerDownResetDeviceFunction = TfTestPowerDown;
    pCallbacks->m_PowerUpInitDeviceFunction = TfTestPowerUp;
    pCallbacks->m_UserModeInterface = TfTestUserModeInterface;
    CTfTestDevice::sm_pNewest = pDevice;
    *ppObject = pDevice;
    TfDebugLog(7, "TfBusCreateObject - OUT (Success)");
    return TRUE;
}

static BOOLEAN TfBusDeviceAdded(TfUserModeInterface* pInterface)
{
    TfDebugLog(7, "TfBusDeviceAdded - IN");
    CTfBusSet* pSet = new (NonPagedPool) CTfBusSet();
    if (pSet == NULL || !pSet->m_IsValid() || !pSet->m_Init()) {
        delete pSet;
        TfDebugLog(7, "TfBusDeviceAdded - OUT - Fail-> set");
        return FALSE;
    }
    pInterface->m_SetInformationSet(pSet);
    pInterface->m_SetInterfaceGuid(TF_BUS_INTERFACE_GUID_WORDS);
    TfTestRecord("added dev%u", CTfTestDevice::sm_pNewest != NULL ? CTfTestDevice::sm_pNewest->m_GetSerial() : 0);
    TfDebugLog(7, "TfBusDeviceAdded - OUT (Success)");
    return TRUE;
}

static void TfBusRemoval(void)
{
    TfTestRecord("removal");
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    CTfDriverDescription Description;
    RtlZeroMemory(&Description, sizeof(Description));
    Description.pszServiceName = u"Tfbus";
    Description.pszImageName = u"Tfbus.sys";
    Description.pCreateCallback = TfBusCreateObject;
    Description.pDeleteCallback = TfTestDeleteObject;
    Description.pDeviceAddedCallback = TfBusDeviceAdded;
    Description.pRemovalCallback = TfBusRemoval;
    return TfTestDriverEntry(pDriverObject, pRegistryPath, &Description);
}
