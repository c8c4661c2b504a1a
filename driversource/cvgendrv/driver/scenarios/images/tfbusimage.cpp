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

// One WMI data block: 8 bytes, one instance, readable and settable.
// {5A8E2F41-7C3B-4D19-9E62-1B0F4A7D8C35}
static const GUID s_TfBusWmiGuid = {0x5A8E2F41, 0x7C3B, 0x4D19, {0x9E, 0x62, 0x1B, 0x0F, 0x4A, 0x7D, 0x8C, 0x35}};
#define TFBUS_WMI_BLOCK_SIZE 8

static TF_WMI_GUID_RECORD s_aTfBusWmiRecords[1] = {
    {&s_TfBusWmiGuid, 1, 0, TFBUS_WMI_BLOCK_SIZE, 0, 1, 0},
};

// The block's contents; the image serves one bus device.
static const UCHAR s_aucTfBusWmiInitial[TFBUS_WMI_BLOCK_SIZE] = {0x54, 0x46, 0x42, 0x55, 0x53, 0x01, 0x02, 0x03};
static UCHAR s_aucTfBusWmiBlock[TFBUS_WMI_BLOCK_SIZE];

static BOOLEAN TfBusWmiQueryData(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, PUCHAR pucBuffer)
{
    TfDebugLog(7, "TfBusWmiQueryData - IN");
    TfTestRecord("22 dev%u guid=%u inst=%u", static_cast<CTfTestDevice*>(pObject)->m_GetSerial(), ulGuidIndex,
                 ulInstance);
    if (ulGuidIndex != 0 || ulInstance != 0 || pucBuffer == NULL) {
        TfDebugLog(7, "TfBusWmiQueryData - OUT - Fail-> no such block");
        return FALSE;
    }
    RtlCopyMemory(pucBuffer, s_aucTfBusWmiBlock, TFBUS_WMI_BLOCK_SIZE);
    TfDebugLog(7, "TfBusWmiQueryData - OUT (Success)");
    return TRUE;
}

static BOOLEAN TfBusWmiSetDataBlock(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulSize,
                                    PUCHAR pucBuffer)
{
    TfDebugLog(7, "TfBusWmiSetDataBlock - IN");
    if (ulGuidIndex != 0 || ulInstance != 0 || pucBuffer == NULL) {
        TfDebugLog(7, "TfBusWmiSetDataBlock - OUT - Fail-> no such block");
        return FALSE;
    }
    RtlCopyMemory(s_aucTfBusWmiBlock, pucBuffer, TFBUS_WMI_BLOCK_SIZE);
    TfTestRecord("23 dev%u guid=%u inst=%u size=%u data=%02x%02x%02x%02x%02x%02x%02x%02x",
                 static_cast<CTfTestDevice*>(pObject)->m_GetSerial(), ulGuidIndex, ulInstance, ulSize,
                 pucBuffer[0], pucBuffer[1], pucBuffer[2], pucBuffer[3], pucBuffer[4], pucBuffer[5], pucBuffer[6],
                 pucBuffer[7]);
    TfDebugLog(7, "TfBusWmiSetDataBlock - OUT (Success)");
    return TRUE;
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
    // Each new bus device starts from the initial contents, whatever an earlier one was set to.
    RtlCopyMemory(s_aucTfBusWmiBlock, s_aucTfBusWmiInitial, TFBUS_WMI_BLOCK_SIZE);
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
    pCallbacks->m_ulWmiGuidCount = 1;
    pCallbacks->m_pWmiGuidList = s_aTfBusWmiRecords;
    pCallbacks->m_WmiQueryData = TfBusWmiQueryData;
    pCallbacks->m_WmiSetDataBlock = TfBusWmiSetDataBlock;
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
