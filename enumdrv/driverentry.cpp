// Enumdrv's entry point: the tools library and the framework, the debug manager "Enumdrv39", and
// the driver description record through which the framework creates a bus device (and its
// parameter set) for each adapter.
#include <wdm.h>

#include "cvusbsam.h"
#include "enumdrvparameters.h"
#include "tfdebug.h"
#include "tfdebugmanager.h"
#include "tfdriver.h"
#include "tfmemorytracker.h"
#include "tfusermodeinterface.h"
#include "tfusermodeinterfacecodes.h"

#define ENUMDRV_NAME u"Enumdrv39"
#define ENUMDRV_IMAGE_NAME u"Enumdrv39.sys"

namespace {

// The framework's create callback: one bus device per functional device.
BOOLEAN EnumdrvCreateObject(CTfDeviceCallbacks* pCallbacks, PTF_ADD_DEVICE_FUNCTION* ppAddDeviceFunction,
                            CTfObject** ppObject)
{
    TfDebugLog(7, "EnumdrvCreateObject - IN");
    UNREFERENCED_PARAMETER(pCallbacks);
    CCvUsbSamDriver* pBus = new (NonPagedPool) CCvUsbSamDriver();
    if (pBus == NULL) {
        TfDebugLog(7, "EnumdrvCreateObject - OUT - Fail-> no memory");
        return FALSE;
    }
    *ppAddDeviceFunction = CCvUsbSamDriver::sm_AddDevice;
    *ppObject = pBus;
    TfDebugLog(7, "EnumdrvCreateObject - OUT (Success)");
    return TRUE;
}

void EnumdrvDeleteObject(CTfObject* pObject)
{
    TfDebugLog(7, "EnumdrvDeleteObject - IN");
    delete pObject;
    TfDebugLog(7, "EnumdrvDeleteObject - OUT (Success)");
}

void EnumdrvReleaseLibraries()
{
    CTfDebugManager* pManager = g_pTfDebugManager;
    g_pTfDebugManager = NULL;
    if (pManager != NULL) {
        delete pManager;
    }
    TfFrameworkRelease();
    TfLibraryRelease();
}

// Called once the framework's driver object is gone.
void EnumdrvUnload(void)
{
    TfDebugLog(7, "EnumdrvUnload - IN");
    EnumdrvReleaseLibraries();
}

// The configuration interface's set: the bus parameters under the bus interface class.
BOOLEAN EnumdrvCreateParameterSet(TfUserModeInterface* pInterface)
{
    TfDebugLog(7, "EnumdrvCreateParameterSet - IN");
    CEnumdrvParameterInformationSet* pSet = new (NonPagedPool) CEnumdrvParameterInformationSet();
    if (pSet == NULL || !pSet->m_IsConstructed()) {
        delete pSet;
        TfDebugLog(7, "EnumdrvCreateParameterSet - OUT - Fail-> set");
        return FALSE;
    }
    pInterface->m_SetInterfaceGuid(TF_BUS_INTERFACE_GUID_WORDS);
    pInterface->m_SetInformationSet(pSet);
    TfDebugLog(7, "EnumdrvCreateParameterSet - OUT (Success)");
    return TRUE;
}

void EnumdrvNoOperation(void)
{
}

// The last component of the registry path: the service key's name.
NTSTATUS EnumdrvServiceKeyName(PUNICODE_STRING pRegistryPath, CTfString* pName)
{
    if (pRegistryPath == NULL || pRegistryPath->Buffer == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    USHORT usChars = pRegistryPath->Length / sizeof(WCHAR);
    USHORT usStart = usChars;
    while (usStart > 0 && pRegistryPath->Buffer[usStart - 1] != u'\\') {
        --usStart;
    }
    UNICODE_STRING Last;
    Last.Buffer = pRegistryPath->Buffer + usStart;
    Last.Length = Last.MaximumLength = (USHORT)((usChars - usStart) * sizeof(WCHAR));
    return pName->m_AssignUnicodeString(&Last);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    if (!TfLibraryAddReference()) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!TfFrameworkAddReference()) {
        TfLibraryRelease();
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    {
        CTfString ServiceKeyName(NonPagedPool);
        CTfString Name(NonPagedPool, ENUMDRV_NAME);
        CTfString RegistryPath(NonPagedPool);
        if (EnumdrvServiceKeyName(pRegistryPath, &ServiceKeyName) == STATUS_SUCCESS &&
            Name.m_GetStatus() == STATUS_SUCCESS &&
            RegistryPath.m_AssignUnicodeString(pRegistryPath) == STATUS_SUCCESS) {
            BOOLEAN bOk = FALSE;
            ULONG ulLogLevel = 0;
            CTfDebugManager* pManager =
                new (NonPagedPool) CTfDebugManager(pDriverObject, Name, RegistryPath, &bOk, &ulLogLevel);
            if (pManager != NULL && !bOk) {
                delete pManager;
                pManager = NULL;
            }
            if (pManager != NULL) {
                g_pTfDebugManager = pManager;
                Status = STATUS_SUCCESS;
                TfDebugLog(7, "Enumdrv DriverEntry - IN - service %s", ServiceKeyName.m_GetAnsiBuffer());
            }
        }
    }
    if (Status == STATUS_SUCCESS) {
        CTfDriverDescription Description;
        RtlZeroMemory(&Description, sizeof(Description));
        Description.pDriverObject = pDriverObject;
        Description.pRegistryPath = pRegistryPath;
        Description.pszServiceName = ENUMDRV_NAME;
        Description.pszImageName = ENUMDRV_IMAGE_NAME;
        Description.pCreateCallback = EnumdrvCreateObject;
        Description.pDeleteCallback = EnumdrvDeleteObject;
        Description.pUnloadCallback = EnumdrvUnload;
        Description.pDeviceAddedCallback = EnumdrvCreateParameterSet;
        Description.pRemovalCallback = EnumdrvNoOperation;
        Status = CTfDriver::sm_CreateDriver(&Description) == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    if (Status != STATUS_SUCCESS) {
        TfDebugLog(7, "Enumdrv DriverEntry - OUT - Fail-> 0x%08X", (ULONG)Status);
        // No unload follows a failed entry: nothing stays allocated.
        EnumdrvReleaseLibraries();
        return STATUS_UNSUCCESSFUL;
    }
    TfDebugLog(7, "Enumdrv DriverEntry - OUT (Success)");
    return STATUS_SUCCESS;
}
