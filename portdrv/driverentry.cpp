// Portdrv's entry point: the tools library and the framework, the debug manager "Portdrv39", and
// the driver description record through which the framework creates a COM port device (and its
// parameter set) on each port child of the bus driver.
#include <wdm.h>

#include "cvvcpdriver.h"
#include "tfdebug.h"
#include "tfdebugmanager.h"
#include "tfdriver.h"
#include "tfmemorytracker.h"
#include "tftrace.h"
#include "tfusermodeinterface.h"
#include "tfusermodeinterfacecodes.h"

#define PORTDRV_NAME u"Portdrv39"
#define PORTDRV_IMAGE_NAME u"Portdrv39.sys"

namespace {

PDRIVER_OBJECT g_pPortdrvDriverObject = NULL;
BOOLEAN g_bTracing = FALSE;

BOOLEAN SpecificDriverCreation(CTfDeviceCallbacks* pCallbacks, PTF_ADD_DEVICE_FUNCTION* ppAddDevice,
                               CTfObject** ppObject)
{
    UNREFERENCED_PARAMETER(pCallbacks);
    CCvUVCPDriver* pDriver = new (NonPagedPool) CCvUVCPDriver(ppAddDevice);
    if (pDriver == NULL) {
        return FALSE;
    }
    *ppObject = pDriver;
    return TRUE;
}

void SpecificDriverDeletion(CTfObject* pObject)
{
    delete pObject;
}

void ReleaseLibraries()
{
    CTfDebugManager* pManager = g_pTfDebugManager;
    g_pTfDebugManager = NULL;
    if (pManager != NULL) {
        delete pManager;
    }
    if (g_bTracing) {
        TfTraceCleanup(g_pPortdrvDriverObject);
        g_bTracing = FALSE;
    }
    TfFrameworkRelease();
    TfLibraryRelease();
}

void DriverUnloadCleanUp(void)
{
    ReleaseLibraries();
}

BOOLEAN CreateUserModeInformationSet(TfUserModeInterface* pInterface)
{
    CCvUVcpUserModeInterface* pSet = new (NonPagedPool) CCvUVcpUserModeInterface();
    if (pSet == NULL || !pSet->m_IsConstructed()) {
        delete pSet;
        return FALSE;
    }
    pInterface->m_SetInterfaceGuid(TF_PORT_INTERFACE_GUID_WORDS);
    pInterface->m_SetInformationSet(pSet);
    return TRUE;
}

void NoOperation(void)
{
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
    g_pPortdrvDriverObject = pDriverObject;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    {
        CTfString Name(NonPagedPool, PORTDRV_NAME);
        CTfString RegistryPath(NonPagedPool);
        if (Name.m_GetStatus() == STATUS_SUCCESS && RegistryPath.m_AssignUnicodeString(pRegistryPath) == STATUS_SUCCESS) {
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
            }
        }
    }
    if (Status == STATUS_SUCCESS) {
        if (IoIsWdmVersionAvailable(1, 0x20)) {
            TfTraceInitialize(pDriverObject, pRegistryPath);
            g_bTracing = TRUE;
        }
        CTfDriverDescription Description;
        RtlZeroMemory(&Description, sizeof(Description));
        Description.pDriverObject = pDriverObject;
        Description.pRegistryPath = pRegistryPath;
        Description.pszServiceName = PORTDRV_NAME;
        Description.pszImageName = PORTDRV_IMAGE_NAME;
        Description.pCreateCallback = SpecificDriverCreation;
        Description.pDeleteCallback = SpecificDriverDeletion;
        Description.pUnloadCallback = DriverUnloadCleanUp;
        Description.pDeviceAddedCallback = CreateUserModeInformationSet;
        Description.pRemovalCallback = NoOperation;
        Status = CTfDriver::sm_CreateDriver(&Description) == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    if (Status != STATUS_SUCCESS) {
        ReleaseLibraries();
        return STATUS_UNSUCCESSFUL;
    }
    TfDebugLog(7, "Portdrv DriverEntry - OUT (Success)");
    return STATUS_SUCCESS;
}
