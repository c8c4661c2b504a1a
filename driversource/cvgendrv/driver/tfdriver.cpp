// Driver object, entry points and the common request dispatch.
#include "tfdriver.h"

#include "tfdebugmanager.h"
#include "tffunctionaldevice.h"
#include "tfinterlocked.h"
#include "tfmemorytracker.h"
#include "tfphysicaldevice.h"
#include "tfrequest.h"
#include "tftrace.h"

// Image globals.
static CTfDriver* g_pTfDriver = NULL;
static volatile LONG g_lTfDriverCount = 0;
static volatile LONG g_lTfFrameworkReferences = 0;

CTfDriver* TfGetDriver(void)
{
    return g_pTfDriver;
}

LONG TfGetDriverCount(void)
{
    return TfInterlockedRead(&g_lTfDriverCount);
}

LONG TfFrameworkGetReferenceCount(void)
{
    return TfInterlockedRead(&g_lTfFrameworkReferences);
}

BOOLEAN TfFrameworkAddReference(void)
{
    CTfRoutineLog Log("TfFrameworkAddReference");
    LONG lCount = InterlockedIncrement(&g_lTfFrameworkReferences);
    if (lCount >= 2) {
        Log.m_Success();
        return TRUE;
    }
    if (!TfLibraryAddReference()) {
        // No library: the reference is not kept, so a later release cannot release it either.
        InterlockedDecrement(&g_lTfFrameworkReferences);
        Log.m_Fail("library reference");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

void TfFrameworkRelease(void)
{
    CTfRoutineLog Log("TfFrameworkRelease");
    if (TfInterlockedRead(&g_lTfFrameworkReferences) <= 0) {
        TF_ASSERT_AT();
        Log.m_Fail("no reference");
        return;
    }
    if (InterlockedDecrement(&g_lTfFrameworkReferences) == 0) {
        TfLibraryRelease();
    }
    Log.m_Success();
}

CTfDriver::CTfDriver()
    : m_ServiceName(NonPagedPool),
      m_ImageName(NonPagedPool),
      m_pCreateCallback(NULL),
      m_pDeleteCallback(NULL),
      m_pUnloadCallback(NULL),
      m_pDeviceAddedCallback(NULL),
      m_pRemovalCallback(NULL),
      m_ulDeviceCounter(0)
{
    CTfRoutineLog Log("CTfDriver::CTfDriver");
    m_DeviceList.m_Init(NonPagedPool);
    Log.m_Success();
}

CTfDriver::~CTfDriver()
{
    CTfRoutineLog Log("CTfDriver::~CTfDriver");
    m_ServiceName.m_Free();
    m_ImageName.m_Free();
    m_DeviceList.m_FreeNodes();
    m_RegistryPath.m_Free();
    Log.m_Success();
}

CTfDriver* CTfDriver::sm_FromDriverObject(PDRIVER_OBJECT pDriverObject)
{
    if (pDriverObject == NULL) {
        return NULL;
    }
    return (CTfDriver*)(ULONG_PTR)pDriverObject->DriverStartIo;
}

CTfDevice* CTfDriver::sm_PeekDevice(PDEVICE_OBJECT pDeviceObject)
{
    CTfObjectHolder* pHolder = CTfDevice::sm_GetExtensionHolder(pDeviceObject);
    if (pHolder == NULL) {
        return NULL;
    }
    return static_cast<CTfDevice*>(pHolder->m_PeekObject());
}

NTSTATUS CTfDriver::sm_CreateDriver(CTfDriverDescription* pDescription)
{
    CTfRoutineLog Log("CTfDriver::sm_CreateDriver");
    if (pDescription == NULL || pDescription->pDriverObject == NULL) {
        Log.m_Fail("no description");
        return STATUS_INVALID_PARAMETER;
    }
    if (IoIsWdmVersionAvailable(1, 0x20)) {
        TfTraceInitialize(pDescription->pDriverObject, pDescription->pRegistryPath);
    }
    InterlockedIncrement(&g_lTfDriverCount);

    CTfDriver* pDriver = new (NonPagedPool) CTfDriver();
    if (pDriver == NULL) {
        InterlockedDecrement(&g_lTfDriverCount);
        Log.m_Fail("no memory");
        return STATUS_NO_MEMORY;
    }
    g_pTfDriver = pDriver;

    NTSTATUS Status = pDriver->m_DriverEntry(pDescription);
    if (!NT_SUCCESS(Status)) {
        // A failed DriverEntry gets no unload call: nothing may point at the object afterwards.
        pDescription->pDriverObject->DriverStartIo = NULL;
        g_pTfDriver = NULL;
        delete pDriver;
        InterlockedDecrement(&g_lTfDriverCount);
        Log.m_Fail("m_DriverEntry %08x", (ULONG)Status);
        return Status;
    }
    Log.m_Success();
    return Status;
}

NTSTATUS CTfDriver::m_DriverEntry(CTfDriverDescription* pDescription)
{
    CTfRoutineLog Log("CTfDriver::m_DriverEntry");
    if (pDescription->pRegistryPath == NULL ||
        m_RegistryPath.m_AssignUnicodeString(pDescription->pRegistryPath) != STATUS_SUCCESS) {
        Log.m_Fail("registry path");
        return TF_STATUS_REGISTRY_PATH_COPY;
    }

    m_pCreateCallback = pDescription->pCreateCallback;
    m_pDeleteCallback = pDescription->pDeleteCallback;
    m_pUnloadCallback = pDescription->pUnloadCallback;
    m_pDeviceAddedCallback = pDescription->pDeviceAddedCallback;
    m_pRemovalCallback = pDescription->pRemovalCallback;

    NTSTATUS Status = m_ServiceName.m_AssignWide(pDescription->pszServiceName);
    if (Status != STATUS_SUCCESS) {
        Log.m_Fail("service name %08x", (ULONG)Status);
        return Status;
    }
    Status = m_ImageName.m_AssignWide(pDescription->pszImageName);
    if (Status != STATUS_SUCCESS) {
        Log.m_Fail("image name %08x", (ULONG)Status);
        return Status;
    }

    TfDebugLog(TF_LOG_FLOW, "m_DriverEntry IN");
    PDRIVER_OBJECT pDriverObject = pDescription->pDriverObject;
    pDriverObject->DriverUnload = sm_DriverUnload;
    pDriverObject->DriverStartIo = (PDRIVER_STARTIO)(ULONG_PTR)this;
    if (pDriverObject->DriverExtension != NULL) {
        pDriverObject->DriverExtension->AddDevice = sm_AddDevice;
    }
    pDriverObject->MajorFunction[IRP_MJ_PNP] = sm_Dispatch_Pnp;
    pDriverObject->MajorFunction[IRP_MJ_POWER] = sm_Dispatch_Power;
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = sm_Dispatch_Create;
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = sm_Dispatch_Cleanup;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = sm_Dispatch_Close;
    pDriverObject->MajorFunction[IRP_MJ_READ] = sm_Dispatch_Read;
    pDriverObject->MajorFunction[IRP_MJ_WRITE] = sm_Dispatch_Write;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = sm_Dispatch_Device_Control;
    pDriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = sm_Dispatch_InternalDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = sm_Dispatch_FlushBuffers;
    pDriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = sm_Dispatch_Shutdown;
    pDriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = sm_Dispatch_SystemControl;
    pDriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = sm_Dispatch_QueryInformation;
    pDriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = sm_Dispatch_SetInformation;
    Log.m_Success();
    return STATUS_SUCCESS;
}

NTSTATUS CTfDriver::sm_AddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject)
{
    CTfRoutineLog Log("CTfDriver::sm_AddDevice");
    if (pDriverObject == NULL || g_pTfDriver == NULL) {
        Log.m_Fail("no driver object");
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS Status = g_pTfDriver->m_AddDevice(pDriverObject, pPhysicalDeviceObject);
    Log.m_Success();
    return Status;
}

NTSTATUS CTfDriver::m_AddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject)
{
    TfDebugLog(TF_LOG_FLOW, "m_AddDevice IN");
    pDriverObject->DriverStartIo = (PDRIVER_STARTIO)(ULONG_PTR)this;

    if (pPhysicalDeviceObject == NULL) {
        TfDebugLog(TF_LOG_FLOW, "m_AddDevice OUT - failure");
        return STATUS_UNSUCCESSFUL;
    }
    CTfString RegistryPath(NonPagedPool);
    if (RegistryPath.m_Assign(m_RegistryPath) != STATUS_SUCCESS) {
        TfDebugLog(TF_LOG_FLOW, "m_AddDevice OUT - failure");
        return STATUS_UNSUCCESSFUL;
    }
    BOOLEAN bSuccess = FALSE;
    CTfFunctionalDevice* pDevice =
        new (NonPagedPool) CTfFunctionalDevice(pDriverObject, pPhysicalDeviceObject, RegistryPath, &bSuccess);
    if (pDevice == NULL) {
        TfDebugLog(TF_LOG_FLOW, "m_AddDevice OUT - failure");
        return STATUS_UNSUCCESSFUL;
    }
    if (!bSuccess) {
        delete pDevice;
        TfDebugLog(TF_LOG_FLOW, "m_AddDevice OUT - failure");
        return STATUS_UNSUCCESSFUL;
    }
    TfDebugLog(TF_LOG_FLOW, "m_AddDevice OUT - SUCCESS");
    return STATUS_SUCCESS;
}

void CTfDriver::sm_DriverUnload(PDRIVER_OBJECT pDriverObject)
{
    CTfRoutineLog Log("CTfDriver::sm_DriverUnload");
    BOOLEAN bDevicesLeft = pDriverObject != NULL && pDriverObject->DeviceObject != NULL;

    if (bDevicesLeft && sm_FromDriverObject(pDriverObject) != NULL) {
        m_DeleteDriver(pDriverObject, FALSE);
    } else {
        if (pDriverObject != NULL) {
            pDriverObject->DriverStartIo = NULL;
        }
        g_pTfDriver = NULL;
        if (TfInterlockedRead(&g_lTfDriverCount) > 0) {
            InterlockedDecrement(&g_lTfDriverCount);
        }
        CTfDebugManager* pManager = g_pTfDebugManager;
        g_pTfDebugManager = NULL;
        if (pManager != NULL) {
            delete pManager;
        }
        // The last release frees every tracked allocation, the CTfDriver among them.
        TfFrameworkRelease();
        TfLibraryRelease();
    }

    if (IoIsWdmVersionAvailable(1, 0x20)) {
        TfTraceCleanup(pDriverObject);
    }
}

void CTfDriver::m_DeleteDriver(PDRIVER_OBJECT pDriverObject, BOOLEAN bOnRemoval)
{
    CTfRoutineLog Log("CTfDriver::m_DeleteDriver");
    (void)bOnRemoval;
    CTfDriver* pDriver = sm_FromDriverObject(pDriverObject);
    if (pDriver == NULL) {
        Log.m_Fail("no framework driver object");
        return;
    }
    // Taken before the object that holds it goes.
    PTF_DRIVER_NOTIFY_CALLBACK pUnloadCallback = pDriver->m_pUnloadCallback;

    pDriverObject->DriverStartIo = NULL;
    if (g_pTfDriver == pDriver) {
        g_pTfDriver = NULL;
    }
    delete pDriver;
    if (TfInterlockedRead(&g_lTfDriverCount) > 0) {
        InterlockedDecrement(&g_lTfDriverCount);
    }
    if (pUnloadCallback != NULL) {
        pUnloadCallback();
    }
    Log.m_Success();
}

// The static routines: the device object's driver object leads to the CTfDriver.
#define TF_DEFINE_STATIC_DISPATCH(Name)                                              \
    NTSTATUS CTfDriver::sm_##Name(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)           \
    {                                                                                \
        if (pDeviceObject == NULL) {                                                 \
            return STATUS_UNSUCCESSFUL;                                              \
        }                                                                            \
        CTfDriver* pDriver = sm_FromDriverObject(pDeviceObject->DriverObject);       \
        if (pDriver == NULL) {                                                       \
            return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);                     \
        }                                                                            \
        return pDriver->m_##Name(pDeviceObject, pIrp);                               \
    }

TF_DEFINE_STATIC_DISPATCH(Dispatch_Pnp)
TF_DEFINE_STATIC_DISPATCH(Dispatch_Power)
TF_DEFINE_STATIC_DISPATCH(Dispatch_Create)
TF_DEFINE_STATIC_DISPATCH(Dispatch_Cleanup)
TF_DEFINE_STATIC_DISPATCH(Dispatch_Close)
TF_DEFINE_STATIC_DISPATCH(Dispatch_Read)
TF_DEFINE_STATIC_DISPATCH(Dispatch_Write)
TF_DEFINE_STATIC_DISPATCH(Dispatch_Device_Control)
TF_DEFINE_STATIC_DISPATCH(Dispatch_InternalDeviceControl)
TF_DEFINE_STATIC_DISPATCH(Dispatch_FlushBuffers)
TF_DEFINE_STATIC_DISPATCH(Dispatch_Shutdown)
TF_DEFINE_STATIC_DISPATCH(Dispatch_QueryInformation)
TF_DEFINE_STATIC_DISPATCH(Dispatch_SetInformation)
TF_DEFINE_STATIC_DISPATCH(Dispatch_SystemControl)

#undef TF_DEFINE_STATIC_DISPATCH

NTSTATUS CTfDriver::m_GetDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, UCHAR ucMajorFunction,
                                CTfDevice** ppDevice, BOOLEAN bRedirect)
{
    CTfRoutineLog Log("CTfDriver::m_GetDevice");
    *ppDevice = NULL;
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pStack->MajorFunction != ucMajorFunction) {
        if (ucMajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(pIrp);
        }
        TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
        Log.m_Fail("major code %u", (ULONG)pStack->MajorFunction);
        return STATUS_UNSUCCESSFUL;
    }

    CTfObjectHolder* pHolder = CTfDevice::sm_GetExtensionHolder(pDeviceObject);
    CTfObject* pObject = pHolder != NULL ? pHolder->m_Acquire() : NULL;
    if (pObject == NULL) {
        // Power requests must let the next one through even when refused (before Vista).
        if (ucMajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(pIrp);
        }
        TfCompleteRequest(pIrp, STATUS_DELETE_PENDING);
        Log.m_Fail("framework object gone");
        return STATUS_DELETE_PENDING;
    }
    CTfDevice* pDevice = static_cast<CTfDevice*>(pObject);

    if (bRedirect && pDevice->m_GetDeviceKind() == TF_DEVICE_KIND_FUNCTIONAL) {
        CTfDevice* pPaired = NULL;
        m_DriverLock.m_Acquire();
        PDEVICE_OBJECT pPairedObject = static_cast<CTfFunctionalDevice*>(pDevice)->m_GetPairedDeviceObject();
        if (pPairedObject != NULL) {
            CTfObjectHolder* pPairedHolder = CTfDevice::sm_GetExtensionHolder(pPairedObject);
            CTfObject* pPairedObjectBody = pPairedHolder != NULL ? pPairedHolder->m_Acquire() : NULL;
            pPaired = static_cast<CTfDevice*>(pPairedObjectBody);
        }
        m_DriverLock.m_Release();
        if (pPaired != NULL) {
            pHolder->m_Release();
            pDevice = pPaired;
        }
    }

    *ppDevice = pDevice;
    Log.m_Success();
    return STATUS_SUCCESS;
}

void CTfDriver::m_ReleaseDevice(CTfDevice* pDevice)
{
    CTfRoutineLog Log("CTfDriver::m_ReleaseDevice");
    if (pDevice == NULL) {
        Log.m_Fail("no device");
        return;
    }
    CTfObjectHolder* pHolder = CTfDevice::sm_GetExtensionHolder(pDevice->m_GetDeviceObject());
    if (pHolder != NULL) {
        pHolder->m_Release();
    }
    Log.m_Success();
}

BOOLEAN CTfDriver::sm_DeleteDeviceObject(PDEVICE_OBJECT pDeviceObject, CTfDevice* pDevice)
{
    CTfRoutineLog Log("CTfDriver::sm_DeleteDeviceObject");
    CTfObjectHolder* pHolder = CTfDevice::sm_GetExtensionHolder(pDeviceObject);
    if (pHolder == NULL) {
        Log.m_Fail("no extension");
        return FALSE;
    }
    if (pDevice != NULL) {
        pHolder->m_Release();
    }
    // Closes the gate and waits for every other user; the object leaves the holder before it is
    // deleted, because its destructor deletes the device object and with it the holder.
    CTfObject* pObject = pHolder->m_Detach(FALSE);
    if (pObject == NULL) {
        Log.m_Fail("references remain");
        return FALSE;
    }
    delete pObject;
    Log.m_Success();
    return TRUE;
}

// One dispatch method: acquire, call the device's operation, release, log.
#define TF_DEFINE_DISPATCH(Name, Major, Redirect)                                      \
    NTSTATUS CTfDriver::m_##Name(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)              \
    {                                                                                  \
        TfDebugLog(TF_LOG_FLOW, "m_" #Name " IN");                                               \
        CTfDevice* pDevice = NULL;                                                     \
        NTSTATUS Status = m_GetDevice(pDeviceObject, pIrp, Major, &pDevice, Redirect); \
        if (!NT_SUCCESS(Status)) {                                                     \
            TfDebugLog(TF_LOG_FLOW, "m_" #Name " OUT - %08x", (ULONG)Status);                    \
            return Status;                                                             \
        }                                                                              \
        Status = pDevice->m_##Name(pIrp);                                              \
        m_ReleaseDevice(pDevice);                                                      \
        TfDebugLog(TF_LOG_FLOW, "m_" #Name " OUT - %08x", (ULONG)Status);                        \
        return Status;                                                                 \
    }

TF_DEFINE_DISPATCH(Dispatch_Power, IRP_MJ_POWER, FALSE)
TF_DEFINE_DISPATCH(Dispatch_Create, IRP_MJ_CREATE, TRUE)
TF_DEFINE_DISPATCH(Dispatch_Cleanup, IRP_MJ_CLEANUP, TRUE)
TF_DEFINE_DISPATCH(Dispatch_Close, IRP_MJ_CLOSE, TRUE)
TF_DEFINE_DISPATCH(Dispatch_Read, IRP_MJ_READ, TRUE)
TF_DEFINE_DISPATCH(Dispatch_Write, IRP_MJ_WRITE, TRUE)
TF_DEFINE_DISPATCH(Dispatch_Device_Control, IRP_MJ_DEVICE_CONTROL, TRUE)
TF_DEFINE_DISPATCH(Dispatch_InternalDeviceControl, IRP_MJ_INTERNAL_DEVICE_CONTROL, TRUE)
TF_DEFINE_DISPATCH(Dispatch_FlushBuffers, IRP_MJ_FLUSH_BUFFERS, TRUE)
TF_DEFINE_DISPATCH(Dispatch_Shutdown, IRP_MJ_SHUTDOWN, TRUE)
TF_DEFINE_DISPATCH(Dispatch_SystemControl, IRP_MJ_SYSTEM_CONTROL, TRUE)

#undef TF_DEFINE_DISPATCH

NTSTATUS CTfDriver::m_Dispatch_Pnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PAGED_CODE();  // plug and play requests come at PASSIVE_LEVEL
    TfDebugLog(TF_LOG_FLOW, "m_Dispatch_Pnp IN");
    // Read before the call: the request belongs to the device afterwards.
    BOOLEAN bRemove = IoGetCurrentIrpStackLocation(pIrp)->MinorFunction == IRP_MN_REMOVE_DEVICE;

    CTfDevice* pDevice = NULL;
    NTSTATUS Status = m_GetDevice(pDeviceObject, pIrp, IRP_MJ_PNP, &pDevice, FALSE);
    if (!NT_SUCCESS(Status)) {
        TfDebugLog(TF_LOG_FLOW, "m_Dispatch_Pnp OUT - failure %08x", (ULONG)Status);
        return Status;
    }
    BOOLEAN bFunctional = pDevice->m_GetDeviceKind() == TF_DEVICE_KIND_FUNCTIONAL;
    PDEVICE_OBJECT pOwnObject = pDevice->m_GetDeviceObject();

    Status = pDevice->m_Dispatch_Pnp(pIrp);
    TfDebugLog(TF_LOG_FLOW, "m_Dispatch_Pnp DO = %08x - end - %08x", (ULONG)(ULONG_PTR)pDeviceObject, (ULONG)Status);

    BOOLEAN bDelete = FALSE;
    if (bRemove && NT_SUCCESS(Status)) {
        // A child stays until its parent has reported it gone.
        bDelete = bFunctional || static_cast<CTfPhysicalDevice*>(pDevice)->m_IsDeleted();
    }
    if (bDelete) {
        // Releases the dispatch reference itself.
        sm_DeleteDeviceObject(pOwnObject, pDevice);
    } else {
        m_ReleaseDevice(pDevice);
    }
    TfDebugLog(TF_LOG_FLOW, "m_Dispatch_Pnp OUT - %08x", (ULONG)Status);
    return Status;
}

NTSTATUS CTfDriver::m_Dispatch_QueryInformation(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    (void)pDeviceObject;
    TfDebugLog(TF_LOG_FLOW, "m_Dispatch_QueryInformation always STATUS_UNSUCCESSFUL");
    return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
}

NTSTATUS CTfDriver::m_Dispatch_SetInformation(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    (void)pDeviceObject;
    TfDebugLog(TF_LOG_FLOW, "m_Dispatch_SetInformation always STATUS_UNSUCCESSFUL");
    return TfCompleteRequest(pIrp, STATUS_UNSUCCESSFUL);
}
